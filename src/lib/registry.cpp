#include "lib/registry.h"

#include "interp/frames.h"
#include "interp/routines.h"
#include "lib/conversions.h"
#include "lib/file_routines.h"
#include "lib/filters.h"
#include "lib/math.h"
#include "lib/help.h"
#include "lib/histogram.h"
#include "lib/io.h"
#include "lib/structs.h"
#include "lib/message_routines.h"
#include "lib/string_routines.h"

// One line per group of built-ins, e.g.
//   add_system_routine(conversion_functions, true, n_conversion_functions);
// Only routines that are really implemented are registered.
#include "lib/arrays.h"
#include "lib/os_routines.h"
#include "lib/random.h"
#include "lib/reductions.h"
#include "lib/reshape.h"
#include "lib/sysvars.h"

extern const RoutineEntry memory_functions[];
extern const int n_memory_functions;
extern const RoutineEntry systime_functions[];
extern const int n_systime_functions;
extern const RoutineEntry gif_procedures[];
extern const int n_gif_procedures;
extern const RoutineEntry handle_functions[];
extern const int n_handle_functions;
extern const RoutineEntry handle_procedures[];
extern const int n_handle_procedures;

void register_builtins() {
  add_system_routine(array_functions, true, n_array_functions);
  add_system_routine(reduction_functions, true, n_reduction_functions);
  add_system_routine(reshape_functions, true, n_reshape_functions);
  add_system_routine(filter_functions, true, n_filter_functions);
  add_system_routine(histogram_functions, true, n_histogram_functions);
  add_system_routine(sysvar_procedures, false, n_sysvar_procedures);
  add_system_routine(file_functions, true, n_file_functions);
  add_system_routine(file_procedures, false, n_file_procedures);
  add_system_routine(random_functions, true, n_random_functions);
  add_system_routine(systime_functions, true, n_systime_functions);
  add_system_routine(math_functions, true, n_math_functions);
  register_math_elementwise();
  add_system_routine(struct_functions, true, n_struct_functions);
  add_system_routine(frame_functions, true, n_frame_functions);
  add_system_routine(frame_procedures, false, n_frame_procedures);
  add_system_routine(conversion_functions, true, n_conversion_functions);
  add_system_routine(string_functions, true, n_string_functions);
  add_system_routine(string_procedures, false, n_string_procedures);
  add_system_routine(message_functions, true, n_message_functions);
  add_system_routine(message_procedures, false, n_message_procedures);
  add_system_routine(os_functions, true, n_os_functions);
  add_system_routine(os_procedures, false, n_os_procedures);
  add_system_routine(io_procedures, false, n_io_procedures);
  install_io_hooks();
  add_system_routine(help_procedures, false, n_help_procedures);
  add_system_routine(memory_functions, true, n_memory_functions);
  add_system_routine(gif_procedures, false, n_gif_procedures);
  add_system_routine(handle_functions, true, n_handle_functions);
  add_system_routine(handle_procedures, false, n_handle_procedures);
}
