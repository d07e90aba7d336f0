// Path expansion, file searches, child processes and keystroke reads, in real temporary
// directories with a temporary HOME.
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <pwd.h>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "io/files.h"
#include "lib/os_routines.h"
#include "term/os.h"
#include "scratch_files.h"
#include "test_support.h"

namespace {

class OsTest : public ScratchFolderTest {
 protected:
  void SetUp() override {
    ScratchFolderTest::SetUp();
    home_ = dir_ + "/home";
    ASSERT_EQ(mkdir(home_.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((dir_ + "/sub").c_str(), 0700), 0);
    for (const char* f : {"b.pro", "a.pro", "c.txt"}) std::ofstream(dir_ + "/" + f) << "x\n";
    const char* h = getenv("HOME");
    had_home_ = h != nullptr;
    if (h) old_home_ = h;
    setenv("HOME", home_.c_str(), 1);
  }
  void TearDown() override {
    if (had_home_)
      setenv("HOME", old_home_.c_str(), 1);
    else
      unsetenv("HOME");
    ScratchFolderTest::TearDown();
  }
  std::string home_, old_home_;
  bool had_home_ = false;
};

TEST_F(OsTest, TildeExpansion) {
  EXPECT_EQ(expanded_path("~"), home_);
  EXPECT_EQ(expanded_path("~/data/x.dat"), home_ + "/data/x.dat");
  EXPECT_EQ(expanded_path(" \t~/x"), home_ + "/x") << "leading blanks are skipped";
  EXPECT_EQ(expanded_path("a/~/x"), "a/~/x") << "only a leading tilde counts";
  const passwd* root = getpwnam("root");
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(expanded_path("~root/x"), std::string(root->pw_dir) + "/x");
  EXPECT_EQ(expanded_path("~no_such_user_vek/x"), "/x");
  unsetenv("HOME");
  EXPECT_EQ(expanded_path("~/x"), "/x");
  setenv("HOME", std::string(1100, 'h').c_str(), 1);
  EXPECT_EQ(expanded_path("~/x"), "~/x") << "a result that does not fit leaves the path";

  char buf[PATH_BUF];
  setenv("HOME", home_.c_str(), 1);
  strcpy(buf, "~/in_place");
  expand_path(buf);
  EXPECT_EQ(std::string(buf), home_ + "/in_place");
}

TEST_F(OsTest, WildcardsAndEnvironmentReferences) {
  EXPECT_EQ(expanded_path(dir_ + "/*.pro"), dir_ + "/a.pro " + dir_ + "/b.pro");
  EXPECT_EQ(expanded_path(dir_ + "/*.none"), dir_ + "/*.none") << "no match leaves the pattern";
  setenv("VEK_TEST_DIR", dir_.c_str(), 1);
  EXPECT_EQ(expanded_path("$VEK_TEST_DIR/c.txt"), dir_ + "/c.txt");
  EXPECT_EQ(expanded_path("${VEK_TEST_DIR}/c*"), dir_ + "/c.txt");
  EXPECT_EQ(expanded_path("$HOME"), home_);
  EXPECT_EQ(expanded_path("~/*"), home_ + "/*") << "the home directory is empty";
  unsetenv("VEK_TEST_UNSET");
  EXPECT_EQ(expanded_path("/a/$VEK_TEST_UNSET/b"), "/a//b");
  EXPECT_EQ(expanded_path("cost$"), "cost$");
  EXPECT_EQ(expanded_path(dir_ + "/?.pro"), dir_ + "/?.pro") << "without * or $ nothing but ~ expands";
  unsetenv("VEK_TEST_DIR");
}

TEST_F(OsTest, ExpansionNeverRunsAShell) {
  std::string marker = dir_ + "/pwned";
  expanded_path("`touch " + marker + "`*");
  expanded_path("$(touch " + marker + ")*");
  expanded_path("*; touch " + marker);
  find_files("x; touch " + marker);
  struct stat st;
  EXPECT_NE(stat(marker.c_str(), &st), 0);
}

TEST_F(OsTest, FindFiles) {
  std::vector<std::string> want = {dir_ + "/a.pro", dir_ + "/b.pro"};
  EXPECT_EQ(find_files(dir_ + "/*.pro"), want);
  want.push_back(dir_ + "/c.txt");
  EXPECT_EQ(find_files(dir_ + "/*.pro  " + dir_ + "/*.txt"), want);
  EXPECT_EQ(find_files(dir_ + "/c.txt"), std::vector<std::string>{dir_ + "/c.txt"});
  EXPECT_TRUE(find_files(dir_ + "/missing.txt").empty());
  EXPECT_TRUE(find_files(dir_ + "/*.none").empty());

  char old[PATH_BUF];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  std::vector<std::string> all = {"a.pro", "b.pro", "c.txt", "home", "sub"};
  EXPECT_EQ(find_files(""), all);
  EXPECT_EQ(find_files("*.pro"), (std::vector<std::string>{"a.pro", "b.pro"}));
  ASSERT_EQ(chdir(old), 0);
  std::ofstream(home_ + "/h.pro") << "x\n";
  EXPECT_EQ(find_files("~/*.pro"), std::vector<std::string>{home_ + "/h.pro"});
}

TEST_F(OsTest, ChildProcessCapture) {
  ChildRequest req;
  req.command = "echo one; echo two";
  req.capture = true;
  ChildResult r = vek_exec_child(req);
  EXPECT_EQ(r.lines, (std::vector<std::string>{"one", "two"}));
  EXPECT_GT(r.pid, 0);
  EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0);

  req.command = "printf abc; exit 3";
  r = vek_exec_child(req);
  EXPECT_EQ(r.lines, std::vector<std::string>{"abc"}) << "a last line without newline counts";
  EXPECT_EQ(WEXITSTATUS(r.status), 3);

  setenv("VEK_TEST_CHILD", "inherited", 1);
  req.command = "echo $VEK_TEST_CHILD";
  EXPECT_EQ(vek_exec_child(req).lines, std::vector<std::string>{"inherited"});
  unsetenv("VEK_TEST_CHILD");

  // Without a shell, arguments arrive untouched.
  ChildRequest direct;
  direct.flags = SPAWN_NOSHELL;
  direct.argv = {"printf", "%s|\\n", "a b", "$HOME"};
  direct.capture = true;
  EXPECT_EQ(vek_exec_child(direct).lines, (std::vector<std::string>{"a b|", "$HOME|"}));
  direct.argv = {"/no/such/program"};
  r = vek_exec_child(direct);
  EXPECT_TRUE(r.lines.empty());
  EXPECT_EQ(WEXITSTATUS(r.status), 127);
}

TEST_F(OsTest, ShellChoice) {
  const char* s = getenv("SHELL");
  std::string old = s ? s : "";
  setenv("SHELL", "/bin/false", 1);
  ChildRequest req;
  req.command = "echo hi";
  req.capture = true;
  ChildResult r = vek_exec_child(req);
  EXPECT_TRUE(r.lines.empty()) << "the user's shell runs the command";
  EXPECT_NE(WEXITSTATUS(r.status), 0);
  req.flags = SPAWN_SH;
  EXPECT_EQ(vek_exec_child(req).lines, std::vector<std::string>{"hi"}) << "SH picks the Bourne shell";
  if (s)
    setenv("SHELL", old.c_str(), 1);
  else
    unsetenv("SHELL");
}

TEST_F(OsTest, KeystrokesNeedATerminal) {
  int saved = dup(0);
  int devnull = open("/dev/null", O_RDONLY);
  ASSERT_GE(devnull, 0);
  dup2(devnull, 0);
  close(devnull);
  EXPECT_EQ(error_code_of([] { get_kbrd(0); }), M_NOT_TTY);
  dup2(saved, 0);
  close(saved);
}

}  // namespace

// GETENV, SETENV, CD, FINDFILE and SPAWN called through the built-in calling convention,
// in a temporary directory with a temporary HOME.



namespace {

// A named variable for the duration of a test.
struct Named {
  Variable v{};
  Named() = default;
  explicit Named(const std::string& s) { store_string(&v, s); }
  explicit Named(int32_t l) { store_scalar(&v, TYP_LONG, &l); }
  ~Named() { delvar(&v); }
  std::string str() const { return std::string(v.value.str.chars ? v.value.str.chars : "", v.value.str.length); }
};

std::vector<std::string> strings_of(Variable* v) {
  std::vector<std::string> out;
  if (v->type != TYP_STRING) return out;
  if (!(v->flags & FLAG_ARRAY)) {
    out.emplace_back(v->value.str.chars ? v->value.str.chars : "", v->value.str.length);
    return out;
  }
  auto* s = reinterpret_cast<StringDesc*>(v->value.s.arr->data);
  for (uint32_t i = 0; i < v->value.s.arr->n_elts; i++) out.emplace_back(s[i].chars ? s[i].chars : "", s[i].length);
  return out;
}

class OsBuiltinTest : public ScratchFolderTest {
 protected:
  void SetUp() override {
    ScratchFolderTest::SetUp();
    home_ = dir_ + "/home";
    ASSERT_EQ(mkdir(home_.c_str(), 0700), 0);
    ASSERT_EQ(mkdir((home_ + "/data").c_str(), 0700), 0);
    for (const char* f : {"one.pro", "two.pro", "three.txt"}) std::ofstream(dir_ + "/" + f) << "x\n";
    const char* h = getenv("HOME");
    had_home_ = h != nullptr;
    if (h) old_home_ = h;
    setenv("HOME", home_.c_str(), 1);
    ASSERT_NE(getcwd(old_cwd_, sizeof old_cwd_), nullptr);
  }
  void TearDown() override {
    EXPECT_EQ(chdir(old_cwd_), 0);
    if (had_home_)
      setenv("HOME", old_home_.c_str(), 1);
    else
      unsetenv("HOME");
    ScratchFolderTest::TearDown();
  }
  static std::string cwd() {
    char b[PATH_BUF];
    return getcwd(b, sizeof b) ? b : "";
  }
  // Calls a function and returns its result's strings, releasing the result.
  static std::vector<std::string> call_strings(SysFun f, std::vector<Variable*> args, KwNames names = nullptr) {
    Variable* r = f(static_cast<int>(args.size()), args.data(), names);
    std::vector<std::string> out = strings_of(r);
    if (r->flags & FLAG_TEMPORARY) deltmp(r);
    return out;
  }
  std::string home_, old_home_;
  bool had_home_ = false;
  char old_cwd_[PATH_BUF];
};

TEST_F(OsBuiltinTest, GetenvAndSetenv) {
  unsetenv("VEK_NO_SUCH_VARIABLE");
  Named missing("VEK_NO_SUCH_VARIABLE"), empty(""), five(5);
  EXPECT_EQ(call_strings(ur_getenv, {&missing.v}), std::vector<std::string>{""});
  EXPECT_EQ(call_strings(ur_getenv, {&empty.v}), std::vector<std::string>{""});
  Variable* five_p = &five.v;
  EXPECT_EQ(error_code_of([&] { ur_getenv(1, &five_p, nullptr); }), M_NEED_STRING);
  int32_t one = 1;
  Variable* arr = make_temp_array_of(TYP_STRING, 1, &one);
  EXPECT_EQ(error_code_of([&] { ur_getenv(1, &arr, nullptr); }), M_NOT_SCALAR);
  deltmp(arr);

  // SETENV keeps its text for the life of the process: allow the allocator one block.
  Named assign("VEK_SETENV_TEST=from vek");
  uint32_t before = mem_counters.bytes_in_use;
  Variable* a = &assign.v;
  ur_setenv(1, &a, nullptr);
  uint32_t kept = mem_counters.bytes_in_use - before;
  EXPECT_LE(kept, 5000u + 64) << "at most one new block of permanent memory";
  baseline_ += kept;
  Named name("VEK_SETENV_TEST");
  EXPECT_EQ(call_strings(ur_getenv, {&name.v}), std::vector<std::string>{"from vek"});
  ChildRequest req;
  req.command = "echo \"$VEK_SETENV_TEST\"";
  req.capture = true;
  EXPECT_EQ(vek_exec_child(req).lines, std::vector<std::string>{"from vek"}) << "children inherit it";
  Variable* e = &empty.v;
  ur_setenv(1, &e, nullptr);  // nothing happens
  unsetenv("VEK_SETENV_TEST");
}

TEST_F(OsBuiltinTest, ChangeDirectory) {
  const char* current_kw[] = {"CURRENT"};
  Named old;
  // CURRENT alone only reports the directory.
  Variable* args[2] = {&old.v, nullptr};
  std::string start = cwd();
  ur_cd(1, args, current_kw);
  EXPECT_EQ(old.str(), start);
  EXPECT_EQ(cwd(), start);

  Named target(dir_);
  args[0] = &target.v;
  ur_cd(1, args, nullptr);
  EXPECT_EQ(cwd(), dir_);

  ur_cd(0, args, nullptr);
  EXPECT_EQ(cwd(), home_) << "CD alone goes home";

  ur_cd(1, args, nullptr);
  Named tilde("~/data");
  const char* both_kw[] = {"", "CURRENT"};
  args[0] = &tilde.v;
  args[1] = &old.v;
  ur_cd(2, args, both_kw);
  EXPECT_EQ(cwd(), home_ + "/data");
  EXPECT_EQ(old.str(), dir_) << "CURRENT is read before the change";

  Named missing("~/no_such_dir");
  args[0] = &missing.v;
  ur_err_string.clear();
  EXPECT_EQ(error_code_of([&] { ur_cd(1, args, nullptr); }), M_CHDIR);
  EXPECT_NE(ur_err_string.find(home_ + "/no_such_dir"), std::string::npos) << "the message names the expanded path";
  Named undefined;
  args[0] = &undefined.v;
  EXPECT_EQ(error_code_of([&] { ur_cd(1, args, nullptr); }), M_UNDEFINED);
  Named number(3);
  args[0] = &number.v;
  EXPECT_EQ(error_code_of([&] { ur_cd(1, args, nullptr); }), M_NEED_STRING);
  EXPECT_EQ(cwd(), home_ + "/data");
}

TEST_F(OsBuiltinTest, FindFileWithCount) {
  Named spec(dir_ + "/*.pro"), n;
  const char* kw[] = {"", "COUNT"};
  EXPECT_EQ(call_strings(ur_findfile, {&spec.v, &n.v}, kw),
            (std::vector<std::string>{dir_ + "/one.pro", dir_ + "/two.pro"}));
  EXPECT_EQ(n.v.type, TYP_LONG);
  EXPECT_EQ(n.v.value.l, 2);
  Named none(dir_ + "/*.none");
  EXPECT_EQ(call_strings(ur_findfile, {&none.v, &n.v}, kw), std::vector<std::string>{""});
  EXPECT_EQ(n.v.value.l, 0);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  EXPECT_EQ(call_strings(ur_findfile, {}), (std::vector<std::string>{"home", "one.pro", "three.txt", "two.pro"}));
}

TEST_F(OsBuiltinTest, SpawnCapturesLines) {
  Named cmd("echo alpha; echo beta"), result, count, pid;
  const char* kw[] = {"", "", "COUNT", "PID"};
  Variable* args[4] = {&cmd.v, &result.v, &count.v, &pid.v};
  ur_spawn(4, args, kw);
  EXPECT_EQ(strings_of(&result.v), (std::vector<std::string>{"alpha", "beta"}));
  EXPECT_EQ(count.v.value.l, 2);
  EXPECT_GT(pid.v.value.l, 0);
  EXPECT_NE(pid.v.value.l, getpid());

  // NOSHELL: an array gives the program and its arguments without interpretation.
  int32_t three = 3;
  Variable* argv_arr = make_temp_array_of(TYP_STRING, 1, &three);
  auto* s = reinterpret_cast<StringDesc*>(argv_arr->value.s.arr->data);
  const char* words[] = {"printf", "%s\\n", "$HOME;x"};
  for (int i = 0; i < 3; i++) {
    s[i].length = static_cast<uint16_t>(strlen(words[i]));
    s[i].chars = static_cast<char*>(counting_malloc(s[i].length + 1u));
    memcpy(s[i].chars, words[i], s[i].length + 1u);
    s[i].owned = 1;
  }
  const char* kw2[] = {"", "", "NOSHELL"};
  Named flag(1);
  Variable* args2[3] = {argv_arr, &result.v, &flag.v};
  ur_spawn(3, args2, kw2);
  EXPECT_EQ(strings_of(&result.v), std::vector<std::string>{"$HOME;x"});
  deltmp(argv_arr);

  Named silent("true");
  Variable* args3[3] = {&silent.v, &result.v, &count.v};
  ur_spawn(3, args3, kw);
  EXPECT_EQ(strings_of(&result.v), std::vector<std::string>{""});
  EXPECT_EQ(count.v.value.l, 0);
}

TEST_F(OsBuiltinTest, SpawnConnectsAUnit) {
  Named cmd("cat"), unit, pid;
  const char* kw[] = {"", "PID", "UNIT"};
  Variable* args[3] = {&cmd.v, &pid.v, &unit.v};
  ur_spawn(3, args, kw);
  int u = unit.v.value.l;
  ASSERT_GE(u, LUN_FIRST);
  ASSERT_LE(u, LUN_LAST);
  ASSERT_NE(file_table[u], nullptr);
  EXPECT_TRUE(file_table[u]->attributes & FA_PIPE);
  FILE* s = file_table[u]->stream;
  fputs("through the child\n", s);
  char line[64] = "";
  ASSERT_NE(fgets(line, sizeof line, s), nullptr);
  EXPECT_STREQ(line, "through the child\n");
  pid_t child = pid.v.value.l;
  EXPECT_EQ(kill(child, 0), 0) << "the child runs on";
  free_lun_unit(u, MSG_LONGJMP);
  EXPECT_EQ(file_table[u], nullptr);
  EXPECT_NE(kill(child, 0), 0) << "closing the unit ends the child";
}

TEST_F(OsBuiltinTest, SpawnWithoutResultSharesTheTerminal) {
  std::string out_file = dir_ + "/out.txt";
  int fd = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  fflush(stdout);
  int saved = dup(1);
  dup2(fd, 1);
  close(fd);
  Named cmd("echo shared");
  Variable* a = &cmd.v;
  ur_spawn(1, &a, nullptr);
  vek_shell_escape("echo escaped", 12);
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::ifstream in(out_file);
  std::stringstream ss;
  ss << in.rdbuf();
  EXPECT_EQ(ss.str(), "shared\nescaped\n");
}

}  // namespace

namespace {

}  // namespace
