// A deliberately small free-format PRINT (scalars, vectors, arrays row by row) until the
// formatted-output module takes the name over. Writes to standard output.
#pragma once

#include "interp/routines.h"

void print_values(int argc, Variable* argv[]);
extern const RoutineEntry print_procedures[];
extern const int n_print_procedures;
