#include <cstring>

#include "lib/string_routines.h"
#include "test_support.h"
#include "value_builders.h"
#include "values/struct.h"

namespace {

class StringsTest : public VekTest {
 protected:
  Variable long_const(int32_t v) {
    Variable c{};
    c.type = TYP_LONG;
    c.flags = FLAG_CONSTANT;
    c.value.l = v;
    return c;
  }
  // Calls a one-string function on a named copy of text and returns the result's text.
  template <typename F>
  std::string on_text(F f, const char* text, std::vector<Variable*> extra = {}, KwNames argk = nullptr) {
    Variable s{};
    set_string(&s, text);
    std::vector<Variable*> argv{&s};
    argv.insert(argv.end(), extra.begin(), extra.end());
    Variable* r = f(static_cast<int>(argv.size()), argv.data(), argk);
    std::string out = text_of(r);
    EXPECT_EQ(text_of(&s), text) << "argument changed";
    release(r);
    delvar(&s);
    return out;
  }
};

// ---- descriptor primitives ----------------------------------------------------------

TEST_F(StringsTest, EnsureLengthKeepsOrReplacesTheBlock) {
  StringDesc s{0, 0, nullptr};
  str_store(&s, "hello");
  char* block = s.chars;
  str_ensure_length(&s, 3);
  EXPECT_EQ(s.chars, block);  // shrinking keeps the block
  EXPECT_EQ(s.length, 3);
  EXPECT_EQ(s.chars[3], 0);
  str_ensure_length(&s, 10);
  EXPECT_EQ(s.length, 10);
  EXPECT_EQ(s.owned, 1);
  str_ensure_length(&s, 0);
  EXPECT_EQ(s.chars, nullptr);
  EXPECT_EQ(s.length, 0);
  // A static string is never written into: a new block is made.
  char text[] = "static";
  StringDesc st{6, 0, text};
  str_ensure_length(&st, 2);
  EXPECT_NE(st.chars, text);
  EXPECT_EQ(st.owned, 1);
  del_str(&st, 1);
}

TEST_F(StringsTest, DupStrCopiesOnlyOwnedStrings) {
  char fixed[] = "fixed";
  StringDesc d[3]{};
  str_store(&d[0], "mine");
  d[1] = StringDesc{5, 0, fixed};
  StringDesc copy[3];
  memcpy(copy, d, sizeof d);
  dup_str(copy, 3);
  EXPECT_NE(copy[0].chars, d[0].chars);
  EXPECT_EQ(text_of(copy[0]), "mine");
  EXPECT_EQ(copy[1].chars, fixed);
  EXPECT_EQ(copy[2].length, 0);
  del_str(copy, 3);
  del_str(d, 3);
  EXPECT_EQ(d[1].chars, nullptr);
}

TEST_F(StringsTest, CompareTreatsEmptyAsNoCharacters) {
  StringDesc a{0, 0, nullptr}, b{0, 0, nullptr}, c{0, 0, nullptr};
  str_store(&b, "ab");
  str_store(&c, "abc");
  EXPECT_EQ(STRING_strcmp(&a, &a), 0);
  EXPECT_LT(STRING_strcmp(&a, &b), 0);
  EXPECT_LT(STRING_strcmp(&b, &c), 0);
  EXPECT_GT(STRING_strcmp(&c, &b), 0);
  del_str(&b, 1);
  del_str(&c, 1);
}

TEST_F(StringsTest, CaseHelpers) {
  char buf[32];
  up_case(buf, "aBc-1z");
  EXPECT_STREQ(buf, "ABC-1Z");
  down_case(buf, "aBc-1Z");
  EXPECT_STREQ(buf, "abc-1z");
  captialize(buf, "hELLO world");
  EXPECT_STREQ(buf, "Hello world");
}

TEST_F(StringsTest, ContainsStringLooksIntoNestedStructures) {
  StructDef inner{}, outer{};
  TagEntry inner_tags[1]{}, outer_tags[2]{};
  inner.n_tags = 1;
  inner.tags = inner_tags;
  outer.n_tags = 2;
  outer.tags = outer_tags;
  outer_tags[0].desc.type = TYP_LONG;
  outer_tags[1].desc.type = TYP_STRUCT;
  outer_tags[1].desc.value.s.sdef = &inner;
  inner_tags[0].desc.type = TYP_FLOAT;
  Variable v{};
  v.type = TYP_STRUCT;
  v.flags = FLAG_STRUCT | FLAG_ARRAY;
  v.value.s.sdef = &outer;
  EXPECT_FALSE(contains_STRING(&v));
  inner_tags[0].desc.type = TYP_STRING;
  EXPECT_TRUE(contains_STRING(&v));
  Variable l{};
  l.type = TYP_LONG;
  EXPECT_FALSE(contains_STRING(&l));
}

// ---- the built-ins ------------------------------------------------------------------

TEST_F(StringsTest, StrtrimFlags) {
  Variable zero = long_const(0), one = long_const(1), two = long_const(2), three = long_const(3);
  EXPECT_EQ(on_text(strtrim, "  ab\t"), "  ab");
  EXPECT_EQ(on_text(strtrim, "  ab\t", {&zero}), "  ab");
  EXPECT_EQ(on_text(strtrim, "  ab\t", {&one}), "ab\t");
  EXPECT_EQ(on_text(strtrim, "  ab\t", {&two}), "ab");
  EXPECT_EQ(on_text(strtrim, " \t ", {&two}), "");
  Variable s{};
  set_string(&s, "x");
  Variable* argv[] = {&s, &three};
  EXPECT_EQ(error_code_of([&] { strtrim(2, argv, nullptr); }), M_VALUE_RANGE);
  delvar(&s);
}

TEST_F(StringsTest, StrcompressRuns) {
  EXPECT_EQ(on_text(strcompress, " a  b"), " a b");
  EXPECT_EQ(on_text(strcompress, "a \t b\t"), "a b ");
  Variable flag = long_const(1);
  const char* const names[] = {"", "REMOVE_ALL"};
  EXPECT_EQ(on_text(strcompress, " a  b", {&flag}, names), "ab");
  EXPECT_EQ(on_text(strcompress, " \t", {&flag}, names), "");
}

TEST_F(StringsTest, StrmidRanges) {
  auto mid = [&](int32_t first, int32_t len) {
    Variable f = long_const(first), l = long_const(len);
    return on_text(strmid, "abcdef", {&f, &l});
  };
  EXPECT_EQ(mid(2, 3), "cde");
  EXPECT_EQ(mid(5, 10), "f");
  EXPECT_EQ(mid(6, 2), "");
  EXPECT_EQ(mid(-3, 2), "ab");
  EXPECT_EQ(mid(1, -1), "");
}

TEST_F(StringsTest, StrposSearch) {
  auto pos = [&](const char* text, const char* key, int32_t from) {
    Variable s{}, k{};
    set_string(&s, text);
    set_string(&k, key);
    Variable p = long_const(from);
    Variable* argv[] = {&s, &k, &p};
    Variable* r = string_pos(3, argv, nullptr);
    EXPECT_EQ(r->type, TYP_INT);
    int v = r->value.i;
    deltmp(r);
    delvar(&s);
    delvar(&k);
    return v;
  };
  EXPECT_EQ(pos("abcabc", "bc", 0), 1);
  EXPECT_EQ(pos("abcabc", "bc", 2), 4);
  EXPECT_EQ(pos("abcabc", "bc", -5), 1);
  EXPECT_EQ(pos("abcabc", "xy", 0), -1);
  EXPECT_EQ(pos("", "a", 0), -1);
  EXPECT_EQ(pos("abc", "", 1), 1);
  EXPECT_EQ(pos("abc", "", 9), 2);
  EXPECT_EQ(pos("abc", "c", 3), -1);

  // Over an array, without pos; the search must be a scalar.
  Variable* arr = string_array({"xay", "", "aaa"}, {1, 3});
  Variable key{};
  set_string(&key, "a");
  Variable* argv[] = {arr, &key};
  Variable* r = string_pos(2, argv, nullptr);
  ASSERT_TRUE(r->is_array());
  EXPECT_EQ(r->value.s.arr->n_dim, 2);
  EXPECT_EQ(elements<int16_t>(r)[0], 1);
  EXPECT_EQ(elements<int16_t>(r)[1], -1);
  EXPECT_EQ(elements<int16_t>(r)[2], 0);
  deltmp(r);
  Variable* bad[] = {&key, arr};
  EXPECT_EQ(error_code_of([&] { string_pos(2, bad, nullptr); }), M_NOT_SCALAR);
  deltmp(arr);
  delvar(&key);
}

TEST_F(StringsTest, StrputOverwritesWithoutGrowing) {
  auto put = [&](const char* dest, const char* src, int32_t at) {
    Variable d{}, s{};
    set_string(&d, dest);
    set_string(&s, src);
    Variable p = long_const(at);
    Variable* argv[] = {&d, &s, &p};
    strput(3, argv, nullptr);
    std::string out = text_of(&d);
    delvar(&d);
    delvar(&s);
    return out;
  };
  EXPECT_EQ(put("abcdef", "XY", 4), "abcdXY");
  EXPECT_EQ(put("abcdef", "XY", 5), "abcdeX");
  EXPECT_EQ(put("abcdef", "XY", 6), "abcdef");
  EXPECT_EQ(put("abcdef", "XY", -2), "XYcdef");
  EXPECT_EQ(put("", "XY", 0), "");

  // A destination pointing at static text gets its own copy first.
  char fixed[] = "hello";
  Variable d{};
  d.type = TYP_STRING;
  d.value.str = StringDesc{5, 0, fixed};
  Variable n{};
  n.type = TYP_INT;
  n.value.i = 7;
  Variable* argv[] = {&d, &n};
  strput(2, argv, nullptr);
  EXPECT_STREQ(fixed, "hello");
  EXPECT_EQ(text_of(&d), "     ");  // INT 7 prints as 8 characters; only 5 fit
  EXPECT_TRUE(d.flags & FLAG_DYNAMIC);
  delvar(&d);

  Variable* t = ret_str_as_STRING("abc");
  Variable* targv[] = {t, &n};
  EXPECT_EQ(error_code_of([&] { strput(2, targv, nullptr); }), M_DEST_NAMED);
  deltmp(t);
  Variable* nargv[] = {&n, &n};
  n.flags = 0;
  EXPECT_EQ(error_code_of([&] { strput(2, nargv, nullptr); }), M_NEED_STRING);
}

TEST_F(StringsTest, StrlenOfNumbersUsesDefaultWidths) {
  Variable i{};
  i.type = TYP_INT;
  i.value.i = 3;
  Variable* argv[] = {&i};
  Variable* r = string_len(1, argv, nullptr);
  EXPECT_EQ(r->type, TYP_LONG);
  EXPECT_EQ(r->value.l, 8);
  deltmp(r);
  i.type = TYP_LONG;
  r = string_len(1, argv, nullptr);
  EXPECT_EQ(r->value.l, 12);
  deltmp(r);
  Variable* arr = string_array({"", "abc"});
  Variable* aargv[] = {arr};
  r = string_len(1, aargv, nullptr);
  ASSERT_TRUE(r->is_array());
  EXPECT_EQ(elements<int32_t>(r)[0], 0);
  EXPECT_EQ(elements<int32_t>(r)[1], 3);
  deltmp(r);
  deltmp(arr);
  EXPECT_EQ(temp_list_handler(3), 0);  // the converted text was released
}

TEST_F(StringsTest, CaseChangeCopiesConstantsAndReusesTemporaries) {
  char fixed[] = "MiXed";
  Variable c{};
  c.type = TYP_STRING;
  c.flags = FLAG_CONSTANT;
  c.value.str = StringDesc{5, 0, fixed};
  Variable* argv[] = {&c};
  Variable* r = string_upcase(1, argv, nullptr);
  EXPECT_EQ(text_of(r), "MIXED");
  EXPECT_STREQ(fixed, "MiXed");
  deltmp(r);

  Variable* t = string_array({"AbC", "dE"}, {2, 1});
  Variable* targv[] = {t};
  r = string_lowcase(1, targv, nullptr);
  EXPECT_EQ(r, t);
  EXPECT_EQ(text_of(elements<StringDesc>(r)[0]), "abc");
  EXPECT_EQ(text_of(elements<StringDesc>(r)[1]), "de");
  deltmp(t);

  Variable f{};
  f.type = TYP_FLOAT;
  f.value.f = 1.5f;
  Variable* fargv[] = {&f};
  r = string_upcase(1, fargv, nullptr);
  EXPECT_EQ(text_of(r), "      1.50000");
  deltmp(r);
  EXPECT_EQ(error_code_of([&] { string_change_case(&f, 2); }), M_INTERNAL);
}

TEST_F(StringsTest, FileOrStructArgumentsAreRefused) {
  Variable f{};
  f.type = TYP_BYTE;
  f.flags = FLAG_FILE;
  Variable* argv[] = {&f};
  EXPECT_EQ(error_code_of([&] { strtrim(1, argv, nullptr); }), M_NO_FILE_STRUCT);
  EXPECT_EQ(error_code_of([&] { string_len(1, argv, nullptr); }), M_NO_FILE_STRUCT);
  Variable k{};
  set_string(&k, "a");
  Variable* pargv[] = {&f, &k};
  EXPECT_EQ(error_code_of([&] { string_pos(2, pargv, nullptr); }), M_NO_FILE_STRUCT);
  delvar(&k);
}

}  // namespace
