// Neighbourhood filters: SMOOTH (boxcar means by running sums), CONVOL (convolution with
// a kernel array, with zeroed, truncated or wrapped edges) and MEDIAN (the median of an
// array, or a median filter of a vector or image). Relies on the value model,
// conversions and the temporaries.
#pragma once

#include "interp/routines.h"

Variable* ur_smooth(int argc, Variable* argv[], KwNames argk);
Variable* ur_convol(int argc, Variable* argv[], KwNames argk);
Variable* ur_median(int argc, Variable* argv[], KwNames argk);

extern const RoutineEntry filter_functions[];
extern const int n_filter_functions;
