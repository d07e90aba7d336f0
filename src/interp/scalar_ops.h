// Scalar arithmetic for the interpreter: the fast path's kernel table (the binary
// operators on two numeric scalars, built from the same element operations as the
// operator kernels, so that both always agree), and the scalar helpers of conditions,
// CASE labels and FOR loops. Relies on the element operations (values/element_ops.h),
// convert() and the temporaries.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "base/message.h"
#include "compiler/bytecode.h"
#include "values/element_ops.h"
#include "values/variable.h"

namespace scalar {

// The value of a numeric scalar (type BYTE..COMPLEX) as T, converted as convert() does.
template <typename T>
inline T get(int type, const Value& v) {
  switch (type) {
    case TYP_BYTE: return elem::num_cvt<T>(v.c);
    case TYP_INT: return elem::num_cvt<T>(v.i);
    case TYP_LONG: return elem::num_cvt<T>(v.l);
    case TYP_FLOAT: return elem::num_cvt<T>(v.f);
    case TYP_DOUBLE: return elem::num_cvt<T>(v.d);
    default: return elem::num_cvt<T>(v.cmp);
  }
}

template <typename T>
inline void put(Value& v, T x) {
  static_assert(sizeof(T) <= 8);
  std::memcpy(&v, &x, sizeof(T));
}

// A numeric scalar value converted to another numeric type.
Value convert_value(int from, const Value& v, int to);

// The fast path's kernels, one per (operator ADD..GT, left type, right type) for numeric
// types BYTE..COMPLEX, each specialised at compile time for its promoted type. A null
// entry (an undefined or non-numeric type, POWER, or an operator the promoted type does
// not allow) sends the operation to the general operator, which reports the error.
// The result comes back in registers: the value's first 8 bytes (all a numeric scalar
// has) and its type. Copying it out with 8-byte moves keeps later loads of the value
// served straight from the store.
struct ScalarResult {
  uint64_t bits;
  uint64_t type;
};
using ScalarKernel = ScalarResult (*)(const Value& l, const Value& r);
inline void put_result(Variable* v, ScalarResult r) {
  v->type = static_cast<uint8_t>(r.type);
  std::memcpy(&v->value, &r.bits, 8);
}
constexpr int kScalarOps = OP_GT - OP_ADD + 1;
constexpr int kScalarTypes = TYP_COMPLEX + 1;
extern const std::array<ScalarKernel, kScalarOps * kScalarTypes * kScalarTypes> kernels;
inline ScalarKernel kernel_for(int op, int tl, int tr) {
  if (static_cast<unsigned>(tl) >= kScalarTypes || static_cast<unsigned>(tr) >= kScalarTypes) return nullptr;
  return kernels[((op - OP_ADD) * kScalarTypes + tl) * kScalarTypes + tr];
}

// ---- helpers of the interpreter's instructions ------------------------------------------

// A scalar converted to another type: v itself when it has the type already, else a
// new temporary (a temporary v is released).
Variable* scalar_convert(Variable* v, int type);

// Truth of a condition: odd integers, non-zero reals, complex with a non-zero real
// part, non-empty strings. Errors for arrays (-126) and undefined values (-124).
bool condition_true(const Variable* v);

// CASE: whether the label equals the selector, the label converted to the selector's
// type. A temporary label is consumed.
bool case_matches(Variable* selector, Variable* label);

// FOR loops keep their limit and increment as 8 bytes of a value in the loop variable's
// type. store_loop_bound converts a bound into `at` (an INT loop variable needs a bound
// that fits: -76 otherwise); bound_negative tells whether a stored increment is below
// zero; compare_bound gives -1, 0 or 1 as the variable compares with a stored bound;
// step_loop_variable adds a stored increment (1 when `at` is null) in the variable's type.
void store_loop_bound(uint8_t* at, const Variable* bound, const Variable* var, int type);
bool bound_negative(int type, const uint8_t* at);
int compare_bound(const Variable* var, const uint8_t* at);
void step_loop_variable(Variable* var, const uint8_t* at);
// FOR variables are numeric scalars, not COMPLEX.
void check_loop_variable(const Variable* var);

}  // namespace scalar
