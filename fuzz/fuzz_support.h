// Shared set-up of the fuzz targets: a session initialised once per process as the
// program does it, with the built-ins that reach outside the process (shell, working
// directory, environment, keyboard, file search) replaced by stubs, those that open files
// limited to plain names, output discarded, and a private scratch directory as the
// working directory. Relies on the start-up, compiler input, interpreter and frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

// Statements and backward branches one input line may run, and the value memory a
// session may hold; past them the system's own interrupt and allocation messages end
// the statement.
constexpr uint64_t kStepBudget = 20000;
constexpr size_t kMemoryBudget = size_t{64} << 20;
// Terminal output one statement may write before it is interrupted.
constexpr size_t kOutputBudget = size_t{1} << 20;
// Input lines beyond this are ignored (each one is a statement to compile and run).
constexpr size_t kMaxLines = 64;

// First call only: initialises the session. Safe to call for every input.
void init_session();
// Puts the session back to a fresh main level: no variables, no main program, no
// pending requests, no open compiler input.
void reset_session();

// The input's lines (without line ends), each cut to the length of a source line.
std::vector<std::string> split_lines(const uint8_t* data, size_t size);
// True when the line starts a routine definition ("PRO name" or "FUNCTION name").
bool starts_routine(const std::string& line);
// Writes text to a file in the scratch directory; returns its path.
std::string write_scratch_file(const char* name, const std::string& text);

// Compiles one interactive statement (as typed at the prompt) into the statement area;
// returns the code or null when it did not compile.
uint8_t* compile_line(const std::string& line);
// Runs code as the main loop does, with a full step budget; false when the session was
// asked to end (EXIT).
bool run_code(uint8_t* code, int interactive);
// Compiles and runs one line typed at the prompt (lines for the main loop itself, such
// as executive commands and shell escapes, are skipped); false after EXIT.
bool run_statement(const std::string& line);

}  // namespace fuzz
