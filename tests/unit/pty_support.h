// Scenarios that need a real terminal: a fresh copy of the test program runs one named
// scenario with its standard streams on a pseudo-terminal, while the test drives the
// other end like a user at the keyboard.
#pragma once

#include <sys/types.h>

#include <string>

using PtyScenarioFn = int (*)();
bool register_pty_scenario(const char* name, PtyScenarioFn fn);

// Defines a scenario: the body runs in the child and its return value is the exit status.
#define PTY_SCENARIO(name)                                                          \
  static int name##_scenario();                                                     \
  [[maybe_unused]] static const bool name##_registered =                            \
      register_pty_scenario(#name, name##_scenario);                                \
  static int name##_scenario()

class PtyProcess {
 public:
  PtyProcess() = default;
  PtyProcess(const PtyProcess&) = delete;
  PtyProcess& operator=(const PtyProcess&) = delete;
  ~PtyProcess();

  // Starts the scenario on a terminal of the given size.
  bool start(const char* scenario, int rows, int cols);
  // Reads until `marker` appears after what earlier calls consumed; returns the text in
  // between (marker excluded), or sets *found false on timeout or end of output.
  std::string read_until(const std::string& marker, bool* found = nullptr, int timeout_ms = 10000);
  void send(const std::string& keys);
  // Exit status of the child, or -1 when it had to be killed.
  int wait_exit(int timeout_ms = 10000);
  int master() const { return master_; }

 private:
  pid_t pid_ = -1;
  int master_ = -1;
  std::string output_;
  size_t consumed_ = 0;
};
