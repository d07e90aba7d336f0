// The table of scalar kernels behind the interpreter's fast path: every (operator, left
// type, right type) combination instantiated with its conversions resolved at compile
// time, so that a scalar operation costs one indirect call.
#include "interp/scalar_ops.h"

#include <array>
#include <utility>

namespace scalar {
namespace {

template <int Op, int TL, int TR>
ScalarResult kernel(const Value& l, const Value& r) {
  constexpr int T = TL > TR ? TL : TR;
  Variable out;
  out.type = 0;
  out.value.d = 0;
  if constexpr (T == TYP_BYTE) real_op<uint8_t>(Op, l.c, r.c, &out);
  else if constexpr (T == TYP_INT) real_op<int16_t>(Op, get<int16_t>(TL, l), get<int16_t>(TR, r), &out);
  else if constexpr (T == TYP_LONG) real_op<int32_t>(Op, get<int32_t>(TL, l), get<int32_t>(TR, r), &out);
  else if constexpr (T == TYP_FLOAT) real_op<float>(Op, get<float>(TL, l), get<float>(TR, r), &out);
  else if constexpr (T == TYP_DOUBLE) real_op<double>(Op, get<double>(TL, l), get<double>(TR, r), &out);
  else complex_op(Op, get<Cplx>(TL, l), get<Cplx>(TR, r), &out);
  ScalarResult res;
  std::memcpy(&res.bits, &out.value, 8);
  res.type = out.type;
  return res;
}

template <int Op, int TL, int TR>
constexpr ScalarKernel pick() {
  if constexpr (TL < TYP_BYTE || TR < TYP_BYTE || Op == OP_MIN || Op == OP_MAX || Op == OP_POWER ||
                Op == OP_MOD || Op == OP_XOR) {
    return nullptr;  // the general operator handles these
  } else if constexpr (TL == TYP_COMPLEX || TR == TYP_COMPLEX) {
    // Only these are defined for complex operands; the rest are errors.
    if constexpr (Op == OP_ADD || Op == OP_SUB || Op == OP_MUL || Op == OP_DIV || Op == OP_EQ || Op == OP_NE)
      return kernel<Op, TL, TR>;
    else
      return nullptr;
  } else {
    return kernel<Op, TL, TR>;
  }
}

template <size_t... I>
constexpr std::array<ScalarKernel, sizeof...(I)> build(std::index_sequence<I...>) {
  return {pick<OP_ADD + static_cast<int>(I / (kScalarTypes * kScalarTypes)),
               static_cast<int>(I / kScalarTypes % kScalarTypes), static_cast<int>(I % kScalarTypes)>()...};
}

}  // namespace

constinit const std::array<ScalarKernel, kScalarOps * kScalarTypes * kScalarTypes> kernels =
    build(std::make_index_sequence<kScalarOps * kScalarTypes * kScalarTypes>());

}  // namespace scalar
