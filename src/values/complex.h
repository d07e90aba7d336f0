// The COMPLEX element: two singles, real part first, and its arithmetic. Every part of
// the system that computes with complex values (conversions, operators, the matrix
// product, reductions, the math functions) uses this one type and these functions.
// Products and quotients are written out by parts so that they stay plain
// single-precision expressions: no scaling and no library slow paths.
#pragma once

struct Complex {
  float r, i;
};
static_assert(sizeof(Complex) == 8);

constexpr bool operator==(Complex a, Complex b) { return a.r == b.r && a.i == b.i; }

constexpr Complex cadd(Complex a, Complex b) { return {a.r + b.r, a.i + b.i}; }
constexpr Complex csub(Complex a, Complex b) { return {a.r - b.r, a.i - b.i}; }
constexpr Complex cneg(Complex a) { return {-a.r, -a.i}; }
// (a+bi)(c+di) = (ac-bd) + (ad+bc)i
constexpr Complex cmul(Complex a, Complex b) { return {a.r * b.r - a.i * b.i, a.r * b.i + a.i * b.r}; }
// ((ac+bd) + (bc-ad)i) / (c^2+d^2)
constexpr Complex cdiv(Complex a, Complex b) {
  float den = b.r * b.r + b.i * b.i;
  return {(a.r * b.r + a.i * b.i) / den, (a.i * b.r - a.r * b.i) / den};
}
// 1/z = (re - im i) / (re^2 + im^2), the reciprocal of a negative integer power.
constexpr Complex creciprocal(Complex z) {
  float den = z.r * z.r + z.i * z.i;
  return {z.r / den, -z.i / den};
}
