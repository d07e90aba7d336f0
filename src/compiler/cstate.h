// The compiler's global state record `cstate` and the program areas being compiled
// (`c_prog`, `main_prog`). Shared by the emitter, the parser, the lexer's interface
// and the compiler input drivers.
#pragma once

#include <cstdint>

#include "compiler/bytecode.h"

struct CompilerState {
  int error_count = 0;         // errors in the unit being compiled
  int debug = 0;               // set by the compile command's -d option
  bool single_statement = false;  // compiling an interactive statement or EXECUTE string
  bool stmt_start = false;     // a statement begins: emit its marker before its first instruction
  uint32_t last_marker = 0;    // code length when the last statement marker was emitted
  ConstPool* const_pool = nullptr;  // present only while compiling from files
  uint16_t* var_hash = nullptr;     // 1024 slots of variable-table offsets, or null
  int term_lines = 0;          // lines read from the terminal
  int block_depth = 0;         // open BEGIN/CASE levels (listing indentation)
  bool end_of_input = false;   // the lexer met the end of all input
  bool code_full = false;      // -37 already reported for this unit
};
extern CompilerState cstate;

// The unit being compiled and the main program's area.
extern CodeBlock* c_prog;
extern CodeBlock* main_prog;

// Provided by the compiler input: the current input's file name ("/dev/tty" for the
// terminal) and the number of lines read from it so far.
const char* comp_input_position(int* line_count);
