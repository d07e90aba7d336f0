// Start-up and the main loop: the command line and run modes, the one-time
// initialisation in its fixed order, the banner and message of the day, the
// read-compile-execute loop with "$", "?", "@" and the executive commands, the SIGINT
// handler and shutdown (which runs the exit handlers). Relies on the compiler input
// (comp_getline and the compile drivers), the interpreter and frames; server modes and
// the window system plug in through StartupHooks.
#pragma once

#include <csignal>
#include <cstddef>

// The program's name, invocation flags, build identity and exit handlers live below
// every layer that needs them; the session's code reaches them through this header too.
#include "base/process.h"

enum RunMode { RUN_INTERACTIVE = 1, RUN_COMMAND_LIST = 2, RUN_SHUTDOWN = 3, RUN_NESTED = 4 };

// While nonzero, the interrupt message and the input-line redraw are suppressed.
extern volatile sig_atomic_t sigint_suppress_msg;

int main_(int argc, char** argv);
int ur_main(int mode, int argc, char** argv);
int std_rtl(const char* file);
int exit_vek(int return_only);
int bail_out(int set);
void vek_sigint_handler(int sig);
using SignalHandler = void (*)(int);
SignalHandler vek_svr4_signal(int sig, SignalHandler handler);
void vek_motd();
void print_point();
int vek_daemon_init();

// First call only: the routine tables with every built-in group, then the system
// variables.
void init_system_tables();

// Creates the main program area with the given sizes (first: also the interpreter and,
// later, graphics).
void init_system_routines(int first, unsigned code_bytes, unsigned data_bytes);

// Services of other subsystems; null hooks mean "not available in this build".
struct StartupHooks {
  // The prompt (!PROMPT); default "Vek> ".
  const char* (*prompt)() = nullptr;
  // File units and the terminal.
  void (*init_files)() = nullptr;
  // Window system start (x_init then xvek_init); true on success.
  bool (*x_init)(int* argc, char** argv, int flags) = nullptr;
  // Graphics return-to-text.
  void (*inter_exit)(int) = nullptr;
  // Server modes.
  int (*run_rpc)(unsigned program, int argc, char** argv) = nullptr;
  int (*run_piped)(int argc, char** argv) = nullptr;
  // Reads a terminal line through the line editor; default: plain stdin.
  bool (*read_line)(const char* prompt, char* buffer, int size) = nullptr;
};
extern StartupHooks startup_hooks;
