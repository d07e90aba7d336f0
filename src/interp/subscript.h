// Subscripts: reading and storing elements selected by a[i, j:k, *, idx]. Computes
// contiguous blocks (extract_subscript_range), element offsets (general_subscript),
// block insertion (insert_array) and scattered stores (ssub_complex), and the two entry
// points the interpreter calls. Relies on the value model, temporaries, convert(),
// structures (for records) and message().
//
// Subscript codes: two bits per subscript, the first subscript in the highest bits
// (code = new + 4 * codes_so_far): 0 one expression (index or index array), 1 "*",
// 2 a:b (a pushed first), 3 a:*. Operands are read downwards from stack_top, which
// points at the last pushed subscript operand.
#pragma once

#include <cstdint>

#include "values/variable.h"

constexpr int SUB_EXPR = 0, SUB_ALL = 1, SUB_RANGE = 2, SUB_FROM = 3;
constexpr int MAX_SUBSCRIPTS = 7;

inline int subscript_code(int n_subs, int codes, int i) { return (codes >> (2 * (n_subs - 1 - i))) & 3; }
// Number of stack operands a subscript list consumes.
int subscript_operand_count(int n_subs, int codes);

// Reads var[subscripts]. Subscript temporaries are released, and var too when it is a
// temporary (subscripting an expression). Returns a temporary; *popped (when given)
// receives the number of subscript operands consumed.
Variable* subscript_load(Variable* var, int n_subs, int codes, Variable** stack_top, int* popped = nullptr);
// Stores src into dest[subscripts]. Subscript temporaries and a temporary src are
// released.
void subscript_store(Variable* dest, Variable* src, int n_subs, int codes, Variable** stack_top,
                     int* popped = nullptr);

// The contiguous block selected by range, "*" and scalar subscripts, as a new temporary;
// null (nothing consumed) when a code-0 subscript is an array. base is a byte offset
// added to every element address; desc is var's descriptor (or one built for a scalar).
Variable* extract_subscript_range(Variable* var, int n_subs, int codes, Variable** stack_top, uint32_t base,
                                  int* out_n_popped, const ArrayDesc* desc);
// A LONG temporary of byte offsets (from the start of var's data) whose shape is that of
// the selection. var may be a data-less descriptor holder (structure fields).
Variable* general_subscript(Variable* var, Variable** stack_top, int n_subs, int codes, int* out_n_popped);
// Stores array src as a block into dest starting at the index tuple starts.
void insert_array(Variable* dest, Variable* src, const int32_t* starts, int n_subs, uint32_t base);
// Stores src into the elements of dest selected by general subscripts.
void ssub_complex(Variable* dest, Variable* src, Variable** stack_top, int n_subs, int codes, int* out_n_popped);

// File (associated) variables are subscripted by the file-unit layer, which installs
// these; while null, subscripting a file variable reports -131.
struct SubscriptHooks {
  Variable* (*file_load)(Variable* var, int n_subs, int codes, Variable** stack_top) = nullptr;
  void (*file_store)(Variable* dest, Variable* src, int n_subs, int codes, Variable** stack_top) = nullptr;
};
extern SubscriptHooks subscript_hooks;
