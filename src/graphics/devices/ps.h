// The PostScript driver's file control outside DEVICE: what FILENAME= and /CLOSE_FILE do.
#pragma once

// Finishes any open file and opens `name` for the following output (error -167 when it
// cannot be opened; no unit stays open then).
void ps_open_file(const char* name);
// Finishes the open file (page, trailer) and releases its unit; nothing when none is open.
void ps_close_file();
