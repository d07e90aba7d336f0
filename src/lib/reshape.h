// Reordering and resizing of arrays: ROTATE and TRANSPOSE (a transposition and axis
// reversals by one tiled copy), SHIFT (circular shifts in every dimension), REFORM (new
// dimensions for the same elements) and REBIN (resampling by integer factors). Relies on
// the value model, conversions, strings and structures.
#pragma once

#include "interp/routines.h"

Variable* ur_rotate(int argc, Variable* argv[], KwNames argk);
Variable* ur_transpose(int argc, Variable* argv[], KwNames argk);
Variable* ur_shift(int argc, Variable* argv[], KwNames argk);
Variable* ur_reform(int argc, Variable* argv[], KwNames argk);
Variable* rebin(int argc, Variable* argv[], KwNames argk);

extern const RoutineEntry reshape_functions[];
extern const int n_reshape_functions;
