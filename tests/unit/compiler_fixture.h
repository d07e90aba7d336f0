// Fixture for compiler tests: compiles statements or source files and returns the
// listing of the code, normalised so that tests read as instruction sequences: offsets
// and alignment fillers are dropped, and branch targets name the index of the target
// instruction ("-> #3"). Messages are captured.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "base/message.h"
#include "compiler/bytecode.h"
#include "compiler/compiler_input.h"
#include "compiler/cstate.h"
#include "compiler/program_areas.h"
#include "interp/routines.h"
#include "session/startup.h"
#include "test_support.h"

namespace compiler_test {

inline void dummy_pro(int, Variable*[], KwNames) {}
inline Variable* dummy_fun(int, Variable*[], KwNames) { return nullptr; }

// Routines the tests call; the names keep clear of real built-ins.
inline void register_test_routines() {
  static bool done = false;
  if (done) return;
  done = true;
  init_system_tables();
  static const RoutineEntry funs[] = {
      RoutineEntry(dummy_fun, "ZZT_KWFUN", 0, 3, true),
      RoutineEntry(dummy_fun, "ZZT_NOKWFUN", 1, 1, false),
  };
  add_system_routine(funs, true, 2);
  if (!is_sys_function("EXECUTE")) {
    static const RoutineEntry exec[] = {RoutineEntry(dummy_fun, "EXECUTE", 1, 1, false)};
    add_system_routine(exec, true, 1);
  }
  static const RoutineEntry pros[] = {
      RoutineEntry(dummy_pro, "ZZT_KWPRO", 0, 5, true),
      RoutineEntry(dummy_pro, "ZZT_NOKWPRO", 1, 2, false),
  };
  add_system_routine(pros, false, 2);
  if (!main_prog) init_compiler(32768, 8192);
  // The routine tables are permanent; make them before tests measure memory.
  enter_proc_name_str("ZZT_FIRST_PRO", false);
  enter_proc_name_str("ZZT_FIRST_FUN", true);
}

inline std::string captured;
inline void capture_write(int, const char* text, bool end_line) {
  captured += text;
  if (end_line) captured += '\n';
}

// Counts the occurrences of needle in hay.
inline int count_of(const std::string& hay, const std::string& needle) {
  int n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) n++;
  return n;
}

// The listing of a code area as "NAME operands" lines without fillers, branch targets
// given as instruction indexes.
inline std::vector<std::string> normalise(const std::string& listing) {
  struct Line {
    unsigned off;
    std::string text;
  };
  std::vector<Line> raw;
  std::istringstream in(listing);
  std::string line;
  while (std::getline(in, line)) {
    unsigned off = 0;
    char name[64] = {};
    if (std::sscanf(line.c_str(), "%u %63s", &off, name) != 2) continue;
    std::string rest = line.substr(line.find(name) + std::strlen(name));
    if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
    raw.push_back({off, std::string(name) + (rest.empty() ? "" : " " + rest)});
  }
  // Index of the first real instruction at or after each offset.
  std::map<unsigned, int> index_at;
  int idx = 0;
  for (const Line& l : raw) {
    if (l.text.rfind("PAD", 0) == 0) {
      index_at[l.off] = -1;
      continue;
    }
    index_at[l.off] = idx++;
  }
  auto target_index = [&](unsigned off) {
    for (auto it = index_at.lower_bound(off); it != index_at.end(); ++it)
      if (it->second >= 0) return it->second;
    return -1;
  };
  std::vector<std::string> out;
  for (const Line& l : raw) {
    if (l.text.rfind("PAD", 0) == 0) continue;
    std::string t = l.text;
    size_t arrow = t.find("-> ");
    if (arrow != std::string::npos) {
      unsigned off = static_cast<unsigned>(std::stoul(t.substr(arrow + 3)));
      t = t.substr(0, arrow) + "-> #" + std::to_string(target_index(off));
    }
    out.push_back(t);
  }
  return out;
}

class CompilerTest : public VekTest {
 protected:
  void SetUp() override {
    register_test_routines();
    VekTest::SetUp();
    zero_prog(main_prog);
    c_prog = main_prog;
    saved_hooks_ = message_hooks;
    message_hooks.write = capture_write;
    // Other suites may have installed the interpreter's services; start from none.
    saved_compiler_hooks_ = compiler_hooks;
    compiler_hooks = CompilerHooks{};
    compiler_hooks.read_terminal = [](const char*, std::string*) { return false; };  // never the real stdin
    captured.clear();
    dir_ = std::filesystem::temp_directory_path() / ("vekc_" + std::to_string(getpid()) + "_" + std::to_string(counter_++));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    message_hooks = saved_hooks_;
    compiler_hooks = saved_compiler_hooks_;
    while (comp_io.depth >= 0) close_compiler_input();
    comp_io.base_depth = -1;
    vek_path.clear();
    zero_prog(main_prog);
    std::filesystem::remove_all(dir_);
    // Compiling interns names and enters routines, which stay for the session; the
    // CompilingAgainAllocatesNothing test checks that compiling itself keeps nothing.
    baseline_ = mem_counters.bytes_in_use;
    VekTest::TearDown();
  }

  // Compiles one interactive statement; the listing is empty when it did not compile.
  std::vector<std::string> stmt(const std::string& text) {
    EXPECT_LE(text.size(), 510u) << "longer than a line";
    uint8_t* code = compile_statement_text(text.c_str(), area_, sizeof area_);
    if (!code) return {};
    raw_ = view(area_, sizeof area_);
    return normalise(raw_);
  }

  std::string view(uint8_t* code, uint32_t len) {
    CodeBlock cb = *main_prog;
    cb.code = code;
    cb.code_len = len;
    return list_code(&cb);
  }

  std::string write_file(const std::string& name, const std::string& text) {
    std::filesystem::path p = dir_ / name;
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p) << text;
    return p.string();
  }

  // Compiles a source file with the compile command; returns runprog's result.
  int run_file(const std::string& text) {
    std::string path = write_file("unit" + std::to_string(counter_++) + ".pro", text);
    return runprog(path.c_str());
  }

  std::vector<std::string> main_listing() {
    raw_ = list_code(main_prog);
    return normalise(raw_);
  }

  std::vector<std::string> routine_listing(const char* name, bool function = false) {
    CodeBlock* r = find_user_routine(ident_hash(name, 0, IDENT_UPCASE, MSG_LONGJMP), function);
    if (!r || !r->code) return {};
    raw_ = list_code(r);
    return normalise(raw_);
  }

  // Index of the first line beginning with prefix, or -1.
  static int find(const std::vector<std::string>& code, const std::string& prefix, int from = 0) {
    for (int i = from; i < static_cast<int>(code.size()); i++)
      if (code[static_cast<size_t>(i)].rfind(prefix, 0) == 0) return i;
    return -1;
  }
  // Branch target of a line "... -> #k".
  static int target(const std::string& line) {
    size_t p = line.find("-> #");
    return p == std::string::npos ? -2 : std::stoi(line.substr(p + 4));
  }

  alignas(8) uint8_t area_[2000] = {};
  std::string raw_;
  MessageHooks saved_hooks_;
  CompilerHooks saved_compiler_hooks_;
  std::filesystem::path dir_;
  static inline int counter_ = 0;
};

}  // namespace compiler_test
