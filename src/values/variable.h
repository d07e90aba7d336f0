// The value model: the fixed-size Variable descriptor, type codes with their per-type
// tables, array and string descriptors, and the primitives that create, copy, move,
// overwrite, delete and describe values. Relies on the counting allocator and the
// temporaries (temps.h) and reports failures through message().
#pragma once

#include <cstddef>
#include <cstdint>

#include "values/complex.h"

enum TypeCode : uint8_t {
  TYP_UNDEF = 0,
  TYP_BYTE = 1,
  TYP_INT = 2,
  TYP_LONG = 3,
  TYP_FLOAT = 4,
  TYP_DOUBLE = 5,
  TYP_COMPLEX = 6,
  TYP_STRING = 7,
  TYP_STRUCT = 8,
};
constexpr int N_TYPES = 9;
constexpr int MAX_DIMS = 8;

// Variable flags.
constexpr uint8_t FLAG_CONSTANT = 1;
constexpr uint8_t FLAG_TEMPORARY = 2;
constexpr uint8_t FLAG_ARRAY = 4;
constexpr uint8_t FLAG_FILE = 8;
constexpr uint8_t FLAG_DYNAMIC = 16;
constexpr uint8_t FLAG_STRUCT = 32;
constexpr uint8_t FLAG_UNNAMED = FLAG_CONSTANT | FLAG_TEMPORARY;          // flags & 3
constexpr uint8_t FLAG_HAS_DESC = FLAG_ARRAY | FLAG_FILE | FLAG_STRUCT;   // flags & 44
constexpr uint8_t FLAG_FILE_OR_STRUCT = FLAG_FILE | FLAG_STRUCT;          // flags & 40

// ArrayDesc flags.
constexpr uint8_t ARR_FILE = 1;
constexpr uint8_t ARR_NO_FREE = 2;

constexpr uint32_t ARRAY_GUARD = 0x41525244;  // "ARRD"


// A string value. On a 64-bit host the character pointer makes this 16 bytes; the
// element size of STRING arrays is therefore 16.
struct StringDesc {
  uint16_t length;  // characters, not counting the terminating NUL
  uint16_t owned;   // 1: chars is dynamic memory owned by this descriptor
  char* chars;      // NUL-terminated, null for the empty string
};

struct StructDef;

struct ArrayDesc {
  uint32_t elem_size;
  uint32_t byte_len;
  uint32_t n_elts;
  union {
    uint8_t* data;         // first element
    uint64_t file_offset;  // file variable: byte offset of record 0
  };
  uint8_t n_dim;
  uint8_t flags;
  uint16_t unit;
  uint32_t dims[MAX_DIMS];
  uint32_t guard;
};

union Value {
  uint8_t c;    // BYTE
  int16_t i;    // INT
  int32_t l;    // LONG
  float f;      // FLOAT
  double d;     // DOUBLE
  Complex cmp;  // COMPLEX
  StringDesc str;
  struct {
    ArrayDesc* arr;
    StructDef* sdef;
  } s;          // arrays, file variables, structures
  ArrayDesc* arr;
};

struct alignas(8) Variable {
  uint8_t type;
  uint8_t flags;
  Value value;

  bool is_array() const { return flags & FLAG_ARRAY; }
  bool is_file() const { return flags & FLAG_FILE; }
  bool is_struct() const { return flags & FLAG_STRUCT; }
  bool has_desc() const { return flags & FLAG_HAS_DESC; }
  bool is_unnamed() const { return flags & FLAG_UNNAMED; }
  bool is_temp() const { return flags & FLAG_TEMPORARY; }
  bool is_const() const { return flags & FLAG_CONSTANT; }
  bool is_dynamic() const { return flags & FLAG_DYNAMIC; }
  bool is_scalar() const { return !(flags & FLAG_HAS_DESC); }
  ArrayDesc* arr() const { return value.s.arr; }
  StructDef* sdef() const { return value.s.sdef; }
  // Element count: n_elts for anything with a descriptor, 1 for a scalar.
  uint32_t n_elts() const { return has_desc() ? value.s.arr->n_elts : 1; }
  // Address of the first element: the array data or the scalar in place.
  void* data_ptr() { return has_desc() ? static_cast<void*>(value.s.arr->data) : static_cast<void*>(&value); }
};

// Per-type tables, indexed by TypeCode.
extern const int type_size[N_TYPES];
extern const char* const type_name[N_TYPES];  // blank-padded to 9 characters
extern const char* const oform[N_TYPES];
extern const int oform_len[N_TYPES];

inline bool is_numeric(int type) { return type >= TYP_BYTE && type <= TYP_COMPLEX; }

// Array construction. make_array with var null allocates a descriptor only (data null).
ArrayDesc* make_array(int n_dim, const int32_t* dims, Variable* var, int elem_size);
ArrayDesc* import_array_desc(int n_dim, const int32_t* dims, int elem_size);
Variable* import_array(int n_dim, const int32_t* dims, int type, void* data);
// Shape helper: copies an existing descriptor's dimensions into a new array in var.
ArrayDesc* make_array_like(const ArrayDesc* shape, Variable* var, int elem_size);

void var_copy(Variable* src, Variable* dst);
void var_copy_strip(Variable* src, Variable* dst, int steal);
void store_scalar(Variable* var, int type, const void* value_ptr);
void delvar(Variable* var);
Variable* temporary(Variable* var);

// A printable name for messages; two buffers are used in turn.
const char* varname(const Variable* var);
// message(code, 0, action, varname(variable)).
void var_error(int code, const Variable* variable, int action);
// Describes an unnamed value, "<LONG     (          5)>" and the like.
void no_name_var(const Variable* var, char* buf, size_t buflen);

// Name lookup for named variables, installed by the program-area code; returns the
// variable's name in the current routine (with its common block when it has one)
// or null. Lets varname work before frames exist.
struct VarNameInfo {
  const char* name;
  const char* common;  // null for a local variable or parameter
};
extern bool (*varname_lookup)(const Variable* var, VarNameInfo* out);
// The name of the system variable whose Variable is `var`, or null; installed by the
// system variables' table when it is built.
extern const char* (*sysvar_name_lookup)(const Variable* var);

// SIZE and N_ELEMENTS.
Variable* size(const Variable* x);
int32_t n_elements(const Variable* x);

// Convenience constructors for temporaries (type set, value given).
Variable* make_scalar_temp(int type, const void* value_ptr);
Variable* make_long_temp(int32_t v);
Variable* make_float_temp(float v);
Variable* make_double_temp(double v);
// A temporary array of type with the given dimensions; data not cleared.
Variable* make_temp_array_of(int type, int n_dim, const int32_t* dims);

// Per-type element access helpers for kernels.
template <typename T>
inline T* elems(Variable* v) {
  return static_cast<T*>(v->data_ptr());
}
