// System routine tables and the calling convention of built-ins: RoutineEntry and the
// sorted function and procedure tables. The compiler looks names up here; start-up adds
// the built-in groups.
#pragma once

#include <cstdint>

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
