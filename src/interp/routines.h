// Keywords of built-ins: keyword tables and their decoding (get_kw_params), keyword
// clean-up and the keyword truth test. Relies on the value model, conversions and
// structures; the routine tables themselves are in compiler/routine_table.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "compiler/routine_table.h"
#include "values/variable.h"

// Keyword tables: one constexpr array per built-in (or family of built-ins sharing
// keywords), sorted by name, ending with an entry whose name is null. Flags:
//   KW_BITFLAG  when the value is true (variable_true), OR the low 12 bits of the flags
//               (the keyword's bit) into the uint32_t target;
//   KW_OUTPUT   store the argument's Variable* (the routine may write into it);
//   KW_VARIABLE (without KW_ARRAY) the argument must be a named variable (-129); its
//               Variable* is stored;
//   KW_ARRAY    the target is a KwArray: the elements are converted to the entry's type
//               into data and counted (-81 outside min..max);
//   KW_CLEAR    zero the target at the start of every decoding.
// Otherwise the argument must be a scalar (-126) converted to the entry's type: TYP_LONG
// into int32_t, TYP_FLOAT into float, TYP_DOUBLE into double, TYP_STRING into a
// StringDesc that does not own its characters (they stay valid until the keyword
// clean-up level of the call is closed).
// `mask` selects the routines of a family a keyword applies to; `present`, when not
// null, is set to 1 when the keyword is given (and to 0 otherwise).
constexpr uint16_t KW_BITFLAG = 0x8000;
constexpr uint16_t KW_CLEAR = 0x4000;
constexpr uint16_t KW_VARIABLE = 0x2000;  // pass the argument's Variable itself
constexpr uint16_t KW_ARRAY = 0x1000;
constexpr uint16_t KW_OUTPUT = 0x3000;    // output keyword: a named variable to write
constexpr uint16_t KW_BITS = 0x0fff;      // the bit of a bit-flag keyword

// Target of an array keyword.
struct KwArray {
  void* data;
  int32_t min_count;
  int32_t max_count;
  int32_t count;
};

struct KwEntry {
  const char* name;  // null ends the table; "" marks a header entry
  uint8_t type;      // TYP_LONG, TYP_FLOAT, TYP_DOUBLE or TYP_STRING
  uint8_t mask;
  uint16_t flags;    // header entry: the number of entries that follow
  int32_t* present;
  void* value;       // header entry: its KwClearList
};

// A table may start with a header entry {"", 0, 0, n, nullptr, &clear_list}: the
// targets to reset are then collected once, on first use, into the clear list (a
// static object owned by the table's module), instead of walking the table each call.
struct KwClearList {
  bool built = false;
  std::vector<int32_t*> words;                 // present flags
  std::vector<std::pair<size_t, void*>> blocks;  // KW_CLEAR targets: byte count, address
};

// Decodes a call's keyword arguments against kwtable for a routine of the given mask,
// copies the positional arguments (in order) to `positional` (when not null) and
// returns their number. A name beginning with "0" marks the _EXTRA argument: a
// structure whose tags are decoded as further keywords. Errors -78, -80, -81, -84,
// -126, -129, -148 unwind; names in messages come from message_hooks.current_sysroutine.
int get_kw_params(int argc, Variable* argv[], KwNames argk, const KwEntry* kwtable, Variable* positional[],
                  int mask);
// Strings converted for keywords and temporaries taken over from _EXTRA are recorded
// until released here. 1 opens a level (before a built-in is called), 2 frees what was
// recorded since and closes it (after the call returns), 0 frees everything (the
// recovery point; call it before the temporaries are reclaimed).
constexpr int KW_CLEANUP_ALL = 0;
constexpr int KW_CLEANUP_OPEN = 1;
constexpr int KW_CLEANUP_CLOSE = 2;
void keyword_cleanup(int action);
// Keyword truth: the argument must be a scalar (-126); numbers are true when not zero
// (complex: the real part), strings when not empty, undefined values are false.
int variable_true(const Variable* v);
