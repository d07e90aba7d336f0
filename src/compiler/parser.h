// The table-driven shift-reduce parser: scan blocks (tokens and grammar symbols with
// their attributes), the parse loop with error recovery, the compiler heap, label
// checks and END-word checks. Semantic actions (actions_*.cpp) emit byte code into
// c_prog as rules are reduced. Relies on the lexer (gettok), the generated parse
// tables, the emitter (bytecode.h) and scnerr (compiler_input.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "compiler/lexer.h"

// Number of scan blocks every compile driver gives the parser.
constexpr int SCAN_POOL_SIZE = 200;

// A token or a grammar symbol on the parse stack. The attributes are filled in by the
// semantic actions; their meaning depends on the symbol.
struct ScanBlock {
  ScanBlock* link;  // next block down the parse stack, or in the free list
  Token tok;
  int32_t sym;      // grammar symbol (token code or non-terminal)
  int32_t state;    // parser state in which the block was pushed
  // --- attributes ---
  IdentEntry* ident;  // a name: identifier, variable, keyword, tag, label
  void* list;         // compiler-heap list (keyword arguments, fields, formals)
  int32_t off;        // offset of an instruction to patch or to jump back to (-1: none)
  int32_t off2;
  int32_t count;      // arguments, constructor elements, fields, formals
  int32_t level;      // array-constructor nesting level
  uint16_t codes;     // subscript codes
  uint8_t nsubs;      // subscript count
  uint8_t kind;       // what the symbol denotes (see the actions)
  uint8_t flags;
  char end_word[12];  // END word of a BEGIN block (valid with SB_BLOCK)
};

// flags
constexpr uint8_t SB_BLOCK = 1;    // the statement is a BEGIN block; end_word is its END word
constexpr uint8_t SB_STAR = 2;     // a range part written "*"
constexpr uint8_t SB_KEYWORD = 4;  // an actual argument given by keyword
constexpr uint8_t SB_STEP = 8;     // a FOR head with an increment

// Parse-table entry (kinds in tools/gen_parse_tables.cpp).
struct ParseEntry {
  int8_t kind;
  int16_t symbol;
  int16_t arg;
};
const ParseEntry* parse_entries();
int parse_entry_count();

// Parses one program unit from the current compiler input into c_prog. Returns 1 when
// the unit's END was reached, 0 when the input ended first or the pool ran out.
int parse(ScanBlock* area, int count);
ScanBlock* get_scnblk();
void ret_scnblk(ScanBlock* b);

// The i-th of n right-hand-side blocks of the rule being reduced (top is the last).
ScanBlock* rhs_block(ScanBlock* top, int n, int i);

using SemAction = void (*)(int rule, ScanBlock* top, ScanBlock* result);
void sem_action(int rule, ScanBlock* top, ScanBlock* result);

// Compiler heap: blocks live until parse_free(nullptr) after each unit.
void* parse_malloc(size_t n);
void parse_free(void* p);

// Labels of the unit: reports each label used but never defined (-45); 0 if any.
int undeflb();
void reset_labels();
// -46 unless the block's END word is "END" or `expected`; only BEGIN-block statements
// carry an END word.
void check_end(const ScanBlock* block, const char* expected);

// Per-unit parser state the drivers inspect.
struct UnitState {
  bool in_routine = false;     // a PRO or FUNCTION header has been compiled
  bool is_function = false;
  int statements = 0;          // statements completed in the unit
  CodeBlock* fresh_area = nullptr;  // the routine's program area made by its header
};
extern UnitState unit_state;
