// The built-in system variables: the start-up list with types, access, environment
// overrides and the bindings to the globals of other modules (error state, !C), the
// compatibility names, and the DEFSYSV procedure. Relies on values/sysvar for the table
// and on the graphics state records for the structure-valued variables.
#pragma once

#include "interp/routines.h"
#include "values/sysvar.h"

// Builds the table on the first call (start-up, after the temporaries); later calls do
// nothing.
void init_sysvars();

// The "!PROMPT" record, read for every prompt.
extern SysVar* prompt_sysvar;

// DEFSYSV, Name, Value [, Read_only] [, EXISTS=variable]: the body with the positional
// arguments and the EXISTS target (null when absent).
void defsysv_core(int n_pos, Variable* pos[], Variable* exists_out);
void defsysv(int argc, Variable* argv[], KwNames argk);

extern const RoutineEntry sysvar_procedures[];
extern const int n_sysvar_procedures;
