#include <initializer_list>
#include <numeric>

#include "interp/subscript.h"
#include "ops_support.h"

using namespace ops_test;

namespace {

// One subscript as the compiler would push it: a code and its operands.
struct Sub {
  int code;
  std::vector<Variable*> ops;
};
Sub idx(int32_t i) { return {SUB_EXPR, {scalar_temp(TYP_LONG, i)}}; }
Sub idx_array(std::vector<int32_t> v) { return {SUB_EXPR, {array_temp<int32_t>(TYP_LONG, v)}}; }
Sub all() { return {SUB_ALL, {}}; }
Sub range(int16_t a, int16_t b) { return {SUB_RANGE, {scalar_temp(TYP_INT, a), scalar_temp(TYP_INT, b)}}; }
Sub from(int32_t a) { return {SUB_FROM, {scalar_temp(TYP_LONG, a)}}; }

class SubscriptTest : public VekTest {
 protected:
  // Pushes the subscripts' operands and returns the packed codes.
  int push(std::initializer_list<Sub> subs) {
    stack_.clear();
    int codes = 0;
    for (const Sub& s : subs) {
      codes = s.code + 4 * codes;
      for (Variable* v : s.ops) stack_.push_back(v);
    }
    n_subs_ = static_cast<int>(subs.size());
    return codes;
  }
  Variable** top() { return stack_.empty() ? nullptr : &stack_.back(); }
  Variable* load(Variable* var, std::initializer_list<Sub> subs) {
    int codes = push(subs);
    EXPECT_EQ(subscript_operand_count(n_subs_, codes), static_cast<int>(stack_.size()));
    int popped;
    Variable* r = subscript_load(var, n_subs_, codes, top(), &popped);
    EXPECT_EQ(popped, static_cast<int>(stack_.size()));
    return r;
  }
  void store(Variable* dest, Variable* src, std::initializer_list<Sub> subs) {
    int codes = push(subs);
    int popped;
    subscript_store(dest, src, n_subs_, codes, top(), &popped);
  }
  // A named LONG vector 0..n-1 (times `scale`) or a 4x3 matrix.
  void make_named(Variable* v, int n, std::vector<int32_t> dims = {}) {
    std::vector<int32_t> vals(static_cast<size_t>(n));
    std::iota(vals.begin(), vals.end(), 0);
    var_copy(array_temp<int32_t>(TYP_LONG, vals, dims), v);
  }
  std::vector<int32_t> longs(Variable* v) {
    std::vector<int32_t> out;
    for (uint32_t i = 0; i < v->n_elts(); i++) out.push_back(elem<int32_t>(v, i));
    return out;
  }
  std::vector<Variable*> stack_;
  int n_subs_ = 0;
};

TEST_F(SubscriptTest, VectorLoads) {
  Variable a{};
  make_named(&a, 10);
  Variable* r = load(&a, {idx(4)});
  EXPECT_FALSE(r->flags & FLAG_ARRAY);
  EXPECT_EQ(elem<int32_t>(r), 4);
  deltmp(r);
  r = load(&a, {idx_array({0, 10, -3, 7})});  // index arrays are clipped
  EXPECT_EQ(longs(r), (std::vector<int32_t>{0, 9, 0, 7}));
  deltmp(r);
  r = load(&a, {from(3)});
  EXPECT_EQ(r->n_elts(), 7u);
  EXPECT_EQ(elem<int32_t>(r, 0), 3);
  deltmp(r);
  r = load(&a, {range(2, 4)});
  EXPECT_EQ(longs(r), (std::vector<int32_t>{2, 3, 4}));
  deltmp(r);
  EXPECT_EQ(error_code_of([&] { load(&a, {idx(10)}); }), M_SUBSCRIPT_RANGE);
  EXPECT_EQ(error_code_of([&] { load(&a, {idx(-1)}); }), M_SUBSCRIPT_RANGE);
  EXPECT_EQ(error_code_of([&] { load(&a, {range(8, 10)}); }), M_RANGE_VALUES);
  EXPECT_EQ(error_code_of([&] { load(&a, {range(5, 3)}); }), M_RANGE_VALUES);
  temp_list_handler(2);
  EXPECT_EQ(a.value.s.arr->n_elts, 10u);  // the named array is untouched
  delvar(&a);
}

TEST_F(SubscriptTest, MatrixLoadsKeepLeadingUnitExtents) {
  Variable m{};
  make_named(&m, 12, {4, 3});
  Variable* r = load(&m, {idx(5)});  // linear order
  EXPECT_EQ(elem<int32_t>(r), 5);
  deltmp(r);
  r = load(&m, {idx(1), all()});
  EXPECT_EQ(dims_of(r), (std::vector<uint32_t>{1, 3}));
  EXPECT_EQ(longs(r), (std::vector<int32_t>{1, 5, 9}));
  deltmp(r);
  r = load(&m, {all(), idx(1)});
  EXPECT_EQ(dims_of(r), (std::vector<uint32_t>{4}));
  EXPECT_EQ(longs(r), (std::vector<int32_t>{4, 5, 6, 7}));
  deltmp(r);
  r = load(&m, {idx_array({0, 1}), idx_array({2, 2})});  // paired
  EXPECT_EQ(longs(r), (std::vector<int32_t>{8, 9}));
  deltmp(r);
  r = load(&m, {idx_array({0, 3}), range(1, 2)});  // outer product
  EXPECT_EQ(dims_of(r), (std::vector<uint32_t>{2, 2}));
  EXPECT_EQ(longs(r), (std::vector<int32_t>{4, 7, 8, 11}));
  deltmp(r);
  r = load(&m, {range(1, 2), idx(2)});
  EXPECT_EQ(longs(r), (std::vector<int32_t>{9, 10}));
  deltmp(r);
  EXPECT_EQ(error_code_of([&] { load(&m, {idx(4), idx(0)}); }), M_SUBSCRIPT_RANGE);
  EXPECT_EQ(error_code_of([&] { load(&m, {idx_array({0, 1}), idx_array({1})}); }), M_SUBSCRIPT_SIZES);
  EXPECT_EQ(error_code_of([&] { load(&m, {idx_array({0}), range(0, 3)}); }), M_RANGE_VALUES);
  Variable file{};
  make_file_var(&file, 2);
  EXPECT_EQ(error_code_of([&] { load(&m, {Sub{SUB_EXPR, {&file}}}); }), M_SUBSCRIPT_STRUCT);
  EXPECT_EQ(error_code_of([&] { load(&file, {idx(0)}); }), M_NO_FILE);  // until the file layer hooks in
  delvar(&file);
  temp_list_handler(2);
  delvar(&m);
}

TEST_F(SubscriptTest, SubscriptingAnExpressionReleasesIt) {
  Variable* e = str_array_temp({"zero", "one", "two"});
  Variable* r = load(e, {range(1, 2)});
  EXPECT_EQ(str_elem(r, 0) + "," + str_elem(r, 1), "one,two");
  deltmp(r);
  EXPECT_EQ(temp_list_handler(3), 0);
  Variable* f = array_temp<float>(TYP_FLOAT, {1.5f, 2.5f});
  r = load(f, {idx_array({1, 1, 0})});
  EXPECT_EQ(elem<float>(r, 1), 2.5f);
  EXPECT_EQ(elem<float>(r, 2), 1.5f);
  deltmp(r);
  EXPECT_EQ(temp_list_handler(3), 0);
  // A scalar is a one-element array.
  r = load(scalar_temp(TYP_DOUBLE, 4.0), {idx(0)});
  EXPECT_EQ(elem<double>(r), 4.0);
  deltmp(r);
}

TEST_F(SubscriptTest, BlockStores) {
  Variable a{};
  make_named(&a, 10);
  store(&a, array_temp<int16_t>(TYP_INT, {70, 80, 90}), {idx(2)});
  EXPECT_EQ(longs(&a), (std::vector<int32_t>{0, 1, 70, 80, 90, 5, 6, 7, 8, 9}));
  EXPECT_EQ(error_code_of([&] { store(&a, array_temp<int16_t>(TYP_INT, {7, 8, 9}), {idx(8)}); }), M_INSERT_RANGE);
  temp_list_handler(2);
  Variable m{};
  make_named(&m, 12, {4, 3});
  store(&m, array_temp<int32_t>(TYP_LONG, {-1, -2, -3, -4}, {2, 2}), {idx(1), idx(1)});
  EXPECT_EQ(longs(&m), (std::vector<int32_t>{0, 1, 2, 3, 4, -1, -2, 7, 8, -3, -4, 11}));
  EXPECT_EQ(error_code_of([&] { store(&m, array_temp<int32_t>(TYP_LONG, {1, 2}), {idx(3), idx(0)}); }),
            M_INSERT_RANGE);
  temp_list_handler(2);
  delvar(&a);
  delvar(&m);
}

TEST_F(SubscriptTest, ScatteredStores) {
  Variable a{};
  make_named(&a, 6);
  store(&a, scalar_temp(TYP_INT, int16_t(5)), {idx_array({1, 3})});
  EXPECT_EQ(longs(&a), (std::vector<int32_t>{0, 5, 2, 5, 4, 5}));
  store(&a, array_temp<float>(TYP_FLOAT, {-1.9f, 2.9f}), {range(4, 5)});  // converted, truncated
  EXPECT_EQ(elem<int32_t>(&a, 4), -1);
  EXPECT_EQ(elem<int32_t>(&a, 5), 2);
  EXPECT_EQ(error_code_of([&] { store(&a, array_temp<int16_t>(TYP_INT, {5, 6, 7}), {idx_array({1, 3})}); }),
            M_SOURCE_SIZE);
  temp_list_handler(2);
  // A variable stored into a selection of itself reads the old values.
  Variable b{};
  make_named(&b, 3);
  int codes = push({idx_array({2, 1, 0})});
  int popped;
  subscript_store(&b, &b, 1, codes, top(), &popped);
  EXPECT_EQ(longs(&b), (std::vector<int32_t>{2, 1, 0}));
  delvar(&a);
  delvar(&b);
}

TEST_F(SubscriptTest, ElementStoresConvertAndOwnStrings) {
  Variable bytes{};
  var_copy(array_temp<uint8_t>(TYP_BYTE, {1, 2, 3}), &bytes);
  store(&bytes, scalar_temp(TYP_FLOAT, 300.7f), {idx(1)});
  EXPECT_EQ(elem<uint8_t>(&bytes, 1), 44);  // 300 keeps its low 8 bits
  Variable s{};
  var_copy(str_array_temp({"a", "b", "c"}), &s);
  store(&s, str_temp("new"), {idx(0)});
  store(&s, scalar_temp(TYP_INT, int16_t(7)), {idx(1)});
  store(&s, str_temp("many"), {idx_array({2, 2})});
  store(&s, str_array_temp({"x", "y"}), {idx(1)});
  EXPECT_EQ(str_elem(&s, 0) + str_elem(&s, 1) + str_elem(&s, 2), "newxy");
  Variable* copy = load(&s, {idx(0)});
  EXPECT_NE(copy->value.str.chars, elem<StringDesc>(&s, 0).chars);
  deltmp(copy);
  EXPECT_EQ(error_code_of([&] { store(&s, scalar_temp(TYP_INT, int16_t(1)), {idx(3)}); }), M_SUBSCRIPT_RANGE);
  temp_list_handler(2);
  delvar(&bytes);
  delvar(&s);
}

}  // namespace
