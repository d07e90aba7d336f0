// The element-wise mathematics built-ins ABS, SQRT, EXP, ALOG, ALOG10, SIN, COS, TAN,
// ASIN, ACOS, SINH, COSH and TANH: each is vek_uop with its own operator table.
#pragma once

#include "interp/operators.h"
#include "interp/routines.h"

Variable* ur_abs_fun(int argc, Variable* argv[], KwNames argk);
Variable* ur_op_sqrt(int argc, Variable* argv[], KwNames argk);
Variable* ur_op_exp(int argc, Variable* argv[], KwNames argk);
Variable* ur_op_alog(int argc, Variable* argv[], KwNames argk);
Variable* ur_op_alog10(int argc, Variable* argv[], KwNames argk);
Variable* ur_op_sin(int argc, Variable* argv[], KwNames argk);
Variable* ur_op_cos(int argc, Variable* argv[], KwNames argk);
Variable* ur_op_tan(int argc, Variable* argv[], KwNames argk);
Variable* ur_op_asin(int argc, Variable* argv[], KwNames argk);
Variable* ur_op_acos(int argc, Variable* argv[], KwNames argk);
Variable* ur_op_sinh(int argc, Variable* argv[], KwNames argk);
Variable* ur_op_cosh(int argc, Variable* argv[], KwNames argk);
Variable* ur_op_tanh(int argc, Variable* argv[], KwNames argk);

// Tells the operators which of these functions are plain element-wise tables.
void register_math_elementwise();

extern const RoutineEntry math_functions[];
extern const int n_math_functions;
