// The transfer built-ins (PRINT, PRINTF, READ, READF, READS, READU, WRITEU) and the
// hooks through which STRING, STOP and the journal reach formatted output. Relies on
// the transfer engine (io/exec_io.h).
#pragma once

#include "interp/routines.h"

// PRINT's free-format output of argc values to standard output (STOP's messages).
void print_values(int argc, Variable* argv[]);
// Installs STRING's formatter, the journal's data-line writer and the interrupt poll
// of transfers.
void install_io_hooks();

extern const RoutineEntry io_procedures[];
extern const int n_io_procedures;
