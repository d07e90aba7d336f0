// The operator drivers: operand checks and conversion, result shape and storage (reusing
// operand temporaries), then one kernel call over all elements. Also array
// concatenation and the matrix product.
#include "interp/operators.h"

#include <algorithm>
#include <cstring>

#include "base/message.h"
#include "compiler/bytecode.h"
#include "interp/matmul.h"
#include "interp/op_kernels.h"
#include "values/convert.h"
#include "values/struct.h"
#include "values/temps.h"

namespace {

// The message an error-only kernel stands for, 0 for a real kernel.
int illegal_code(BinKernel k) {
  if (k == opk::illegal_string2) return M_ILLEGAL_STRING;
  if (k == opk::illegal_complex2) return M_ILLEGAL_COMPLEX;
  if (k == opk::illegal_float2) return M_ILLEGAL_FLOAT;
  return 0;
}
int illegal_code(UnKernel k) {
  if (k == opk::illegal_string1) return M_ILLEGAL_STRING;
  if (k == opk::illegal_complex1) return M_ILLEGAL_COMPLEX;
  return 0;
}

void check_operand(const Variable* v) {
  if (v->type == TYP_UNDEF) var_error(M_UNDEFINED, v, MSG_LONGJMP);
  if (v->flags & FLAG_FILE_OR_STRUCT) var_error(M_NO_FILE_STRUCT, v, MSG_LONGJMP);
}

void release(Variable* v) {
  if (v->flags & FLAG_TEMPORARY) deltmp(v);
}

// Changes the element type of a temporary array in place; the trailing guard moves
// with the (possibly shorter) data.
void retype_in_place(Variable* v, int to_type) {
  ArrayDesc* a = v->value.s.arr;
  convert(a->data, a->data, static_cast<int32_t>(a->n_elts), v->type, to_type);
  a->elem_size = static_cast<uint32_t>(type_size[to_type]);
  a->byte_len = a->n_elts * a->elem_size;
  uint32_t guard_at = (a->byte_len + 3u) & ~3u;
  memcpy(a->data + guard_at, &ARRAY_GUARD, sizeof ARRAY_GUARD);
  v->type = static_cast<uint8_t>(to_type);
}

// Brings an operand to conv_type (0: leave it). Arrays are converted in place when they
// are temporaries with room, else into a new temporary (the old temporary released);
// scalars into buf. Returns the operand to use from now on and sets *data.
Variable* prepare_operand(Variable* v, int conv_type, Value* buf, const void** data) {
  if (!(v->flags & FLAG_ARRAY)) {
    if (conv_type) {
      convert(&v->value, buf, 1, v->type, conv_type);
      *data = buf;
    } else {
      *data = &v->value;
    }
    return v;
  }
  if (conv_type) {
    ArrayDesc* a = v->value.s.arr;
    if ((v->flags & FLAG_TEMPORARY) && v->type != TYP_STRING && !(a->flags & ARR_NO_FREE) &&
        a->elem_size >= static_cast<uint32_t>(type_size[conv_type])) {
      retype_in_place(v, conv_type);
    } else {
      Variable* t = gettmp();
      t->type = static_cast<uint8_t>(conv_type);
      make_array_like(a, t, type_size[conv_type]);
      convert(a->data, t->value.s.arr->data, static_cast<int32_t>(a->n_elts), v->type, conv_type);
      release(v);
      v = t;
    }
  }
  *data = v->value.s.arr->data;
  return v;
}

// Hands the descriptor of temporary operand `from` to `res`, giving it `shape`'s
// dimensions when the shape came from the other operand.
void take_over(Variable* res, Variable* from, const ArrayDesc* shape) {
  ArrayDesc* a = from->value.s.arr;
  if (a != shape) {
    a->n_dim = shape->n_dim;
    memcpy(a->dims, shape->dims, sizeof a->dims);
  }
  res->value.s.arr = a;
  res->flags |= FLAG_ARRAY | FLAG_DYNAMIC;
  from->flags &= static_cast<uint8_t>(~(FLAG_ARRAY | FLAG_DYNAMIC));
}

bool reusable(const Variable* v, int result_type, uint32_t n) {
  if ((v->flags & (FLAG_TEMPORARY | FLAG_ARRAY)) != (FLAG_TEMPORARY | FLAG_ARRAY)) return false;
  const ArrayDesc* a = v->value.s.arr;
  return a->elem_size == static_cast<uint32_t>(type_size[result_type]) && a->n_elts == n &&
         !(a->flags & ARR_NO_FREE);
}

void release_pair(Variable* left, Variable* right) {
  release(left);
  if (right != left) release(right);
}

// A tail operation ready to run: its kernel and its scalar in the kernel's type.
struct TailStep {
  BinKernel kernel;
  Value operand;
};

// How many leading operations of `tail` can run on a result of type rtype and n
// elements: each must leave the result's type and elements as they are (no conversion
// of the result) and take a defined numeric scalar. Fills steps for them.
int prepare_tail(const ElementTail* tail, int rtype, uint32_t n, TailStep* steps) {
  if (!tail || n < kTailMinElements || rtype < TYP_BYTE || rtype > TYP_DOUBLE) return 0;
  int k = 0;
  for (; k < tail->n && k < ElementTail::kMax; k++) {
    const BinOpTable* op = tail->ops[k];
    const Variable* c = tail->operands[k];
    if ((c->flags & FLAG_HAS_DESC) || c->type < TYP_BYTE || c->type > TYP_DOUBLE) break;
    if (arith_entry(op->result_tab, c->type, rtype) != rtype || arith_entry(op->left_conv_tab, c->type, rtype))
      break;
    const BinKernel kernel = op->kernels[arith_entry(op->kernel_tab, c->type, rtype) - 1];
    if (illegal_code(kernel)) break;
    const int rconv = arith_entry(op->right_conv_tab, c->type, rtype);
    steps[k].kernel = kernel;
    if (rconv) convert(&c->value, &steps[k].operand, 1, c->type, rconv);
    else steps[k].operand = c->value;
  }
  return k;
}

// Runs first(s, len), which computes result elements [s, s + len), then the k tail steps
// on the same elements, strip by strip (one call for everything when k is 0).
constexpr uint32_t kStripBytes = 16384;
template <class F>
void run_strips(F first, uint8_t* out, uint32_t n, int rtype, const TailStep* steps, int k) {
  if (k == 0) {
    first(0, n);
    return;
  }
  const uint32_t es = static_cast<uint32_t>(type_size[rtype]);
  const uint32_t strip = kStripBytes / es;
  for (uint32_t s = 0; s < n; s += strip) {
    const uint32_t len = std::min(strip, n - s);
    first(s, len);
    uint8_t* o = out + static_cast<size_t>(s) * es;
    for (int i = 0; i < k; i++) steps[i].kernel(o, &steps[i].operand, o, len, true, false);
  }
}

}  // namespace

namespace {

Variable* binop_driver(const BinOpTable* op, Variable* left, Variable* right, const ElementTail* tail,
                       int* applied) {
  if (applied) *applied = 0;
  check_operand(left);
  check_operand(right);
  const int lt = left->type, rt = right->type;
  const int rtype = arith_entry(op->result_tab, rt, lt);
  const BinKernel kernel = op->kernels[arith_entry(op->kernel_tab, rt, lt) - 1];
  const int lconv = arith_entry(op->left_conv_tab, rt, lt);
  const int rconv = arith_entry(op->right_conv_tab, rt, lt);

  Value lbuf, rbuf;
  const void* ldata;
  const void* rdata;
  left = prepare_operand(left, lconv, &lbuf, &ldata);
  right = prepare_operand(right, rconv, &rbuf, &rdata);
  if (int code = illegal_code(kernel)) message(code, 0, MSG_LONGJMP);

  const bool la = left->flags & FLAG_ARRAY, ra = right->flags & FLAG_ARRAY;
  Variable* res = gettmp();
  res->type = static_cast<uint8_t>(rtype);
  if (rtype == TYP_STRING) {
    res->flags |= FLAG_DYNAMIC;
    res->value.str = StringDesc{0, 0, nullptr};
  }
  if (!la && !ra) {
    kernel(ldata, rdata, &res->value, 1, false, false);
    release_pair(left, right);
    return res;
  }

  // The operand with fewer elements sets the shape (the left one on a tie).
  const ArrayDesc* shape;
  if (la && ra)
    shape = right->value.s.arr->n_elts < left->value.s.arr->n_elts ? right->value.s.arr : left->value.s.arr;
  else
    shape = la ? left->value.s.arr : right->value.s.arr;
  const uint32_t n = shape->n_elts;

  if (rtype != TYP_STRING && reusable(right, rtype, n)) {
    take_over(res, right, shape);
  } else if (rtype != TYP_STRING && reusable(left, rtype, n)) {
    take_over(res, left, shape);
  } else {
    res->flags &= static_cast<uint8_t>(~FLAG_DYNAMIC);
    make_array_like(shape, res, type_size[rtype]);
    if (rtype == TYP_STRING) memset(res->value.s.arr->data, 0, res->value.s.arr->byte_len);
  }
  TailStep steps[ElementTail::kMax];
  const int k = prepare_tail(tail, rtype, n, steps);
  if (applied) *applied = k;
  const size_t les = la ? static_cast<size_t>(type_size[left->type]) : 0;
  const size_t res_ = ra ? static_cast<size_t>(type_size[right->type]) : 0;
  const size_t oes = static_cast<size_t>(type_size[rtype]);
  const auto* lp = static_cast<const uint8_t*>(ldata);
  const auto* rp = static_cast<const uint8_t*>(rdata);
  uint8_t* out = res->value.s.arr->data;
  run_strips([&](uint32_t s, uint32_t len) { kernel(lp + s * les, rp + s * res_, out + s * oes, len, la, ra); },
             out, n, rtype, steps, k);
  release_pair(left, right);
  return res;
}

}  // namespace

Variable* vek_binop(const BinOpTable* op, Variable* left, Variable* right) {
  return binop_driver(op, left, right, nullptr, nullptr);
}

Variable* vek_binop_tail(const BinOpTable* op, Variable* left, Variable* right, const ElementTail& tail,
                         int* applied) {
  return binop_driver(op, left, right, &tail, applied);
}

namespace {

Variable* unary_op(Variable* x, const UnOpTable* op, bool consume, const ElementTail* tail = nullptr,
                   int* applied = nullptr) {
  if (applied) *applied = 0;
  check_operand(x);
  const int t = x->type;
  const int rtype = op->result[t], vtype = op->conv[t];
  const UnKernel kernel = op->kernels[t];
  if (int code = illegal_code(kernel)) message(code, 0, MSG_LONGJMP);

  Variable* res;
  if (x->flags & FLAG_ARRAY) {
    ArrayDesc* a = x->value.s.arr;
    const uint32_t n = a->n_elts;
    const size_t oes = static_cast<size_t>(type_size[rtype]);
    TailStep steps[ElementTail::kMax];
    // Strips need the kernel's input and output elements to be of one size.
    const int k = type_size[vtype] == type_size[rtype] ? prepare_tail(tail, rtype, n, steps) : 0;
    if (applied) *applied = k;
    if ((x->flags & FLAG_TEMPORARY) && t != TYP_STRING && !(a->flags & ARR_NO_FREE) &&
        a->elem_size == static_cast<uint32_t>(type_size[rtype])) {
      if (vtype != t) retype_in_place(x, vtype);
      uint8_t* d = a->data;
      run_strips([&](uint32_t s, uint32_t len) { kernel(d + s * oes, d + s * oes, len); }, d, n, rtype, steps, k);
      res = gettmp();
      res->type = static_cast<uint8_t>(rtype);
      res->value.s.arr = a;
      res->flags |= FLAG_ARRAY | FLAG_DYNAMIC;
      x->flags &= static_cast<uint8_t>(~(FLAG_ARRAY | FLAG_DYNAMIC));
      if (consume) deltmp(x);
      return res;
    }
    if (vtype != t && vtype != rtype) message(M_INTERNAL, 0, MSG_LONGJMP, "Bad unary operator conversion");
    res = gettmp();
    res->type = static_cast<uint8_t>(rtype);
    make_array_like(a, res, type_size[rtype]);
    uint8_t* out = res->value.s.arr->data;
    const uint8_t* in = a->data;
    const size_t ies = static_cast<size_t>(type_size[t]);
    if (vtype != t) {
      run_strips(
          [&](uint32_t s, uint32_t len) {
            convert(in + s * ies, out + s * oes, static_cast<int32_t>(len), t, vtype);
            kernel(out + s * oes, out + s * oes, len);
          },
          out, n, rtype, steps, k);
    } else {
      run_strips([&](uint32_t s, uint32_t len) { kernel(in + s * ies, out + s * oes, len); }, out, n, rtype, steps,
                 k);
    }
  } else {
    Value buf;
    const void* in = &x->value;
    if (vtype != t) {
      convert(&x->value, &buf, 1, t, vtype);
      in = &buf;
    }
    res = gettmp();
    res->type = static_cast<uint8_t>(rtype);
    kernel(in, &res->value, 1);
  }
  if (consume) release(x);
  return res;
}

}  // namespace

Variable* vek_uop(int /*argc*/, Variable* argv[], const UnOpTable* op) { return unary_op(argv[0], op, true); }
Variable* vek_uop_arg(int /*argc*/, Variable* argv[], const UnOpTable* op) { return unary_op(argv[0], op, false); }
Variable* vek_uop_arg_tail(const UnOpTable* op, Variable* arg, const ElementTail& tail, int* applied) {
  return unary_op(arg, op, false, &tail, applied);
}

namespace {

struct ElementwiseFunction {
  const void* fun;
  const UnOpTable* op;
};
ElementwiseFunction elementwise_functions[32];
int n_elementwise_functions = 0;

}  // namespace

void register_elementwise_function(const void* fun, const UnOpTable* op) {
  for (int i = 0; i < n_elementwise_functions; i++)
    if (elementwise_functions[i].fun == fun) return;
  if (n_elementwise_functions < 32) elementwise_functions[n_elementwise_functions++] = {fun, op};
}

const UnOpTable* elementwise_function_table(const void* fun) {
  for (int i = 0; i < n_elementwise_functions; i++)
    if (elementwise_functions[i].fun == fun) return elementwise_functions[i].op;
  return nullptr;
}

// ---- concatenation ----------------------------------------------------------------------

namespace {

uint32_t extent(const Variable* v, int d) {
  if (!(v->flags & FLAG_HAS_DESC)) return 1;
  const ArrayDesc* a = v->value.s.arr;
  return d < a->n_dim ? a->dims[d] : 1;
}

const uint8_t* element_data(Variable* v) {
  return (v->flags & FLAG_HAS_DESC) ? v->value.s.arr->data : reinterpret_cast<const uint8_t*>(&v->value);
}

// Copies cnt elements of type `from` to `to`; same-type strings get their own
// characters, structure records their own strings and nested data.
void copy_elements(const uint8_t* src, uint8_t* dst, uint32_t cnt, int from, int to, StructDef* sdef) {
  if (to == TYP_STRUCT) {
    memcpy(dst, src, static_cast<size_t>(cnt) * static_cast<size_t>(sdef->length));
    dup_str_struct(sdef, dst, cnt);
  } else if (from == to && to != TYP_STRING) {
    memcpy(dst, src, static_cast<size_t>(cnt) * static_cast<size_t>(type_size[to]));
  } else {
    convert(src, dst, static_cast<int32_t>(cnt), from, to);
  }
}

}  // namespace

Variable* con(int n, Variable* ops[], int level) {
  for (int i = 0; i < n; i++) {
    if (ops[i]->type == TYP_UNDEF) var_error(M_UNDEFINED, ops[i], MSG_LONGJMP);
    if (ops[i]->flags & FLAG_FILE) var_error(M_NO_FILE, ops[i], MSG_LONGJMP);
  }
  Variable* first = ops[0];
  StructDef* sdef = (first->flags & FLAG_STRUCT) ? first->value.s.sdef : nullptr;
  int type = first->type;
  for (int i = 1; i < n; i++) {
    Variable* v = ops[i];
    if (sdef) {
      if (!(v->flags & FLAG_STRUCT)) var_error(M_NOT_STRUCT, v, MSG_LONGJMP);
      if (v->value.s.sdef != sdef) message(M_STRUCT_CONFLICT, 0, MSG_LONGJMP, varname(v), "MISSING");
    } else {
      if (v->flags & FLAG_FILE_OR_STRUCT) var_error(M_NO_FILE_STRUCT, v, MSG_LONGJMP);
      type = arith_entry(AT_PROMOTE, v->type, type);
    }
  }

  int nd = level + 1;
  for (int i = 0; i < n; i++)
    if (ops[i]->flags & FLAG_HAS_DESC) nd = std::max<int>(nd, ops[i]->value.s.arr->n_dim);
  if (nd > MAX_DIMS) message(M_MAX_DIMS, 0, MSG_LONGJMP, MAX_DIMS);
  int32_t dims[MAX_DIMS];
  for (int d = 0; d < nd; d++) dims[d] = static_cast<int32_t>(extent(first, d));
  int64_t total_level = 0;
  for (int i = 0; i < n; i++) {
    for (int d = 0; d < nd; d++)
      if (d != level && extent(ops[i], d) != static_cast<uint32_t>(dims[d]))
        var_error(M_CONCAT_DIMS, ops[i], MSG_LONGJMP);
    total_level += extent(ops[i], level);
  }
  if (total_level > INT32_MAX) message(M_DIMS_POSITIVE, 0, MSG_LONGJMP);
  dims[level] = static_cast<int32_t>(total_level);

  const int elem = sdef ? sdef->length : type_size[type];
  Variable* res = gettmp();
  res->type = static_cast<uint8_t>(sdef ? TYP_STRUCT : type);
  make_array(nd, dims, res, elem);
  ArrayDesc* ra = res->value.s.arr;
  if (sdef || type == TYP_STRING) memset(ra->data, 0, ra->byte_len);
  if (sdef) {
    res->value.s.sdef = sdef;
    res->flags |= FLAG_STRUCT;
    if (is_anonymous(sdef)) struct_add_ref(sdef);
  }

  uint64_t below = 1, outer = 1;
  for (int d = 0; d < level; d++) below *= static_cast<uint32_t>(dims[d]);
  for (int d = level + 1; d < nd; d++) outer *= static_cast<uint32_t>(dims[d]);
  uint8_t* dst = ra->data;
  const int res_type = res->type;
  for (uint64_t o = 0; o < outer; o++) {
    for (int i = 0; i < n; i++) {
      Variable* v = ops[i];
      const uint32_t cnt = static_cast<uint32_t>(extent(v, level) * below);
      const size_t src_elem = sdef ? static_cast<size_t>(sdef->length) : static_cast<size_t>(type_size[v->type]);
      const uint8_t* src = element_data(v) + o * cnt * src_elem;
      copy_elements(src, dst, cnt, v->type, res_type, sdef);
      dst += static_cast<size_t>(cnt) * static_cast<size_t>(elem);
    }
  }
  return res;
}

// ---- matrix product -----------------------------------------------------------------------

namespace {

Variable* converted_array(Variable* v, int type) {
  if (v->type == type) return v;
  ArrayDesc* a = v->value.s.arr;
  Variable* t = gettmp();
  t->type = static_cast<uint8_t>(type);
  make_array_like(a, t, type_size[type]);
  convert(a->data, t->value.s.arr->data, static_cast<int32_t>(a->n_elts), v->type, type);
  return t;
}

}  // namespace

Variable* mmult_op(Variable* left, Variable* right) {
  for (Variable* v : {left, right}) {
    if (v->type == TYP_UNDEF) var_error(M_UNDEFINED, v, MSG_LONGJMP);
    if (!(v->flags & FLAG_HAS_DESC)) var_error(M_NOT_ARRAY, v, MSG_LONGJMP);
    if (v->flags & FLAG_FILE_OR_STRUCT) var_error(M_NO_FILE_STRUCT, v, MSG_LONGJMP);
  }
  if (left->type == TYP_STRING && right->type == TYP_STRING) var_error(M_NO_STRING, left, MSG_LONGJMP);
  int type = arith_entry(AT_PROMOTE, right->type, left->type);
  if (type < TYP_LONG) type = TYP_LONG;

  const ArrayDesc* ad = left->value.s.arr;
  const ArrayDesc* bd = right->value.s.arr;
  uint32_t a0 = ad->dims[0], a1 = ad->n_dim > 1 ? ad->dims[1] : 1;
  uint32_t b0 = bd->dims[0], b1 = bd->n_dim > 1 ? bd->dims[1] : 1;
  const bool a_vec = ad->n_dim == 1, b_vec = bd->n_dim == 1;
  if (a_vec && b_vec) {
    b1 = b0;
    b0 = 1;
  } else if (a_vec && b0 != 1) {
    a1 = a0;
    a0 = 1;
  } else if (b_vec && a1 == 1) {
    b1 = b0;
    b0 = 1;
  }
  if (b0 != a1) message(M_MMULT_DIMS, 0, MSG_LONGJMP, varname(left), varname(right));

  Variable* ca = converted_array(left, type);
  Variable* cb = converted_array(right, type);
  int32_t dims[2] = {static_cast<int32_t>(a0), static_cast<int32_t>(b1)};
  Variable* res = make_temp_array_of(type, 2, dims);
  matrix_kernel(type)(ca->value.s.arr->data, cb->value.s.arr->data, res->value.s.arr->data, a0, a1, b1);
  if (ca != left) deltmp(ca);
  if (cb != right) deltmp(cb);
  release_pair(left, right);
  return res;
}

// ---- opcode dispatch ----------------------------------------------------------------------

namespace {

// The two-operand opcodes in their byte-code order (POWER is chosen by the exponent).
const BinOpTable* const kOpcodeTables[] = {&ur_op_add, &ur_op_sub, &ur_op_mul, &ur_op_div, &ur_op_min, &ur_op_max,
                                           nullptr,    &ur_op_mod, &ur_op_and, &ur_op_or,  &ur_op_xor, &ur_op_eq,
                                           &ur_op_ne,  &ur_op_le,  &ur_op_lt,  &ur_op_ge,  &ur_op_gt};
static_assert(OP_GT - OP_ADD + 1 == sizeof kOpcodeTables / sizeof kOpcodeTables[0]);

}  // namespace

const BinOpTable* opcode_table(int opcode) {
  if (opcode < OP_ADD || opcode > OP_GT) return nullptr;
  return kOpcodeTables[opcode - OP_ADD];
}

Variable* binop_for_opcode(int opcode, Variable* left, Variable* right) {
  if (opcode == OP_MATRIX_MULTIPLY) return mmult_op(left, right);
  if (opcode == OP_POWER) return vek_binop(power_op_table(right), left, right);
  if (opcode < OP_ADD || opcode > OP_GT) message(M_INTERNAL, 0, MSG_LONGJMP, "Bad operator opcode");
  return vek_binop(kOpcodeTables[opcode - OP_ADD], left, right);
}

Variable* uop_for_opcode(int opcode, Variable* operand) {
  if (opcode != OP_NEGATE && opcode != OP_NOT) message(M_INTERNAL, 0, MSG_LONGJMP, "Bad operator opcode");
  return vek_uop(1, &operand, opcode == OP_NEGATE ? &ur_neg_op : &ur_not_op);
}
