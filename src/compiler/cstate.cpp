#include "compiler/cstate.h"

CompilerState cstate;
CodeBlock* c_prog = nullptr;
CodeBlock* main_prog = nullptr;
