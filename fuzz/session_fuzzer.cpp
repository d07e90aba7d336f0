// Fuzz target: arbitrary statement text run in a session. The lines before the first
// routine definition are statements typed at the prompt; the rest of the input, when
// there is a definition, is compiled first as a source file (its main program, if any,
// is run too). Each statement runs under a step budget, the session under a memory
// budget, so that endless loops and huge requests end with the system's own messages.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "compiler/compiler_input.h"
#include "compiler/cstate.h"
#include "fuzz_support.h"
#include "interp/interpreter.h"
#include "interp/message.h"

namespace {

// Runs code as the main loop does; false when the session was asked to end.
bool run(uint8_t* code, int interactive) {
  fuzz::reset_budget();
  cstate.interactive = interactive != 0;
  interpreter(code, interactive, 0, nullptr);
  cstate.interactive = true;
  bool go_on = int_interrupt != IR_EXIT;
  int_interrupt = IR_NONE;
  return go_on;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::init_session();
  std::vector<std::string> lines = fuzz::split_lines(data, size);
  size_t first_routine = lines.size();
  for (size_t i = 0; i < lines.size(); i++) {
    if (fuzz::starts_routine(lines[i])) {
      first_routine = i;
      break;
    }
  }
  bool go_on = true;
  if (first_routine < lines.size()) {
    std::string text;
    for (size_t i = first_routine; i < lines.size(); i++) text += lines[i] + "\n";
    std::string path = fuzz::write_scratch_file("routines.pro", text);
    int r = -1;
    try {
      r = runprog(path.c_str());
    } catch (const VekJump&) {
    }
    if (r == 1 && main_prog->code) go_on = run(main_prog->code, 0);
  }
  for (size_t i = 0; i < first_routine && go_on; i++) {
    const std::string& line = lines[i];
    // Executive commands, shell escapes, help requests and command files are the main
    // loop's, not the compiler's.
    if (!line.empty() && (line[0] == '.' || line[0] == '$' || line[0] == '?' || line[0] == '@')) continue;
    if (uint8_t* code = fuzz::compile_line(line)) go_on = run(code, 1);
  }
  fuzz::reset_session();
  return 0;
}
