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

// Stub widgets, for widgets made outside the widget routines: a WIDGET_STUB record holds
// their toolkit handle, and their events enter the tree's queue as WIDGET_STUB events.
#include <cstdint>
struct WidgetRec;
// The stub's record, or null when id is no live stub.
WidgetRec* widget_stub_lookup(int32_t id);
// Queues a WIDGET_STUB event with the value (an invalid id is "Invalid widget identifier").
void widget_issue_stub_event(int32_t id, int32_t value);
// The toolkit handle of the stub.
void widget_set_stub_ids(int32_t id, void* handle);
void* widget_get_stub_ids(int32_t id);
// Brackets changes to the widget records made from outside.
void widget_stub_lock(bool on);
