// MEMORY(): bytes in use, allocations, frees and free temporaries (values/temps).
#include "interp/routines.h"
#include "values/temps.h"

namespace {

Variable* ur_memory(int, Variable*[], KwNames) { return memory(); }

}  // namespace

extern const RoutineEntry memory_functions[] = {RoutineEntry(ur_memory, "MEMORY", 0, 0)};
extern const int n_memory_functions = 1;
