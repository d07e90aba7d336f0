// Where the graphics system finds the files it ships with (the vector font file, the
// PostScript prolog, font map and metric files): under !DIR, in the same form as the
// session's path builder. Relies on the system variables only.
#pragma once

#include <string>

// !DIR (or, before the system variables exist, VEK_DIR or the build's default folder),
// then "/" subdir (when not null or empty), "/" name "." ext.
std::string graphics_resource_path(const char* subdir, const char* name, const char* ext);
