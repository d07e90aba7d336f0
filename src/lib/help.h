// HELP: variables (the current routine's or the arguments') with their types and values
// or shapes, and the /MEMORY, /SYSTEM_VARIABLES, /FILES, /ROUTINES, /STRUCTURES,
// /RECALL_COMMANDS and /KEYS listings, through the pager. Relies on frames, program
// areas, structures, system variables, file units, the line editor's listings and the
// terminal writer.
#pragma once

#include "interp/routines.h"

void ur_help(int argc, Variable* argv[], KwNames argk);

extern const RoutineEntry help_procedures[];
extern const int n_help_procedures;
