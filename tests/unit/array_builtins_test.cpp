// The built-in entry points of array creation, reductions and DEFSYSV: keyword decoding
// and registration.
#include <cstring>
#include <vector>

#include "lib/arrays.h"
#include "lib/reductions.h"
#include "compiler/compiler_input.h"
#include "interp/interpreter.h"
#include "lib/sysvars.h"
#include "session/rline.h"
#include "session/startup.h"
#include "session/sysvar_hooks.h"
#include "test_support.h"
#include "value_builders.h"

namespace {

class ArrayBuiltinsTest : public VekTest {
 protected:
  void SetUp() override {
    init_system_tables();
    VekTest::SetUp();
  }
};

Variable long_value(int32_t v) {
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

TEST_F(ArrayBuiltinsTest, EveryRoutineIsRegistered) {
  for (const char* f : {"BINDGEN", "BYTARR", "CINDGEN", "COMPLEXARR", "DBLARR", "DINDGEN", "FINDGEN", "FLTARR",
                        "INDGEN", "INTARR", "LINDGEN", "LONARR", "MAKE_ARRAY", "REPLICATE", "SINDGEN", "STRARR",
                        "MAX", "MIN", "SORT", "TOTAL", "WHERE"})
    EXPECT_NE(is_sys_function(f), nullptr) << f;
  const RoutineEntry* d = is_procedure("DEFSYSV");
  ASSERT_NE(d, nullptr);
  EXPECT_TRUE(d->accepts_keywords());
  EXPECT_FALSE(is_sys_function("STRARR")->accepts_keywords());
  EXPECT_TRUE(is_sys_function("FLTARR")->accepts_keywords());
  EXPECT_EQ(is_sys_function("REPLICATE")->min(), 2);
  EXPECT_NE(find_sysvar("!PROMPT"), nullptr);  // start-up built the system variables
}

TEST_F(ArrayBuiltinsTest, TypedArrayKeywords) {
  Variable n1000 = long_value(1000), yes = long_value(1);
  Variable* r = Call().pos(&n1000).pos(&n1000).kw("TEST", &yes).fun(fltarr);
  EXPECT_EQ(r->type, TYP_INT);
  EXPECT_EQ(r->value.i, 1);
  deltmp(r);
  // TEST wins over NOZERO; without keywords the array is zeroed.
  Variable n3 = long_value(3);
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
  Variable n3 = long_value(3), yes = long_value(1);
  // The switch latest in name order wins; TYPE overrides switches.
  Variable* r = Call().pos(&n3).kw("BYTE", &yes).kw("LONG", &yes).fun(ur_make_array);
  EXPECT_EQ(r->type, TYP_LONG);
  deltmp(r);
  Variable t5 = long_value(TYP_DOUBLE);
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
  Variable n2 = long_value(2);
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
  Variable v{}, n2 = long_value(2), n3 = long_value(3);
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
  Variable yes = long_value(1);
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
  Variable k = long_value(0);
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
  Variable k = long_value(0);
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
  ASSERT_NE(startup_hooks.version_field, nullptr);
  EXPECT_STRNE(startup_hooks.version_field("OS"), "");

  Variable zero = long_value(0), one = long_value(1);
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
