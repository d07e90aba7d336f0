#include "pty_support.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>

namespace {

std::map<std::string, PtyScenarioFn>& scenarios() {
  static std::map<std::string, PtyScenarioFn> table;
  return table;
}

constexpr const char* kScenarioEnv = "VEK_PTY_SCENARIO";

// In the child, the scenario runs once the whole program is initialised and ends the
// process before any test runs.
class ScenarioRunner : public ::testing::Environment {
 public:
  void SetUp() override {
    const char* name = getenv(kScenarioEnv);
    if (!name) return;
    auto it = scenarios().find(name);
    int status = 99;
    if (it != scenarios().end()) {
      try {
        status = it->second();
      } catch (...) {
        status = 98;
      }
    }
    fflush(stdout);
    fflush(stderr);
    _exit(status);
  }
};

[[maybe_unused]] ::testing::Environment* const runner = ::testing::AddGlobalTestEnvironment(new ScenarioRunner);

}  // namespace

bool register_pty_scenario(const char* name, PtyScenarioFn fn) {
  scenarios()[name] = fn;
  return true;
}

PtyProcess::~PtyProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (master_ >= 0) close(master_);
}

bool PtyProcess::start(const char* scenario, int rows, int cols) {
  struct winsize ws = {};
  ws.ws_row = static_cast<unsigned short>(rows);
  ws.ws_col = static_cast<unsigned short>(cols);
  fflush(stdout);
  fflush(stderr);
  pid_ = forkpty(&master_, nullptr, nullptr, &ws);
  if (pid_ < 0) return false;
  if (pid_ == 0) {
    setenv(kScenarioEnv, scenario, 1);
    setenv("TERM", "vt100", 1);
    // The runner takes over in the global set-up, before any test runs.
    execl("/proc/self/exe", "unit_tests", "--gtest_brief=1", nullptr);
    _exit(97);
  }
  return true;
}

std::string PtyProcess::read_until(const std::string& marker, bool* found, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    size_t at = output_.find(marker, consumed_);
    if (at != std::string::npos) {
      std::string text = output_.substr(consumed_, at - consumed_);
      consumed_ = at + marker.size();
      if (found) *found = true;
      return text;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    struct pollfd p = {master_, POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(left.count()));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    char buf[4096];
    ssize_t n = read(master_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // EIO once the child has gone
    output_.append(buf, static_cast<size_t>(n));
  }
  if (found) *found = false;
  std::string rest = output_.substr(consumed_);
  consumed_ = output_.size();
  return rest;
}

void PtyProcess::send(const std::string& keys) {
  ssize_t n = write(master_, keys.data(), keys.size());
  (void)n;
}

int PtyProcess::wait_exit(int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (pid_ > 0) {
    int status;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
      return -1;
    }
    // Keep draining so that the child never blocks on a full terminal buffer.
    struct pollfd p = {master_, POLLIN, 0};
    if (poll(&p, 1, 20) > 0) {
      char buf[4096];
      ssize_t n = read(master_, buf, sizeof buf);
      if (n > 0) output_.append(buf, static_cast<size_t>(n));
    }
  }
  return -1;
}
