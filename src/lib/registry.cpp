#include "lib/registry.h"

#include "interp/routines.h"

// One line per group of built-ins, e.g.
//   add_system_routine(conversion_functions, true, n_conversion_functions);
// Only routines that are really implemented are registered.
void register_builtins() {}
