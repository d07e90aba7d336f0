#include "fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <utility>

#include "base/message.h"
#include "compiler/compiler_input.h"
#include "compiler/cstate.h"
#include "compiler/program_areas.h"
#include "interp/frames.h"
#include "interp/interpreter.h"
#include "interp/routines.h"
#include "io/files.h"
#include "term/rline.h"
#include "session/startup.h"
#include "term/tout.h"
#include "values/temps.h"

#ifndef VEK_FUZZ_LIBRARY
#define VEK_FUZZ_LIBRARY ""
#endif

namespace fuzz {
namespace {

bool initialised = false;
std::string scratch_dir;
alignas(8) uint8_t stmt_area[STMT_CODE_SIZE + 8];

// Messages are formatted as usual but not shown, unless FUZZ_VERBOSE is set.
void quiet_write(int, const char*, bool) {}

// Terminal output of one statement is capped: past the cap the statement is interrupted
// as if the user had pressed the interrupt key, so that a PRINT of millions of elements
// does not pass for a hang.
size_t output_this_statement = 0;
void capped_writer(int flags, const char* text, int length) {
  output_this_statement += static_cast<size_t>(length > 0 ? length : 0);
  if (output_this_statement > kOutputBudget) {
    if (int_interrupt == IR_NONE) int_interrupt = IR_INTERRUPT;
    return;
  }
  tout_default_writer(flags, text, length);
}
void verbose_write(int, const char* text, bool end_line) {
  fputs(text, stderr);
  if (end_line) fputc('\n', stderr);
}

void stub_procedure(int, Variable*[], KwNames) {}
Variable* stub_function(int, Variable*[], KwNames) { return make_long_temp(0); }

// Built-ins that would run a shell, change the working directory or the environment,
// wait for the keyboard or walk the file system. Sorted by name.
constexpr const char* kOutsideWorld[] = {"CD", "FINDFILE", "GET_KBRD", "SETENV", "SPAWN", "WAIT"};

void replace_outside_routines() {
  static std::vector<RoutineEntry> funs, pros;  // the tables keep pointers to entries
  funs.reserve(std::size(kOutsideWorld));
  pros.reserve(std::size(kOutsideWorld));
  for (const char* name : kOutsideWorld) {
    if (const RoutineEntry* f = is_sys_function(name))
      funs.emplace_back(stub_function, f->name, f->min(), f->max_args, f->accepts_keywords());
    if (const RoutineEntry* p = is_procedure(name))
      pros.emplace_back(stub_procedure, p->name, p->min(), p->max_args, p->accepts_keywords());
  }
  if (!funs.empty()) add_system_routine(funs.data(), true, static_cast<int>(funs.size()));
  if (!pros.empty()) add_system_routine(pros.data(), false, static_cast<int>(pros.size()));
}

// Procedures that name a file: they run only when the name is a plain one, which stays
// in the scratch directory (no "/", and no "~" or "$" for the path expansion). Sorted.
struct Guarded {
  const char* name;
  int name_arg;                    // position of the file name argument
  const RoutineEntry* original = nullptr;
};
Guarded guarded[] = {{"JOURNAL", 0}, {"OPENR", 1}, {"OPENU", 1}, {"OPENW", 1}};

bool plain_name(const Variable* v) {
  if (v->type != TYP_STRING) return true;  // not a name: the routine reports it
  if (v->flags & FLAG_HAS_DESC) return false;
  const StringDesc& s = v->value.str;
  for (uint32_t i = 0; i < s.length; i++)
    if (s.chars[i] == '/' || s.chars[i] == '~' || s.chars[i] == '$') return false;
  return true;
}

template <size_t I>
void guarded_procedure(int argc, Variable* argv[], KwNames argk) {
  const Guarded& g = guarded[I];
  if (g.name_arg < argc && !plain_name(argv[g.name_arg])) return;
  g.original->proc(argc, argv, argk);
}

template <size_t... I>
void guard_file_routines(std::index_sequence<I...>) {
  static std::vector<RoutineEntry> pros;
  (
      [&] {
        Guarded& g = guarded[I];
        g.original = is_procedure(g.name);
        if (g.original)
          pros.emplace_back(guarded_procedure<I>, g.name, g.original->min(), g.original->max_args,
                            g.original->accepts_keywords());
      }(),
      ...);
  if (!pros.empty()) add_system_routine(pros.data(), false, static_cast<int>(pros.size()));
}

}  // namespace

void init_session() {
  if (initialised) return;
  initialised = true;
  bool verbose = getenv("FUZZ_VERBOSE") != nullptr;
  // READ from the terminal finds the end of its input at once; PRINT and friends write
  // to standard output, while libFuzzer reports on standard error.
  int null_fd = open("/dev/null", O_RDWR);
  if (null_fd >= 0) {
    dup2(null_fd, 0);
    if (!verbose) dup2(null_fd, 1);
    close(null_fd);
  }
  // Every input is written to a file here: memory-backed when the system has it.
  for (const char* base : {"/dev/shm", "/tmp"}) {
    std::string tmpl = std::string(base) + "/vek_fuzz_XXXXXX";
    if (mkdtemp(tmpl.data()) && chdir(tmpl.c_str()) == 0) {
      scratch_dir = tmpl;
      std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(scratch_dir, ignored);
      });
      break;
    }
  }
  // The start-up order of the program, without the banner and the signal handler.
  rline_init();
  init_files();
  message_hooks.write = verbose ? verbose_write : quiet_write;
  tout_push(capped_writer);
  init_system_tables();
  init_system_routines(1, 32768, 8192);
  trap_enable(1);
  replace_outside_routines();
  guard_file_routines(std::make_index_sequence<std::size(guarded)>());
  vek_path = VEK_FUZZ_LIBRARY;
  path_changed();
  set_memory_limit(kMemoryBudget);
  int_interrupt = IR_NONE;
}

void reset_session() {
  step_budget = 0;
  int_interrupt = IR_NONE;
  math_errors.pending = 0;
  while (comp_io.depth >= 0) close_compiler_input();
  comp_io.base_depth = -1;
  cstate.interactive = true;
  try {
    return_all(nullptr);
    delete_vars();
    zero_prog(main_prog);
    close_all_units(true);
  } catch (const VekJump&) {
  }
  main_frame->catch_var = nullptr;
  main_frame->ioerror_target = nullptr;
  main_frame->on_error = 0;
  main_frame->cont_pc = nullptr;
  temp_list_handler(2);
}

bool run_code(uint8_t* code, int interactive) {
  step_budget = kStepBudget;
  output_this_statement = 0;
  cstate.interactive = interactive != 0;
  interpreter(code, interactive, 0, nullptr);
  cstate.interactive = true;
  bool go_on = int_interrupt != IR_EXIT;
  int_interrupt = IR_NONE;
  return go_on;
}

bool run_statement(const std::string& line) {
  // Executive commands, shell escapes, help requests and command files are the main
  // loop's, not the compiler's.
  if (!line.empty() && (line[0] == '.' || line[0] == '$' || line[0] == '?' || line[0] == '@')) return true;
  uint8_t* code = compile_line(line);
  return code ? run_code(code, 1) : true;
}

std::vector<std::string> split_lines(const uint8_t* data, size_t size) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < size && lines.size() < kMaxLines) {
    size_t end = start;
    while (end < size && data[end] != '\n') end++;
    std::string line(reinterpret_cast<const char*>(data) + start, end - start);
    // A line of a source file never holds a NUL: the reader stops there.
    line = line.substr(0, strnlen(line.c_str(), line.size()));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > static_cast<size_t>(LINE_MAX_CHARS)) line.resize(LINE_MAX_CHARS);
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

bool starts_routine(const std::string& line) {
  size_t i = 0;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) i++;
  auto word_is = [&](const char* w) {
    size_t n = strlen(w);
    if (line.size() < i + n + 1) return false;
    for (size_t k = 0; k < n; k++)
      if (toupper(static_cast<unsigned char>(line[i + k])) != w[k]) return false;
    return line[i + n] == ' ' || line[i + n] == '\t';
  };
  return word_is("PRO") || word_is("FUNCTION");
}

std::string write_scratch_file(const char* name, const std::string& text) {
  std::string path = (scratch_dir.empty() ? std::string("/tmp") : scratch_dir) + "/" + name;
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  return path;
}

uint8_t* compile_line(const std::string& line) {
  cstate.error_count = 0;
  try {
    uint8_t* code = compile_statement_text(line.c_str(), stmt_area, STMT_CODE_SIZE);
    return code && cstate.error_count == 0 ? code : nullptr;
  } catch (const VekJump&) {
    return nullptr;
  }
}

}  // namespace fuzz
