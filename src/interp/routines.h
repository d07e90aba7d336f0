// System routine tables and the calling convention of built-ins: RoutineEntry, the
// sorted function and procedure tables, keyword tables and their decoding
// (get_kw_params), keyword clean-up and the keyword truth test. Relies on the value
// model, conversions and structures; the built-in groups are added by start-up.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "values/variable.h"

// Calling convention. argv holds the positional arguments in source order, then the
// keyword values in keyword-name order; argk is the call's keyword name list (argc
// names, "" for each positional argument) or null when the call has no keywords.
using KwNames = const char* const*;
using SysProc = void (*)(int argc, Variable* argv[], KwNames argk);
using SysFun = Variable* (*)(int argc, Variable* argv[], KwNames argk);

constexpr uint8_t KW_OK = 0x80;  // in min_args: the routine accepts keywords

struct RoutineEntry {
  union {
    SysProc proc;
    SysFun fun;
  };
  const char* name;
  uint8_t min_args;  // low 7 bits; bit 7 = KW_OK
  uint8_t max_args;
  uint16_t spare;

  constexpr RoutineEntry(SysProc p, const char* n, int mn, int mx, bool kw = false)
      : proc(p), name(n), min_args(static_cast<uint8_t>(mn | (kw ? KW_OK : 0))), max_args(static_cast<uint8_t>(mx)),
        spare(0) {}
  constexpr RoutineEntry(SysFun f, const char* n, int mn, int mx, bool kw = false)
      : fun(f), name(n), min_args(static_cast<uint8_t>(mn | (kw ? KW_OK : 0))), max_args(static_cast<uint8_t>(mx)),
        spare(0) {}
  int min() const { return min_args & 0x7f; }
  bool accepts_keywords() const { return min_args & KW_OK; }
};

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

// The routine tables: count entries sorted by name (strcmp order), room for capacity.
// owned is 1 when the block was allocated here and may be freed.
struct RoutineTable {
  uint32_t count;
  uint32_t capacity;
  uint32_t owned;
  const RoutineEntry* entries[];
};
extern RoutineTable* sys_fun_table;
extern RoutineTable* sys_pro_table;

// Merges a strictly name-sorted array into a table; equal names replace the old entry.
// An unsorted array is refused whole (internal error -3). Returns 1 on success.
int add_system_routine(const RoutineEntry* entries, bool is_function, int count);
// The same on any table (a null table is created); add_system_routine uses the system
// tables.
int add_to_routine_table(RoutineTable** table, const RoutineEntry* entries, int count);
const RoutineEntry* routine_lookup(const RoutineTable* table, const char* name);
const RoutineEntry* is_sys_function(const char* name);
const RoutineEntry* is_procedure(const char* name);
// Index of the system function in sys_fun_table, or -1 (the lexer's function tokens).
int sys_fun_index(const char* name);

// First call only: temporaries and the empty routine tables. Start-up then adds the
// built-in groups (init_system_tables in the session layer).
void init_routine_tables();

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
