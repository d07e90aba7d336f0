#include <cstring>

#include "lib/string_routines.h"
#include "test_support.h"
#include "value_builders.h"
#include "values/struct.h"

namespace {

class StringsTest : public VekTest {};

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

}  // namespace
