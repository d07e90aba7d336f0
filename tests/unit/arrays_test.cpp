#include <cstring>
#include <string>
#include <vector>

#include "compiler/compiler_input.h"
#include "interp/interpreter.h"
#include "lib/arrays.h"
#include "lib/reductions.h"
#include "lib/sysvars.h"
#include "session/startup.h"
#include "session/sysvar_hooks.h"
#include "term/rline.h"
#include "test_support.h"
#include "value_builders.h"
#include "values/struct.h"
#include "lib/sysvars.h"

namespace {

Variable* anon_struct(const char* text);

class ArraysTest : public VekTest {
 protected:
  // Identifiers and tag names live for the session: made before any baseline.
  static void SetUpTestSuite() { deltmp(anon_struct("warm up")); }
};

Variable* index_array(int type, int32_t n) { return basic_array(type, 1, &n, nullptr, ARR_INDEX); }

TEST_F(ArraysTest, ZeroFillForEveryTypeAndShape) {
  for (int type = TYP_BYTE; type <= TYP_STRING; type++) {
    int32_t dims[3] = {3, 4, 2};
    Variable* t = basic_array(type, 3, dims, nullptr, ARR_ZERO);
    ASSERT_EQ(t->type, type);
    ASSERT_TRUE(t->is_array());
    const ArrayDesc* a = t->arr();
    EXPECT_EQ(a->n_dim, 3);
    EXPECT_EQ(a->n_elts, 24u);
    EXPECT_EQ(a->elem_size, static_cast<uint32_t>(type_size[type]));
    for (uint32_t i = 0; i < a->byte_len; i++) ASSERT_EQ(a->data[i], 0) << "type " << type << " byte " << i;
    deltmp(t);
  }
}

TEST_F(ArraysTest, DimensionsComeFromArgumentsThroughLongScalar) {
  Variable d0{}, d1{}, d2{};
  d0.type = TYP_FLOAT;
  d0.value.f = 3.9f;  // truncated
  d1.type = TYP_LONG;
  d1.value.l = 1;
  d2.type = TYP_LONG;
  d2.value.l = 1;
  Variable* args[3] = {&d0, &d1, &d2};
  Variable* t = basic_array(TYP_LONG, 3, nullptr, args, ARR_ZERO);
  EXPECT_EQ(t->arr()->n_dim, 1);  // trailing extents of 1 dropped
  EXPECT_EQ(t->arr()->n_elts, 3u);
  deltmp(t);
  d1.value.l = 0;
  EXPECT_EQ(error_code_of([&] { basic_array(TYP_LONG, 3, nullptr, args, ARR_ZERO); }), M_DIMS_POSITIVE);
  Variable* arr = temp_array<int32_t>(TYP_LONG, {2, 2});
  args[1] = arr;
  EXPECT_EQ(error_code_of([&] { basic_array(TYP_LONG, 3, nullptr, args, ARR_ZERO); }), M_NOT_SCALAR);
  temp_list_handler(2);
}

TEST_F(ArraysTest, IntegerIndexesWrapInTheirOwnWidth) {
  Variable* b = index_array(TYP_BYTE, 300);
  Variable* i = index_array(TYP_INT, 40000);
  Variable* l = index_array(TYP_LONG, 40000);
  for (int32_t k = 0; k < 300; k++) ASSERT_EQ(elements<uint8_t>(b)[k], static_cast<uint8_t>(k));
  for (int32_t k = 0; k < 40000; k++) {
    ASSERT_EQ(elements<int16_t>(i)[k], static_cast<int16_t>(k));
    ASSERT_EQ(elements<int32_t>(l)[k], k);
  }
  EXPECT_EQ(elements<uint8_t>(b)[256], 0);
  EXPECT_EQ(elements<int16_t>(i)[32767], 32767);
  EXPECT_EQ(elements<int16_t>(i)[32768], -32768);
  deltmp(b);
  deltmp(i);
  deltmp(l);
}

TEST_F(ArraysTest, FloatIndexCounterStopsGrowingDoubleDoesNot) {
  const int32_t n = (1 << 24) + 4;
  Variable* f = index_array(TYP_FLOAT, n);
  // The reference is the counter itself: a float increased by 1.0 after each element.
  float counter = 0.0f;
  const float* fd = elements<float>(f);
  for (int32_t k = 0; k < n; k++, counter += 1.0f) ASSERT_EQ(fd[k], counter) << k;
  EXPECT_EQ(fd[n - 1], fd[n - 3]);
  deltmp(f);
  Variable* d = index_array(TYP_DOUBLE, n);
  EXPECT_EQ(elements<double>(d)[n - 1], static_cast<double>(n - 1));
  EXPECT_NE(elements<double>(d)[n - 1], elements<double>(d)[n - 3]);
  deltmp(d);
  Variable* c = index_array(TYP_COMPLEX, 5);
  for (int k = 0; k < 5; k++) {
    EXPECT_EQ(elements<float>(c)[2 * k], static_cast<float>(k));
    EXPECT_EQ(elements<float>(c)[2 * k + 1], 0.0f);
  }
  deltmp(c);
}

TEST_F(ArraysTest, StringIndexesAreTwelveCharacterNumbers) {
  Variable* s = index_array(TYP_STRING, 12);
  auto* d = elements<StringDesc>(s);
  EXPECT_EQ(text_of(d[0]), std::string(11, ' ') + "0");
  EXPECT_EQ(text_of(d[1]), std::string(11, ' ') + "1");
  EXPECT_EQ(text_of(d[11]), std::string(10, ' ') + "11");
  deltmp(s);
}

TEST_F(ArraysTest, NoZeroStillClearsStrings) {
  int32_t n = 3;
  Variable* s = basic_array(TYP_STRING, 1, &n, nullptr, ARR_NOZERO);
  for (int k = 0; k < 3; k++) {
    EXPECT_EQ(elements<StringDesc>(s)[k].length, 0);
    EXPECT_EQ(elements<StringDesc>(s)[k].chars, nullptr);
  }
  deltmp(s);
}

TEST_F(ArraysTest, TestModeReportsWhetherMemoryCouldBeHadAndKeepsNone) {
  int32_t dims[2] = {1000, 1000};
  uint32_t allocs = mem_counters.n_malloc, frees = mem_counters.n_free, bytes = mem_counters.bytes_in_use;
  Variable* ok = basic_array(TYP_FLOAT, 2, dims, nullptr, ARR_TEST);
  EXPECT_EQ(ok->type, TYP_INT);
  EXPECT_FALSE(ok->has_desc());
  EXPECT_EQ(ok->value.i, 1);
  EXPECT_EQ(mem_counters.n_malloc, allocs + 1);
  EXPECT_EQ(mem_counters.n_free, frees + 1);
  EXPECT_EQ(mem_counters.bytes_in_use, bytes);
  deltmp(ok);
  int32_t huge[4] = {2000000000, 2000000000, 2000000000, 8};
  Variable* no = basic_array(TYP_DOUBLE, 4, huge, nullptr, ARR_TEST);
  EXPECT_EQ(no->value.i, 0);
  deltmp(no);
}

TEST_F(ArraysTest, MakeTempArrayReturnsItsData) {
  int32_t dims[2] = {2, 3};
  Variable* t = nullptr;
  void* data = make_temp_array(TYP_DOUBLE, 2, dims, ARR_INDEX, &t);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(data, t->arr()->data);
  EXPECT_EQ(static_cast<double*>(data)[5], 5.0);
  deltmp(t);
}

// ---- REPLICATE --------------------------------------------------------------------------

TEST_F(ArraysTest, ReplicateCopiesScalarsOfEveryWidth) {
  int32_t dims[2] = {3, 2};
  Variable v{};
  v.type = TYP_DOUBLE;
  v.value.d = -2.5;
  Variable* r = replicate(&v, 2, dims);
  EXPECT_EQ(r->type, TYP_DOUBLE);
  EXPECT_EQ(r->arr()->n_dim, 2);
  for (int k = 0; k < 6; k++) EXPECT_EQ(elements<double>(r)[k], -2.5);
  deltmp(r);
  v.type = TYP_COMPLEX;
  v.value.cmp = {1.0f, -1.0f};
  r = replicate(&v, 2, dims);
  for (int k = 0; k < 6; k++) {
    EXPECT_EQ(elements<float>(r)[2 * k], 1.0f);
    EXPECT_EQ(elements<float>(r)[2 * k + 1], -1.0f);
  }
  deltmp(r);
  v.type = TYP_BYTE;
  v.value.c = 200;
  r = replicate(&v, 1, dims);
  for (int k = 0; k < 3; k++) EXPECT_EQ(elements<uint8_t>(r)[k], 200);
  deltmp(r);
}

TEST_F(ArraysTest, ReplicatedStringsAreIndependentCopies) {
  Variable s{};
  set_string(&s, "abc");
  int32_t n = 4;
  Variable* r = replicate(&s, 1, &n);
  auto* d = elements<StringDesc>(r);
  for (int k = 0; k < 4; k++) {
    EXPECT_EQ(text_of(d[k]), "abc");
    EXPECT_NE(d[k].chars, s.value.str.chars);
    EXPECT_EQ(d[k].owned, 1);
  }
  EXPECT_NE(d[0].chars, d[1].chars);
  d[0].chars[0] = 'x';
  EXPECT_EQ(text_of(d[1]), "abc");
  deltmp(r);
  delvar(&s);
}

TEST_F(ArraysTest, ReplicateRefusesArraysAndUndefined) {
  int32_t n = 2;
  Variable* one = temp_array<int32_t>(TYP_LONG, {7});
  EXPECT_EQ(error_code_of([&] { replicate(one, 1, &n); }), M_NOT_SCALAR);
  Variable undefined{};
  EXPECT_EQ(error_code_of([&] { replicate(&undefined, 1, &n); }), M_UNDEFINED);
  deltmp(one);
}

// An anonymous structure {A: 3, S: text} as a temporary.
Variable* anon_struct(const char* text) {
  Variable* vals[2];
  vals[0] = make_long_temp(3);
  vals[1] = ret_str_as_STRING(text);
  IdentEntry* tags[2] = {ident_hash("A", 0, 0, MSG_LONGJMP), ident_hash("S", 0, 0, MSG_LONGJMP)};
  return make_struc(&vals[1], 2, nullptr, tags, true, false);
}

TEST_F(ArraysTest, ReplicatedStructuresShareTheDefinitionButNotTheirStrings) {
  Variable* s = anon_struct("hello");
  StructDef* sd = s->sdef();
  int32_t refs = sd->refs;
  int32_t n = 3;
  Variable* r = replicate(s, 1, &n);
  ASSERT_TRUE(r->is_struct());
  EXPECT_EQ(r->sdef(), sd);
  EXPECT_EQ(sd->refs, refs + 1);
  EXPECT_EQ(r->arr()->n_elts, 3u);
  EXPECT_EQ(r->arr()->elem_size, static_cast<uint32_t>(sd->length));
  const uint32_t off_a = sd->tags[0].offset, off_s = sd->tags[1].offset;
  const StringDesc* orig = reinterpret_cast<StringDesc*>(s->arr()->data + off_s);
  for (uint32_t k = 0; k < 3; k++) {
    uint8_t* rec = r->arr()->data + k * static_cast<uint32_t>(sd->length);
    EXPECT_EQ(*reinterpret_cast<int32_t*>(rec + off_a), 3);
    auto* str = reinterpret_cast<StringDesc*>(rec + off_s);
    EXPECT_EQ(text_of(*str), "hello");
    EXPECT_NE(str->chars, orig->chars);
  }
  deltmp(r);
  EXPECT_EQ(sd->refs, refs);
  // A structure array of more than one element is not a scalar.
  Variable* two = replicate(s, 1, &n);
  EXPECT_EQ(error_code_of([&] { replicate(two, 1, &n); }), M_NOT_SCALAR);
  deltmp(two);
  deltmp(s);
}

// ---- MAKE_ARRAY -------------------------------------------------------------------------

Variable long_value(int32_t v) {
  Variable x{};
  x.type = TYP_LONG;
  x.value.l = v;
  return x;
}

TEST_F(ArraysTest, MakeArrayValueIsConvertedThenReplicated) {
  Variable two = long_value(2), three = long_value(3);
  Variable* pos[2] = {&two, &two};
  Variable five{};
  five.type = TYP_BYTE;
  five.value.c = 5;
  MakeArraySpec spec;
  spec.value = &five;
  Variable* r = make_array_from_spec(2, pos, spec);
  EXPECT_EQ(r->type, TYP_BYTE);
  EXPECT_EQ(r->arr()->n_elts, 4u);
  for (int k = 0; k < 4; k++) EXPECT_EQ(elements<uint8_t>(r)[k], 5);
  deltmp(r);

  Variable f{};
  f.type = TYP_FLOAT;
  f.value.f = 1.7f;
  spec.value = &f;
  spec.type_switch = TYP_LONG;
  pos[0] = &two;
  r = make_array_from_spec(1, pos, spec);
  EXPECT_EQ(r->type, TYP_LONG);
  EXPECT_EQ(elements<int32_t>(r)[0], 1);
  EXPECT_EQ(elements<int32_t>(r)[1], 1);
  deltmp(r);

  spec.type_switch = TYP_STRING;
  pos[0] = &three;
  r = make_array_from_spec(1, pos, spec);
  EXPECT_EQ(r->type, TYP_STRING);
  EXPECT_EQ(text_of(elements<StringDesc>(r)[2]), "      1.70000");
  deltmp(r);
  EXPECT_EQ(temp_list_handler(3), 0);  // the converted copy was released
}

TEST_F(ArraysTest, MakeArrayErrors) {
  Variable three = long_value(3);
  Variable* pos[1] = {&three};
  MakeArraySpec spec;
  spec.type_switch = TYP_INT;
  EXPECT_EQ(error_code_of([&] { make_array_from_spec(0, nullptr, spec); }), M_NO_DIMS);
  spec = MakeArraySpec{};
  spec.type = 8;
  EXPECT_EQ(error_code_of([&] { make_array_from_spec(1, pos, spec); }), M_INVALID_TYPE);
  spec.type = -1;
  EXPECT_EQ(error_code_of([&] { make_array_from_spec(1, pos, spec); }), M_INVALID_TYPE);
  spec = MakeArraySpec{};
  Variable one = long_value(1);
  spec.value = &one;
  spec.test = 1;
  EXPECT_EQ(error_code_of([&] { make_array_from_spec(1, pos, spec); }), M_CONFLICTING_KW);
  EXPECT_EQ(temp_list_handler(3), 0);
}

}  // namespace

// The built-in entry points of array creation, reductions and DEFSYSV: keyword decoding
// and registration.


namespace {

class ArrayBuiltinsTest : public VekTest {
 protected:
  void SetUp() override {
    init_system_tables();
    VekTest::SetUp();
  }
};


// A LONG constant, as the compiler makes for a literal argument.
Variable const_long(int32_t v) {
  Variable x{};
  x.type = TYP_LONG;
  x.value.l = v;
  x.flags = FLAG_CONSTANT;
  return x;
}

// A call: positional arguments then keywords (names sorted), as the interpreter passes
// them.
struct Call {
  std::vector<Variable*> args;
  std::vector<const char*> names;
  Call& pos(Variable* v) {
    args.push_back(v);
    names.push_back("");
    return *this;
  }
  Call& kw(const char* name, Variable* v) {
    args.push_back(v);
    names.push_back(name);
    return *this;
  }
  Variable* fun(SysFun f) { return f(static_cast<int>(args.size()), args.data(), has_kw() ? names.data() : nullptr); }
  void pro(SysProc p) { p(static_cast<int>(args.size()), args.data(), has_kw() ? names.data() : nullptr); }
  bool has_kw() const {
    for (const char* n : names)
      if (*n) return true;
    return false;
  }
};

TEST_F(ArrayBuiltinsTest, TypedArrayKeywords) {
  Variable n1000 = const_long(1000), yes = const_long(1);
  Variable* r = Call().pos(&n1000).pos(&n1000).kw("TEST", &yes).fun(fltarr);
  EXPECT_EQ(r->type, TYP_INT);
  EXPECT_EQ(r->value.i, 1);
  deltmp(r);
  // TEST wins over NOZERO; without keywords the array is zeroed.
  Variable n3 = const_long(3);
  r = Call().pos(&n3).kw("NOZERO", &yes).kw("TEST", &yes).fun(bytarr);
  EXPECT_FALSE(r->has_desc());
  deltmp(r);
  r = Call().pos(&n3).fun(complexarr);
  EXPECT_EQ(r->type, TYP_COMPLEX);
  EXPECT_EQ(elements<float>(r)[5], 0.0f);
  deltmp(r);
  // A keyword the routine does not have.
  EXPECT_EQ(error_code_of([&] { Call().pos(&n3).kw("INDEX", &yes).fun(intarr); }), M_KW_NOT_ALLOWED);
  keyword_cleanup(KW_CLEANUP_ALL);
}

TEST_F(ArrayBuiltinsTest, MakeArrayKeywords) {
  Variable n3 = const_long(3), yes = const_long(1);
  // The switch latest in name order wins; TYPE overrides switches.
  Variable* r = Call().pos(&n3).kw("BYTE", &yes).kw("LONG", &yes).fun(ur_make_array);
  EXPECT_EQ(r->type, TYP_LONG);
  deltmp(r);
  Variable t5 = const_long(TYP_DOUBLE);
  r = Call().pos(&n3).kw("STRING", &yes).kw("TYPE", &t5).fun(ur_make_array);
  EXPECT_EQ(r->type, TYP_DOUBLE);
  deltmp(r);
  r = Call().pos(&n3).kw("NOZERO", &yes).kw("STRING", &yes).fun(ur_make_array);
  EXPECT_EQ(r->type, TYP_STRING);
  EXPECT_EQ(elements<StringDesc>(r)[2].length, 0);
  deltmp(r);
  r = Call().pos(&n3).kw("INDEX", &yes).fun(ur_make_array);
  EXPECT_EQ(r->type, TYP_FLOAT);
  EXPECT_EQ(elements<float>(r)[2], 2.0f);
  deltmp(r);

  Variable* dims = temp_array<int32_t>(TYP_LONG, {2, 3});
  r = Call().kw("DIMENSION", dims).kw("INT", &yes).fun(ur_make_array);
  EXPECT_EQ(r->type, TYP_INT);
  EXPECT_EQ(r->arr()->n_dim, 2);
  EXPECT_EQ(r->arr()->dims[1], 3u);
  deltmp(r);
  // A SIZE vector gives both shape and type.
  Variable* shape = size(r = basic_array(TYP_COMPLEX, 2, std::vector<int32_t>{4, 5}.data(), nullptr, ARR_ZERO));
  deltmp(r);
  r = Call().kw("DIMENSION", dims).kw("SIZE", shape).fun(ur_make_array);
  EXPECT_EQ(r->type, TYP_COMPLEX);
  EXPECT_EQ(r->arr()->dims[0], 4u);
  EXPECT_EQ(r->arr()->dims[1], 5u);
  deltmp(r);
  deltmp(shape);
  deltmp(dims);

  Variable b5{};
  b5.type = TYP_BYTE;
  b5.value.c = 5;
  b5.flags = FLAG_CONSTANT;
  Variable n2 = const_long(2);
  r = Call().pos(&n2).pos(&n2).kw("VALUE", &b5).fun(ur_make_array);
  EXPECT_EQ(r->type, TYP_BYTE);
  EXPECT_EQ(r->arr()->n_elts, 4u);
  EXPECT_EQ(elements<uint8_t>(r)[3], 5);
  deltmp(r);
  EXPECT_EQ(error_code_of([&] { Call().pos(&n3).kw("TEST", &yes).kw("VALUE", &b5).fun(ur_make_array); }),
            M_CONFLICTING_KW);
  EXPECT_EQ(error_code_of([&] { Call().kw("INT", &yes).fun(ur_make_array); }), M_NO_DIMS);
  keyword_cleanup(KW_CLEANUP_ALL);
}

TEST_F(ArrayBuiltinsTest, ReplicateAndIndexGenerators) {
  Variable v{}, n2 = const_long(2), n3 = const_long(3);
  v.type = TYP_FLOAT;
  v.value.f = 1.5f;
  Variable* r = Call().pos(&v).pos(&n2).pos(&n3).fun(ur_replicate);
  EXPECT_EQ(r->arr()->n_dim, 2);
  EXPECT_EQ(elements<float>(r)[5], 1.5f);
  deltmp(r);
  r = Call().pos(&n3).fun(sindgen);
  EXPECT_EQ(text_of(elements<StringDesc>(r)[2]), "           2");
  deltmp(r);
}

TEST_F(ArrayBuiltinsTest, ReductionKeywordsAndOutputs) {
  Variable* a = temp_array<int32_t>(TYP_LONG, {3, 7, 7, 1});
  Variable yes = const_long(1);
  Variable* t = Call().pos(a).kw("DOUBLE", &yes).fun(ur_total);
  EXPECT_EQ(t->type, TYP_DOUBLE);
  EXPECT_EQ(t->value.d, 18.0);
  deltmp(t);

  Variable idx{}, other{};
  t = Call().pos(a).pos(&idx).kw("MIN", &other).fun(ur_max);
  EXPECT_EQ(t->value.l, 7);
  EXPECT_EQ(idx.value.l, 1);
  EXPECT_EQ(other.value.l, 1);
  deltmp(t);
  t = Call().pos(a).kw("MAX", &other).fun(ur_min);
  EXPECT_EQ(t->value.l, 1);
  EXPECT_EQ(vek_cursor, 3);
  EXPECT_EQ(other.value.l, 7);
  deltmp(t);

  // Results go only into variables.
  Variable k = const_long(0);
  EXPECT_EQ(error_code_of([&] { Call().pos(a).pos(&k).fun(ur_max); }), M_NOT_NAMED);
  EXPECT_EQ(error_code_of([&] { Call().pos(a).kw("MIN", &k).fun(ur_max); }), M_NOT_NAMED);
  EXPECT_EQ(error_code_of([&] { Call().pos(a).pos(&k).fun(ur_where); }), M_NOT_NAMED);
  keyword_cleanup(KW_CLEANUP_ALL);

  Variable count{};
  t = Call().pos(a).pos(&count).fun(ur_where);
  EXPECT_EQ(count.value.l, 4);
  deltmp(t);
  t = Call().pos(a).fun(ur_sort);
  EXPECT_EQ(elements<int32_t>(t)[0], 3);
  EXPECT_EQ(elements<int32_t>(t)[3], 2);
  deltmp(t);
  deltmp(a);
  err_code = 0;
}

TEST_F(ArrayBuiltinsTest, DefsysvThroughItsEntry) {
  Variable name{}, out{};
  set_string(&name, "!MSG_PREFIX");
  Call().pos(&name).kw("EXISTS", &out).pro(defsysv);
  EXPECT_EQ(out.value.l, 1);
  Variable k = const_long(0);
  EXPECT_EQ(error_code_of([&] { Call().pos(&name).kw("EXISTS", &k).pro(defsysv); }), M_NOT_NAMED);
  EXPECT_EQ(error_code_of([&] { Call().pos(&name).pro(defsysv); }), M_INCORRECT_ARGS);
  keyword_cleanup(KW_CLEANUP_ALL);
  delvar(&name);
}

// The session's view of the system variables: the interpreter's and the compiler's
// hooks, the prompt, and the settings other modules own.
TEST_F(ArrayBuiltinsTest, SessionHooksReachTheTable) {
  init_system_variables();
  IdentEntry* pi = ident_hash("!PI", 0, IDENT_LOOKUP, MSG_LONGJMP);
  IdentEntry* color = ident_hash("!COLOR", 0, IDENT_LOOKUP, MSG_LONGJMP);
  ASSERT_NE(compiler_hooks.find_sysvar, nullptr);
  EXPECT_EQ(compiler_hooks.find_sysvar(pi), find_sysvar("!PI"));
  EXPECT_EQ(compiler_hooks.find_sysvar(color), is_vmsv1_sysvar(color));
  bool ro = false;
  interp_hooks.sysvar_variable(find_sysvar("!D"), &ro);
  EXPECT_TRUE(ro);
  interp_hooks.sysvar_variable(find_sysvar("!P"), &ro);
  EXPECT_FALSE(ro);
  Variable* v = interp_hooks.load_sysvar(find_sysvar("!PI"));
  EXPECT_EQ(v->type, TYP_FLOAT);
  deltmp(v);
  EXPECT_STREQ(startup_hooks.prompt(), "Vek> ");
  ASSERT_NE(process_hooks.version_field, nullptr);
  EXPECT_STRNE(process_hooks.version_field("OS"), "");

  Variable zero = const_long(0), one = const_long(1);
  interp_hooks.store_sysvar(find_sysvar("!EDIT_INPUT"), &zero);
  EXPECT_EQ(edit_input, 0);
  interp_hooks.store_sysvar(find_sysvar("!EDIT_INPUT"), &one);
  EXPECT_EQ(edit_input, 1);

  // The search path follows !PATH, which started from its default or VEK_PATH.
  std::string old_path = vek_path;
  EXPECT_STREQ(sysv_string(find_sysvar("!PATH")), old_path.c_str());
  Variable p{};
  set_string(&p, "+/tmp/arrays_test_path");
  interp_hooks.store_sysvar(find_sysvar("!PATH"), &p);
  EXPECT_EQ(vek_path, "+/tmp/arrays_test_path");
  set_string(&p, old_path.c_str());
  interp_hooks.store_sysvar(find_sysvar("!PATH"), &p);
  delvar(&p);
  EXPECT_EQ(vek_path, old_path);
}

}  // namespace
