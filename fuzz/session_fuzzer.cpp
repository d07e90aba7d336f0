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
#include "base/message.h"

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
    if (r == 1 && main_prog->code) go_on = fuzz::run_code(main_prog->code, 0);
  }
  for (size_t i = 0; i < first_routine && go_on; i++) go_on = fuzz::run_statement(lines[i]);
  fuzz::reset_session();
  return 0;
}
