// The type-conversion built-ins BYTE, FIX, LONG, FLOAT, DOUBLE, COMPLEX and STRING, and
// the hook through which STRING reaches formatted output. Relies on convert.h for the
// element rules and on routines.h for the calling convention.
#pragma once

#include <string>
#include <vector>

#include "interp/routines.h"

Variable* byte(int argc, Variable* argv[], KwNames argk);
Variable* fix(int argc, Variable* argv[], KwNames argk);
Variable* lng(int argc, Variable* argv[], KwNames argk);
Variable* flt(int argc, Variable* argv[], KwNames argk);
Variable* dbl(int argc, Variable* argv[], KwNames argk);
Variable* ur_complex(int argc, Variable* argv[], KwNames argk);
Variable* string(int argc, Variable* argv[], KwNames argk);

// Formatted output for STRING (FORMAT=, /PRINT, or several arguments): writes values
// [0, n_values) as PRINT would, by `format` (the format text) when it is not null and in
// free format otherwise, appending each output line to `lines` (a line may keep its
// newline; STRING strips it). Installed by the formatted-output module; while it is
// null, those forms of STRING report an internal error.
using StringFormatter = void (*)(int n_values, Variable* values[], const char* format,
                                 std::vector<std::string>& lines);
extern StringFormatter string_formatter;

extern const RoutineEntry conversion_functions[];
extern const int n_conversion_functions;
