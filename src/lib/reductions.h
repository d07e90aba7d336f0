// Reductions, searching and sorting: TOTAL, MAX, MIN, WHERE and SORT, with the operand
// accessor get_array_data and the extreme finder min_max. Per-type kernels are chosen
// from tables indexed by TypeCode. Relies on the value model, conversions, strings,
// the error state (!ERR) and !C (vek_cursor).
#pragma once

#include <cstdint>

#include "interp/routines.h"

// Element count and first element of an array or scalar (a scalar is its own one
// element). Undefined reports -124, a file or structure -133.
void get_array_data(Variable* v, uint32_t* n, void** data);

// Pointers to the minimum and maximum elements (the first of equal extremes) and to
// element 0.
void min_max(Variable* v, void** min_ptr, void** max_ptr, void** base);

// The bodies of the built-ins, with their optional arguments and keyword targets as
// plain parameters (null when absent).
Variable* total_of(Variable* x, Variable* dimension, bool as_double);
Variable* max_of(Variable* x, Variable* subscript_out, Variable* min_out);
Variable* min_of(Variable* x, Variable* subscript_out, Variable* max_out);
Variable* where_of(Variable* x, Variable* count_out);
Variable* sort_of(Variable* x);

Variable* ur_total(int argc, Variable* argv[], KwNames argk);
Variable* ur_max(int argc, Variable* argv[], KwNames argk);
Variable* ur_min(int argc, Variable* argv[], KwNames argk);
Variable* ur_where(int argc, Variable* argv[], KwNames argk);
Variable* ur_sort(int argc, Variable* argv[], KwNames argk);

extern const RoutineEntry reduction_functions[];
extern const int n_reduction_functions;
