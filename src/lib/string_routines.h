// The string built-ins STRLEN, STRPOS, STRMID, STRPUT, STRTRIM, STRCOMPRESS, STRUPCASE
// and STRLOWCASE. Element-wise over scalars and arrays; non-string arguments are first
// turned into text by STRING's one-argument rule. Relies on values/strings.h.
#pragma once

#include "interp/routines.h"

Variable* string_len(int argc, Variable* argv[], KwNames argk);
Variable* string_pos(int argc, Variable* argv[], KwNames argk);
Variable* strmid(int argc, Variable* argv[], KwNames argk);
void strput(int argc, Variable* argv[], KwNames argk);
Variable* strtrim(int argc, Variable* argv[], KwNames argk);
Variable* strcompress(int argc, Variable* argv[], KwNames argk);
Variable* string_upcase(int argc, Variable* argv[], KwNames argk);
Variable* string_lowcase(int argc, Variable* argv[], KwNames argk);

// Case change of every element of a copy of x: direction 0 raises, 1 lowers.
Variable* string_change_case(Variable* x, int direction);

extern const RoutineEntry string_functions[];
extern const int n_string_functions;
extern const RoutineEntry string_procedures[];
extern const int n_string_procedures;
