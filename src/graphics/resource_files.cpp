#include "graphics/resource_files.h"

#include <cstdlib>

#include "lib/sysvars.h"

#ifndef VEK_DEFAULT_DIR
#define VEK_DEFAULT_DIR "/usr/local/lib/vek"
#endif

namespace {

std::string dir_root() {
  if (sysvartab) {
    if (SysVar* dir = find_sysvar("!DIR")) return sysv_string(dir);
  }
  const char* env = getenv("VEK_DIR");
  return env && *env ? env : VEK_DEFAULT_DIR;
}

}  // namespace

std::string graphics_resource_path(const char* subdir, const char* name, const char* ext) {
  std::string out = dir_root();
  if (subdir && *subdir) {
    out += "/";
    out += subdir;
  }
  out += "/";
  out += name;
  if (ext) {
    out += ".";
    out += ext;
  }
  return out;
}
