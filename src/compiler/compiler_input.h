// Compiler input and the compile drivers: the stack of open source and command files
// (comp_io), comp_getline with its prompts, "@" files and listing, the library search
// path with "+" expansion, the drivers for interactive statements, the compile command
// (.run) and library routines compiled on their first call, and scnerr, the compile-
// error reporter. Relies on the parser, the program areas and message(); higher layers
// (line editor, interpreter, system variables) plug in through CompilerHooks.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "compiler/bytecode.h"

constexpr int COMP_IO_LEVELS = 11;  // nesting levels 0-10 of compiler input files

struct CompIo {
  FILE* files[COMP_IO_LEVELS] = {};
  FILE* listing = nullptr;      // compiled lines are echoed here (may be stdout)
  bool listing_is_terminal = false;
  int depth = -1;               // current level; -1 is the terminal
  int base_depth = -1;          // levels above this belong to the running compile command
  int line_counts[COMP_IO_LEVELS] = {};
  char* names[COMP_IO_LEVELS] = {};  // full path of each level's file
};
extern CompIo comp_io;

// Services of higher layers. Null hooks have working defaults (noted).
struct CompilerHooks {
  // Reads one terminal line (without newline) after showing the prompt; false at end
  // of input. Default: stdin.
  bool (*read_terminal)(const char* prompt, std::string* line) = nullptr;
  // The prompt of the interactive level (the value of !PROMPT). Default "Vek> ".
  const char* (*prompt)() = nullptr;
  // Requests the end of the session (end of terminal input). Default: nothing.
  void (*request_exit)() = nullptr;
  // The system variable of this "!" name, or null. Default: none exist.
  void* (*find_sysvar)(const IdentEntry* name) = nullptr;
  // The routine whose variables an interactive statement uses (the current frame's
  // routine). Default: main_prog.
  CodeBlock* (*current_routine)() = nullptr;
  // A running unit gained a variable slot: 0, or the message code to report (-49, -54).
  int (*new_variable)(CodeBlock* unit, uint32_t slot_offset) = nullptr;
  // True when a unit with these counts fits a frame. Default: 24 bytes per variable,
  // 8 per parameter and 156 bytes of header within 6400 bytes.
  bool (*frame_fits)(uint32_t n_vars, uint32_t n_params) = nullptr;
  // True when the routine has an activation on the frame stack.
  bool (*routine_active)(const CodeBlock* routine) = nullptr;
  // Returns every frame to the main level.
  void (*return_all)() = nullptr;
  // Re-applies breakpoints after a routine's code was replaced.
  void (*reinsert_breakpoints)(CodeBlock* routine) = nullptr;
  // Restores the routines saved in a ".sav" file; true on success.
  bool (*restore_file)(const char* path) = nullptr;
  // Visits the variables of live frames (for clean_dynamic_strings).
  void (*visit_frame_variables)(void (*fn)(Variable* v, void* ctx), void* ctx) = nullptr;
  // A named structure constructor with fields: finds or records the definition's tags
  // (null entries for fields without tag names). Returns 0 or -143 / -144.
  int (*named_struct)(IdentEntry* name, int n_fields, IdentEntry* const* tags) = nullptr;
};
extern CompilerHooks compiler_hooks;

// Tag names of a named structure as recorded by the compiler from a constructor with
// fields, or null (for MAKE_NAMED_STRUCT when the definition does not exist yet).
const std::vector<IdentEntry*>* compiled_struct_tags(const IdentEntry* name);

// False in the mode that runs saved programs only: ".pro" files are not compiled.
extern bool compile_sources_allowed;
// Sizes of a fresh procedure area (set with the main program's, at start-up).
extern uint32_t default_code_size;
extern uint32_t default_data_size;

// Installs the lexer hooks and makes the main program area. Called once at start-up
// (init_system_routines), and again by .size with new sizes.
void init_compiler(uint32_t code_bytes, uint32_t data_bytes);

// ---- Search path ------------------------------------------------------------------------
// The value of !PATH (bound to the system variable by its owner); path_changed()
// rebuilds the directory list from it.
extern std::string vek_path;
void path_changed();
const std::vector<std::string>& search_path();
// Finds name (with ".pro" and/or ".sav" when asked) in the current directory and then
// along the path. Returns the path found, or "" ; *is_sav tells which extension won.
std::string find_along_path(const std::string& name, bool try_pro, bool try_sav, bool* is_sav);
bool is_in_library(const char* lower_name);

// ---- Input stack -----------------------------------------------------------------------
FILE* open_compiler_input(const char* name, bool routine, int* depth, bool* restored);
void close_compiler_input();
// Reads the next source line into cstate.line_buffer; `at` points at an "@" naming a
// command file to open first.
void comp_getline(const char* at);

// ---- Compile drivers ---------------------------------------------------------------------
// One interactive statement (text already in cstate.line_buffer) into area; returns the
// code start or null. *size: the code length rounded up to 8.
uint8_t* compile_single_stmt(uint8_t* area, uint32_t capacity, uint32_t* size);
// Copies text into the line buffer and compiles it as one statement (EXECUTE).
uint8_t* compile_statement_text(const char* text, uint8_t* area, uint32_t capacity);
// The compile command: 1 main program compiled, 0 nothing to run, -1 errors in a main.
int runprog(const char* args);
// Compiles the units of a library file just opened until `routine` has code.
void compile_lib(const char* path, CodeBlock* routine);
// Finds and compiles (or restores) an uncompiled routine; true when it has code now.
bool compile_on_call(CodeBlock* routine);

// ---- Errors --------------------------------------------------------------------------------
// Compile error: counts it, shows the source line with a caret under the cursor, the
// message, and "At:" when reading a file; stops the compilation after 25 errors.
void scnerr(int code, int syserr, int action, ...);
void vscnerr(int code, int syserr, int action, va_list ap);
