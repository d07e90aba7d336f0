// The table of system variables and the session's hooks into it. What the variables
// hold, and how stores convert, is checked by the script tests.
#include <cstring>
#include <string>
#include <vector>

#include "base/process.h"
#include "compiler/compiler_input.h"
#include "graphics/graph_sysvars.h"
#include "interp/interpreter.h"
#include "lib/sysvars.h"
#include "term/rline.h"
#include "session/startup.h"
#include "session/sysvar_hooks.h"
#include "test_support.h"
#include "value_builders.h"

namespace {

class SysvarTest : public VekTest {
 protected:
  void SetUp() override {
    init_system_tables();
    init_sysvars();
    register_graphics_sysvars();
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

TEST_F(SysvarTest, TableIsSortedAndFindsEveryEntryByIdentifier) {
  ASSERT_NE(sysvartab, nullptr);
  ASSERT_GE(sysvartab->count, 20u);
  for (uint32_t i = 0; i < sysvartab->count; i++) {
    auto* rec = static_cast<SysVar*>(sysvartab->entries[i]);
    if (i > 0) {
      EXPECT_LT(strcmp(static_cast<SysVar*>(sysvartab->entries[i - 1])->name->name, rec->name->name), 0);
    }
    EXPECT_EQ(is_sysvar(rec->name), rec);
    EXPECT_EQ(find_sysvar(rec->name->name), rec);
  }
  EXPECT_EQ(find_sysvar("!NO_SUCH_THING"), nullptr);
  EXPECT_EQ(find_sysvar("PI"), nullptr);
}

TEST_F(SysvarTest, HelpListsEveryVariableAligned) {
  static std::vector<std::string> lines;
  lines.clear();
  helpsy([](const char* line) { lines.push_back(line); });
  ASSERT_EQ(lines.size(), sysvartab->count);
  size_t column = lines[0].find(" = ");
  ASSERT_NE(column, std::string::npos);
  bool saw_prompt = false;
  for (const std::string& l : lines) {
    EXPECT_EQ(l.find(" = "), column) << l;
    if (l.rfind("!PROMPT", 0) == 0) {
      saw_prompt = true;
      EXPECT_EQ(l.substr(column), " = Vek> ");
    }
  }
  EXPECT_TRUE(saw_prompt);
}

// The session's view of the system variables: the interpreter's and the compiler's
// hooks, the prompt, and the settings other modules own.
TEST_F(SysvarTest, SessionHooksReachTheTable) {
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
  set_string(&p, "+/tmp/sysvar_test_path");
  interp_hooks.store_sysvar(find_sysvar("!PATH"), &p);
  EXPECT_EQ(vek_path, "+/tmp/sysvar_test_path");
  set_string(&p, old_path.c_str());
  interp_hooks.store_sysvar(find_sysvar("!PATH"), &p);
  delvar(&p);
  EXPECT_EQ(vek_path, old_path);
}

}  // namespace
