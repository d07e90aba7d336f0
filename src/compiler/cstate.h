// The compiler's global state record `cstate`. The first block (input position, line
// buffer, single-statement and member-operator flags) is what the lexer reads and
// writes; the compile drivers and the parser keep their own fields after it. The
// record is defined in cstate.cpp, together with `c_prog` and `main_prog`.
#pragma once

#include <cstdint>

#include "compiler/bytecode.h"

constexpr int LINE_MAX_CHARS = 510;     // characters read per source line
constexpr int LINE_BUFFER_SIZE = 512;   // line, newline and terminating NUL

struct ScanBlock;

struct CompilerState {
  // --- input position (lexer) ---
  // Next unread character of the current line; null: the line is used up and the
  // next token request reads another line.
  char* cursor = nullptr;
  // First character of the token last returned (error reports point here).
  char* token_start = nullptr;
  // Start of the line being scanned (for error reports). Normally line_buffer; a
  // driver that compiles text held elsewhere (EXECUTE) may point it and cursor there.
  char* line = line_buffer;
  // Set while one interactive statement is compiled: an exhausted line is followed by
  // "& END" instead of a read.
  uint8_t single_stmt = 0;
  // 1 while the last token returned was the member operator ".".
  uint8_t dot_flag = 0;
  // The current source line, NUL-terminated.
  char line_buffer[LINE_BUFFER_SIZE] = {};

  // --- compile drivers and parser ---
  int error_count = 0;         // errors in the unit being compiled
  int debug = 0;               // set by the compile command's -d option
  bool interactive = false;    // the main loop is compiling a typed statement
  bool stmt_start = false;     // a statement begins: emit its marker before its first instruction
  bool code_full = false;      // -37 already reported for this unit
  bool last_emit_ok = false;   // the last enter_inst stored its instruction
  uint32_t last_marker = 0;    // code length when the last statement marker was emitted
  ConstPool* const_pool = nullptr;  // present only while compiling from files
  uint16_t* var_hash = nullptr;     // 1024 slots of variable-table offsets, or null
  int term_lines = 0;          // lines read from the terminal
  // Depth counters of the parser.
  uint16_t for_depth = 0;      // open FOR loops
  uint16_t block_depth = 0;    // open BEGIN blocks and CASE statements
  uint16_t bracket_depth = 0;  // open array constructors
  ScanBlock* free_blocks = nullptr;  // scan-block pool of the running parse
};

extern CompilerState cstate;

// The unit being compiled and the main program's area.
extern CodeBlock* c_prog;
extern CodeBlock* main_prog;

// Provided by the compiler input: the current input's file name ("/dev/tty" for the
// terminal) and the number of lines read from it so far.
const char* comp_input_position(int* line_count);
