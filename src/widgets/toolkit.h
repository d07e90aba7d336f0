// The toolkit operation table: every window-system action of the widget routines goes
// through it, so the language side never names a toolkit. A graphics device that has
// widgets (FLAGS bit 65536) offers one; the Motif table is built on the X connection.
#pragma once

#include <cstdint>

#include "widgets/widget_table.h"

struct ToolkitOps {
  void (*lock)();
  void (*unlock)();
  // Opens the display when needed (an error when it cannot).
  void (*open)();
  // Builds the toolkit widget of w (its parent's exists already).
  void (*create)(WidgetRec* w);
  void (*realize)(WidgetRec* top);
  void (*map)(WidgetRec* w, bool on);
  void (*destroy)(WidgetRec* w);  // w's toolkit widget and its children
  void (*set_sensitive)(WidgetRec* w, bool on);
  void (*set_value)(WidgetRec* w);     // shows w->value / slider_value
  void (*get_text)(WidgetRec* w, std::string* out);  // text contents
  void (*set_slider_range)(WidgetRec* w);
  void (*set_title)(WidgetRec* top, const char* title);
  void (*set_list)(WidgetRec* w, const std::vector<std::string>& items);
  void (*set_list_select)(WidgetRec* w, int index);
  // Waits for the next event of the window system and handles it.
  void (*wait)();
  // Handles whatever is queued, without waiting.
  void (*drain)();
};

// Called by the toolkit's callbacks: the widget routines queue the event and, outside
// WIDGET_EVENT, deliver events to event routines at once.
void widget_event_arrived(WidgetRec* w);

// The Motif table (stored in the X connection record by register_widgets).
extern const ToolkitOps motif_ops;
