#include "lib/random.h"

#include <ctime>

#include "values/convert.h"
#include "values/temps.h"
#include "values/variable.h"

int32_t random_step(int32_t state) {
  // Schrage's factorisation keeps 16807 * state mod (2^31 - 1) within 32 bits.
  int32_t k = state / 127773;
  int32_t r = state - k * 127773;
  int32_t next = 16807 * r - 2836 * k;
  if (next <= 0) next += 2147483647;
  return next;
}

namespace {

inline float uniform(int32_t& state) {
  state = random_step(state);
  return static_cast<float>(state) / 2147483648.0f;
}

inline float normal(int32_t& state) {
  float sum = 0.0f;
  for (int i = 0; i < 12; i++) sum += uniform(state);
  return static_cast<float>(static_cast<double>(sum) - 6.0);
}

// flag 0: uniform, 1: normal.
Variable* random_common(int argc, Variable* argv[], int flag) {
  Variable* seed = argv[0];
  int32_t state = seed->type == TYP_UNDEF ? static_cast<int32_t>(time(nullptr)) : long_scalar(seed);
  if (state == 0) state = 1;
  Variable* result;
  float* out;
  size_t n;
  if (argc == 1) {
    result = gettmp();
    result->type = TYP_FLOAT;
    out = &result->value.f;
    n = 1;
  } else {
    int32_t dims[MAX_DIMS];
    for (int i = 1; i < argc; i++) dims[i - 1] = long_scalar(argv[i]);
    result = make_temp_array_of(TYP_FLOAT, argc - 1, dims);
    out = reinterpret_cast<float*>(result->value.s.arr->data);
    n = result->value.s.arr->n_elts;
  }
  if (flag == 0) {
    for (size_t i = 0; i < n; i++) out[i] = uniform(state);
  } else {
    for (size_t i = 0; i < n; i++) out[i] = normal(state);
  }
  store_scalar(seed, TYP_LONG, &state);
  return result;
}

}  // namespace

Variable* ur_randomu(int argc, Variable* argv[], KwNames) { return random_common(argc, argv, 0); }
Variable* ur_randomn(int argc, Variable* argv[], KwNames) { return random_common(argc, argv, 1); }

const RoutineEntry random_functions[] = {
    {ur_randomn, "RANDOMN", 1, 9},
    {ur_randomu, "RANDOMU", 1, 9},
};
const int n_random_functions = 2;
