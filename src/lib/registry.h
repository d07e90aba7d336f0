// The list of built-in groups: register_builtins() adds every group's routine arrays to
// the system routine tables. Each group (one file in src/lib) adds one line here.
#pragma once

void register_builtins();
