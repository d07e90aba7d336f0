// The element-wise mathematics built-ins. FLOAT work is single precision (some functions
// evaluate in double and round, as noted), DOUBLE uses the double library function and
// COMPLEX the complex one; each function is one template instantiated three times.
#include "lib/math.h"

#include <cmath>
#include <complex>
#include <cstring>
#include <utility>

#include "interp/op_kernels.h"


namespace {

std::complex<float> to_std(Complex z) { return {z.r, z.i}; }
Complex from_std(std::complex<float> z) { return {z.real(), z.imag()}; }

// Each function: f (FLOAT), d (DOUBLE), c (COMPLEX, absent when illegal).
struct Sqrt {
  static float f(float x) { return sqrtf(x); }
  static double d(double x) { return sqrt(x); }
  static Complex c(Complex z) { return from_std(std::sqrt(to_std(z))); }
};
struct Exp {
  static float f(float x) { return expf(x); }
  static double d(double x) { return exp(x); }
  static Complex c(Complex z) { return opk::exp_c(z); }
};
struct Alog {
  static float f(float x) { return logf(x); }
  static double d(double x) { return log(x); }
  static Complex c(Complex z) { return opk::alog_c(z); }
};
struct Alog10 {
  static float f(float x) { return static_cast<float>(log10(static_cast<double>(x))); }
  static double d(double x) { return log10(x); }
  static Complex c(Complex z) {
    Complex l = opk::alog_c(z);
    const float inv_ln10 = static_cast<float>(1.0 / M_LN10);
    return {l.r * inv_ln10, l.i * inv_ln10};
  }
};
struct Sin {
  static float f(float x) { return sinf(x); }
  static double d(double x) { return sin(x); }
  static Complex c(Complex z) { return from_std(std::sin(to_std(z))); }
};
struct Cos {
  static float f(float x) { return cosf(x); }
  static double d(double x) { return cos(x); }
  static Complex c(Complex z) { return from_std(std::cos(to_std(z))); }
};
struct Tan {
  static float f(float x) { return tanf(x); }
  static double d(double x) { return tan(x); }
  static Complex c(Complex z) { return from_std(std::tan(to_std(z))); }
};
struct Asin {
  static float f(float x) { return static_cast<float>(asin(static_cast<double>(x))); }
  static double d(double x) { return asin(x); }
};
struct Acos {
  static float f(float x) { return static_cast<float>(acos(static_cast<double>(x))); }
  static double d(double x) { return acos(x); }
};
struct Sinh {
  static float f(float x) { return static_cast<float>(sinh(static_cast<double>(x))); }
  static double d(double x) { return sinh(x); }
  static Complex c(Complex z) { return from_std(std::sinh(to_std(z))); }
};
struct Cosh {
  static float f(float x) { return static_cast<float>(cosh(static_cast<double>(x))); }
  static double d(double x) { return cosh(x); }
  static Complex c(Complex z) { return from_std(std::cosh(to_std(z))); }
};
struct Tanh {
  static float f(float x) { return static_cast<float>(tanh(static_cast<double>(x))); }
  static double d(double x) { return tanh(x); }
  static Complex c(Complex z) { return from_std(std::tanh(to_std(z))); }
};

template <class Fn>
void float_kernel(const void* in, void* out, uint32_t n) {
  opk::loop1<float, float>(in, out, n, [](float x) { return Fn::f(x); });
}
template <class Fn>
void double_kernel(const void* in, void* out, uint32_t n) {
  opk::loop1<double, double>(in, out, n, [](double x) { return Fn::d(x); });
}
template <class Fn>
void complex_kernel(const void* in, void* out, uint32_t n) {
  opk::loop1<Complex, Complex>(in, out, n, [](Complex z) { return Fn::c(z); });
}

template <class Fn>
constexpr UnOpTable math_table(UnKernel complex) {
  return {opk::math_result_types,
          opk::math_result_types,
          {nullptr, float_kernel<Fn>, float_kernel<Fn>, float_kernel<Fn>, float_kernel<Fn>, double_kernel<Fn>,
           complex, float_kernel<Fn>}};
}

const UnOpTable sqrt_table = math_table<Sqrt>(complex_kernel<Sqrt>);
const UnOpTable exp_table = math_table<Exp>(complex_kernel<Exp>);
const UnOpTable alog_table = math_table<Alog>(complex_kernel<Alog>);
const UnOpTable alog10_table = math_table<Alog10>(complex_kernel<Alog10>);
const UnOpTable sin_table = math_table<Sin>(complex_kernel<Sin>);
const UnOpTable cos_table = math_table<Cos>(complex_kernel<Cos>);
const UnOpTable tan_table = math_table<Tan>(complex_kernel<Tan>);
const UnOpTable asin_table = math_table<Asin>(opk::illegal_complex1);
const UnOpTable acos_table = math_table<Acos>(opk::illegal_complex1);
const UnOpTable sinh_table = math_table<Sinh>(complex_kernel<Sinh>);
const UnOpTable cosh_table = math_table<Cosh>(complex_kernel<Cosh>);
const UnOpTable tanh_table = math_table<Tanh>(complex_kernel<Tanh>);

}  // namespace

Variable* ur_abs_fun(int argc, Variable* argv[], KwNames) { return vek_uop_arg(argc, argv, &ur_abs); }
Variable* ur_op_sqrt(int argc, Variable* argv[], KwNames) { return vek_uop_arg(argc, argv, &sqrt_table); }
Variable* ur_op_exp(int argc, Variable* argv[], KwNames) { return vek_uop_arg(argc, argv, &exp_table); }
Variable* ur_op_alog(int argc, Variable* argv[], KwNames) { return vek_uop_arg(argc, argv, &alog_table); }
Variable* ur_op_alog10(int argc, Variable* argv[], KwNames) { return vek_uop_arg(argc, argv, &alog10_table); }
Variable* ur_op_sin(int argc, Variable* argv[], KwNames) { return vek_uop_arg(argc, argv, &sin_table); }
Variable* ur_op_cos(int argc, Variable* argv[], KwNames) { return vek_uop_arg(argc, argv, &cos_table); }
Variable* ur_op_tan(int argc, Variable* argv[], KwNames) { return vek_uop_arg(argc, argv, &tan_table); }
Variable* ur_op_asin(int argc, Variable* argv[], KwNames) { return vek_uop_arg(argc, argv, &asin_table); }
Variable* ur_op_acos(int argc, Variable* argv[], KwNames) { return vek_uop_arg(argc, argv, &acos_table); }
Variable* ur_op_sinh(int argc, Variable* argv[], KwNames) { return vek_uop_arg(argc, argv, &sinh_table); }
Variable* ur_op_cosh(int argc, Variable* argv[], KwNames) { return vek_uop_arg(argc, argv, &cosh_table); }
Variable* ur_op_tanh(int argc, Variable* argv[], KwNames) { return vek_uop_arg(argc, argv, &tanh_table); }

void register_math_elementwise() {
  const std::pair<SysFun, const UnOpTable*> functions[] = {
      {ur_abs_fun, &ur_abs},       {ur_op_sqrt, &sqrt_table}, {ur_op_exp, &exp_table},   {ur_op_alog, &alog_table},
      {ur_op_alog10, &alog10_table}, {ur_op_sin, &sin_table}, {ur_op_cos, &cos_table},   {ur_op_tan, &tan_table},
      {ur_op_asin, &asin_table},   {ur_op_acos, &acos_table}, {ur_op_sinh, &sinh_table}, {ur_op_cosh, &cosh_table},
      {ur_op_tanh, &tanh_table}};
  for (const auto& [fun, table] : functions) register_elementwise_function(reinterpret_cast<const void*>(fun), table);
}

// Sorted by name.
const RoutineEntry math_functions[] = {
    {ur_abs_fun, "ABS", 1, 1},     {ur_op_acos, "ACOS", 1, 1}, {ur_op_alog, "ALOG", 1, 1},
    {ur_op_alog10, "ALOG10", 1, 1}, {ur_op_asin, "ASIN", 1, 1}, {ur_op_cos, "COS", 1, 1},
    {ur_op_cosh, "COSH", 1, 1},    {ur_op_exp, "EXP", 1, 1},   {ur_op_sin, "SIN", 1, 1},
    {ur_op_sinh, "SINH", 1, 1},    {ur_op_sqrt, "SQRT", 1, 1}, {ur_op_tan, "TAN", 1, 1},
    {ur_op_tanh, "TANH", 1, 1},
};
const int n_math_functions = sizeof math_functions / sizeof math_functions[0];
