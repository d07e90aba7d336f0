#include <cmath>
#include <cstring>

#include "test_support.h"
#include "value_builders.h"
#include "values/convert.h"

namespace {

class ConvertTest : public VekTest {
 protected:
  template <typename To, typename From>
  To one(From x, int from, int to) {
    To out{};
    convert(&x, &out, 1, from, to);
    return out;
  }
};

// ---- numbers among themselves -------------------------------------------------------

TEST_F(ConvertTest, InPlaceWhenDestinationIsNotWider) {
  // Enough elements that a vectorised loop would show any overlap fault.
  std::vector<double> buf(37);
  for (size_t i = 0; i < buf.size(); i++) buf[i] = static_cast<double>(i) * 1.5 - 20.0;
  std::vector<double> original = buf;
  convert(buf.data(), buf.data(), 37, TYP_DOUBLE, TYP_INT);
  auto* ints = reinterpret_cast<int16_t*>(buf.data());
  for (size_t i = 0; i < buf.size(); i++) EXPECT_EQ(ints[i], static_cast<int16_t>(std::trunc(original[i]))) << i;

  std::vector<int32_t> longs(33);
  for (size_t i = 0; i < longs.size(); i++) longs[i] = static_cast<int32_t>(i * 1000003);
  std::vector<int32_t> lcopy = longs;
  convert(longs.data(), longs.data(), 33, TYP_LONG, TYP_FLOAT);
  auto* floats = reinterpret_cast<float*>(longs.data());
  for (size_t i = 0; i < longs.size(); i++) EXPECT_EQ(floats[i], static_cast<float>(lcopy[i]));
}

TEST_F(ConvertTest, UndefinedStructAndBadCodesAreErrors) {
  int32_t a = 0, b = 0;
  EXPECT_EQ(error_code_of([&] { convert(&a, &b, 1, TYP_UNDEF, TYP_LONG); }), M_UNDEFINED);
  EXPECT_EQ(error_code_of([&] { convert(&a, &b, 1, TYP_LONG, TYP_UNDEF); }), M_UNDEFINED);
  EXPECT_EQ(error_code_of([&] { convert(&a, &b, 1, TYP_STRUCT, TYP_LONG); }), M_STRUCT_CONVERT);
  EXPECT_EQ(error_code_of([&] { convert(&a, &b, 1, TYP_LONG, TYP_STRUCT); }), M_STRUCT_CONVERT);
  EXPECT_EQ(error_code_of([&] { convert(&a, &b, 1, 9, TYP_LONG); }), M_INTERNAL);
  MessageCapture cap;
  error_code_of([&] { convert(&a, &b, 1, TYP_STRUCT, TYP_STRUCT); });
  EXPECT_NE(cap.text.find("Unable to convert variable from type struct."), std::string::npos) << cap.text;
}

// ---- strings to numbers -------------------------------------------------------------

TEST_F(ConvertTest, StringsInPlaceReleaseTheirCharacters) {
  // A temporary STRING array converted in place to DOUBLE must not leak its strings.
  Variable* s = string_array({"1", "2.5", "-4e1"});
  void* data = s->value.s.arr->data;
  convert(data, data, 3, TYP_STRING, TYP_DOUBLE);
  s->type = TYP_DOUBLE;
  auto* d = static_cast<double*>(data);
  EXPECT_EQ(d[0], 1.0);
  EXPECT_EQ(d[1], 2.5);
  EXPECT_EQ(d[2], -40.0);
  deltmp(s);
}

// ---- numbers to strings -------------------------------------------------------------

TEST_F(ConvertTest, StringCopyOwnsItsCharacters) {
  StringDesc lit{3, 0, const_cast<char*>("abc")};
  StringDesc out{0, 0, nullptr};
  convert(&lit, &out, 1, TYP_STRING, TYP_STRING);
  EXPECT_EQ(out.owned, 1);
  EXPECT_NE(out.chars, lit.chars);
  EXPECT_EQ(text_of(out), "abc");
  del_str(&out, 1);
}

// ---- scalar extractors --------------------------------------------------------------

TEST_F(ConvertTest, ScalarExtractors) {
  Variable v{};
  v.type = TYP_DOUBLE;
  v.value.d = -7.9;
  EXPECT_EQ(long_scalar(&v), -7);
  EXPECT_EQ(double_scalar(&v), -7.9);
  v.type = TYP_BYTE;
  v.value.c = 250;
  EXPECT_EQ(long_scalar(&v), 250);
  v.type = TYP_COMPLEX;
  v.value.cmp = {3.5f, 9.0f};
  EXPECT_EQ(long_scalar(&v), 3);
  EXPECT_EQ(double_scalar(&v), 3.5);
  set_string(&v, " 42 ");
  EXPECT_EQ(long_scalar(&v), 42);
  set_string(&v, "1d3");
  EXPECT_EQ(double_scalar(&v), 1000.0);
  delvar(&v);
  EXPECT_EQ(error_code_of([&] { long_scalar(&v); }), M_UNDEFINED);
  Variable* arr = temp_array<int32_t>(TYP_LONG, {1, 2});
  EXPECT_EQ(error_code_of([&] { double_scalar(arr); }), M_NOT_SCALAR);
  deltmp(arr);
  v.type = TYP_STRUCT;
  EXPECT_EQ(error_code_of([&] { long_scalar(&v); }), M_UNKNOWN_TYPE);
  v.type = 0;
}

// ---- basic_type_conversion -------------------------------------------------------

TEST_F(ConvertTest, OneArgumentFormConvertsOrReturnsArgument) {
  Variable x{};
  x.type = TYP_LONG;
  x.value.l = 300;
  Variable* argv[] = {&x};
  EXPECT_EQ(basic_type_conversion(1, argv, TYP_LONG), &x);
  Variable* b = basic_type_conversion(1, argv, TYP_BYTE);
  EXPECT_EQ(b->type, TYP_BYTE);
  EXPECT_EQ(b->value.c, 44);
  EXPECT_TRUE(b->is_temp());
  deltmp(b);

  Variable* f = temp_array<float>(TYP_FLOAT, {-3.9f, 3.9f, 0.5f, 1, 2, 3}, {3, 2});
  Variable* fargv[] = {f};
  Variable* r = basic_type_conversion(1, fargv, TYP_INT);
  ASSERT_TRUE(r->is_array());
  EXPECT_EQ(r->type, TYP_INT);
  EXPECT_EQ(r->value.s.arr->n_dim, 2);
  EXPECT_EQ(r->value.s.arr->dims[0], 3u);
  EXPECT_EQ(elements<int16_t>(r)[0], -3);
  EXPECT_EQ(elements<int16_t>(r)[1], 3);
  deltmp(r);
  Variable* s = basic_type_conversion(1, fargv, TYP_STRING);
  EXPECT_EQ(s->type, TYP_STRING);
  EXPECT_TRUE(s->flags & FLAG_DYNAMIC);
  EXPECT_EQ(text_of(elements<StringDesc>(s)[3]), "      1.00000");
  deltmp(s);
  deltmp(f);

  Variable u{};
  Variable* uargv[] = {&u};
  EXPECT_EQ(error_code_of([&] { basic_type_conversion(1, uargv, TYP_FLOAT); }), M_UNDEFINED);
  u.type = TYP_FLOAT;
  u.flags = FLAG_FILE;
  EXPECT_EQ(error_code_of([&] { basic_type_conversion(1, uargv, TYP_DOUBLE); }), M_NO_FILE_STRUCT);
}

TEST_F(ConvertTest, OffsetFormReinterpretsBytes) {
  Variable* b = temp_array<uint8_t>(TYP_BYTE, {1, 2, 3, 4, 0, 0, 0x80, 0x3f});
  Variable off4 = {}, off5{}, neg{}, two{};
  off4.type = off5.type = neg.type = two.type = TYP_LONG;
  off4.value.l = 4;
  off5.value.l = 5;
  neg.value.l = -1;
  two.value.l = 2;
  Variable* a1[] = {b, &off4};
  Variable* f = basic_type_conversion(2, a1, TYP_FLOAT);
  EXPECT_EQ(f->type, TYP_FLOAT);
  EXPECT_FALSE(f->is_array());
  float expect;
  memcpy(&expect, elements<uint8_t>(b) + 4, 4);
  EXPECT_EQ(f->value.f, expect);
  deltmp(f);
  Variable* a2[] = {b, &off5};
  EXPECT_EQ(error_code_of([&] { basic_type_conversion(2, a2, TYP_FLOAT); }), M_OFFSET_RANGE);
  Variable* a3[] = {b, &neg};
  EXPECT_EQ(error_code_of([&] { basic_type_conversion(2, a3, TYP_FLOAT); }), M_OFFSET_RANGE);
  // Dimensions: two INTs from offset 2; three from offset 4 would run past the end.
  Variable* a4[] = {b, &two, &two};
  Variable* i = basic_type_conversion(3, a4, TYP_INT);
  ASSERT_TRUE(i->is_array());
  EXPECT_EQ(i->value.s.arr->n_elts, 2u);
  int16_t e[2];
  memcpy(e, elements<uint8_t>(b) + 2, 4);
  EXPECT_EQ(elements<int16_t>(i)[0], e[0]);
  EXPECT_EQ(elements<int16_t>(i)[1], e[1]);
  deltmp(i);
  Variable three{};
  three.type = TYP_LONG;
  three.value.l = 3;
  Variable* a5[] = {b, &off4, &three};
  EXPECT_EQ(error_code_of([&] { basic_type_conversion(3, a5, TYP_INT); }), M_OFFSET_RANGE);
  EXPECT_EQ(temp_list_handler(3), 1);  // only b: the refused result was released
  deltmp(b);
  Variable s{};
  set_string(&s, "abcd");
  Variable* a6[] = {&s, &two};
  EXPECT_EQ(error_code_of([&] { basic_type_conversion(2, a6, TYP_LONG); }), M_NO_STRING);
  delvar(&s);
}

}  // namespace
