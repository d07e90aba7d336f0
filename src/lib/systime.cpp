// SYSTIME: the current time, as a date string or (with a nonzero argument) as seconds
// since 1970 with microsecond resolution, which is what timing code needs.
#include <sys/time.h>

#include <ctime>

#include "interp/routines.h"
#include "values/convert.h"
#include "values/strings.h"
#include "values/temps.h"

namespace {

Variable* ur_systime(int argc, Variable* argv[], KwNames) {
  timeval tv;
  gettimeofday(&tv, nullptr);
  if (argc >= 1 && long_scalar(argv[0]) != 0)
    return make_double_temp(static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6);
  char buf[32];
  time_t now = tv.tv_sec;
  ctime_r(&now, buf);
  buf[24] = 0;  // drop the newline
  return ret_str_as_STRING(buf);
}

}  // namespace

extern const RoutineEntry systime_functions[] = {
    {ur_systime, "SYSTIME", 0, 1},
};
extern const int n_systime_functions = 1;
