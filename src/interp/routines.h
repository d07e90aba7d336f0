// System routine tables and the calling convention of built-ins: RoutineEntry, the
// sorted function and procedure tables, keyword tables and their decoding
// (get_kw_params), keyword clean-up, the keyword truth test, and looksym.
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

// Keyword table entries (a constexpr-friendly array ending with a null name).
constexpr uint16_t KW_BITFLAG = 0x8000;
constexpr uint16_t KW_CLEAR = 0x4000;
constexpr uint16_t KW_VARIABLE = 0x2000;  // pass the argument's Variable itself
constexpr uint16_t KW_ARRAY = 0x1000;
constexpr uint16_t KW_OUTPUT = 0x3000;    // output keyword: a named variable to write

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
  uint16_t flags;
  int32_t* present;
  void* value;
};

int add_system_routine(const RoutineEntry* entries, bool is_function, int count);
const RoutineEntry* is_sys_function(const char* name);
const RoutineEntry* is_procedure(const char* name);
void init_system_tables();

int get_kw_params(int argc, Variable* argv[], KwNames argk, const KwEntry* kwtable, Variable* positional[],
                  int mask);
void keyword_cleanup(int action);
int variable_true(const Variable* v);
