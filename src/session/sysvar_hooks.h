// Ties the system variables to the rest of the session: the interpreter's and the
// compiler's look-ups and stores, the prompt and version shown at start-up, and the
// settings owned by the line editor (!EDIT_INPUT, !JOURNAL), the terminal writer (!MORE)
// and the compiler (!PATH), and has graphics enter its own. Relies on lib/sysvars for
// the table.
#pragma once

// Builds the system variables and installs the hooks; run once at start-up.
void init_system_variables();
