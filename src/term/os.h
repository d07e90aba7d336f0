// Operating-system services shared by the built-ins and the session: path expansion
// (home directories, environment references, wildcards), single keystrokes, and the
// child-process service behind SPAWN and the "$" shell escape. Relies on the terminal
// services of the line editor and on message(); never hands user text to a shell
// except as the explicit command of SPAWN.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "values/variable.h"

constexpr int PATH_BUF = 1024;

// Expands `buffer` (PATH_BUF bytes) in place. A path holding "*" or "$" gets environment
// references ($NAME, ${NAME}), a leading "~" and wildcards expanded (several matches are
// joined by blanks, no match leaves the pattern); any other path only its leading "~"
// ("~" or "~/" the home directory, "~name" that user's). A result longer than
// PATH_BUF - 1 characters leaves the buffer as it was.
void expand_path(char* buffer);
std::string expanded_path(const std::string& path);

// Names matching the blank-separated patterns in `spec` (all entries of the working
// directory when empty), sorted per pattern; a name without wildcards is kept when it
// exists.
std::vector<std::string> find_files(const std::string& spec);

// One keystroke from the terminal in raw mode: with `wait` blocks for it, else returns
// 0 when none is pending; -1 at end of input. Standard input must be a terminal (error
// otherwise).
int get_kbrd(int wait);

// SPAWN's flag word.
constexpr int SPAWN_NOSHELL = 1;
constexpr int SPAWN_SH = 8;
constexpr int SPAWN_F77_UNFORMATTED = 0x100;
constexpr int SPAWN_NOTTYRESET = 0x200;

struct ChildRequest {
  std::string command;            // for a shell; empty: an interactive shell
  std::vector<std::string> argv;  // with SPAWN_NOSHELL: the program and its arguments
  int flags = 0;
  bool capture = false;  // collect standard output as lines instead of sharing the terminal
};
struct ChildResult {
  pid_t pid = 0;
  int status = 0;  // as waitpid reports it
  std::vector<std::string> lines;
};
// Runs a child process to completion. Fork failures are reported as errors.
ChildResult vek_exec_child(const ChildRequest& request);

// Starts a child whose standard input and output are one end of a socket pair and
// returns it; the other end comes back in *stream (unbuffered, for reading and
// writing). The child runs on; closing its unit kills it.
pid_t vek_spawn_connected(const ChildRequest& request, FILE** stream);

// A "$" line at the prompt: the rest of the line run by the user's shell, sharing the
// terminal (an empty command starts an interactive shell).
void vek_shell_escape(const char* command, int length);

// Argument helpers for built-ins: the text of a scalar string (errors -126 or -134), and
// new string temporaries.
std::string scalar_string(Variable* v);
Variable* make_string_temp(const std::string& text);
Variable* make_string_array_temp(const std::vector<std::string>& texts);
// Stores text into a named variable as a scalar string.
void store_string(Variable* dst, const std::string& text);
