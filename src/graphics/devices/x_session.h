// What the session needs of the X connection, without Xlib's macros in its name space:
// the wait for terminal input that serves X events meanwhile, and the window-system start
// of widget mode.
#pragma once

// Serves X events until a byte can be read from fd (returns at once without a display).
void x_drain_events_until_input(int fd);
// Opens the display for widget mode; flags 0x10000 (automatic widget mode) makes a
// failure informational. True on success.
bool x_session_init(int* argc, char** argv, int flags);
