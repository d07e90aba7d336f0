// Widget records, their identifiers and the tree they form: the 421-chain identifier
// table, the identifier counter, the record pool, and the per-tree event queues. Knows
// nothing of any window system; the toolkit handle is an opaque pointer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "values/variable.h"

enum WidgetType : uint16_t {
  WT_BASE = 0, WT_BUTTON = 1, WT_SLIDER = 2, WT_TEXT = 3, WT_DRAW = 4, WT_LABEL = 5, WT_LIST = 6, WT_STUB = 7,
};

// Flags of a widget record.
constexpr uint32_t WF_REALIZED = 1;
constexpr uint32_t WF_MANAGED = 2;
constexpr uint32_t WF_SENSITIVE = 4;
constexpr uint32_t WF_EVENT_FUNC = 8;      // the event routine is a function
constexpr uint32_t WF_ALL_TEXT = 16;       // text: every change is an event
constexpr uint32_t WF_EDITABLE = 32;
constexpr uint32_t WF_DRAW_BUTTON = 64;    // draw: button events
constexpr uint32_t WF_DRAW_MOTION = 128;   // draw: motion events
constexpr uint32_t WF_SLIDER_DRAG = 256;   // slider: events while dragging
constexpr uint32_t WF_COLUMN = 512;        // base: children in a column (else a row)
constexpr uint32_t WF_DYING = 1024;        // being destroyed: no more events
constexpr uint32_t WF_VERTICAL = 2048;     // slider: vertical
constexpr uint32_t WF_SUPPRESS = 4096;     // slider: value not shown
constexpr uint32_t WF_MULTILINE = 8192;    // text: more than one line
constexpr uint32_t WF_EXCLUSIVE = 16384;   // base: its buttons are toggles, one set at a time
constexpr uint32_t WF_NONEXCLUSIVE = 32768;  // base: its buttons are independent toggles
constexpr uint32_t WF_TOGGLE = 65536;      // button: a toggle (its base is either of the above)
constexpr uint32_t WF_DRAW_SCROLL = 131072;  // draw: a viewport onto a larger drawing area
constexpr uint32_t WF_DRAW_VIEWPORT = 262144;  // draw: moving the viewport is an event

struct WidgetEvent;

struct WidgetRec {
  WidgetRec* chain;    // next record of the same identifier-table chain
  int32_t id;
  WidgetRec* top;      // top-level base of the tree
  WidgetRec* parent;
  WidgetRec* child;    // first child
  WidgetRec* sibling;  // next sibling
  uint16_t type;
  std::string event_name;  // event procedure or function, upper case; empty: none
  Variable uvalue;         // the user value (dynamic memory owned here)
  uint32_t flags;
  WidgetEvent* queue_head;  // top-level bases only
  WidgetEvent* queue_tail;
  void* handle;             // the toolkit's widget
  std::string kill_notify, notify_realize;
  std::string func_get_value, pro_set_value;  // compound widgets: the value's routines
  WidgetRec* group_leader;
  // Values kept on the language side for every toolkit.
  std::string value;        // label text, button text, text contents at creation
  int32_t slider_min, slider_max, slider_value;
  int32_t xsize, ysize;
  int32_t list_count;
  int32_t draw_index = -1;  // draw: its graphics window once realized
  int32_t retain = -1;      // draw: retain mode of that window (-1: the device's)
  // Scrolling draw: the drawing area's size (xsize, ysize are then the viewport's).
  int32_t scroll_xsize = 0, scroll_ysize = 0;
  bool toggle_set = false;  // toggle: its state as last reported or set
};

// An event waiting in its tree's queue. kind is the structure it becomes.
enum WidgetEventKind : uint16_t {
  EV_BASE, EV_BUTTON, EV_SLIDER, EV_DRAW, EV_LIST, EV_STUB, EV_TEXT_CH, EV_TEXT_STR, EV_TEXT_DEL, EV_TEXT_SEL, EV_TIMER, EV_SENT,
};
struct WidgetEvent {
  WidgetEvent* next;
  int32_t target;  // identifier of the widget (looked up again at delivery)
  uint16_t kind;
  int32_t value[9];
  std::string str;
  Variable payload;  // EV_SENT: the structure given to SEND_EVENT
};

// ---- identifiers -------------------------------------------------------------------------
constexpr int kWidgetChains = 421;
// The record of an identifier, or null.
WidgetRec* widget_hash_find(int32_t id);
// Links the record into its chain, before the first smaller identifier.
void widget_hash_insert(WidgetRec* w);
// Unlinks it; an absent record is an internal error.
void widget_hash_delete(WidgetRec* w);
// The next identifier: the counter plus one; once the counter has wrapped, values in use
// are skipped. "All possible widget identifiers are in use." when none is left.
int32_t widget_next_id();
// The chain of an identifier (for tests): its head.
WidgetRec* widget_chain_head(int32_t id);
// Testing: set the counter (and whether it has wrapped).
void widget_set_counter(int32_t value, bool wrapped);
// The record of an identifier or "Invalid widget identifier: %d." (an error).
WidgetRec* verify_widget_rec(int32_t id);

// ---- records --------------------------------------------------------------------------------
// A cleared record of the type, appended to the parent's children (null: a top-level base)
// and entered into the identifier table.
WidgetRec* new_widget_rec(WidgetRec* parent, const char* event_name, const Variable* uvalue, int type);
// Removes the record (and its pending events) from the table and tree; the record returns
// to the pool. Children must have been freed first.
void free_widget_rec(WidgetRec* w);
// Number of live records (tests).
int widget_live_count();

// ---- events ---------------------------------------------------------------------------------
// An event for widget w at the tail of its tree's queue. With coalesce, the widget's latest
// pending event is returned instead, to be updated, when it is of the same kind (and, with
// a subtype of 0 or more, has that value[0], as draw events their TYPE).
WidgetEvent* new_widget_event_rec(WidgetRec* w, bool coalesce, int kind, int subtype = -1);
// Removes and returns the first pending event of the tree of top (null: any tree).
WidgetEvent* widget_take_event(WidgetRec* top);
void widget_free_event_rec(WidgetEvent* e);
// Top-level bases in creation order.
const std::vector<WidgetRec*>& widget_top_bases();
