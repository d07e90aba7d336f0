#include "lib/arrays.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "base/message.h"
#include "values/convert.h"
#include "values/strings.h"
#include "values/struct.h"
#include "values/temps.h"

namespace {

// ---- Index fill, one kernel per type ---------------------------------------------------

// Integers store the index in their own width, so BYTE wraps every 256 and INT turns
// negative after 32767.
template <typename T>
void index_fill(void* data, uint32_t n) {
  T* d = static_cast<T*>(data);
  for (uint32_t i = 0; i < n; i++) d[i] = static_cast<T>(i);
}

// A single-precision counter stops growing at 2^24 (16777216 + 1 rounds back); the
// closed form gives the same values without a dependent add per element.
constexpr uint32_t kFloatCounterLimit = 16777216;

template <>
void index_fill<float>(void* data, uint32_t n) {
  float* d = static_cast<float*>(data);
  for (uint32_t i = 0; i < n; i++) d[i] = static_cast<float>(i < kFloatCounterLimit ? i : kFloatCounterLimit);
}

template <>
void index_fill<double>(void* data, uint32_t n) {
  double* d = static_cast<double*>(data);
  for (uint32_t i = 0; i < n; i++) d[i] = static_cast<double>(i);
}

template <>
void index_fill<Complex>(void* data, uint32_t n) {
  float* d = static_cast<float*>(data);
  for (uint32_t i = 0; i < n; i++) {
    d[2 * i] = static_cast<float>(i < kFloatCounterLimit ? i : kFloatCounterLimit);
    d[2 * i + 1] = 0.0f;
  }
}

template <>
void index_fill<StringDesc>(void* data, uint32_t n) {
  auto* d = static_cast<StringDesc*>(data);
  char buf[32];
  for (uint32_t i = 0; i < n; i++) {
    snprintf(buf, sizeof buf, oform[TYP_LONG], static_cast<long>(i));
    str_store(&d[i], buf);
  }
}

using FillKernel = void (*)(void* data, uint32_t n);
constexpr FillKernel kIndexFill[N_TYPES] = {nullptr,
                                            index_fill<uint8_t>,
                                            index_fill<int16_t>,
                                            index_fill<int32_t>,
                                            index_fill<float>,
                                            index_fill<double>,
                                            index_fill<Complex>,
                                            index_fill<StringDesc>,
                                            nullptr};

// ---- Replication, one kernel per element width ------------------------------------------

template <typename T>
void replicate_bytes(void* data, const void* value, uint32_t n) {
  T v;
  memcpy(&v, value, sizeof v);
  T* d = static_cast<T*>(data);
  for (uint32_t i = 0; i < n; i++) d[i] = v;
}

void replicate_any(void* data, const void* value, uint32_t n, size_t width) {
  switch (width) {
    case 1: replicate_bytes<uint8_t>(data, value, n); break;
    case 2: replicate_bytes<uint16_t>(data, value, n); break;
    case 4: replicate_bytes<uint32_t>(data, value, n); break;
    case 8: replicate_bytes<uint64_t>(data, value, n); break;
    default: {
      auto* d = static_cast<uint8_t*>(data);
      for (uint32_t i = 0; i < n; i++) memcpy(d + i * width, value, width);
    }
  }
}

// Dimensions from arguments, each through long_scalar.
int dims_from_args(int count, Variable* argv[], int32_t* dims) {
  if (count > MAX_DIMS) message(M_MAX_DIMS, 0, MSG_LONGJMP, MAX_DIMS);
  for (int i = 0; i < count; i++) dims[i] = long_scalar(argv[i]);
  return count;
}

Variable* test_allocation(int elem_size, int count, const int32_t* dims) {
  // The product is kept in floating point so that no combination of extents overflows.
  double bytes = elem_size;
  for (int i = 0; i < count; i++) bytes *= dims[i];
  int16_t ok = 0;
  if (bytes > 0 && bytes < 9.0e15) {
    void* p = counting_malloc(static_cast<size_t>(bytes));
    if (p) {
      counting_free(p);
      ok = 1;
    }
  }
  return make_scalar_temp(TYP_INT, &ok);
}

}  // namespace

Variable* basic_array(int type, int count, const int32_t* dims, Variable* argv[], int mode) {
  int32_t arg_dims[MAX_DIMS];
  if (!dims) {
    dims_from_args(count, argv, arg_dims);
    dims = arg_dims;
  } else if (count > MAX_DIMS) {
    message(M_MAX_DIMS, 0, MSG_LONGJMP, MAX_DIMS);
  }
  if (type < TYP_BYTE || type > TYP_STRING) message(M_INTERNAL, 0, MSG_LONGJMP, "Bad type code in basic_array");
  if (mode == ARR_TEST) return test_allocation(type_size[type], count, dims);

  Variable* t = gettmp();
  t->type = static_cast<uint8_t>(type);
  ArrayDesc* a = make_array(count, dims, t, type_size[type]);
  if (mode == ARR_INDEX) {
    // Strings are filled one by one; until then every element must be empty.
    if (type == TYP_STRING) memset(a->data, 0, a->byte_len);
    kIndexFill[type](a->data, a->n_elts);
  } else if (mode == ARR_ZERO || type == TYP_STRING) {
    memset(a->data, 0, a->byte_len);
  }
  return t;
}

void* make_temp_array(int type, int n_dim, const int32_t* dims, int init, Variable** out_var) {
  Variable* t = basic_array(type, n_dim, dims, nullptr, init);
  *out_var = t;
  return t->data_ptr();
}

Variable* replicate(Variable* value, int n_dim, const int32_t* dims) {
  if (value->type == TYP_UNDEF) message(M_UNDEFINED, 0, MSG_LONGJMP, varname(value));
  size_t width;
  if (value->is_struct()) {
    if (value->is_file()) message(M_NO_FILE, 0, MSG_LONGJMP, varname(value));
    if (value->arr()->n_elts > 1) message(M_NOT_SCALAR, 0, MSG_LONGJMP, varname(value));
    width = static_cast<size_t>(value->sdef()->length);
  } else {
    if (value->has_desc()) message(M_NOT_SCALAR, 0, MSG_LONGJMP, varname(value));
    width = static_cast<size_t>(type_size[value->type]);
  }
  Variable* t = gettmp();
  t->type = value->type;
  ArrayDesc* a = make_array(n_dim, dims, t, static_cast<int>(width));
  const void* src = value->data_ptr();
  if (value->is_struct()) {
    StructDef* sd = value->sdef();
    // Strings first become non-owning byte copies; dup_str_struct then gives each
    // record its own characters.
    replicate_any(a->data, src, a->n_elts, width);
    t->value.s.sdef = sd;
    t->flags |= FLAG_STRUCT;
    if (is_anonymous(sd)) struct_add_ref(sd);
    dup_str_struct(sd, a->data, a->n_elts);
    return t;
  }
  if (value->type == TYP_STRING) {
    const StringDesc& s = value->value.str;
    auto* d = reinterpret_cast<StringDesc*>(a->data);
    memset(a->data, 0, a->byte_len);
    if (s.length)
      for (uint32_t i = 0; i < a->n_elts; i++) str_store_n(&d[i], s.chars, s.length);
    return t;
  }
  replicate_any(a->data, src, a->n_elts, width);
  return t;
}

Variable* make_array_from_spec(int n_pos, Variable* pos[], const MakeArraySpec& spec) {
  int type = spec.type ? spec.type : spec.type_switch;
  if (!type && spec.size_given && spec.size_count >= 2) type = spec.size[spec.size_count - 2];
  if (type < 0 || type > TYP_STRING) message(M_INVALID_TYPE, 0, MSG_LONGJMP);

  int32_t dims[MAX_DIMS];
  int n_dim = 0;
  if (n_pos > 0) {
    n_dim = dims_from_args(n_pos, pos, dims);
  } else if (spec.dimension_given) {
    n_dim = spec.dimension_count;
    for (int i = 0; i < n_dim; i++) dims[i] = spec.dimension[i];
  }
  if (spec.size_given && spec.size_count >= 1) {
    int n = spec.size[0];
    if (n > MAX_DIMS || n + 1 > spec.size_count) message(M_MAX_DIMS, 0, MSG_LONGJMP, MAX_DIMS);
    if (n > 0) {
      n_dim = n;
      for (int i = 0; i < n; i++) dims[i] = spec.size[i + 1];
    }
  }
  if (n_dim == 0) message(M_NO_DIMS, 0, MSG_LONGJMP);

  if (spec.value) {
    if (spec.test) message(M_CONFLICTING_KW, 0, MSG_LONGJMP);
    Variable* value = spec.value;
    if (type && type != value->type && value->type != TYP_UNDEF) {
      if (value->has_desc()) message(M_NOT_SCALAR, 0, MSG_LONGJMP, varname(value));
      // A converted copy of the scalar, released once replicated.
      Variable* conv = gettmp();
      conv->type = static_cast<uint8_t>(type);
      conv->value.d = 0;
      if (type == TYP_STRING) conv->value.str = StringDesc{0, 0, nullptr};
      try {
        convert(value->data_ptr(), &conv->value, 1, value->type, type);
        if (type == TYP_STRING) conv->flags |= FLAG_DYNAMIC;
        Variable* r = replicate(conv, n_dim, dims);
        deltmp(conv);
        return r;
      } catch (...) {
        deltmp(conv);
        throw;
      }
    }
    return replicate(value, n_dim, dims);
  }
  if (!type) type = TYP_FLOAT;
  int mode = spec.test ? ARR_TEST : spec.index ? ARR_INDEX : spec.nozero ? ARR_NOZERO : ARR_ZERO;
  return basic_array(type, n_dim, dims, nullptr, mode);
}

// ---- Built-ins -------------------------------------------------------------------------------

namespace {

// BYTARR ... COMPLEXARR: NOZERO leaves the data as allocated, TEST (which wins) only
// tries the allocation.
constexpr uint32_t kArrNoZero = 1;
constexpr uint32_t kArrTest = 2;
uint32_t arr_flags;
const KwEntry kArrKeywords[] = {
    {"NOZERO", TYP_LONG, 1, KW_BITFLAG | KW_CLEAR | kArrNoZero, nullptr, &arr_flags},
    {"TEST", TYP_LONG, 1, KW_BITFLAG | KW_CLEAR | kArrTest, nullptr, &arr_flags},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

Variable* typed_array(int type, int argc, Variable* argv[], KwNames argk) {
  if (!argk) return basic_array(type, argc, nullptr, argv, ARR_ZERO);
  Variable* pos[MAX_DIMS];
  int n = get_kw_params(argc, argv, argk, kArrKeywords, pos, 1);
  int mode = (arr_flags & kArrTest) ? ARR_TEST : (arr_flags & kArrNoZero) ? ARR_NOZERO : ARR_ZERO;
  return basic_array(type, n, nullptr, pos, mode);
}

// MAKE_ARRAY. Each type switch sets its type's bit; the switch latest in name order
// wins, as the keywords are decoded in that order.
uint32_t ma_types;
int32_t ma_type;
int32_t ma_dimension_given, ma_size_given, ma_value_given;
int32_t ma_dimension[MAX_DIMS];
int32_t ma_size[MAX_DIMS + 3];
KwArray ma_dimension_kw{ma_dimension, 1, MAX_DIMS, 0};
KwArray ma_size_kw{ma_size, 1, MAX_DIMS + 3, 0};
uint32_t ma_flags;
Variable* ma_value;
constexpr uint32_t kMaIndex = 1, kMaNoZero = 2, kMaTest = 4;
constexpr uint16_t type_bit(int type) { return static_cast<uint16_t>(1u << type); }
const KwEntry kMakeArrayKeywords[] = {
    {"BYTE", TYP_LONG, 1, KW_BITFLAG | KW_CLEAR | type_bit(TYP_BYTE), nullptr, &ma_types},
    {"COMPLEX", TYP_LONG, 1, KW_BITFLAG | KW_CLEAR | type_bit(TYP_COMPLEX), nullptr, &ma_types},
    {"DIMENSION", TYP_LONG, 1, KW_ARRAY, &ma_dimension_given, &ma_dimension_kw},
    {"DOUBLE", TYP_LONG, 1, KW_BITFLAG | KW_CLEAR | type_bit(TYP_DOUBLE), nullptr, &ma_types},
    {"FLOAT", TYP_LONG, 1, KW_BITFLAG | KW_CLEAR | type_bit(TYP_FLOAT), nullptr, &ma_types},
    {"INDEX", TYP_LONG, 1, KW_BITFLAG | KW_CLEAR | kMaIndex, nullptr, &ma_flags},
    {"INT", TYP_LONG, 1, KW_BITFLAG | KW_CLEAR | type_bit(TYP_INT), nullptr, &ma_types},
    {"LONG", TYP_LONG, 1, KW_BITFLAG | KW_CLEAR | type_bit(TYP_LONG), nullptr, &ma_types},
    {"NOZERO", TYP_LONG, 1, KW_BITFLAG | KW_CLEAR | kMaNoZero, nullptr, &ma_flags},
    {"SIZE", TYP_LONG, 1, KW_ARRAY, &ma_size_given, &ma_size_kw},
    {"STRING", TYP_LONG, 1, KW_BITFLAG | KW_CLEAR | type_bit(TYP_STRING), nullptr, &ma_types},
    {"TEST", TYP_LONG, 1, KW_BITFLAG | KW_CLEAR | kMaTest, nullptr, &ma_flags},
    {"TYPE", TYP_LONG, 1, KW_CLEAR, nullptr, &ma_type},
    {"VALUE", 0, 1, KW_OUTPUT, &ma_value_given, &ma_value},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};
constexpr int kSwitchesInNameOrder[] = {TYP_BYTE, TYP_COMPLEX, TYP_DOUBLE, TYP_FLOAT, TYP_INT, TYP_LONG, TYP_STRING};

}  // namespace

Variable* bytarr(int argc, Variable* argv[], KwNames argk) { return typed_array(TYP_BYTE, argc, argv, argk); }
Variable* intarr(int argc, Variable* argv[], KwNames argk) { return typed_array(TYP_INT, argc, argv, argk); }
Variable* lonarr(int argc, Variable* argv[], KwNames argk) { return typed_array(TYP_LONG, argc, argv, argk); }
Variable* fltarr(int argc, Variable* argv[], KwNames argk) { return typed_array(TYP_FLOAT, argc, argv, argk); }
Variable* dblarr(int argc, Variable* argv[], KwNames argk) { return typed_array(TYP_DOUBLE, argc, argv, argk); }
Variable* complexarr(int argc, Variable* argv[], KwNames argk) { return typed_array(TYP_COMPLEX, argc, argv, argk); }
Variable* strarr(int argc, Variable* argv[], KwNames) { return basic_array(TYP_STRING, argc, nullptr, argv, ARR_ZERO); }

Variable* bindgen(int argc, Variable* argv[], KwNames) { return basic_array(TYP_BYTE, argc, nullptr, argv, ARR_INDEX); }
Variable* indgen(int argc, Variable* argv[], KwNames) { return basic_array(TYP_INT, argc, nullptr, argv, ARR_INDEX); }
Variable* lindgen(int argc, Variable* argv[], KwNames) { return basic_array(TYP_LONG, argc, nullptr, argv, ARR_INDEX); }
Variable* findgen(int argc, Variable* argv[], KwNames) { return basic_array(TYP_FLOAT, argc, nullptr, argv, ARR_INDEX); }
Variable* dindgen(int argc, Variable* argv[], KwNames) { return basic_array(TYP_DOUBLE, argc, nullptr, argv, ARR_INDEX); }
Variable* cindgen(int argc, Variable* argv[], KwNames) {
  return basic_array(TYP_COMPLEX, argc, nullptr, argv, ARR_INDEX);
}
Variable* sindgen(int argc, Variable* argv[], KwNames) {
  return basic_array(TYP_STRING, argc, nullptr, argv, ARR_INDEX);
}

Variable* ur_replicate(int argc, Variable* argv[], KwNames) {
  int32_t dims[MAX_DIMS];
  int n = dims_from_args(argc - 1, argv + 1, dims);
  return replicate(argv[0], n, dims);
}

Variable* ur_make_array(int argc, Variable* argv[], KwNames argk) {
  Variable* pos[MAX_DIMS];
  int n = argc;
  MakeArraySpec spec;
  if (argk) {
    n = get_kw_params(argc, argv, argk, kMakeArrayKeywords, pos, 1);
    for (int t : kSwitchesInNameOrder)
      if (ma_types & type_bit(t)) spec.type_switch = t;
    spec.type = ma_type;
    spec.dimension_given = ma_dimension_given;
    spec.dimension_count = ma_dimension_kw.count;
    memcpy(spec.dimension, ma_dimension, sizeof spec.dimension);
    spec.size_given = ma_size_given;
    spec.size_count = ma_size_kw.count;
    memcpy(spec.size, ma_size, sizeof spec.size);
    spec.index = (ma_flags & kMaIndex) != 0;
    spec.nozero = (ma_flags & kMaNoZero) != 0;
    spec.test = (ma_flags & kMaTest) != 0;
    spec.value = ma_value_given ? ma_value : nullptr;
    ma_value = nullptr;
  } else {
    for (int i = 0; i < argc; i++) pos[i] = argv[i];
  }
  return make_array_from_spec(n, pos, spec);
}

Variable* ur_size(int, Variable* argv[], KwNames) { return size(argv[0]); }
Variable* ur_n_elements(int, Variable* argv[], KwNames) { return make_long_temp(n_elements(argv[0])); }
Variable* ur_temporary(int, Variable* argv[], KwNames) { return temporary(argv[0]); }

const RoutineEntry array_functions[] = {
    {bindgen, "BINDGEN", 1, MAX_DIMS},
    {bytarr, "BYTARR", 1, MAX_DIMS, true},
    {cindgen, "CINDGEN", 1, MAX_DIMS},
    {complexarr, "COMPLEXARR", 1, MAX_DIMS, true},
    {dblarr, "DBLARR", 1, MAX_DIMS, true},
    {dindgen, "DINDGEN", 1, MAX_DIMS},
    {findgen, "FINDGEN", 1, MAX_DIMS},
    {fltarr, "FLTARR", 1, MAX_DIMS, true},
    {indgen, "INDGEN", 1, MAX_DIMS},
    {intarr, "INTARR", 1, MAX_DIMS, true},
    {lindgen, "LINDGEN", 1, MAX_DIMS},
    {lonarr, "LONARR", 1, MAX_DIMS, true},
    {ur_make_array, "MAKE_ARRAY", 0, MAX_DIMS, true},
    {ur_n_elements, "N_ELEMENTS", 1, 1},
    {ur_replicate, "REPLICATE", 2, MAX_DIMS + 2},
    {sindgen, "SINDGEN", 1, MAX_DIMS},
    {ur_size, "SIZE", 1, 1},
    {strarr, "STRARR", 1, MAX_DIMS},
    {ur_temporary, "TEMPORARY", 1, 1},
};
const int n_array_functions = sizeof array_functions / sizeof array_functions[0];
