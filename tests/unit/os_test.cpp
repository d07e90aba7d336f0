// Path expansion, file searches, child processes and keystroke reads, in real temporary
// directories with a temporary HOME.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "session/os.h"
#include "test_support.h"

namespace {

class OsTest : public VekTest {
 protected:
  void SetUp() override {
    VekTest::SetUp();
    char tmpl[] = "/tmp/vek_os_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
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
    std::string cmd = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
    VekTest::TearDown();
  }
  std::string dir_, home_, old_home_;
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
