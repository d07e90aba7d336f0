#include "base/process.h"

#include <sys/utsname.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/message.h"

const char* const program_name = "VEK";
const char* const program_name_lc = "vek";
Invocation invocation;
ProcessHooks process_hooks;

namespace {

constexpr int kMaxExitHandlers = 30;
void (*exit_handlers[kMaxExitHandlers + 1])() = {};

#ifndef VEK_DEFAULT_DIR
#define VEK_DEFAULT_DIR "/usr/local/lib/vek"
#endif

const char* dir_value() {
  if (process_hooks.dir) return process_hooks.dir();
  const char* env = getenv("VEK_DIR");
  return env && *env ? env : VEK_DEFAULT_DIR;
}

}  // namespace

bool is_widget_mode() { return invocation.widget; }

void declare_exit_handler(void (*fn)()) {
  int n = 0;
  for (; exit_handlers[n]; n++)
    if (exit_handlers[n] == fn) return;
  if (n >= kMaxExitHandlers) message(M_INTERNAL, 0, MSG_LONGJMP, "Too many exit handlers");
  exit_handlers[n] = fn;
  exit_handlers[n + 1] = nullptr;
}

void exithand_internal_cleanup() {
  int n = 0;
  while (exit_handlers[n]) n++;
  while (n-- > 0) {
    void (*fn)() = exit_handlers[n];
    exit_handlers[n] = nullptr;
    fn();
  }
}

const char* vek_release() { return "1.0"; }
const char* vek_os() {
  static std::string os;
  if (os.empty()) {
    utsname u{};
    os = uname(&u) == 0 ? u.sysname : "unknown";
    for (char& c : os) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  }
  return os.c_str();
}
const char* vek_arch() {
  static std::string arch;
  if (arch.empty()) {
    utsname u{};
    arch = uname(&u) == 0 ? u.machine : "unknown";
  }
  return arch.c_str();
}

const char* version_field_or(const char* tag, const char* fallback) {
  const char* v = process_hooks.version_field ? process_hooks.version_field(tag) : nullptr;
  return v ? v : fallback;
}

void vek_filepath_from_root(char* buf, const char* root, const char* name, const char* ext, int ndirs,
                            const char* const* dirs) {
  std::string out = root ? root : "";
  for (int i = 0; i < ndirs; i++) {
    out += "/";
    out += dirs[i];
  }
  out += "/";
  if (name) {
    out += name;
    if (ext) {
      out += ".";
      out += ext;
    }
  }
  if (out.size() > 1024) out.resize(1024);
  memcpy(buf, out.c_str(), out.size() + 1);
}

void vek_filepath(char* buf, const char* name, const char* ext, int ndirs, const char* const* dirs) {
  vek_filepath_from_root(buf, dir_value(), name, ext, ndirs, dirs);
}

void vek_filepath_setenv(const char* var, const char* name, const char* ext, int ndirs, const char* const* dirs) {
  char path[1100];
  vek_filepath(path, name, ext, ndirs, dirs);
  std::string entry = std::string(var) + "=" + path;
  char* keep = strdup(entry.c_str());  // the environment keeps the string
  if (keep) putenv(keep);
}
