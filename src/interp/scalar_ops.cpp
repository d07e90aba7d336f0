// The table of scalar kernels behind the interpreter's fast path: every (operator, left
// type, right type) combination instantiated with its conversions resolved at compile
// time, so that a scalar operation costs one indirect call; and the scalar helpers of
// the interpreter's condition, CASE and FOR instructions.
#include "interp/scalar_ops.h"

#include <type_traits>
#include <utility>

#include "base/message.h"
#include "values/convert.h"
#include "values/temps.h"

namespace scalar {
namespace {

// The element operation of each operator opcode ADD..GT (void for POWER).
template <int Op>
struct OpOf {
  using type = void;
};
template <> struct OpOf<OP_ADD> { using type = elem::Add; };
template <> struct OpOf<OP_SUB> { using type = elem::Sub; };
template <> struct OpOf<OP_MUL> { using type = elem::Mul; };
template <> struct OpOf<OP_DIV> { using type = elem::Div; };
template <> struct OpOf<OP_MIN> { using type = elem::Min; };
template <> struct OpOf<OP_MAX> { using type = elem::Max; };
template <> struct OpOf<OP_MOD> { using type = elem::Mod; };
template <> struct OpOf<OP_AND> { using type = elem::And; };
template <> struct OpOf<OP_OR> { using type = elem::Or; };
template <> struct OpOf<OP_XOR> { using type = elem::Xor; };
template <> struct OpOf<OP_EQ> { using type = elem::Eq; };
template <> struct OpOf<OP_NE> { using type = elem::Ne; };
template <> struct OpOf<OP_LE> { using type = elem::Le; };
template <> struct OpOf<OP_LT> { using type = elem::Lt; };
template <> struct OpOf<OP_GE> { using type = elem::Ge; };
template <> struct OpOf<OP_GT> { using type = elem::Gt; };

constexpr bool is_relation(int op) { return op >= OP_EQ && op <= OP_GT; }

// The field of a Value that holds type T.
template <int T>
inline elem::ctype<T> field(const Value& v) {
  if constexpr (T == TYP_BYTE) return v.c;
  else if constexpr (T == TYP_INT) return v.i;
  else if constexpr (T == TYP_LONG) return v.l;
  else if constexpr (T == TYP_FLOAT) return v.f;
  else if constexpr (T == TYP_DOUBLE) return v.d;
  else return v.cmp;
}

template <int Op, int TL, int TR>
ScalarResult kernel(const Value& l, const Value& r) {
  constexpr int T = TL > TR ? TL : TR;
  using E = elem::ctype<T>;
  using F = typename OpOf<Op>::type;
  const E a = elem::num_cvt<E>(field<TL>(l));
  const E b = elem::num_cvt<E>(field<TR>(r));
  ScalarResult res{0, 0};
  if constexpr (is_relation(Op)) {
    res.bits = F::f(a, b) ? 1 : 0;
    res.type = TYP_BYTE;
  } else {
    const E x = F::f(a, b);
    std::memcpy(&res.bits, &x, sizeof x);
    res.type = T;
  }
  return res;
}

template <int Op, int TL, int TR>
constexpr ScalarKernel pick() {
  constexpr int T = TL > TR ? TL : TR;
  if constexpr (TL < TYP_BYTE || TR < TYP_BYTE || std::is_void_v<typename OpOf<Op>::type>) {
    return nullptr;
  } else if constexpr (T == TYP_COMPLEX) {
    // Only these are defined for complex operands; the rest are errors.
    if constexpr (Op == OP_ADD || Op == OP_SUB || Op == OP_MUL || Op == OP_DIV || Op == OP_EQ || Op == OP_NE)
      return kernel<Op, TL, TR>;
    else
      return nullptr;
  } else if constexpr (Op == OP_XOR && T >= TYP_FLOAT) {
    return nullptr;  // XOR is for integers only
  } else {
    return kernel<Op, TL, TR>;
  }
}

template <size_t... I>
constexpr std::array<ScalarKernel, sizeof...(I)> build(std::index_sequence<I...>) {
  return {pick<OP_ADD + static_cast<int>(I / (kScalarTypes * kScalarTypes)),
               static_cast<int>(I / kScalarTypes % kScalarTypes), static_cast<int>(I % kScalarTypes)>()...};
}

void release(Variable* v) {
  if (v->flags & FLAG_TEMPORARY) deltmp(v);
}

bool same_value(const Variable* a, const Variable* b) {
  if (a->type == TYP_STRING) {
    const StringDesc& x = a->value.str;
    const StringDesc& y = b->value.str;
    return x.length == y.length && (x.length == 0 || memcmp(x.chars, y.chars, x.length) == 0);
  }
  const Value& x = a->value;
  const Value& y = b->value;
  switch (a->type) {
    case TYP_BYTE: return x.c == y.c;
    case TYP_INT: return x.i == y.i;
    case TYP_LONG: return x.l == y.l;
    case TYP_FLOAT: return x.f == y.f;
    case TYP_DOUBLE: return x.d == y.d;
    case TYP_COMPLEX: return x.cmp == y.cmp;
    default: return false;
  }
}

}  // namespace

constinit const std::array<ScalarKernel, kScalarOps * kScalarTypes * kScalarTypes> kernels =
    build(std::make_index_sequence<kScalarOps * kScalarTypes * kScalarTypes>());

Value convert_value(int from, const Value& v, int to) {
  Value out;
  out.d = 0;
  switch (to) {
    case TYP_BYTE: put(out, get<uint8_t>(from, v)); break;
    case TYP_INT: put(out, get<int16_t>(from, v)); break;
    case TYP_LONG: put(out, get<int32_t>(from, v)); break;
    case TYP_FLOAT: put(out, get<float>(from, v)); break;
    case TYP_DOUBLE: put(out, get<double>(from, v)); break;
    case TYP_COMPLEX: put(out, get<Complex>(from, v)); break;
    default: break;
  }
  return out;
}

Variable* scalar_convert(Variable* v, int type) {
  if (v->type == TYP_UNDEF) var_error(M_UNDEFINED, v, MSG_LONGJMP);
  if (v->flags & FLAG_HAS_DESC) var_error(M_NOT_SCALAR, v, MSG_LONGJMP);
  if (v->type == type) return v;
  Variable* t = gettmp();
  t->type = static_cast<uint8_t>(type);
  t->value.d = 0;
  t->value.str = StringDesc{0, 0, nullptr};
  try {
    convert(&v->value, &t->value, 1, v->type, type);
  } catch (...) {
    freetmp(t);
    throw;
  }
  if (type == TYP_STRING && t->value.str.owned) t->flags |= FLAG_DYNAMIC;
  release(v);
  return t;
}

bool condition_true(const Variable* v) {
  if (v->flags & FLAG_HAS_DESC) var_error(M_NOT_SCALAR, v, MSG_LONGJMP);
  const Value& x = v->value;
  switch (v->type) {
    case TYP_BYTE: return x.c & 1;
    case TYP_INT: return x.i & 1;
    case TYP_LONG: return x.l & 1;
    case TYP_FLOAT: return x.f != 0.0f;
    case TYP_DOUBLE: return x.d != 0.0;
    case TYP_COMPLEX: return x.cmp.r != 0.0f;
    case TYP_STRING: return x.str.length != 0;
    case TYP_UNDEF: var_error(M_UNDEFINED, v, MSG_LONGJMP); return false;
    default: var_error(M_NOT_SCALAR, v, MSG_LONGJMP); return false;
  }
}

bool case_matches(Variable* selector, Variable* label) {
  if (selector->type == TYP_UNDEF) var_error(M_UNDEFINED, selector, MSG_LONGJMP);
  if (label->type == TYP_UNDEF) var_error(M_UNDEFINED, label, MSG_LONGJMP);
  if (selector->flags & FLAG_HAS_DESC) var_error(M_NOT_SCALAR, selector, MSG_LONGJMP);
  if (label->flags & FLAG_HAS_DESC) var_error(M_NOT_SCALAR, label, MSG_LONGJMP);
  if (label->type == selector->type) {
    bool eq = same_value(selector, label);
    release(label);
    return eq;
  }
  // The label is converted to the selector's type (a temporary label is consumed).
  Variable* t = scalar_convert(label, selector->type);
  bool eq = same_value(selector, t);
  if (t != label) release(t);
  return eq;
}

void check_loop_variable(const Variable* var) {
  if (var->type == TYP_UNDEF) var_error(M_UNDEFINED, var, MSG_LONGJMP);
  if (var->flags & FLAG_HAS_DESC) var_error(M_NOT_SCALAR, var, MSG_LONGJMP);
  if (var->type == TYP_COMPLEX) var_error(M_NO_COMPLEX, var, MSG_LONGJMP);
  if (var->type == TYP_STRING) var_error(M_NO_STRING, var, MSG_LONGJMP);
}

void store_loop_bound(uint8_t* at, const Variable* bound, const Variable* var, int type) {
  if (bound->type == TYP_UNDEF) var_error(M_UNDEFINED, bound, MSG_LONGJMP);
  if (bound->flags & FLAG_HAS_DESC) var_error(M_NOT_SCALAR, bound, MSG_LONGJMP);
  const bool numeric = bound->type >= TYP_BYTE && bound->type <= TYP_COMPLEX;
  Value v;
  v.d = 0;
  if (bound->type == type) {
    v = bound->value;
  } else if (numeric) {
    v = convert_value(bound->type, bound->value, type);
  } else {
    // A string bound is scanned as convert() scans it; the bound itself is unchanged.
    convert(&bound->value, &v, 1, bound->type, type);
  }
  if (type == TYP_INT && bound->type != TYP_INT) {
    double d = numeric ? get<double>(bound->type, bound->value) : v.i;
    int64_t whole = numeric ? static_cast<int64_t>(d) : v.i;
    if (!(d == d) || d >= 32768.0 || d <= -32769.0 || whole != v.i) var_error(M_LOOP_LIMIT, var, MSG_LONGJMP);
  }
  memcpy(at, &v, 8);
}

bool bound_negative(int type, const uint8_t* at) {
  Value v;
  memcpy(&v, at, 8);
  switch (type) {
    case TYP_INT: return v.i < 0;
    case TYP_LONG: return v.l < 0;
    case TYP_FLOAT: return v.f < 0;
    case TYP_DOUBLE: return v.d < 0;
    default: return false;
  }
}

int compare_bound(const Variable* var, const uint8_t* at) {
  Value b;
  memcpy(&b, at, 8);
  const Value& x = var->value;
  switch (var->type) {
    case TYP_BYTE: return x.c < b.c ? -1 : x.c > b.c;
    case TYP_INT: return x.i < b.i ? -1 : x.i > b.i;
    case TYP_LONG: return x.l < b.l ? -1 : x.l > b.l;
    case TYP_FLOAT: return x.f < b.f ? -1 : x.f > b.f;
    default: return x.d < b.d ? -1 : x.d > b.d;
  }
}

void step_loop_variable(Variable* var, const uint8_t* at) {
  Value inc;
  if (at) memcpy(&inc, at, 8);
  else inc = convert_value(TYP_BYTE, Value{.c = 1}, var->type);
  Value& x = var->value;
  switch (var->type) {
    case TYP_BYTE: x.c = elem::Add::f(x.c, inc.c); break;
    case TYP_INT: x.i = elem::Add::f(x.i, inc.i); break;
    case TYP_LONG: x.l = elem::Add::f(x.l, inc.l); break;
    case TYP_FLOAT: x.f = elem::Add::f(x.f, inc.f); break;
    default: x.d = elem::Add::f(x.d, inc.d); break;
  }
}

}  // namespace scalar
