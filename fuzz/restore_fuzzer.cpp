// Fuzz target: save files. The input is written to a file and read back with RESTORE,
// after which HELP describes whatever was restored; the routines restored are listed
// but never run. The session is reset between inputs.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::init_session();
  fuzz::write_scratch_file("data.sav", std::string(reinterpret_cast<const char*>(data), size));
  fuzz::run_statement("RESTORE, 'data.sav'");
  fuzz::run_statement("HELP");
  fuzz::run_statement("HELP, /STRUCTURES");
  fuzz::reset_session();
  return 0;
}
