// Array creation: the typed array functions (BYTARR ... STRARR), the index generators
// (BINDGEN ... SINDGEN), REPLICATE and MAKE_ARRAY, all built on one builder
// (basic_array) and one replicator. Relies on the value model, conversions and strings;
// built-ins follow the calling convention of interp/routines.h.
#pragma once

#include <cstdint>

#include "interp/routines.h"

// Fill modes of basic_array.
constexpr int ARR_ZERO = 0;
constexpr int ARR_NOZERO = 1;  // strings are zeroed all the same
constexpr int ARR_INDEX = 2;
constexpr int ARR_TEST = 3;    // only try whether the array could be allocated

// Makes a temporary array of `type`. With `dims` null the `count` arguments in argv are
// the dimensions (each through long_scalar). In test mode the result is the INT scalar 1
// when the memory could be had, else 0, and no array is made.
Variable* basic_array(int type, int count, const int32_t* dims, Variable* argv[], int mode);
// A temporary array through basic_array with `init` as its fill mode; the temporary is
// stored through out_var and its data returned.
void* make_temp_array(int type, int n_dim, const int32_t* dims, int init, Variable** out_var);
// An array of the given dimensions, every element a copy of the scalar (or one-element
// structure) `value`.
Variable* replicate(Variable* value, int n_dim, const int32_t* dims);

// MAKE_ARRAY after keyword decoding. `type_switch` is the type chosen by the last of the
// BYTE ... STRING switches (0 if none); the array fields hold `count` elements when
// their `given` flag is set.
struct MakeArraySpec {
  int32_t type_switch = 0;
  int32_t type = 0;
  int32_t dimension_given = 0;
  int32_t dimension[8] = {};
  int32_t dimension_count = 0;
  int32_t size_given = 0;
  int32_t size[11] = {};
  int32_t size_count = 0;
  int32_t index = 0;
  int32_t nozero = 0;
  int32_t test = 0;
  Variable* value = nullptr;
};
Variable* make_array_from_spec(int n_pos, Variable* pos[], const MakeArraySpec& spec);

Variable* bytarr(int argc, Variable* argv[], KwNames argk);
Variable* intarr(int argc, Variable* argv[], KwNames argk);
Variable* lonarr(int argc, Variable* argv[], KwNames argk);
Variable* fltarr(int argc, Variable* argv[], KwNames argk);
Variable* dblarr(int argc, Variable* argv[], KwNames argk);
Variable* complexarr(int argc, Variable* argv[], KwNames argk);
Variable* strarr(int argc, Variable* argv[], KwNames argk);
Variable* bindgen(int argc, Variable* argv[], KwNames argk);
Variable* indgen(int argc, Variable* argv[], KwNames argk);
Variable* lindgen(int argc, Variable* argv[], KwNames argk);
Variable* findgen(int argc, Variable* argv[], KwNames argk);
Variable* dindgen(int argc, Variable* argv[], KwNames argk);
Variable* cindgen(int argc, Variable* argv[], KwNames argk);
Variable* sindgen(int argc, Variable* argv[], KwNames argk);
Variable* ur_replicate(int argc, Variable* argv[], KwNames argk);
Variable* ur_make_array(int argc, Variable* argv[], KwNames argk);

extern const RoutineEntry array_functions[];
extern const int n_array_functions;
