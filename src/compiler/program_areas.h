// Program areas: the user routine tables (ufuntab, uprotab) and their records, the
// per-unit variable table (looksym), fresh and permanent program areas, installing a
// compiled routine (save_program), emptying an area (zero_prog) and rescuing string
// values that point into code about to be freed. Relies on the byte-code layer and on
// CompilerHooks for the frames it cannot see.
#pragma once

#include <cstdint>

#include "compiler/bytecode.h"
#include "values/ident.h"

// Records of user functions and procedures, sorted by name. A record lives for the
// session; recompiling replaces its code in place.
extern SearchTable* ufuntab;
extern SearchTable* uprotab;

// The record of that routine, created empty (name only) when absent.
CodeBlock* enter_proc_name(IdentEntry* name, SearchTable** table);
CodeBlock* enter_proc_name_str(const char* name, bool function);
// The record, or null.
CodeBlock* find_user_routine(const IdentEntry* name, bool function);

// A program area of its own (a routine being compiled); freed with free_program_area.
CodeBlock* new_program_area(IdentEntry* name, uint32_t code_bytes, uint32_t data_bytes);
void free_program_area(CodeBlock* area);
// The main program's area, made (or remade with new sizes) at start-up.
void create_main_program(uint32_t code_bytes, uint32_t data_bytes);

// Finds the identifier in the unit's variable table; returns the entry's offset in the
// data area. Absent: creates an entry when `create` (0 when the data area is full,
// after error -38), else returns 0.
uint32_t looksym(IdentEntry* name, CodeBlock* cb, bool create);
// Bytes a unit reserves at the start of its data area before the variable table.
constexpr uint32_t DATA_RESERVE = 8;

// Installs a compiled procedure or function (copying area into its permanent record).
CodeBlock* save_program(CodeBlock* area);
// Empties an area: no code (END at offset 0), no variables.
void zero_prog(CodeBlock* area);
// Gives every reachable string value whose characters lie inside area's code its own
// copy, before that code is freed.
void clean_dynamic_strings(CodeBlock* area);
