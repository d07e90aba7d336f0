// Inline scalar arithmetic for the interpreter's fast path and FOR loops: reading a
// numeric scalar as any numeric type, storing one, and the two-operand operators
// ADD..GT on scalars of types BYTE..COMPLEX with the meaning the operator kernels
// give them (wrapping integers, BYTE unsigned, relational results as BYTE 1 or 0).
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "base/message.h"
#include "compiler/bytecode.h"
#include "values/variable.h"

namespace scalar {

struct Cplx {
  float r, i;
};

// Truncation toward zero into a signed 32-bit integer, defined for every input.
inline int32_t trunc32(double d) {
  if (!(d == d)) return 0;
  if (d >= 2147483647.0) return INT32_MAX;
  if (d <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(d);
}
inline uint8_t trunc_byte(double d) {
  if (!(d == d)) return 0;
  if (d <= -1.0) return 255;
  if (d >= 2147483648.0) d -= 2147483648.0;
  if (d >= 4294967296.0) return 255;
  return static_cast<uint8_t>(static_cast<uint32_t>(d));
}

template <typename T>
T from_double(double d);
template <>
inline uint8_t from_double<uint8_t>(double d) { return trunc_byte(d); }
template <>
inline int16_t from_double<int16_t>(double d) { return static_cast<int16_t>(static_cast<uint32_t>(trunc32(d))); }
template <>
inline int32_t from_double<int32_t>(double d) { return trunc32(d); }
template <>
inline float from_double<float>(double d) { return static_cast<float>(d); }
template <>
inline double from_double<double>(double d) { return d; }
template <>
inline Cplx from_double<Cplx>(double d) { return Cplx{static_cast<float>(d), 0.0f}; }

template <typename T>
T from_long(int32_t l);
template <>
inline uint8_t from_long<uint8_t>(int32_t l) { return static_cast<uint8_t>(l); }
template <>
inline int16_t from_long<int16_t>(int32_t l) { return static_cast<int16_t>(l); }
template <>
inline int32_t from_long<int32_t>(int32_t l) { return l; }
template <>
inline float from_long<float>(int32_t l) { return static_cast<float>(l); }
template <>
inline double from_long<double>(int32_t l) { return l; }
template <>
inline Cplx from_long<Cplx>(int32_t l) { return Cplx{static_cast<float>(l), 0.0f}; }

// Value of a numeric scalar (type BYTE..COMPLEX) as T.
template <typename T>
inline T get(int type, const Value& v) {
  switch (type) {
    case TYP_BYTE: return from_long<T>(v.c);
    case TYP_INT: return from_long<T>(v.i);
    case TYP_LONG: return from_long<T>(v.l);
    case TYP_FLOAT: return from_double<T>(v.f);
    case TYP_DOUBLE: return from_double<T>(v.d);
    default: {
      if constexpr (std::is_same_v<T, Cplx>) {
        return Cplx{v.cmp.r, v.cmp.i};
      } else {
        return from_double<T>(v.cmp.r);
      }
    }
  }
}

template <typename T>
inline void put(Value& v, T x) {
  static_assert(sizeof(T) <= 8);
  std::memcpy(&v, &x, sizeof(T));
}

template <typename T>
constexpr int type_of() {
  if constexpr (std::is_same_v<T, uint8_t>) return TYP_BYTE;
  if constexpr (std::is_same_v<T, int16_t>) return TYP_INT;
  if constexpr (std::is_same_v<T, int32_t>) return TYP_LONG;
  if constexpr (std::is_same_v<T, float>) return TYP_FLOAT;
  if constexpr (std::is_same_v<T, double>) return TYP_DOUBLE;
  return TYP_COMPLEX;
}

// Integer arithmetic wraps in the type's width.
template <typename T>
inline T wrap_add(T a, T b) {
  if constexpr (std::is_integral_v<T>) return static_cast<T>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
  else return a + b;
}
template <typename T>
inline T wrap_sub(T a, T b) {
  if constexpr (std::is_integral_v<T>) return static_cast<T>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
  else return a - b;
}
template <typename T>
inline T wrap_mul(T a, T b) {
  if constexpr (std::is_integral_v<T>) return static_cast<T>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
  else return a * b;
}
template <typename T>
inline T int_div(T a, T b) {
  if (b == 0) {
    // Integer division by zero is the arithmetic condition "Integer divide by 0";
    // the quotient is 0.
    note_math_error(MATH_INT_DIV0);
    return 0;
  }
  if constexpr (std::is_same_v<T, int32_t>) {
    if (a == INT32_MIN && b == -1) return INT32_MIN;
  }
  return static_cast<T>(a / b);
}

// Computes l OP r for real or integer T into out (type set). Returns false when the
// combination is not handled here (the caller then uses the general operator).
template <typename T>
inline bool real_op(int op, T a, T b, Variable* out) {
  constexpr int ty = type_of<T>();
  auto rel = [&](bool x) {
    out->type = TYP_BYTE;
    out->value.c = x ? 1 : 0;
    return true;
  };
  switch (op) {
    case OP_ADD: out->type = ty; put(out->value, wrap_add(a, b)); return true;
    case OP_SUB: out->type = ty; put(out->value, wrap_sub(a, b)); return true;
    case OP_MUL: out->type = ty; put(out->value, wrap_mul(a, b)); return true;
    case OP_DIV:
      out->type = ty;
      if constexpr (std::is_integral_v<T>) put(out->value, int_div(a, b));
      else put(out->value, a / b);
      return true;
    case OP_AND:
      out->type = ty;
      if constexpr (std::is_integral_v<T>) put(out->value, static_cast<T>(a & b));
      else put(out->value, a == 0 ? T(0) : b);
      return true;
    case OP_OR:
      out->type = ty;
      if constexpr (std::is_integral_v<T>) put(out->value, static_cast<T>(a | b));
      else put(out->value, a != 0 ? a : b);
      return true;
    case OP_EQ: return rel(a == b);
    case OP_NE: return rel(a != b);
    case OP_LE: return rel(a <= b);
    case OP_LT: return rel(a < b);
    case OP_GE: return rel(a >= b);
    case OP_GT: return rel(a > b);
    default: return false;
  }
}

inline bool complex_op(int op, Cplx a, Cplx b, Variable* out) {
  Cplx r;
  switch (op) {
    case OP_ADD: r = {a.r + b.r, a.i + b.i}; break;
    case OP_SUB: r = {a.r - b.r, a.i - b.i}; break;
    case OP_MUL: r = {a.r * b.r - a.i * b.i, a.r * b.i + a.i * b.r}; break;
    case OP_DIV: {
      float d = b.r * b.r + b.i * b.i;
      r = {(a.r * b.r + a.i * b.i) / d, (a.i * b.r - a.r * b.i) / d};
      break;
    }
    case OP_EQ:
    case OP_NE: {
      bool eq = a.r == b.r && a.i == b.i;
      out->type = TYP_BYTE;
      out->value.c = (op == OP_EQ) == eq ? 1 : 0;
      return true;
    }
    default: return false;
  }
  out->type = TYP_COMPLEX;
  out->value.cmp.r = r.r;
  out->value.cmp.i = r.i;
  return true;
}

// l OP r for numeric scalars (both types 1..6) into out; false if not handled here.
inline bool binary(int op, int tl, const Value& l, int tr, const Value& r, Variable* out) {
  int t = tl > tr ? tl : tr;
  switch (t) {
    case TYP_BYTE: return real_op<uint8_t>(op, l.c, r.c, out);
    case TYP_INT: return real_op<int16_t>(op, get<int16_t>(tl, l), get<int16_t>(tr, r), out);
    case TYP_LONG: return real_op<int32_t>(op, get<int32_t>(tl, l), get<int32_t>(tr, r), out);
    case TYP_FLOAT: return real_op<float>(op, get<float>(tl, l), get<float>(tr, r), out);
    case TYP_DOUBLE: return real_op<double>(op, get<double>(tl, l), get<double>(tr, r), out);
    case TYP_COMPLEX: return complex_op(op, get<Cplx>(tl, l), get<Cplx>(tr, r), out);
    default: return false;
  }
}

// The fast path's kernels, one per (operator ADD..GT, left type, right type) for numeric
// types BYTE..COMPLEX, each specialised at compile time for its promoted type. A null
// entry (an undefined or non-numeric type, MIN, MAX, POWER, MOD or XOR, or an operator
// not defined for COMPLEX) sends the operation to the general operator.
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

// Converts a numeric scalar value to another numeric type.
inline Value convert_value(int from, const Value& v, int to) {
  Value out;
  out.d = 0;
  switch (to) {
    case TYP_BYTE: put(out, get<uint8_t>(from, v)); break;
    case TYP_INT: put(out, get<int16_t>(from, v)); break;
    case TYP_LONG: put(out, get<int32_t>(from, v)); break;
    case TYP_FLOAT: put(out, get<float>(from, v)); break;
    case TYP_DOUBLE: put(out, get<double>(from, v)); break;
    case TYP_COMPLEX: put(out, get<Cplx>(from, v)); break;
    default: break;
  }
  return out;
}

}  // namespace scalar
