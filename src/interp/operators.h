// Operators: the type-promotion tables, the binary and unary operator tables with their
// per-type element kernels, the drivers vek_binop and vek_uop that convert, allocate (or
// reuse) and run them, array concatenation (con) and matrix multiplication (mmult_op).
// Relies on the value model, the temporaries, convert() and message().
#pragma once

#include <array>
#include <cstdint>

#include "values/variable.h"

// Element kernels. A binary kernel writes n results at out; an operand whose is-array
// flag is clear is a single value applied to every element. out may be the very same
// storage as an operand (in-place reuse), never a shifted view of it.
using BinKernel = void (*)(const void* left, const void* right, void* out, uint32_t n, bool left_is_array,
                           bool right_is_array);
using UnKernel = void (*)(const void* in, void* out, uint32_t n);

// The promotion tables: eight 7x7 tables, each padded to 52 bytes. Entry (right type,
// left type) for types BYTE..STRING holds a TypeCode, or 0 for "no conversion".
constexpr int ARITH_TABLE_STRIDE = 52;
enum ArithTable : uint8_t {
  AT_PROMOTE = 1,    // promoted type; result and kernel of ordinary operators
  AT_RELATION = 2,   // BYTE for every pair
  AT_CONV_LEFT = 3,  // conversion of the left operand
  AT_CONV_RIGHT = 4, // conversion of the right operand
  AT_EXP_CONV = 5,   // exponentiation: conversion of the exponent (right)
  AT_BASE_CONV = 6,  // exponentiation: conversion of the base (left)
  AT_EXP_KERNEL = 7, // exponentiation: kernel type
  AT_EXP_RESULT = 8, // exponentiation: result type
};
extern const std::array<uint8_t, 8 * ARITH_TABLE_STRIDE> arith_rslt;
inline uint8_t arith_entry(int table, int right_type, int left_type) {
  return arith_rslt[(table - 1) * ARITH_TABLE_STRIDE + (right_type - 1) * 7 + (left_type - 1)];
}

// A binary operator: table selectors for result type, kernel type, left and right
// conversion, then one kernel per type BYTE..STRING (chosen by the kernel type).
struct BinOpTable {
  uint8_t result_tab, kernel_tab, left_conv_tab, right_conv_tab;
  BinKernel kernels[7];
};

// A unary operator or element-wise function: result and conversion types indexed by the
// operand's TypeCode (0..7), and kernels indexed by the operand's type before conversion
// (the kernel reads the converted type and writes the result type).
struct UnOpTable {
  const uint8_t* result;
  const uint8_t* conv;
  UnKernel kernels[8];
};

extern const BinOpTable ur_op_add, ur_op_sub, ur_op_mul, ur_op_div, ur_op_min, ur_op_max, ur_op_mod, ur_op_and,
    ur_op_or, ur_op_xor, ur_op_expi, ur_op_expf, ur_op_eq, ur_op_ne, ur_op_le, ur_op_lt, ur_op_ge, ur_op_gt;
extern const UnOpTable ur_neg_op, ur_not_op, ur_abs;

// The exponentiation table for an exponent: integer exponents (BYTE, INT, LONG) use the
// repeated-squaring kernels, everything else the real/complex power.
inline const BinOpTable* power_op_table(const Variable* exponent) {
  return exponent->type < TYP_FLOAT ? &ur_op_expi : &ur_op_expf;
}

// Returns a temporary holding left OP right. Temporary operands are consumed (released,
// or their storage reused for the result).
Variable* vek_binop(const BinOpTable* op, Variable* left, Variable* right);
// Returns a temporary holding OP argv[0]; a temporary operand is consumed. Also the body
// of ABS, SQRT, EXP and the other element-wise built-ins.
Variable* vek_uop(int argc, Variable* argv[], const UnOpTable* op);
// The same for built-in functions, whose arguments belong to the caller: a temporary
// argument is never released, though an array temporary's storage may be taken over
// (the argument is then left an empty temporary for the caller to release).
Variable* vek_uop_arg(int argc, Variable* argv[], const UnOpTable* op);

// A run of scalar operations that follows an element-wise operation in the code: each
// combines the running result with a numeric scalar (left operand: the result). The
// *_tail drivers below may apply a prefix of them strip by strip, while each strip of
// the result is still in cache, instead of one pass over the whole array per operation;
// the elements get exactly the values the separate operations would give them.
struct ElementTail {
  static constexpr int kMax = 8;
  int n = 0;
  const BinOpTable* ops[kMax];
  const Variable* operands[kMax];
};
// Arrays shorter than this are not worth the strips.
constexpr uint32_t kTailMinElements = 32768;
// vek_binop and vek_uop_arg, followed by up to tail.n operations of `tail`: *applied is
// set to how many of them were applied (0 when the result is small or the first of them
// does not keep the result's type).
Variable* vek_binop_tail(const BinOpTable* op, Variable* left, Variable* right, const ElementTail& tail,
                         int* applied);
Variable* vek_uop_arg_tail(const UnOpTable* op, Variable* arg, const ElementTail& tail, int* applied);
// Element-wise built-in functions whose body is vek_uop_arg with one table register it
// here, so that the interpreter can run them with the operations that follow.
void register_elementwise_function(const void* fun, const UnOpTable* op);
const UnOpTable* elementwise_function_table(const void* fun);
// The operator table of a two-operand opcode from ADD to GT (null for POWER, whose table
// depends on the exponent).
const BinOpTable* opcode_table(int opcode);

// Concatenates n operands along dimension `level` (0 = first) into a new temporary.
// The operands are not released: the caller frees temporaries among them (none of them
// is ever the result).
Variable* con(int n, Variable* operands[], int level);

// The # operator. Temporary operands are consumed.
Variable* mmult_op(Variable* left, Variable* right);

// The interpreter's entry: the operator of a two-operand opcode (ADD..GT, POWER,
// MATRIX_MULTIPLY) or of NEGATE / NOT applied to the operands.
Variable* binop_for_opcode(int opcode, Variable* left, Variable* right);
Variable* uop_for_opcode(int opcode, Variable* operand);
