// Structures: StructDef records (named definitions live for the session, anonymous ones
// are reference counted), layout and alignment, and the helpers that copy and free the
// owned memory inside structure records.
#pragma once

#include <cstdint>

#include "values/ident.h"
#include "values/variable.h"

struct StructDef;

struct TagNameRec {
  IdentEntry* ident;
  struct TagEntry* chain;  // head of the same_name chain
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
  int32_t length;
  int32_t refs;
  int32_t spare;
  TagEntry* tags;  // n_tags entries, in the same block
};

inline bool is_anonymous(const StructDef* sd) { return sd->name == nullptr; }
inline void struct_add_ref(StructDef* sd) { sd->refs++; }

// Duplicate / free the owned memory (strings, nested data) of n consecutive records.
// dup_str_struct expects the records to be a byte copy of the originals.
void dup_str_struct(StructDef* sdef, uint8_t* data, uint32_t n);
void del_str_struct(StructDef* sdef, uint8_t* data, uint32_t n);
// Drops one reference of an anonymous definition, freeing it at zero.
void del_anon_struct(StructDef* sdef);
// The printable name: the structure's name or "Anonymous".
const char* struct_print_name(const StructDef* sdef);
