// Pseudo-random numbers: RANDOMU and RANDOMN. The generator state lives only in the
// caller's seed variable (a LONG), so sequences can be continued or repeated.
#pragma once

#include <cstdint>

#include "interp/routines.h"

extern const RoutineEntry random_functions[];
extern const int n_random_functions;

// One step of the minimal standard generator; returns the new state.
int32_t random_step(int32_t state);

Variable* ur_randomu(int argc, Variable* argv[], KwNames argk);
Variable* ur_randomn(int argc, Variable* argv[], KwNames argk);
