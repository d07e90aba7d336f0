// System variables, all in one place: the SysVar records in their sorted table (and the
// separate table of compatibility names), reading (get_sysv), storing (store_element,
// also used for structure fields), definition (enter_sysv), HELP's listing, the built-in
// start-up list with types, access, environment overrides and the bindings to the
// globals of other modules (error state, !C), the compatibility names, and DEFSYSV.
// A system variable can be bound to a global owned by another module, kept in step on
// every read and store; modules above this one register their bindings at start-up.
// The graphics system variables (!P, !X, !Y, !Z, !D, !MAP, !MOUSE and their
// compatibility names) are entered by graphics itself. Relies on the value model,
// identifiers, structures and conversions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "interp/routines.h"
#include "values/ident.h"
#include "values/variable.h"

struct SysVar;

// Ties a system variable to state owned elsewhere. `load` runs before every read of the
// variable (owner -> system variable), `store` after every store (system variable ->
// owner), `notify` after `store` for owners that must react (a new search path, say).
// Any hook may be null.
struct SysVarBinding {
  void* global;
  void (*load)(SysVar* sv);
  void (*store)(SysVar* sv);
  void (*notify)(SysVar* sv);
};

struct SysVar {
  IdentEntry* name;        // upper case, with the "!"
  SysVarBinding* binding;  // null unless bound to an owner's global
  Variable var;            // type, flags (FLAG_CONSTANT = read-only), descriptor
  void* data;              // the value's storage (see enter_sysv and the bindings)
};

// The table, sorted by name. Records come from small_malloc and live for the session.
extern SearchTable* sysvartab;
extern SearchTable* vmsv1_sysvartab;  // compatibility names

// Defines a new system variable (copying `value`; the caller keeps its temporary) or
// updates an existing one of the same type and shape. A new variable is read-only when
// `read_only` is nonzero; an existing one keeps its access.
SysVar* enter_sysv(const char* name, Variable* value, int read_only);

// A built-in system variable whose storage is the program's own. `desc` gives the type
// and, for arrays and structures, the descriptor (which the record takes over: a
// temporary is released without freeing, a named variable left undefined). `data` is the
// storage; null keeps a scalar in the record itself (with desc's value) or an array in
// its own data block.
SysVar* enter_builtin_sysv(const char* name, Variable* desc, void* data, int read_only);

// A temporary holding a copy of the value; never read-only.
Variable* get_sysv(SysVar* rec);

// Stores `value` into the storage `data` described by `desc` (a system variable or a
// structure field), converting scalars and arrays to the destination's type. `name_text`
// names the destination in messages.
void store_element(Variable* desc, void* data, Variable* value, const char* name_text, IdentEntry* name_ident);

// Assignment to a system variable: store_element plus the binding's store and notify.
void store_sysv(SysVar* rec, Variable* value);

// For code that works on the variable in place (structure tags, subscripts): refreshes
// the record from its owner and returns its Variable, whose data is the live storage.
// After changing it in place, call sysv_stored so that the owner sees the change.
Variable* sysv_variable(SysVar* rec);
void sysv_stored(SysVar* rec);

// Look-ups for the compiler, and by text ("!PATH"; upper case, with the "!").
SysVar* is_sysvar(const IdentEntry* ident);
SysVar* is_vmsv1_sysvar(const IdentEntry* ident);
SysVar* find_sysvar(const char* name);
// The name of the system variable whose Variable is `v`, or null (for varname).
const char* sysvar_name_of(const Variable* v);

// The text of a STRING system variable (empty when unset); refreshes a bound one.
const char* sysv_string(SysVar* rec);

// Bindings to globals owned elsewhere. The owner's global first receives the variable's
// start-up value; then a LONG system variable uses an int32_t as its storage, an INT one
// converts on every read and store, and a STRING one mirrors a std::string. Unknown
// names are ignored (returns null).
SysVar* bind_sysvar(const char* name, int32_t* global);
SysVar* bind_sysvar(const char* name, std::string* global);
SysVar* bind_sysvar_hooks(const char* name, void* global, void (*load)(SysVar*), void (*store)(SysVar*));
SysVar* set_sysvar_notify(const char* name, void (*notify)(SysVar*));
// Re-points an array or structure system variable at other storage (!D at the current
// device's record); the old storage is not freed.
void sysv_set_data(SysVar* rec, void* data);

// Structure-valued system variables are described field by field: tag, type, extents
// and the offset in the C record that holds the value.
struct FieldDesc {
  const char* tag;
  uint8_t type;
  uint8_t d0, d1;  // extents; 0: a scalar
  size_t offset;
};
// A one-element structure temporary of the named structure with zero values of the
// fields' shapes, for enter_builtin_sysv. The layout the structure module assigns must
// land every tag on its C field within the `c_size` bytes of the record (internal error
// otherwise).
Variable* build_sysv_structure(const char* name, const FieldDesc* fields, int n, size_t c_size);

// !VERSION, structure !VERSION.
struct VersionRec {
  StringDesc arch, os, release;
};

// Compatibility names: a typed alias of existing storage, or a value computed on read.
SysVar* enter_vmsv1_sysv(const char* name, int type, void* data, int n_elts);
SysVar* enter_vmsv1_computed(const char* name, int type, void (*compute)(SysVar* sv));

// HELP's listing: one line per system variable, "%s = " and the value, aligned.
void helpsy(void (*out)(const char* line));

// !C: the subscript found by MIN and MAX when no subscript argument is given.
extern int32_t vek_cursor;

// Builds the table on the first call (start-up, after the temporaries); later calls do
// nothing.
void init_sysvars();

// The "!PROMPT" record, read for every prompt.
extern SysVar* prompt_sysvar;

// DEFSYSV, Name, Value [, Read_only] [, EXISTS=variable]: the body with the positional
// arguments and the EXISTS target (null when absent).
void defsysv_core(int n_pos, Variable* pos[], Variable* exists_out);
void defsysv(int argc, Variable* argv[], KwNames argk);

extern const RoutineEntry sysvar_procedures[];
extern const int n_sysvar_procedures;
