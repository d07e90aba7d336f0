#include <algorithm>
#include <array>
#include <cstring>

#include "interp/operators.h"
#include "interp/subscript.h"
#include "lib/structs.h"
#include "ops_support.h"
#include "interp/struct_ref.h"
#include "values/struct.h"

using namespace ops_test;

namespace {

IdentEntry* id(const char* s) { return ident_hash(s, 0, IDENT_UPCASE, MSG_LONGJMP); }

// Builds a structure from values (consumed) with the given tag names.
Variable* build(const char* name, std::vector<const char*> tags, std::vector<Variable*> vals, bool define = true) {
  std::vector<IdentEntry*> ids;
  for (const char* t : tags) ids.push_back(t ? id(t) : nullptr);
  const int n = static_cast<int>(vals.size());
  vals.push_back(nullptr);  // keeps the (unused) value pointer of an empty list in range
  Variable** top = n ? &vals[static_cast<size_t>(n) - 1] : &vals[0];
  return make_struc(top, n, name ? id(name) : nullptr, tags.empty() ? nullptr : ids.data(), true, define);
}

class StructTest : public VekTest {
 protected:
  // Named definitions, tag names and identifiers live for the session; they are all made
  // here, before the per-test memory baseline is taken.
  static void SetUpTestSuite() {
    for (const char* t : {"A", "B", "C", "D", "X", "Y", "IN", "NAME", "ZZ"}) enter_tag(id(t), true);
    deltmp(build("S_BD", {"a", "b"}, {scalar_temp(TYP_BYTE, uint8_t(1)), scalar_temp(TYP_DOUBLE, 2.0)}));
    deltmp(build("S_BI", {"a", "b"}, {scalar_temp(TYP_BYTE, uint8_t(1)), scalar_temp(TYP_INT, int16_t(2))}));
    deltmp(build("S_L", {"a"}, {scalar_temp(TYP_LONG, 0)}));
    deltmp(build("INNER", {"x", "y"}, {str_temp("in"), array_temp<int16_t>(TYP_INT, {1, 2})}));
    Variable* inner = build("INNER", {}, {});
    deltmp(build("OUTER", {"a", "in"}, {scalar_temp(TYP_BYTE, uint8_t(0)), inner}));
    deltmp(build("S_STR", {"c", "x"}, {scalar_temp(TYP_BYTE, uint8_t(0)), str_temp("s")}));
    Variable* anon = build(nullptr, {"a"}, {scalar_temp(TYP_INT, int16_t(1))});
    anon_member_error = error_code_of([&] { build("S_ANON", {"a"}, {anon}); });
    temp_list_handler(2);
    id("CS");
    id("Q");
  }
  static int anon_member_error;

  void SetUp() override {
    VekTest::SetUp();
    struct_refs_reset();
  }

  static const TagEntry& tag(const Variable* s, int i) { return s->value.s.sdef->tags[i]; }
};
int StructTest::anon_member_error = 0;

TEST_F(StructTest, LayoutAlignsEachFieldAndRoundsTheLength) {
  Variable* bd = build("S_BD", {}, {});
  EXPECT_EQ(tag(bd, 0).offset, 0u);
  EXPECT_EQ(tag(bd, 1).offset, 8u);
  EXPECT_EQ(bd->value.s.sdef->length, 16);
  Variable* bi = build("S_BI", {}, {});
  EXPECT_EQ(tag(bi, 1).offset, 2u);
  EXPECT_EQ(bi->value.s.sdef->length, 4);
  // A BYTE then a string descriptor (8-aligned) and then a nested structure aligned to
  // its own widest member.
  Variable* st = build("S_STR", {}, {});
  EXPECT_EQ(tag(st, 1).offset, 8u);
  EXPECT_EQ(st->value.s.sdef->length, 8 + static_cast<int>(sizeof(StringDesc)));
  Variable* out = build("OUTER", {}, {});
  EXPECT_EQ(tag(out, 1).offset, 8u);
  EXPECT_EQ(out->value.s.sdef->length, 8 + 24);
  // {name} alone gives a zeroed record.
  const uint8_t* rec = bd->value.s.arr->data;
  EXPECT_TRUE(std::all_of(rec, rec + 16, [](uint8_t b) { return b == 0; }));
  for (Variable* v : {bd, bi, st, out}) deltmp(v);
  Variable* anon =
      build(nullptr, {"a", "b", "c"}, {scalar_temp(TYP_INT, int16_t(1)), str_temp("q"), scalar_temp(TYP_BYTE, uint8_t(2))});
  EXPECT_EQ(tag(anon, 1).offset, 8u);
  EXPECT_EQ(tag(anon, 2).offset, 24u);
  EXPECT_EQ(anon->value.s.sdef->length, 32);
  deltmp(anon);
}

TEST_F(StructTest, NamedDefinitionsMustBeUsedConsistently) {
  auto err = [](auto f) {
    int code = error_code_of(f);
    temp_list_handler(2);
    return code;
  };
  EXPECT_EQ(err([] { build("S_L", {"a", "b"}, {scalar_temp(TYP_LONG, 1), scalar_temp(TYP_LONG, 2)}); }),
            M_STRUCT_NTAGS);
  EXPECT_EQ(err([] { build("S_L", {"b"}, {scalar_temp(TYP_LONG, 5)}); }), M_STRUCT_TAG_DEF);
  EXPECT_EQ(err([] { build("S_L", {"a"}, {array_temp<int32_t>(TYP_LONG, {1, 2})}); }), M_STRUCT_CONFLICT);
  EXPECT_EQ(err([] { build("Q", {}, {}, false); }), M_STRUCT_UNDEFINED);
  EXPECT_EQ(anon_member_error, M_STRUCT_ANON_MEMBER);
  Variable* s = build("S_L", {"a"}, {scalar_temp(TYP_FLOAT, -7.9f)});
  EXPECT_EQ(elem<int32_t>(s), -7);  // converted to the field's type
  deltmp(s);
}

TEST_F(StructTest, TagChainsGatherAcrossRecords) {
  // x: 5 records of {a: int, c: 3-element LONG array}
  Variable x{};
  {
    Variable* one = build(nullptr, {"a", "c"}, {scalar_temp(TYP_INT, int16_t(0)), array_temp<int32_t>(TYP_LONG, {0, 0, 0})});
    std::array<Variable*, 5> recs{one, one, one, one, one};
    Variable* all = con(5, recs.data(), 0);
    deltmp(one);
    var_copy(all, &x);
    StructDef* sd = x.value.s.sdef;
    EXPECT_EQ(sd->refs, 1);
    for (int r = 0; r < 5; r++) {
      auto* c = reinterpret_cast<int32_t*>(x.value.s.arr->data + r * sd->length + sd->tags[1].offset);
      for (int k = 0; k < 3; k++) c[k] = 10 * r + k;
    }
  }
  int used;
  auto fetch = [&](int base_subs, std::vector<Variable*> base_ops, int tag_subs, std::vector<Variable*> tag_ops) {
    std::vector<Variable*> st = base_ops;
    struct_ref(&x, base_subs, 0, st.empty() ? nullptr : &st.back(), &used);
    st = tag_ops;
    struct_tag_ref(id("c"), tag_subs, 0, st.empty() ? nullptr : &st.back(), &used);
    return fetch_struct();
  };
  Variable* all = fetch(0, {}, 0, {});
  EXPECT_EQ(dims_of(all), (std::vector<uint32_t>{3, 5}));
  EXPECT_EQ(elem<int32_t>(all, 3 * 4 + 2), 42);
  deltmp(all);
  Variable* one = fetch(1, {scalar_temp(TYP_LONG, 2)}, 0, {});
  EXPECT_EQ(dims_of(one), (std::vector<uint32_t>{3}));
  EXPECT_EQ(elem<int32_t>(one, 1), 21);
  deltmp(one);
  Variable* col = fetch(0, {}, 1, {scalar_temp(TYP_LONG, 1)});
  EXPECT_EQ(dims_of(col), (std::vector<uint32_t>{5}));
  EXPECT_EQ(elem<int32_t>(col, 4), 41);
  deltmp(col);
  Variable* single = fetch(1, {scalar_temp(TYP_LONG, 3)}, 1, {scalar_temp(TYP_LONG, 0)});
  EXPECT_FALSE(single->flags & FLAG_ARRAY);
  EXPECT_EQ(elem<int32_t>(single), 30);
  deltmp(single);
  // x.c[1] = 7 stores into every record; x[4].a = 9.6 converts.
  std::vector<Variable*> st = {scalar_temp(TYP_LONG, 1)};
  struct_ref(&x, 0, 0, nullptr, &used);
  struct_tag_ref(id("c"), 1, 0, &st.back(), &used);
  store_struct(scalar_temp(TYP_INT, int16_t(7)));
  st = {scalar_temp(TYP_LONG, 4)};
  struct_ref(&x, 1, 0, &st.back(), &used);
  struct_tag_ref(id("a"), 0, 0, nullptr, &used);
  store_struct(scalar_temp(TYP_FLOAT, 9.6f));
  col = fetch(0, {}, 1, {scalar_temp(TYP_LONG, 1)});
  for (int r = 0; r < 5; r++) EXPECT_EQ(elem<int32_t>(col, r), 7);
  deltmp(col);
  st = {scalar_temp(TYP_LONG, 4)};
  struct_ref(&x, 1, 0, &st.back(), &used);
  struct_tag_ref(nullptr, 0, 0, std::array<Variable*, 1>{scalar_temp(TYP_INT, int16_t(0))}.data(), &used);
  Variable* a4 = fetch_struct();
  EXPECT_EQ(elem<int16_t>(a4), 9);
  deltmp(a4);
  EXPECT_EQ(struct_refs_open(), 0);
  // Errors close the chain they happen in.
  struct_ref(&x, 0, 0, nullptr, &used);
  EXPECT_EQ(error_code_of([&] { struct_tag_ref(id("zz"), 0, 0, nullptr, &used); }), M_TAG_UNDEFINED);
  struct_ref(&x, 0, 0, nullptr, &used);
  Variable* bad_num = scalar_temp(TYP_LONG, 2);
  EXPECT_EQ(error_code_of([&] { struct_tag_ref(nullptr, 0, 0, &bad_num, &used); }), M_TAG_NUMBER);
  struct_ref(&x, 0, 0, nullptr, &used);
  struct_tag_ref(id("a"), 0, 0, nullptr, &used);
  EXPECT_EQ(error_code_of([&] { struct_tag_ref(id("c"), 0, 0, nullptr, &used); }), M_NOT_STRUCT);
  EXPECT_EQ(struct_refs_open(), 0);
  for (int i = 0; i < 4; i++) struct_ref(&x, 0, 0, nullptr, &used);
  EXPECT_EQ(error_code_of([&] { struct_ref(&x, 0, 0, nullptr, &used); }), M_STRUCT_NESTING);
  struct_refs_reset();
  Variable plain{};
  EXPECT_EQ(error_code_of([&] { struct_ref(&plain, 0, 0, nullptr, &used); }), M_NOT_STRUCT);
  temp_list_handler(2);
  delvar(&x);  // the last user of the anonymous definition frees it (checked by the fixture)
}

TEST_F(StructTest, NestedStringsAreCopiedNotShared) {
  Variable o{};
  var_copy(build("OUTER", {}, {}), &o);
  int used;
  struct_ref(&o, 0, 0, nullptr, &used);
  struct_tag_ref(id("in"), 0, 0, nullptr, &used);
  struct_tag_ref(id("x"), 0, 0, nullptr, &used);
  store_struct(str_temp("deep"));
  struct_ref(&o, 0, 0, nullptr, &used, true);  // a read-only system variable's chain
  struct_tag_ref(id("a"), 0, 0, nullptr, &used);
  EXPECT_EQ(error_code_of([] { store_struct(scalar_temp(TYP_BYTE, uint8_t(1))); }), M_READ_ONLY);
  temp_list_handler(2);
  Variable copy{};
  var_copy(&o, &copy);
  struct_ref(&copy, 0, 0, nullptr, &used);
  struct_tag_ref(id("in"), 0, 0, nullptr, &used);
  Variable* inner = fetch_struct();
  EXPECT_TRUE(inner->flags & FLAG_STRUCT);
  Variable* xs = temp_from_tag(inner, 0);
  EXPECT_EQ(str_elem(xs), "deep");
  deltmp(xs);
  // Replacing a record frees the old strings (the fixture checks nothing leaks).
  store_struct_subs(&o, &copy, 0, 0);
  EXPECT_EQ(error_code_of([&] { store_struct_subs(&o, inner, 0, 0); }), M_STRUCT_CONFLICT);
  deltmp(inner);
  delvar(&o);
  delvar(&copy);
}

TEST_F(StructTest, SubscriptsOnStructureArrays) {
  std::array<Variable*, 3> parts{build("S_L", {"a"}, {scalar_temp(TYP_LONG, 10)}),
                                 build("S_L", {"a"}, {scalar_temp(TYP_LONG, 11)}),
                                 build("S_L", {"a"}, {scalar_temp(TYP_LONG, 12)})};
  Variable s{};
  var_copy(con(3, parts.data(), 0), &s);
  for (Variable* p : parts) deltmp(p);
  int used;
  Variable* idx = scalar_temp(TYP_LONG, 1);
  Variable* one = subscript_load(&s, 1, SUB_EXPR, &idx, &used);
  EXPECT_TRUE(one->flags & FLAG_STRUCT);
  EXPECT_EQ(one->value.s.arr->n_elts, 1u);
  EXPECT_EQ(elem<int32_t>(one), 11);
  Variable* where = scalar_temp(TYP_LONG, 2);
  subscript_store(&s, one, 1, SUB_EXPR, &where, &used);
  EXPECT_EQ(elem<int32_t>(&s, 2), 11);
  Variable* other = build("S_BI", {}, {});
  Variable* at = scalar_temp(TYP_LONG, 0);
  EXPECT_EQ(error_code_of([&] { subscript_store(&s, other, 1, SUB_EXPR, &at, &used); }), M_STRUCT_CONFLICT);
  Variable* mix = build("S_BD", {}, {});
  EXPECT_EQ(error_code_of([&] { con(2, std::array<Variable*, 2>{&s, mix}.data(), 0); }), M_STRUCT_CONFLICT);
  EXPECT_EQ(error_code_of([&] { con(2, std::array<Variable*, 2>{&s, scalar_temp(TYP_INT, int16_t(1))}.data(), 0); }),
            M_NOT_STRUCT);
  temp_list_handler(2);
  delvar(&s);
}

TEST_F(StructTest, HelpListsEachTagWithItsValueOrShape) {
  Variable* s = build("S_BD", {"a", "b"}, {scalar_temp(TYP_BYTE, uint8_t(7)), scalar_temp(TYP_DOUBLE, 0.5)});
  std::vector<std::string> lines;
  helpstruct(s->value.s.sdef, s->value.s.arr->data, lines);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "** Structure S_BD, 2 tags, length=16:");
  EXPECT_EQ(lines[1], "   A               BYTE         7");
  EXPECT_EQ(lines[2], "   B               DOUBLE          0.50000000");
  deltmp(s);
  Variable* o = build("OUTER", {}, {});
  lines.clear();
  helpstruct(o->value.s.sdef, nullptr, lines);
  EXPECT_EQ(lines[2], "   IN              STRUCT    -> INNER Array(1)");
  deltmp(o);
  Variable* anon = build(nullptr, {"c"}, {array_temp<float>(TYP_FLOAT, {1, 2, 3, 4}, {2, 2})});
  lines.clear();
  helpstruct(anon->value.s.sdef, anon->value.s.arr->data, lines);
  EXPECT_NE(lines[0].find(", 1 tags, length=16, refs=1:"), std::string::npos);
  EXPECT_EQ(lines[1], "   C               FLOAT     Array(2, 2)");
  deltmp(anon);
}

// Calls a built-in with positional arguments and keyword arguments (already in name order).
Variable* call(SysFun f, std::vector<Variable*> args, std::vector<const char*> kw_names = {}) {
  std::vector<const char*> names(args.size() - kw_names.size(), "");
  names.insert(names.end(), kw_names.begin(), kw_names.end());
  return f(static_cast<int>(args.size()), args.data(), kw_names.empty() ? nullptr : names.data());
}

TEST_F(StructTest, CreateStructAndItsQueries) {
  Variable* s = call(ur_create_struct, {str_array_temp({"a", "b"}), scalar_temp(TYP_INT, int16_t(3)), str_temp("x"),
                                        str_temp("c"), scalar_temp(TYP_DOUBLE, 1.5)});
  Variable* names = call(ur_tag_names, {s});
  EXPECT_EQ(str_elem(names, 0) + str_elem(names, 1) + str_elem(names, 2), "ABC");
  Variable* nt = call(ur_n_tags, {s});
  EXPECT_EQ(elem<int32_t>(nt), 3);
  Variable* len = call(ur_n_tags, {s, scalar_temp(TYP_INT, int16_t(1))}, {"LENGTH"});
  EXPECT_EQ(elem<int32_t>(len), s->value.s.sdef->length);
  Variable* sname = call(ur_tag_names, {s, scalar_temp(TYP_INT, int16_t(1))}, {"STRUCTURE_NAME"});
  EXPECT_EQ(sname->value.str.length, 0);
  // A structure argument contributes its tags; REMOVE drops by index.
  Variable* t = call(ur_create_struct, {str_temp("d"), scalar_temp(TYP_BYTE, uint8_t(4)), s,
                                        array_temp<int32_t>(TYP_LONG, {1, 2})},
                     {"REMOVE"});
  Variable* tn = call(ur_tag_names, {t});
  EXPECT_EQ(tn->n_elts(), 2u);
  EXPECT_EQ(str_elem(tn, 0) + str_elem(tn, 1), "DC");
  Variable* dc = temp_from_tag(t, 1);
  EXPECT_EQ(elem<double>(dc), 1.5);
  Variable* num = call(ur_n_tags, {scalar_temp(TYP_FLOAT, 1.0f)});
  EXPECT_EQ(elem<int32_t>(num), 0);
  temp_list_handler(2);
  auto err = [](std::vector<Variable*> args, std::vector<const char*> kw = {}) {
    int code = error_code_of([&] { call(ur_create_struct, args, kw); });
    temp_list_handler(2);
    return code;
  };
  EXPECT_EQ(err({str_temp(""), scalar_temp(TYP_INT, int16_t(1))}), M_NULL_STRING);
  EXPECT_EQ(err({str_temp("a")}), M_INCORRECT_ARGS);
  EXPECT_EQ(err({scalar_temp(TYP_INT, int16_t(1))}), M_STRUCT_CONVERT);
  EXPECT_EQ(err({str_temp("a"), scalar_temp(TYP_INT, int16_t(1)), scalar_temp(TYP_LONG, 1)}, {"REMOVE"}),
            M_TAG_NUMBER);
  EXPECT_EQ(error_code_of([] { call(ur_tag_names, {scalar_temp(TYP_INT, int16_t(1))}); }), M_NOT_STRUCT);
  temp_list_handler(2);
  // A named structure made at run time keeps its name.
  Variable* named = call(ur_create_struct, {str_temp("a"), scalar_temp(TYP_LONG, 5), str_temp("s_l")}, {"NAME"});
  EXPECT_STREQ(struct_print_name(named->value.s.sdef), "S_L");
  temp_list_handler(2);
}

}  // namespace
