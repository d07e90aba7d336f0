// Counting and scaling by value: HISTOGRAM (counts per bin, optionally added to an input
// vector, with reverse indices) and BYTSCL (linear scaling onto bytes). They share one
// keyword table. Relies on the value model, conversions and the extremes finder of the
// reductions.
#pragma once

#include "interp/routines.h"

Variable* ur_histogram(int argc, Variable* argv[], KwNames argk);
Variable* ur_bytscl(int argc, Variable* argv[], KwNames argk);

extern const RoutineEntry histogram_functions[];
extern const int n_histogram_functions;
