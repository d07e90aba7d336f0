#include "session/startup.h"

#include <unistd.h>

#include <cctype>
#include <cfenv>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/message.h"
#include "base/process.h"
#include "base/workers.h"
#include "compiler/compiler_input.h"
#include "compiler/cstate.h"
#include "compiler/program_areas.h"
#include "graphics/device.h"
#include "graphics/devices/drivers.h"
#include "graphics/devices/x_session.h"
#include "interp/frames.h"
#include "interp/interpreter.h"
#include "interp/routines.h"
#include "io/files.h"
#include "lib/io.h"
#include "lib/registry.h"
#include "session/sysvar_hooks.h"
#include "term/os.h"
#include "term/rline.h"
#include "term/tout.h"
#include "values/temps.h"
#include "widgets/widgets.h"

volatile sig_atomic_t sigint_suppress_msg = 0;
StartupHooks startup_hooks;

namespace {

// The program-name table: an invocation name ending in one of these takes its flags.
struct ProgramName {
  const char* name;
  int length;
  int flags;  // 2: widget mode
};
constexpr ProgramName kProgramNames[] = {{"vektool", 7, 2}, {nullptr, 0, 0}};

// Executive commands, searched in this order (so a lone "s" is step).
struct ExecCommand {
  const char* name;
  int code;
};
enum { EX_RNEW = 0, EX_GO = 1, EX_RUN = 2, EX_CONTINUE = 3, EX_STEP = 4, EX_SKIP = 5, EX_SIZE = 6 };
constexpr ExecCommand kExecCommands[] = {{"go", EX_GO},     {"run", EX_RUN},   {"step", EX_STEP},        {"size", EX_SIZE},
                                         {"skip", EX_SKIP}, {"rnew", EX_RNEW}, {"continue", EX_CONTINUE}};

// Session state that persists across passes of the loop.
struct Session {
  int entries = 0;
  int argc = 0;
  char** argv = nullptr;
  int next_arg = 0;
  std::string startup_file;
  bool main_valid = false;
  int step_count = 0;
  uint8_t* stmt_code = nullptr;
  int mode = RUN_INTERACTIVE;
};
Session session;

const char* prompt_value() { return startup_hooks.prompt ? startup_hooks.prompt() : "Vek> "; }

// Terminal lines for the compiler input: through the line editor; without a terminal
// the prompt is not shown, so that output of a piped session is the program's own.
bool read_terminal(const char* prompt, std::string* line) {
  static char buffer[LINE_BUFFER_SIZE + 2];
  bool tty = isatty(0);
  const char* shown = tty ? prompt : "";
  bool ok;
  if (startup_hooks.read_line) {
    ok = startup_hooks.read_line(shown, buffer, sizeof buffer);
  } else {
    fflush(stdout);
    ok = vek_rline(buffer, sizeof buffer, 0, stdin, shown, 0) != nullptr;
  }
  if (!ok) return false;
  size_t n = strlen(buffer);
  while (n && (buffer[n - 1] == '\n' || buffer[n - 1] == '\r')) buffer[--n] = 0;
  line->assign(buffer, n);
  return true;
}

// Runs code with the compiler's interactive flag cleared for that run.
uint8_t* start_run(uint8_t* code, int interactive, int steps) {
  cstate.interactive = interactive != 0;
  uint8_t* r = interpreter(code, interactive, steps, nullptr);
  cstate.interactive = true;
  return r;
}

void run_main_program() {
  if (!main_prog || !main_prog->code) return;
  start_run(main_prog->code, 0, 0);
}

void compile_and_run_line() {
  uint32_t size = 0;
  cstate.error_count = 0;
  uint8_t* code = nullptr;
  // Each statement is a fresh main program: a quit at the pager lasts only for the
  // statement that was quit.
  tout_more_reset();
  try {
    code = compile_single_stmt(session.stmt_code, STMT_CODE_SIZE, &size);
  } catch (const VekJump&) {
    code = nullptr;
  }
  if (code && cstate.error_count == 0) start_run(code, 1, 0);
}

void shell_escape(const char* rest) {
  const RoutineEntry* spawn = is_procedure("SPAWN");
  if (!spawn) {
    vek_shell_escape(rest, static_cast<int>(strlen(rest)));
    return;
  }
  Variable* arg = gettmp();
  arg->type = TYP_STRING;
  arg->value.str = StringDesc{0, 0, nullptr};
  size_t n = strlen(rest);
  if (n) {
    char* c = static_cast<char*>(counting_malloc(n + 1));
    if (!c) {
      freetmp(arg);
      return;
    }
    memcpy(c, rest, n + 1);
    arg->value.str = StringDesc{static_cast<uint16_t>(n), 1, c};
    arg->flags |= FLAG_DYNAMIC;
  }
  Variable* argv[1] = {arg};
  try {
    spawn->proc(1, argv, nullptr);
  } catch (const VekJump&) {
  }
  deltmp(arg);
}

int parse_count(const char* text) {
  while (*text == ' ' || *text == '\t') text++;
  int n = *text ? atoi(text) : 1;
  return n <= 0 ? 1 : n;
}

void do_run(const char* args) {
  int r;
  tout_more_reset();
  try {
    r = runprog(args);
  } catch (const VekJump&) {
    r = -1;
  }
  if (r == -1) {
    session.main_valid = false;
  } else if (r == 1) {
    session.main_valid = true;
    run_main_program();
  } else if (r != 0) {
    run_main_program();
  }
}

void clear_main_level() {
  return_all(nullptr);
  delete_vars();
  zero_prog(main_prog);
}

void executive_command(char* line) {
  char* word = line + 1;
  char* p = word;
  while (isalpha(static_cast<unsigned char>(*p))) {
    *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
    p++;
  }
  size_t len = static_cast<size_t>(p - word);
  const ExecCommand* cmd = nullptr;
  if (len) {
    for (const auto& c : kExecCommands) {
      if (strncmp(c.name, word, len) == 0 && len <= strlen(c.name)) {
        cmd = &c;
        break;
      }
    }
  }
  if (!cmd) {
    message(M_NO_SUCH_EXEC, 0, MSG_CONTINUE, line);
    return;
  }
  const char* args = p;
  Frame* f = curr_frame;
  switch (cmd->code) {
    case EX_RNEW:
      clear_main_level();
      session.main_valid = false;
      do_run(args);
      break;
    case EX_RUN:
      session.main_valid = false;
      do_run(args);
      break;
    case EX_SIZE: {
      clear_main_level();
      session.main_valid = false;
      long code = 0, data = 0;
      int got = sscanf(args, "%ld %ld", &code, &data);
      code = (code + 7) & ~7L;
      data = (data + 7) & ~7L;
      if (got != 2 || code < 8193 || code > 65000 || data < 2049 || data > 65000) {
        message(M_GENERIC, 0, MSG_CONTINUE, "Illegal size specified.");
        break;
      }
      init_system_routines(0, static_cast<unsigned>(code), static_cast<unsigned>(data));
      break;
    }
    case EX_GO:
      if (!session.main_valid) {
        message(M_NO_MAIN_PROGRAM, 0, MSG_CONTINUE);
        break;
      }
      return_all(nullptr);
      run_main_program();
      break;
    case EX_CONTINUE:
      if (!f->cont_pc) {
        message(M_CANT_CONTINUE, 0, MSG_CONTINUE);
        break;
      }
      start_run(f->cont_pc, 0, 0);
      break;
    case EX_STEP:
      if (!f->cont_pc) {
        message(M_CANT_CONTINUE, 0, MSG_CONTINUE);
        break;
      }
      start_run(f->cont_pc, 0, parse_count(args));
      break;
    case EX_SKIP: {
      if (!f->cont_pc) {
        message(M_CANT_CONTINUE, 0, MSG_CONTINUE);
        break;
      }
      int n = parse_count(args);
      uint8_t* at = f->cont_pc;
      for (int k = 0; k < n;) {
        uint32_t len_at = *at == OP_END ? 0 : inst_size(at);
        if (!len_at) {
          at = nullptr;
          break;
        }
        at += len_at;
        if (*at == OP_END) {
          at = nullptr;
          break;
        }
        if (*at == OP_LINE || *at == OP_SOURCE) k++;
      }
      if (!at) {
        message(M_CANT_CONTINUE, 0, MSG_CONTINUE);
        break;
      }
      f->cont_pc = at;
      start_run(at, 0, n);
      break;
    }
    default: break;
  }
}

void dispatch_line() {
  char* line = cstate.line_buffer;
  switch (line[0]) {
    case 0:
    case 4: return;
    case '$': shell_escape(line + 1); return;
    case '.': executive_command(line); return;
    case '?': {
      std::string rest = line + 1;
      std::string text = std::string(invocation.widget ? "widget_olh" : "man_proc") + ",'" + rest + "'";
      snprintf(cstate.line_buffer, LINE_BUFFER_SIZE, "%s", text.c_str());
      cstate.line = cstate.line_buffer;
      cstate.cursor = nullptr;
      compile_and_run_line();
      return;
    }
    default: compile_and_run_line();
  }
}

// Reads the next line into the compiler's line buffer; false when the command list
// is used up.
bool next_line() {
  if (comp_io.depth < 0) {
    if (!session.startup_file.empty()) {
      std::string at = "@" + session.startup_file;
      session.startup_file.clear();
      comp_getline(at.c_str());
      return true;
    }
    if (session.mode == RUN_INTERACTIVE && session.next_arg < session.argc) {
      std::string at = std::string("@") + session.argv[session.next_arg++];
      comp_getline(at.c_str());
      return true;
    }
    if (session.mode == RUN_COMMAND_LIST) {
      if (session.next_arg >= session.argc) return false;
      const char* cmd = session.argv[session.next_arg++];
      if (cmd[0] == '@') {
        comp_getline(cmd);
      } else {
        snprintf(cstate.line_buffer, LINE_BUFFER_SIZE, "%s", cmd);
        cstate.line = cstate.line_buffer;
        cstate.cursor = nullptr;
      }
      return true;
    }
  }
  comp_getline(nullptr);
  return true;
}

// Until the terminal writer is installed, messages go to standard error after any
// pending standard output, so that a session's output keeps its order in a log file.
void plain_message_write(int, const char* text, bool end_line) {
  fflush(stdout);
  fputs(text, stderr);
  if (end_line) fputc('\n', stderr);
}

void initialise(int mode, int* argc, char** argv) {
  int_interrupt = IR_NONE;
  if (!message_hooks.write) message_hooks.write = plain_message_write;
  math_errors.pending = 0;
  rline_init();
  if (startup_hooks.init_files)
    startup_hooks.init_files();
  else
    init_files();
  init_system_tables();
  register_graphics();
  install_drivers();
  register_widgets();
  declare_exit_handler(widget_armageddon);  // widget values go back before the leak check
  // X events are served while the terminal is waited for.
  if (!rline_hooks.wait_for_key) rline_hooks.wait_for_key = x_drain_events_until_input;
  if (!startup_hooks.x_init) startup_hooks.x_init = x_session_init;
  if (invocation.widget) {
    bool ok = startup_hooks.x_init &&
              startup_hooks.x_init(mode == RUN_INTERACTIVE ? argc : nullptr, argv, invocation.auto_widget ? 0x10000 : 0);
    if (!ok) {
      if (!invocation.auto_widget) {
        fprintf(stderr, "%sThe window system is not available.\n", msg_prefix.c_str());
        exit(1);
      }
      invocation.widget = false;
    }
  }
  print_point();
  init_system_routines(1, 32768, 8192);
  init_graphics();
  fputc('\n', stdout);
  vek_motd();
  if (vek_svr4_signal(SIGINT, vek_sigint_handler) == reinterpret_cast<SignalHandler>(-1))
    message(M_SIGNAL_FAILED, errno, MSG_LONGJMP);
  // Flags raised while the tables were built (NaN and infinity constants) are no error
  // of the user's.
  feclearexcept(FE_ALL_EXCEPT);
  trap_enable(1);
  comp_io.listing = nullptr;
  comp_io.depth = -1;
}

}  // namespace

void print_point() {
  printf("%s. Version %s (%s %s).\n", "Vek", version_field_or("RELEASE", vek_release()), version_field_or("OS", vek_os()),
         version_field_or("ARCH", vek_arch()));
  fflush(stdout);
}

void init_system_tables() {
  static bool done = false;
  if (done) return;
  done = true;
  init_routine_tables();
  register_builtins();
  init_system_variables();
  // The helper threads of large array operations wait from the start, as a numerical
  // library's do, so that the first big product or filter does not pay for creating them.
  start_workers();
}

void init_system_routines(int first, unsigned code_bytes, unsigned data_bytes) {
  init_compiler(code_bytes, data_bytes);
  if (first) {
    compiler_hooks.read_terminal = read_terminal;
    compiler_hooks.prompt = prompt_value;
    init_interpreter();
    interp_hooks.print = print_values;
  } else {
    init_frames(main_prog);
  }
}

void vek_motd() {
  const char* dirs[] = {"motd"};
  char path[1100];
  const char* names[] = {"motd", version_field_or("RELEASE", vek_release())};
  for (const char* name : names) {
    vek_filepath(path, name, "txt", 1, dirs);
    FILE* f = fopen(path, "r");
    if (!f) continue;
    char line[200];
    while (fgets(line, sizeof line, f)) {
      size_t n = strlen(line);
      if (n && (line[n - 1] == '\n' || line[n - 1] == '\r')) line[--n] = 0;
      puts(line);
    }
    fclose(f);
  }
  fflush(stdout);
}

SignalHandler vek_svr4_signal(int sig, SignalHandler handler) {
  struct sigaction sa {}, old {};
  sa.sa_handler = handler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = sig == SIGALRM ? 0 : SA_RESTART;
  if (sigaction(sig, &sa, &old) != 0) return reinterpret_cast<SignalHandler>(-1);
  return old.sa_handler;
}

void vek_sigint_handler(int) {
  if (!sigint_suppress_msg) message(M_INTERRUPTED, 0, MSG_INFO);
  if (vek_svr4_signal(SIGINT, vek_sigint_handler) == reinterpret_cast<SignalHandler>(-1))
    message(M_SIGNAL_FAILED, errno, MSG_CONTINUE);
  if (!sigint_suppress_msg && !invocation.widget && message_hooks.line_editing && message_hooks.line_editing())
    rline_redraw(-1);
  clearerr(stdout);
  int_interrupt = IR_INTERRUPT;
}

int bail_out(int set) {
  if (set) int_interrupt = IR_INTERRUPT;
  return int_interrupt == IR_INTERRUPT;
}

int exit_vek(int return_only) {
  if (startup_hooks.inter_exit) startup_hooks.inter_exit(0);
  exithand_internal_cleanup();
  fflush(stdout);
  if (return_only) return 0;
  exit(0);
}

int vek_daemon_init() {
  pid_t pid = fork();
  if (pid < 0) {
    message(M_FORK, errno, MSG_CONTINUE);
    return -1;
  }
  if (pid > 0) exit(0);
  setsid();
  return 0;
}

int ur_main(int mode, int argc, char** argv) {
  bool first = session.entries++ == 0;
  int_interrupt = IR_NONE;
  if (first) {
    initialise(mode, &argc, argv);
    session.stmt_code = static_cast<uint8_t*>(aligned_alloc(8, STMT_CODE_SIZE + 8));
  }
  session.mode = mode == RUN_NESTED ? RUN_INTERACTIVE : mode;
  session.argc = argc;
  session.argv = argv;
  session.next_arg = 0;
  if (mode == RUN_INTERACTIVE || mode == RUN_NESTED) {
    session.next_arg = 1;
    if (session.next_arg < argc && strcmp(argv[session.next_arg], "-debugtool") == 0) {
      cstate.debug = 1;
      session.next_arg++;
      if (session.next_arg < argc) session.next_arg++;
    }
  }
  if (first && !invocation.runtime) {
    char name[64];
    snprintf(name, sizeof name, "%s_STARTUP", program_name);
    const char* s = getenv(name);
    if (s && *s) session.startup_file = s;
  }
  if (mode == RUN_SHUTDOWN) return exit_vek(1);

  for (;;) {
    comp_io.base_depth = -1;
    cstate.interactive = true;
    uint16_t request = int_interrupt;
    if (request == IR_INTERRUPT || request == IR_STEP) {
      if (comp_io.depth > comp_io.base_depth) close_compiler_input();
      int_interrupt = IR_NONE;
    } else if (request == IR_EXIT) {
      if (startup_hooks.inter_exit) startup_hooks.inter_exit(0);
      int_interrupt = IR_NONE;
      if (mode == RUN_NESTED) return 0;
      return exit_vek(mode == RUN_SHUTDOWN);
    } else if (request != IR_NONE) {
      int_interrupt = IR_NONE;
    }
    session.step_count = 0;
    try {
      if (!next_line()) {
        if (startup_hooks.inter_exit) startup_hooks.inter_exit(0);
        return error_code;
      }
      if (int_interrupt == IR_EXIT && cstate.line_buffer[0] == 4) continue;
      dispatch_line();
    } catch (const VekJump&) {
      // An error outside any statement (a command file that cannot be opened, a
      // failed executive command): reported already; the loop goes on.
    }
    sigint_suppress_msg = 0;
    fflush(stdout);
  }
}

int std_rtl(const char* file) {
  static std::string restore;
  restore = "RESTORE,'";
  restore.append(file, strnlen(file, 1046));
  static char main_cmd[] = "MAIN";
  static char exit_cmd[] = "EXIT";
  static char* list[3];
  list[0] = restore.data();
  list[1] = main_cmd;
  list[2] = exit_cmd;
  return ur_main(RUN_COMMAND_LIST, 3, list);
}

int main_(int argc, char** argv) {
  const char* arg0 = argc > 0 ? argv[0] : "";
  size_t n0 = strlen(arg0);
  for (const ProgramName* p = kProgramNames; p->name; p++) {
    if (n0 >= static_cast<size_t>(p->length) && strcmp(arg0 + n0 - p->length, p->name) == 0 && (p->flags & 2))
      invocation.widget = true;
  }
  bool server = false, pipe_mode = false;
  unsigned program = 0;
  std::string rt_file = "runtime.sav";
  int i = 1;
  while (i < argc) {
    const char* a = argv[i];
    bool used = true;
    if (strncmp(a, "-rt", 3) == 0) {
      invocation.runtime = true;
      if (a[3] == '=') rt_file = a + 4;
    } else if (strncmp(a, "-server", 7) == 0) {
      server = true;
      invocation.widget = false;
      if (a[7] == '=') sscanf(a + 7, "=%x", &program);
    } else if (strncmp(a, "-pipe", 5) == 0) {
      pipe_mode = true;
      invocation.widget = false;
    } else if (strncmp(a, "-w", 2) == 0 || strncmp(a, "-autow", 6) == 0) {
      invocation.widget = true;
      invocation.auto_widget = a[1] == 'a';
    } else if (strncmp(a, "-nw", 3) == 0) {
      invocation.widget = false;
    } else {
      used = false;
    }
    if (used) {
      for (int k = i; k < argc - 1; k++) argv[k] = argv[k + 1];
      argc--;
      argv[argc] = nullptr;
    } else {
      i++;
    }
  }
  // Output written to a file keeps the order of PRINT output and messages.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  if (server) {
    if (!startup_hooks.run_rpc) {
      fprintf(stderr, "%sThe RPC server mode is not available.\n", msg_prefix.c_str());
      return 1;
    }
    startup_hooks.run_rpc(program, argc, argv);
    return 0;
  }
  if (pipe_mode) {
    if (!startup_hooks.run_piped) {
      fprintf(stderr, "%sThe pipe server mode is not available.\n", msg_prefix.c_str());
      return 1;
    }
    startup_hooks.run_piped(argc, argv);
    return 0;
  }
  if (invocation.runtime) {
    compile_sources_allowed = false;
    return std_rtl(rt_file.c_str());
  }
  return ur_main(RUN_INTERACTIVE, argc, argv);
}
