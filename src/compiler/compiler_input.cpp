#include "compiler/compiler_input.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "base/message.h"
#include "compiler/cstate.h"
#include "compiler/lexer.h"
#include "compiler/parser.h"
#include "compiler/program_areas.h"

CompIo comp_io;
CompilerHooks compiler_hooks;
bool compile_sources_allowed = true;
uint32_t default_code_size = 32768;
uint32_t default_data_size = 8192;
std::string vek_path;

namespace {

constexpr int kMaxPathChars = 1019;  // longest file name tried along the path
constexpr size_t kMaxPathElements = 512;
constexpr int kMaxErrors = 25;

// ---- Output ------------------------------------------------------------------------------

void out_line(int flags, const std::string& text) {
  if (message_hooks.write) {
    message_hooks.write(flags, text.c_str(), true);
  } else {
    std::fputs(text.c_str(), stderr);
    std::fputc('\n', stderr);
  }
}

// ---- Search path -------------------------------------------------------------------------

std::vector<std::string> path_dirs;
std::string path_built_from;
bool path_built = false;

bool is_dir(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_file(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool ends_with(const std::string& s, const char* tail) {
  size_t n = std::strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

std::string trim(const std::string& s) {
  size_t a = s.find_first_not_of(" \t");
  if (a == std::string::npos) return "";
  size_t b = s.find_last_not_of(" \t");
  return s.substr(a, b - a + 1);
}

std::string expand_home(const std::string& s) {
  if (s.empty() || s[0] != '~' || (s.size() > 1 && s[1] != '/')) return s;
  const char* home = std::getenv("HOME");
  return std::string(home ? home : "") + s.substr(1);
}

bool add_path_dir(const std::string& dir) {
  if (path_dirs.size() >= kMaxPathElements) {
    message(M_PATH_TOO_MANY, 0, MSG_CONTINUE, dir.c_str());
    return false;
  }
  path_dirs.push_back(dir);
  return true;
}

// "+dir": dir and every directory below it that holds ".pro" or ".sav" files, each
// level in name order, a directory before its subdirectories.
bool expand_tree(const std::string& dir, bool top) {
  DIR* d = opendir(dir.c_str());
  if (!d) {
    // The standard library directory of the default path is optional: a session
    // without an installed library must not greet the user with an error.
    static const char kStandardLibrary[] = "/usr/local/lib/vek/lib";
    if (top && !(errno == ENOENT && dir == kStandardLibrary)) message(M_PATH_STAT, errno, MSG_CONTINUE, dir.c_str());
    return true;
  }
  std::vector<std::string> subdirs;
  bool has_code = false;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string full = dir + "/" + name;
    if (is_dir(full)) subdirs.push_back(full);
    else if ((ends_with(name, ".pro") || ends_with(name, ".sav")) && is_file(full)) has_code = true;
  }
  closedir(d);
  std::sort(subdirs.begin(), subdirs.end());
  if (has_code && !add_path_dir(dir)) return false;
  for (const std::string& s : subdirs)
    if (!expand_tree(s, false)) return false;
  return true;
}

void build_path() {
  path_dirs.clear();
  path_built_from = vek_path;
  path_built = true;
  size_t start = 0;
  while (start <= vek_path.size()) {
    size_t end = vek_path.find(':', start);
    if (end == std::string::npos) end = vek_path.size();
    std::string element = trim(vek_path.substr(start, end - start));
    start = end + 1;
    if (element.empty()) continue;
    if (element[0] == '+') {
      std::string dir = expand_home(trim(element.substr(1)));
      while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
      if (!expand_tree(dir, true)) break;
    } else if (!add_path_dir(expand_home(element))) {
      break;
    }
  }
}

// ---- Input stack ---------------------------------------------------------------------------

void push_input(FILE* f, const std::string& path) {
  int d = ++comp_io.depth;
  comp_io.files[d] = f;
  comp_io.line_counts[d] = 0;
  comp_io.names[d] = strdup(path.c_str());
  if (!comp_io.names[d]) message(M_NO_MEMORY, 0, MSG_LONGJMP, "Source file entry");
}

// Opens the command file named by the word after the "@" at `at`.
void open_at_file(const char* at) {
  const char* p = at + 1;
  while (*p == ' ' || *p == '\t') p++;
  const char* end = p;
  while (*end && *end != ' ' && *end != '\t' && *end != '\n' && *end != '\r') end++;
  std::string name(p, end);
  int depth = 0;
  if (comp_io.depth >= COMP_IO_LEVELS - 1) {
    message(M_TOO_MANY_FILES, 0, MSG_CONTINUE, name.c_str());
    return;
  }
  if (!open_compiler_input(name.c_str(), false, &depth, nullptr))
    message(M_OPEN_INPUT, errno, MSG_CONTINUE, name.c_str());
}

bool read_file_line(FILE* f, std::string* line) {
  line->clear();
  int c;
  bool any = false;
  while ((c = std::fgetc(f)) != EOF) {
    any = true;
    if (c == '\n') break;
    line->push_back(static_cast<char>(c));
  }
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return any;
}

bool default_read_terminal(const char* prompt, std::string* line) {
  std::fputs(prompt, stdout);
  std::fflush(stdout);
  return static_cast<bool>(std::getline(std::cin, *line));
}

void set_end_of_input() {
  std::strcpy(cstate.line_buffer, "\x04\x04");
  cstate.line = cstate.line_buffer;
}

void write_listing(int line_no, const char* text) {
  if (!comp_io.listing) return;
  while (*text == ' ' || *text == '\t') text++;
  int ok = std::fprintf(comp_io.listing, "%5d %*s%s\n", line_no, 4 * cstate.block_depth, "", text);
  if (ok < 0) {
    if (!comp_io.listing_is_terminal) std::fclose(comp_io.listing);
    comp_io.listing = nullptr;
    message(M_WRITE_LISTING, errno, MSG_CONTINUE);
  }
}

}  // namespace

void path_changed() { build_path(); }

const std::vector<std::string>& search_path() {
  if (!path_built || path_built_from != vek_path) build_path();
  return path_dirs;
}

std::string find_along_path(const std::string& name, bool try_pro, bool try_sav, bool* is_sav) {
  if (is_sav) *is_sav = false;
  std::vector<std::string> dirs{""};
  if (name.empty() || name[0] != '/') {
    const auto& p = search_path();
    dirs.insert(dirs.end(), p.begin(), p.end());
  }
  for (const std::string& dir : dirs) {
    std::string base = dir;
    if (!base.empty() && base.back() != '/') base += '/';
    base += name;
    if (static_cast<int>(base.size()) >= kMaxPathChars) continue;
    if (try_pro && is_file(base + ".pro")) return base + ".pro";
    if (try_sav && is_file(base + ".sav")) {
      if (is_sav) *is_sav = true;
      return base + ".sav";
    }
    if (!try_pro && !try_sav && is_file(base)) return base;
  }
  return "";
}

bool is_in_library(const char* lower_name) {
  return !find_along_path(lower_name, compile_sources_allowed, true, nullptr).empty();
}

FILE* open_compiler_input(const char* name, bool routine, int* depth, bool* restored) {
  if (restored) *restored = false;
  if (comp_io.depth >= COMP_IO_LEVELS - 1) {
    message(M_TOO_MANY_FILES, 0, MSG_CONTINUE, name);
    return nullptr;
  }
  std::string n = name;
  bool is_sav = false;
  std::string path;
  if (routine || !ends_with(n, ".pro")) path = find_along_path(n, compile_sources_allowed, restored != nullptr, &is_sav);
  if (path.empty() && !routine && (compile_sources_allowed || !ends_with(n, ".pro")))
    path = find_along_path(n, false, false, nullptr);
  if (path.empty()) return nullptr;
  if (is_sav) {
    bool ok = compiler_hooks.restore_file && compiler_hooks.restore_file(path.c_str());
    if (restored) *restored = ok;
    return nullptr;
  }
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) return nullptr;
  push_input(f, path);
  if (depth) *depth = comp_io.depth;
  return f;
}

void close_compiler_input() {
  int d = comp_io.depth;
  if (d < 0) message_error(M_INTERNAL, 0, MSG_LONGJMP, "input stack underflow");
  FILE* f = comp_io.files[d];
  comp_io.files[d] = nullptr;
  comp_io.depth--;
  std::string name = comp_io.names[d] ? comp_io.names[d] : "";
  std::free(comp_io.names[d]);
  comp_io.names[d] = nullptr;
  if (f && std::fclose(f) != 0) message(M_CLOSE_FILE, errno, MSG_CONTINUE, "Compiler input");
}

const char* comp_input_position(int* line_count) {
  if (comp_io.depth >= 0 && comp_io.names[comp_io.depth]) {
    *line_count = comp_io.line_counts[comp_io.depth];
    return comp_io.names[comp_io.depth];
  }
  *line_count = cstate.term_lines;
  return "/dev/tty";
}

void comp_getline(const char* at) {
  if (at) open_at_file(at);
  for (;;) {
    std::string line;
    int line_no;
    if (comp_io.depth > comp_io.base_depth && comp_io.depth >= 0) {
      if (!read_file_line(comp_io.files[comp_io.depth], &line)) {
        close_compiler_input();
        if (comp_io.depth > comp_io.base_depth && comp_io.depth >= 0) continue;
        set_end_of_input();
        return;
      }
      line_no = ++comp_io.line_counts[comp_io.depth];
    } else {
      const char* prompt = "- ";
      if (cstate.single_stmt || cstate.interactive) prompt = compiler_hooks.prompt ? compiler_hooks.prompt() : "Vek> ";
      auto reader = compiler_hooks.read_terminal ? compiler_hooks.read_terminal : default_read_terminal;
      if (!reader(prompt, &line)) {
        if (compiler_hooks.request_exit) compiler_hooks.request_exit();
        set_end_of_input();
        return;
      }
      line_no = ++cstate.term_lines;
    }
    if (line.size() > LINE_MAX_CHARS) line.resize(LINE_MAX_CHARS);
    std::memcpy(cstate.line_buffer, line.c_str(), line.size() + 1);
    cstate.line = cstate.line_buffer;
    write_listing(line_no, cstate.line_buffer);
    if (cstate.line_buffer[0] == '@') {
      open_at_file(cstate.line_buffer);
      continue;
    }
    return;
  }
}

// ---- Errors -----------------------------------------------------------------------------------

namespace {
// The text of the interactive statement being compiled: once the lexer has moved on to
// the implicit "& END", errors still show the statement, with the caret at its end.
std::string single_text;
}  // namespace

void vscnerr(int code, int syserr, int action, va_list ap) {
  cstate.error_count++;
  int flags = 1 | (comp_io.listing && comp_io.listing_is_terminal ? 8 : 0);
  const char* line = cstate.line ? cstate.line : "";
  bool tail = cstate.single_stmt && std::strcmp(line, "& END") == 0;
  if (tail) line = single_text.c_str();
  size_t len = std::strlen(line);
  while (len && (line[len - 1] == '\n' || line[len - 1] == '\r')) len--;
  std::string text(line, len);
  if (!text.empty() && text[0] == '\x04') text.clear();  // the end-of-input marker
  out_line(flags, text);
  size_t upto = len;
  if (!tail && cstate.cursor && cstate.cursor >= line && cstate.cursor <= line + len)
    upto = static_cast<size_t>(cstate.cursor - line);
  std::string caret;
  for (size_t i = 0; i < upto; i++) caret += line[i] == '\t' ? '\t' : ' ';
  out_line(flags, caret + "^");

  int act = action & 0xffff;
  int quiet_action = (action & ~0xffff) | ((act == MSG_LONGJMP || act == MSG_IOERROR) ? MSG_CONTINUE : act);
  if (comp_io.listing) quiet_action |= MSG_PAGED;
  message_v(code, syserr, quiet_action, ap);
  if (comp_io.depth >= 0 && comp_io.names[comp_io.depth]) {
    char at[1200];
    std::snprintf(at, sizeof at, "  At: %s, Line %d", comp_io.names[comp_io.depth], comp_io.line_counts[comp_io.depth]);
    out_line(flags, at);
  }
  if (cstate.error_count >= kMaxErrors) message(M_TOO_MANY_ERRORS, 0, MSG_LONGJMP);
  if (act == MSG_LONGJMP || act == MSG_IOERROR) throw VekJump{action, code};
}

void scnerr(int code, int syserr, int action, ...) {
  va_list ap;
  va_start(ap, action);
  try {
    vscnerr(code, syserr, action, ap);
  } catch (...) {
    va_end(ap);
    throw;
  }
  va_end(ap);
}

// ---- Compile drivers ------------------------------------------------------------------------------

namespace {

struct UnitResult {
  bool compiled;  // the unit's END was reached without errors
  bool empty;     // the input ended before any statement
  bool stopped;   // the compilation was abandoned (too many errors, no memory)
};

UnitResult compile_unit() {
  cstate.error_count = 0;
  cstate.code_full = false;
  cstate.stmt_start = false;
  unit_state = UnitState{};
  reset_labels();
  UnitResult r{false, false, false};
  static ScanBlock pool[SCAN_POOL_SIZE];
  int parsed = 0;
  try {
    parsed = parse(pool, SCAN_POOL_SIZE);
    if (parsed && !undeflb()) parsed = 0;
  } catch (const VekJump&) {
    parsed = 0;
    r.stopped = true;
    if (!cstate.error_count) cstate.error_count = 1;
    cstate.cursor = nullptr;
  }
  parse_free(nullptr);
  reset_labels();
  r.compiled = parsed && cstate.error_count == 0;
  r.empty = !parsed && cstate.error_count == 0 && !r.stopped;
  return r;
}

// The code fields of a unit that an interactive statement borrows.
struct CodeFields {
  uint8_t* code;
  uint32_t code_cap, code_len;
  uint16_t for_chain, for_save, last_source;
};

CodeFields save_code_fields(const CodeBlock* cb) {
  return {cb->code, cb->code_cap, cb->code_len, cb->for_chain, cb->for_save, cb->last_source};
}

void restore_code_fields(CodeBlock* cb, const CodeFields& f) {
  cb->code = f.code;
  cb->code_cap = f.code_cap;
  cb->code_len = f.code_len;
  cb->for_chain = f.for_chain;
  cb->for_save = f.for_save;
  cb->last_source = f.last_source;
}

void discard_fresh_area() {
  if (unit_state.fresh_area) free_program_area(unit_state.fresh_area);
  unit_state.fresh_area = nullptr;
}

// Closes input levels until `depth` is current.
void close_inputs_to(int depth) {
  while (comp_io.depth > depth) close_compiler_input();
}

}  // namespace

uint8_t* compile_single_stmt(uint8_t* area, uint32_t capacity, uint32_t* size) {
  CodeBlock* unit = compiler_hooks.current_routine ? compiler_hooks.current_routine() : main_prog;
  if (!unit) unit = main_prog;
  CodeBlock* saved_prog = c_prog;
  CodeFields saved = save_code_fields(unit);
  unit->code = area;
  unit->code_cap = capacity;
  unit->code_len = 0;
  unit->for_chain = unit->for_save = 0;
  unit->last_source = NO_SOURCE;
  c_prog = unit;
  cstate.single_stmt = 1;
  cstate.const_pool = nullptr;
  cstate.var_hash = nullptr;
  cstate.cursor = cstate.line;
  single_text = cstate.line ? cstate.line : "";
  UnitResult r{};
  try {
    r = compile_unit();
  } catch (...) {
    discard_fresh_area();
    restore_code_fields(unit, saved);
    cstate.single_stmt = 0;
    c_prog = saved_prog;
    throw;
  }
  discard_fresh_area();
  uint32_t len = unit->code_len;
  restore_code_fields(unit, saved);
  cstate.single_stmt = 0;
  cstate.cursor = nullptr;
  c_prog = saved_prog;
  if (size) *size = (len + 7) & ~7u;
  return r.compiled ? area : nullptr;
}

uint8_t* compile_statement_text(const char* text, uint8_t* area, uint32_t capacity) {
  size_t n = std::min<size_t>(std::strlen(text), LINE_MAX_CHARS);
  std::memcpy(cstate.line_buffer, text, n);
  cstate.line_buffer[n] = 0;
  cstate.line = cstate.line_buffer;
  uint32_t size = 0;
  return compile_single_stmt(area, capacity, &size);
}

namespace {

struct FilePools {
  ConstPool consts{};
  uint16_t vars[1024]{};
};

// Compiles the next unit from files into c_prog (reset by the caller), with pooling.
UnitResult compile_file_unit(FilePools* pools) {
  *pools = FilePools{};
  cstate.const_pool = &pools->consts;
  cstate.var_hash = pools->vars;
  UnitResult r = compile_unit();
  cstate.const_pool = nullptr;
  cstate.var_hash = nullptr;
  return r;
}

}  // namespace

int runprog(const char* args) {
  std::vector<std::string> words;
  std::string w;
  for (const char* p = args ? args : "";; p++) {
    if (*p == 0 || *p == ' ' || *p == ',' || *p == '\t' || *p == '\n') {
      if (!w.empty() && words.size() < COMP_IO_LEVELS) words.push_back(w);
      w.clear();
      if (*p == 0) break;
    } else {
      w += *p;
    }
  }
  int failures = 0;
  std::vector<std::string> files;
  bool listing_open = false;
  for (size_t i = 0; i < words.size(); i++) {
    const std::string& word = words[i];
    if (word[0] != '-') {
      files.push_back(word);
      continue;
    }
    char opt = static_cast<char>(std::tolower(static_cast<unsigned char>(word.size() > 1 ? word[1] : 0)));
    if (opt == 'd') {
      cstate.debug = 1;
    } else if (opt == 'l' && i + 1 < words.size()) {
      const std::string& name = words[++i];
      FILE* f = std::fopen(name.c_str(), "w");
      if (!f) {
        message(M_OPEN_LISTING, errno, MSG_CONTINUE, name.c_str());
        failures++;
      } else {
        comp_io.listing = f;
        comp_io.listing_is_terminal = false;
        listing_open = true;
      }
    } else if (opt == 't') {
      comp_io.listing = stdout;
      comp_io.listing_is_terminal = true;
    } else {
      failures++;
    }
  }

  int base = comp_io.depth;
  int saved_base = comp_io.base_depth;
  bool saved_interactive = cstate.interactive;
  cstate.interactive = false;
  for (auto it = files.rbegin(); it != files.rend(); ++it) {
    int depth = 0;
    if (!open_compiler_input(it->c_str(), false, &depth, nullptr)) {
      message(M_OPEN_INPUT, errno, MSG_CONTINUE, it->c_str());
      failures++;
    }
  }
  comp_io.base_depth = base;
  int result = 0;
  // Without file names the units come from the terminal.
  bool from_terminal = files.empty() && failures == 0;
  while (failures == 0 && (comp_io.depth > base || from_terminal)) {
    CodeFields main_saved = save_code_fields(main_prog);
    main_prog->code_len = 0;
    main_prog->for_chain = main_prog->for_save = 0;
    c_prog = main_prog;
    cstate.cursor = nullptr;
    FilePools pools;
    UnitResult r = compile_file_unit(&pools);
    CodeBlock* unit = unit_state.in_routine ? unit_state.fresh_area : main_prog;
    if (r.empty) {
      restore_code_fields(main_prog, main_saved);
      c_prog = main_prog;
      break;
    }
    const char* name = unit ? unit->name_str() : "$MAIN$";
    if (!r.compiled) {
      message(M_COMPILE_ERRORS, 0, MSG_CONTINUE, cstate.error_count, name);
      if (!unit_state.in_routine) result = -1;
      else restore_code_fields(main_prog, main_saved);
    } else {
      message(M_COMPILED, 0, MSG_INFO, name);
      if (unit_state.in_routine) {
        save_program(unit_state.fresh_area);
        restore_code_fields(main_prog, main_saved);
      } else {
        result = 1;
        if (compiler_hooks.reinsert_breakpoints) compiler_hooks.reinsert_breakpoints(main_prog);
        CodeBlock* cur = compiler_hooks.current_routine ? compiler_hooks.current_routine() : main_prog;
        if (cur && cur != main_prog) {
          if (compiler_hooks.return_all) compiler_hooks.return_all();
          message(M_MAIN_INSIDE_PROC, 0, MSG_CONTINUE);
        }
      }
    }
    discard_fresh_area();
    c_prog = main_prog;
    if (r.stopped || from_terminal) break;
  }
  close_inputs_to(base);
  comp_io.base_depth = saved_base;
  cstate.interactive = saved_interactive;
  if (comp_io.listing && !comp_io.listing_is_terminal && listing_open) std::fclose(comp_io.listing);
  comp_io.listing = nullptr;
  comp_io.listing_is_terminal = false;
  return failures ? 0 : result;
}

void compile_lib(const char* path, CodeBlock* routine) {
  (void)path;
  int opened_at = comp_io.depth;
  int saved_base = comp_io.base_depth;
  bool saved_interactive = cstate.interactive;
  CodeBlock* saved_prog = c_prog;
  comp_io.base_depth = opened_at - 1;
  cstate.interactive = false;
  static IdentEntry* main_name = ident_hash("$MAIN$", 0, 0, MSG_LONGJMP);
  while (comp_io.depth >= opened_at && !routine->code) {
    CodeBlock* scratch = new_program_area(main_name, default_code_size, default_data_size);
    c_prog = scratch;
    cstate.cursor = nullptr;
    FilePools pools;
    UnitResult r{};
    try {
      r = compile_file_unit(&pools);
    } catch (...) {
      discard_fresh_area();
      free_program_area(scratch);
      throw;
    }
    if (r.empty) {
      free_program_area(scratch);
      break;
    }
    if (!unit_state.in_routine) {
      if (r.compiled || !r.stopped) message(M_LIB_NO_ROUTINE, 0, MSG_CONTINUE);
      if (compiler_hooks.reinsert_breakpoints && main_prog) compiler_hooks.reinsert_breakpoints(main_prog);
    } else if (r.compiled) {
      save_program(unit_state.fresh_area);
      message(M_COMPILED, 0, MSG_INFO, unit_state.fresh_area->name_str());
    } else {
      message(M_COMPILE_ERRORS, 0, MSG_CONTINUE, cstate.error_count, unit_state.fresh_area->name_str());
    }
    discard_fresh_area();
    free_program_area(scratch);
    if (r.stopped) break;
  }
  close_inputs_to(opened_at - 1);
  comp_io.base_depth = saved_base;
  cstate.interactive = saved_interactive;
  c_prog = saved_prog;
}

bool compile_on_call(CodeBlock* routine) {
  std::string lower = routine->name_str();
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  bool restored = false;
  int depth = 0;
  FILE* f = open_compiler_input(lower.c_str(), true, &depth, &restored);
  if (restored) {
    message(M_RESTORED, 0, MSG_INFO, lower.c_str());
    return routine->code != nullptr;
  }
  if (!f) return false;
  compile_lib(comp_io.names[comp_io.depth], routine);
  return routine->code != nullptr;
}

// ---- Start-up ------------------------------------------------------------------------------------

namespace {

CodeBlock* lexer_find_user_function(const IdentEntry* name) { return find_user_routine(name, true); }

bool lexer_is_program_variable(const IdentEntry* name) {
  return c_prog && looksym(const_cast<IdentEntry*>(name), c_prog, false) != 0;
}

CodeBlock* lexer_new_user_function(IdentEntry* name) { return enter_proc_name(name, &ufuntab); }

void lexer_getline(const char* at) { comp_getline(at); }

}  // namespace

void init_compiler(uint32_t code_bytes, uint32_t data_bytes) {
  lexer_hooks.getline = lexer_getline;
  lexer_hooks.scnerr = scnerr;
  lexer_hooks.find_user_function = lexer_find_user_function;
  lexer_hooks.is_program_variable = lexer_is_program_variable;
  lexer_hooks.is_in_library = is_in_library;
  lexer_hooks.new_user_function = lexer_new_user_function;
  default_code_size = code_bytes;
  default_data_size = data_bytes;
  create_main_program(code_bytes, data_bytes);
  c_prog = main_prog;
}
