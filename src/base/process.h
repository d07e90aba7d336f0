// What every layer may know about the running program: its name, how it was invoked,
// the release, operating system and processor of this build, where its files are
// installed, and the list of exit handlers run at shutdown. Layers above override the
// build's values (from !VERSION and !DIR) through ProcessHooks.
#pragma once

extern const char* const program_name;     // "VEK": environment variables are named from it
extern const char* const program_name_lc;  // "vek"

struct Invocation {
  bool widget = false;       // the session uses the window system and its widget front end
  bool auto_widget = false;  // fall back to terminal mode when the window system is missing
  bool runtime = false;      // run a saved program and stop; no startup file
};
extern Invocation invocation;
bool is_widget_mode();

// Exit handlers run in reverse order of declaration; declaring one twice keeps one entry.
void declare_exit_handler(void (*fn)());
void exithand_internal_cleanup();

// The release, operating system and processor of this build (the fields of !VERSION).
const char* vek_release();
const char* vek_os();
const char* vek_arch();

// Path building: root, "/" and the directories joined by "/", a final "/", then name
// "." ext. At most 1024 characters are written.
void vek_filepath_from_root(char* buf, const char* root, const char* name, const char* ext, int ndirs,
                            const char* const* dirs);
// The same under the installation directory (!DIR).
void vek_filepath(char* buf, const char* name, const char* ext, int ndirs, const char* const* dirs);
void vek_filepath_setenv(const char* var, const char* name, const char* ext, int ndirs, const char* const* dirs);

// Null hooks mean "use the build's value".
struct ProcessHooks {
  // Value of a string field of !VERSION ("RELEASE", "OS", "ARCH").
  const char* (*version_field)(const char* tag) = nullptr;
  // Value of !DIR; default: VEK_DIR, else the build tree (uninstalled) or "/usr/local/lib/vek".
  const char* (*dir)() = nullptr;
};
extern ProcessHooks process_hooks;
// A string field of !VERSION, or `fallback` when it has none.
const char* version_field_or(const char* tag, const char* fallback);
