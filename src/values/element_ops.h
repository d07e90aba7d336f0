// The element operations of the numeric types, each written once: conversion of one
// element between types, and the arithmetic, logical and relational operators on two
// elements of one type. The operator kernels, the interpreter's scalar shortcuts, the
// matrix product and convert() are all built from these, so that a scalar and an array
// element always get the same result. Relies on the value model and on the math-error
// record for integer division by zero.
#pragma once

#include <cmath>
#include <cstdint>
#include <type_traits>

#include "base/message.h"
#include "values/complex.h"
#include "values/variable.h"

namespace elem {

// The element type of each TypeCode.
template <int T> struct CType;
template <> struct CType<TYP_BYTE> { using type = uint8_t; };
template <> struct CType<TYP_INT> { using type = int16_t; };
template <> struct CType<TYP_LONG> { using type = int32_t; };
template <> struct CType<TYP_FLOAT> { using type = float; };
template <> struct CType<TYP_DOUBLE> { using type = double; };
template <> struct CType<TYP_COMPLEX> { using type = Complex; };
template <> struct CType<TYP_STRING> { using type = StringDesc; };
template <int T>
using ctype = typename CType<T>::type;

template <class T>
constexpr bool is_int = std::is_integral_v<T>;
template <class T>
constexpr bool is_cplx = std::is_same_v<T, Complex>;

// ---- conversion of one element ----------------------------------------------------------

// Truncation toward zero to 32 bits. Out of range and NaN give the x86 "integer
// indefinite" value, so results never depend on undefined behaviour.
inline int32_t trunc_to_long(double x) {
  return (x > -2147483649.0 && x < 2147483648.0) ? static_cast<int32_t>(x) : INT32_MIN;
}

// Reals to BYTE go through an unsigned 32-bit truncation: anything at or below -1 is all
// ones (so -2.0 gives 255, where LONG -2 gives 254), and 2^31 and above keep the top bit.
inline uint8_t real_to_byte(double x) {
  uint32_t u;
  if (x >= 2147483648.0)
    u = x < 4294967296.0 ? (static_cast<uint32_t>(x - 2147483648.0) | 0x80000000u) : 0xffffffffu;
  else if (x > -1.0)
    u = static_cast<uint32_t>(static_cast<int32_t>(x));
  else if (x <= -1.0)
    u = 0xffffffffu;
  else
    u = 0;  // NaN
  return static_cast<uint8_t>(u);
}

// One numeric element as another numeric type. Integer narrowing keeps the low bits;
// COMPLEX contributes its real part; a real becomes a COMPLEX with imaginary part 0.
template <typename To, typename From>
inline To num_cvt(From x) {
  if constexpr (is_cplx<From>) {
    if constexpr (is_cplx<To>)
      return x;
    else
      return num_cvt<To>(x.r);
  } else if constexpr (is_cplx<To>) {
    return Complex{static_cast<float>(x), 0.0f};
  } else if constexpr (is_int<To> && std::is_floating_point_v<From>) {
    if constexpr (std::is_same_v<To, uint8_t>)
      return real_to_byte(static_cast<double>(x));
    else
      return static_cast<To>(trunc_to_long(static_cast<double>(x)));
  } else {
    return static_cast<To>(x);
  }
}

// ---- integer arithmetic -------------------------------------------------------------------

// Wrapping integer arithmetic in the type's width (computed in 32-bit unsigned, which
// the conversion back truncates modulo 2^width).
template <class T>
inline T wrap_add(T a, T b) {
  return static_cast<T>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
template <class T>
inline T wrap_sub(T a, T b) {
  return static_cast<T>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
template <class T>
inline T wrap_mul(T a, T b) {
  return static_cast<T>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}
template <class T>
inline T wrap_neg(T a) {
  return static_cast<T>(0u - static_cast<uint32_t>(a));
}

// Integer division and remainder never execute a faulting instruction: a zero divisor
// gives 0 and records the arithmetic condition "Integer divide by 0"; the most negative
// LONG divided by -1 wraps to itself (remainder 0).
template <class T>
inline T int_quotient(T a, T b) {
  if (b == 0) {
    note_math_error(MATH_INT_DIV0);
    return 0;
  }
  if constexpr (std::is_same_v<T, int32_t>)
    if (b == -1) return wrap_neg(a);
  return static_cast<T>(a / b);
}
template <class T>
inline T int_remainder(T a, T b) {
  if (b == 0) {
    note_math_error(MATH_INT_DIV0);
    return 0;
  }
  if constexpr (std::is_same_v<T, int32_t>)
    if (b == -1) return 0;
  return static_cast<T>(a % b);
}

// ---- binary operators, one element of type T each -----------------------------------------

struct Add {
  template <class T>
  static T f(T a, T b) {
    if constexpr (is_int<T>) return wrap_add(a, b);
    else if constexpr (is_cplx<T>) return cadd(a, b);
    else return a + b;
  }
};
struct Sub {
  template <class T>
  static T f(T a, T b) {
    if constexpr (is_int<T>) return wrap_sub(a, b);
    else if constexpr (is_cplx<T>) return csub(a, b);
    else return a - b;
  }
};
struct Mul {
  template <class T>
  static T f(T a, T b) {
    if constexpr (is_int<T>) return wrap_mul(a, b);
    else if constexpr (is_cplx<T>) return cmul(a, b);
    else return a * b;
  }
};
struct Div {
  template <class T>
  static T f(T a, T b) {
    if constexpr (is_int<T>) return int_quotient(a, b);
    else if constexpr (is_cplx<T>) return cdiv(a, b);
    else return a / b;
  }
};
struct Mod {
  template <class T>
  static T f(T a, T b) {
    if constexpr (is_int<T>) return int_remainder(a, b);
    else return std::fmod(a, b);
  }
};
// BYTE is unsigned here as everywhere.
struct Min {
  template <class T>
  static T f(T a, T b) { return b < a ? b : a; }
};
struct Max {
  template <class T>
  static T f(T a, T b) { return a < b ? b : a; }
};
// On reals AND and OR choose an operand: AND gives 0 if left is 0, else right; OR gives
// left if it is not 0, else right.
struct And {
  template <class T>
  static T f(T a, T b) {
    if constexpr (is_int<T>) return static_cast<T>(a & b);
    else return a == T(0) ? T(0) : b;
  }
};
struct Or {
  template <class T>
  static T f(T a, T b) {
    if constexpr (is_int<T>) return static_cast<T>(a | b);
    else return a != T(0) ? a : b;
  }
};
struct Xor {
  template <class T>
  static T f(T a, T b) { return static_cast<T>(a ^ b); }
};

// Relations give true or false; COMPLEX values are equal when both parts are.
struct Eq {
  template <class T>
  static bool f(T a, T b) { return a == b; }
};
struct Ne {
  template <class T>
  static bool f(T a, T b) { return !(a == b); }
};
struct Le {
  template <class T>
  static bool f(T a, T b) { return a <= b; }
};
struct Lt {
  template <class T>
  static bool f(T a, T b) { return a < b; }
};
struct Ge {
  template <class T>
  static bool f(T a, T b) { return a >= b; }
};
struct Gt {
  template <class T>
  static bool f(T a, T b) { return a > b; }
};

}  // namespace elem
