// Storage handling of the operators: temporaries are reused, named operands left alone.
// What the operators compute is checked by the script operators_by_type.
#include <array>
#include <cstdint>

#include "interp/operators.h"
#include "lib/math.h"
#include "ops_support.h"

using namespace ops_test;

namespace {

class OperatorsTest : public VekTest {};

TEST_F(OperatorsTest, TemporariesAreReusedInPlace) {
  const int n = 1000;
  std::vector<float> vals(n);
  for (int i = 0; i < n; i++) vals[i] = float(i);
  Variable* a = array_temp<float>(TYP_FLOAT, vals);
  uint8_t* data = a->value.s.arr->data;
  const uint32_t allocs = mem_counters.n_malloc;
  Variable* root = vek_uop(1, &a, &ur_abs);  // abs in place
  Variable* t = vek_binop(&ur_op_mul, root, scalar_temp(TYP_FLOAT, 2.0f));
  t = vek_binop(&ur_op_add, t, scalar_temp(TYP_FLOAT, 1.0f));
  t = vek_binop(&ur_op_max, scalar_temp(TYP_FLOAT, 5.0f), t);
  EXPECT_EQ(mem_counters.n_malloc, allocs);
  EXPECT_EQ(t->value.s.arr->data, data);
  EXPECT_EQ(elem<float>(t, 0), 5.0f);
  EXPECT_EQ(elem<float>(t, 999), 1999.0f);
  // A LONG temporary converted to FLOAT in place, then reused.
  Variable* l = array_temp<int32_t>(TYP_LONG, {1, 2, 3});
  uint8_t* ldata = l->value.s.arr->data;
  const uint32_t allocs2 = mem_counters.n_malloc;
  Variable* f = vek_binop(&ur_op_div, l, scalar_temp(TYP_FLOAT, 2.0f));
  EXPECT_EQ(mem_counters.n_malloc, allocs2);
  EXPECT_EQ(f->value.s.arr->data, ldata);
  EXPECT_EQ(f->type, TYP_FLOAT);
  EXPECT_EQ(elem<float>(f, 2), 1.5f);
  deltmp(f);
  deltmp(t);
  EXPECT_EQ(temp_list_handler(3), 0);
}

TEST_F(OperatorsTest, NamedOperandsAreNeitherFreedNorOverwritten) {
  Variable named{};
  Variable* src = array_temp<int16_t>(TYP_INT, {1, 2, 3});
  var_copy(src, &named);
  Variable* r = vek_binop(&ur_op_add, &named, &named);
  EXPECT_EQ(elem<int16_t>(r, 2), 6);
  EXPECT_EQ(elem<int16_t>(&named, 2), 3);
  deltmp(r);
  Variable* neg = vek_uop(1, std::array<Variable*, 1>{&named}.data(), &ur_neg_op);
  EXPECT_EQ(elem<int16_t>(neg, 0), -1);
  EXPECT_EQ(elem<int16_t>(&named, 0), 1);
  deltmp(neg);
  delvar(&named);
}

TEST_F(OperatorsTest, MathFunctionsTakeOverOnlyTemporaryStorage) {
  // Built-ins leave their arguments to the caller (the interpreter releases them).
  Variable* in = array_temp<int16_t>(TYP_INT, {1, 4, 9});
  Variable* r = ur_op_sqrt(1, &in, nullptr);
  EXPECT_EQ(elem<float>(r, 2), 3.0f);
  EXPECT_EQ(elem<int16_t>(in, 2), 9);
  deltmp(r);
  deltmp(in);
  // ...but an array temporary's storage is taken over for the result.
  Variable* f = array_temp<float>(TYP_FLOAT, {16, 25});
  uint8_t* storage = f->value.s.arr->data;
  r = ur_op_sqrt(1, &f, nullptr);
  EXPECT_EQ(r->value.s.arr->data, storage);
  EXPECT_EQ(elem<float>(r, 1), 5.0f);
  EXPECT_FALSE(f->flags & FLAG_ARRAY);
  deltmp(f);
  deltmp(r);
  EXPECT_EQ(temp_list_handler(3), 0);
}

}  // namespace
