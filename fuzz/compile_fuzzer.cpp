// Fuzz target: the lexer, parser and code generator on arbitrary text, compiled but
// never run. Each line is compiled as a statement typed at the prompt, and the whole
// input as a source file with the compile command (routines and a main program).
#include <cstddef>
#include <cstdint>
#include <string>

#include "compiler/compiler_input.h"
#include "fuzz_support.h"
#include "base/message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::init_session();
  for (const std::string& line : fuzz::split_lines(data, size)) fuzz::compile_line(line);
  fuzz::reset_session();

  std::string path = fuzz::write_scratch_file("unit.pro", std::string(reinterpret_cast<const char*>(data), size));
  try {
    runprog(path.c_str());
  } catch (const VekJump&) {
  }
  fuzz::reset_session();
  return 0;
}
