// Structures: StructDef records (named definitions live for the session, anonymous ones
// are reference counted), the global tag and structure tables, layout and alignment,
// building structure values, tag chains (s.a[i].b) for reads and stores, and the helpers
// that copy and free the owned memory inside records. Relies on the value model,
// temporaries, convert(), general_subscript and message().
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "values/ident.h"
#include "values/variable.h"

struct StructDef;

// A tag name: its identifier and the head of the chain of tag entries (of named
// structures) that carry this name.
struct TagNameRec {
  IdentEntry* ident;
  struct TagEntry* chain;
};

struct TagEntry {
  TagNameRec* tag;
  StructDef* owner;
  TagEntry* same_name;
  uint32_t offset;
  Variable desc;  // type, flags; value.s.arr (data-less copy) for arrays, value.s.sdef for structures
};

struct StructDef {
  IdentEntry* name;  // null for an anonymous structure
  uint32_t flags;
  int32_t n_tags;
  int32_t length;  // record length in bytes; 0 while a named definition is incomplete
  int32_t refs;
  int32_t spare;
  TagEntry* tags;  // n_tags entries, in the same block
};

inline bool is_anonymous(const StructDef* sd) { return sd->name == nullptr; }
inline void struct_add_ref(StructDef* sd) { sd->refs++; }

// ---- tables -------------------------------------------------------------------------------
extern SearchTable* global_tag_table;     // TagNameRec*, sorted by name
extern SearchTable* global_struct_table;  // named StructDef*, sorted by name

// Finds the tag-name record of `name`, entering it when `create` is set (else null).
TagNameRec* enter_tag(IdentEntry* name, bool create);
// Finds or creates the named definition with room for n_tags tags. An existing one with
// a different nonzero tag count is not returned (null).
StructDef* insert_structure_def(IdentEntry* name, int n_tags);
// The named definition, or null.
StructDef* find_structure_def(IdentEntry* name);
// Gives tag i of an incomplete named definition its name (linking it into the name's
// chain). Used by the compiler when it meets {name, tag: value, ...}.
void set_struct_tag_name(StructDef* sdef, int i, IdentEntry* tag);

// Compile-time check of {name, tag: value, ...}: an existing definition must have n
// tags with these names (null: a field without a name); otherwise the definition is
// created with them (every field must be named). Returns 0, M_STRUCT_NTAGS or
// M_STRUCT_TAG_DEF. Installed as the compiler's named_struct hook.
int compile_named_struct(IdentEntry* name, int n, IdentEntry* const* tags);

// ---- layout -------------------------------------------------------------------------------
// The alignment of the structure; with assign, also sets tag offsets and the length.
int align_structure(StructDef* sdef, bool assign);

// ---- building -----------------------------------------------------------------------------
// Builds a one-element structure temporary from the n values stack_top[1-n..0].
// name null: anonymous, with tag_names giving every tag. With a name: the named
// definition (created when `define` is set and it does not exist; completed when it is
// still incomplete, with tag_names or the names the compiler gave it). With release set
// the value temporaries are released.
Variable* make_struc(Variable** stack_top, int n, IdentEntry* name, IdentEntry* const* tag_names, bool release,
                     bool define);
// Checks that value may be stored into a field described by field_desc (-142, -131).
void check_compatible_struc(const Variable* value, const Variable* field_desc, const char* struct_name);
// Stores value into one field (or system-variable storage) at data described by desc:
// scalars converted, arrays of the same shape converted element by element, strings and
// structure records freed and duplicated. name_text names the destination in messages.
void store_field_value(const Variable* desc, uint8_t* data, Variable* value, const char* name_text);

// ---- copying and freeing ----------------------------------------------------------------
// Duplicate / free the owned memory (strings, nested data) of n consecutive records.
// dup_str_struct expects the records to be a byte copy of the originals.
void dup_str_struct(StructDef* sdef, uint8_t* data, uint32_t n);
void del_str_struct(StructDef* sdef, uint8_t* data, uint32_t n);
// Copies the records of structure var from index `from` to `to` (inclusive) into a new
// structure temporary, duplicating their owned memory.
Variable* dup_structure(const Variable* var, uint32_t from, uint32_t to);
// Drops one reference of an anonymous definition, freeing it at zero.
void del_anon_struct(StructDef* sdef);
// The printable name: the structure's name or "Anonymous".
const char* struct_print_name(const StructDef* sdef);
// Size in bytes of one field.
uint32_t field_size(const TagEntry& te);

// HELP's listing of a structure: the heading and one line per tag, with the tag's value
// taken from `record` (the first record of an instance) or, when record is null, its
// dimensions. Lines are returned without newlines for the caller's output stream.
void helpstruct(const StructDef* sdef, const uint8_t* record, std::vector<std::string>& lines);

// Copies record `from` of src over record `to` of dest (same definition).
void store_struct_subs(Variable* dest, Variable* src, uint32_t to, uint32_t from);
// Stores element src_index of src (or its only element) into one element at dst of a
// field of type/definition given by elem_type/sdef.
void store_struc_el(int elem_type, StructDef* sdef, uint8_t* dst, Variable* src, uint32_t src_index);
// The value of tag `tag` of the first record of var, as a new temporary.
Variable* temp_from_tag(Variable* var, int tag);
// The index of the tag called `name` in sdef, or -1.
int find_tag(const StructDef* sdef, const IdentEntry* name);
