// Tag chains: s[subs].a[subs].b... as one reference, for reading and storing. Selecting
// the elements at each level goes through the general subscript.
#pragma once

#include <cstdint>

#include "values/ident.h"
#include "values/struct.h"
#include "values/variable.h"

// A reference s[subs].a[subs].b... is opened on a structure variable, extended one tag
// at a time, then ended by a fetch or a store. Subscript operands are read downwards
// from stack_top; *out_n receives how many were consumed (temporaries among them are
// released). A tag selected by number (tag null) takes the number from the stack below
// the tag's subscripts. A read-only chain (on a read-only system variable) refuses stores.
void struct_ref(Variable* var, int n_subs, int codes, Variable** stack_top, int* out_n, bool read_only = false);
void struct_tag_ref(IdentEntry* tag, int n_subs, int codes, Variable** stack_top, int* out_n);
Variable* fetch_struct();
void store_struct(Variable* value);
// Forgets every open chain (error recovery); their temporaries go with the statement's.
void struct_refs_reset();
// Number of chains currently open.
int struct_refs_open();
