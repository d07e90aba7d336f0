// Handles: values that live outside any variable, each held by a numbered node of one
// tree under a static root. Owns the records (a pool refilled 20 at a time), the
// identifier counter and the 421-chain identifier table. Relies on the counting
// allocator and on message() for invalid identifiers and allocation failures.
#pragma once

#include <cstdint>

#include "values/variable.h"

struct HandleRec {
  HandleRec* link;  // next record of the identifier-table chain
  int32_t id;
  HandleRec* parent;
  HandleRec* first_child;
  HandleRec* sibling;  // next sibling
  Variable value;      // undefined when the handle is empty
};

constexpr int HANDLE_CHAINS = 421;

// Where a record goes relative to its reference.
constexpr int HANDLE_LAST_CHILD = 0;
constexpr int HANDLE_FIRST_CHILD = 1;
constexpr int HANDLE_SIBLING = 2;  // right after the reference among its parent's children

// The parent of every top-level handle; it has no identifier.
extern HandleRec handle_root;

// The record of an identifier, or null.
HandleRec* handle_lookup(int32_t id);
// The record of an identifier; none is message -100 (action 2).
HandleRec* handle_find(int32_t id);
inline bool handle_top_level(const HandleRec* h) { return h->parent == &handle_root; }
// True when `ancestor` is h itself or lies above it.
bool handle_within(const HandleRec* h, const HandleRec* ancestor);

// A new empty handle with the next identifier, linked relative to ref (the root when
// null, where HANDLE_SIBLING means HANDLE_FIRST_CHILD).
HandleRec* handle_new(HandleRec* ref, int mode);
// Unlinks h (with its subtree) and links it again relative to ref, as handle_new does.
// The caller makes sure ref is not inside h's subtree.
void handle_relink(HandleRec* h, HandleRec* ref, int mode);
// Frees h and every handle below it, with their values.
void handle_free(HandleRec* h);
// Frees every handle (the identifier counter goes on).
void handle_free_all();

// Stores src in the handle's value: copied, or moved out of src when `move` is set (a
// temporary is always moved). Strings the value would only point at are copied, so that
// the handle owns all it holds.
void handle_store(HandleRec* h, Variable* src, bool move);
