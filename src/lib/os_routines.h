// Operating-system built-ins (GETENV, SETENV, CD, GET_KBRD, FINDFILE, SPAWN) and the
// line editor's DEFINE_KEY and JOURNAL, as routine-table entries. Rely on the OS
// services (term/os.h) and the line editor.
#pragma once

#include "interp/routines.h"

extern const RoutineEntry os_functions[];
extern const int n_os_functions;
extern const RoutineEntry os_procedures[];
extern const int n_os_procedures;

Variable* ur_getenv(int argc, Variable* argv[], KwNames argk);
Variable* ur_get_kbrd(int argc, Variable* argv[], KwNames argk);
Variable* ur_findfile(int argc, Variable* argv[], KwNames argk);
void ur_setenv(int argc, Variable* argv[], KwNames argk);
void ur_cd(int argc, Variable* argv[], KwNames argk);
void ur_spawn(int argc, Variable* argv[], KwNames argk);
// JOURNAL [, Arg] (lib/journal_routines.cpp), and closing the journal with its unit.
void journal(int argc, Variable* argv[], KwNames argk);
void journal_close();
