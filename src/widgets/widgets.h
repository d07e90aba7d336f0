// The widget routines of the language: creation functions, WIDGET_CONTROL, WIDGET_EVENT
// and WIDGET_INFO, event structures and the delivery of events to event routines.
// Relies on the widget table, the toolkit table the current device offers, the
// interpreter (event routines) and structures.
#pragma once

// Adds the widget routines to the system tables and offers the Motif table on the X
// connection. Called once at start-up.
void register_widgets();
// Destroys every widget (the display is closing).
void widget_armageddon();
