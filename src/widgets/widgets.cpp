// Widget routines: toolkit-independent; every window-system action goes through the
// toolkit table of the current device.
#include "widgets/widgets.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/message.h"
#include "graphics/device.h"
#include "interp/frames.h"
#include "interp/interpreter.h"
#include "interp/routines.h"
#include "lib/sysvars.h"
#include "values/convert.h"
#include "values/ident.h"
#include "values/strings.h"
#include "values/struct.h"
#include "values/temps.h"
#include "widgets/toolkit.h"
// Last: Xlib defines names the value headers use.
#include "graphics/devices/x_display.h"

namespace {

constexpr int M_WIDGET_ID = -353;
constexpr int M_VALUE_SINGLE = -354;
constexpr int M_NO_VALUE = -355;
constexpr int M_UNREALIZED = -368;
constexpr int M_SLIDER_RANGE = -359;
constexpr int M_PARENT_TYPE = -358;
constexpr int M_EVENT_RETURNED = -366;

const ToolkitOps* ops = nullptr;
bool in_widget_event = false;   // WIDGET_EVENT is waiting: it delivers the events itself
bool dispatching = false;       // events are being delivered from the event loop

// The current device must offer widgets; its toolkit table is then taken over.
const ToolkitOps& load_widget_interface() {
  DeviceRecord* d = cur_dev();
  if (!d || !(d->flags & DF_WIDGETS) || !x_state.toolkit) message(M_NO_SLOT, 0, MSG_LONGJMP);
  ops = static_cast<const ToolkitOps*>(x_state.toolkit);
  ops->open();
  return *ops;
}

std::string upper(const StringDesc& s) {
  std::string out = s.length ? std::string(s.chars, s.length) : "";
  for (char& c : out) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string text_of(Variable* v) {
  if (v->type == TYP_STRING && v->is_scalar()) return str_chars(v->value.str);
  if (!v->is_scalar()) var_error(M_NOT_SCALAR, v, MSG_LONGJMP);
  StringDesc s{0, 0, nullptr};
  convert(&v->value, &s, 1, v->type, TYP_STRING);
  std::string out = str_chars(s);
  del_str(&s, 1);
  size_t first = out.find_first_not_of(' ');
  return first == std::string::npos ? "" : out.substr(first);
}

// Copies a value into dst without taking it over (keyword arguments stay the caller's).
void copy_value(Variable* src, Variable* dst) {
  Variable view = *src;
  view.flags &= static_cast<uint8_t>(~FLAG_TEMPORARY);
  if (src->is_temp()) view.flags |= FLAG_DYNAMIC;
  var_copy(&view, dst);
}

void store_output(Variable* dst, Variable* value_temp) {
  var_copy(value_temp, dst);
}

// ---- event structures ------------------------------------------------------------------

struct EventLayout {
  const char* name;
  const char* tags[9];
  char types[9];  // L long, I int, B byte, S string
};
const EventLayout kLayouts[] = {
    {"WIDGET_BASE", {"ID", "TOP", "HANDLER", "X", "Y"}, "LLLII"},
    {"WIDGET_BUTTON", {"ID", "TOP", "HANDLER", "SELECT"}, "LLLL"},
    {"WIDGET_SLIDER", {"ID", "TOP", "HANDLER", "VALUE", "DRAG"}, "LLLLI"},
    {"WIDGET_DRAW", {"ID", "TOP", "HANDLER", "TYPE", "X", "Y", "PRESS", "RELEASE"}, "LLLIIIBB"},
    {"WIDGET_LIST", {"ID", "TOP", "HANDLER", "INDEX", "CLICKS"}, "LLLLL"},
    {"WIDGET_STUB", {"ID", "TOP", "HANDLER", "VALUE"}, "LLLL"},
    {"WIDGET_TEXT_CH", {"ID", "TOP", "HANDLER", "TYPE", "OFFSET", "CH"}, "LLLILB"},
    {"WIDGET_TEXT_STR", {"ID", "TOP", "HANDLER", "TYPE", "OFFSET", "STR"}, "LLLILS"},
    {"WIDGET_TEXT_DEL", {"ID", "TOP", "HANDLER", "TYPE", "OFFSET", "LENGTH"}, "LLLILL"},
    {"WIDGET_TEXT_SEL", {"ID", "TOP", "HANDLER", "TYPE", "OFFSET", "LENGTH"}, "LLLILL"},
    {"WIDGET_TIMER", {"ID", "TOP", "HANDLER"}, "LLL"},
    {"WIDGET_NOEVENT", {"ID", "TOP", "HANDLER"}, "LLL"},
};
constexpr int kNoEventLayout = 11;

Variable* make_event_struct(int layout, const int32_t* words, const std::string& str) {
  const EventLayout& l = kLayouts[layout];
  int n = static_cast<int>(strlen(l.types));
  Variable* vals[9];
  IdentEntry* tags[9];
  for (int i = 0; i < n; i++) {
    tags[i] = ident_hash(l.tags[i], 0, IDENT_KEEP_PTR, MSG_LONGJMP);
    int32_t v = words[i];
    switch (l.types[i]) {
      case 'L': vals[i] = make_long_temp(v); break;
      case 'I': {
        auto s = static_cast<int16_t>(v);
        vals[i] = make_scalar_temp(TYP_INT, &s);
        break;
      }
      case 'B': {
        auto b = static_cast<uint8_t>(v);
        vals[i] = make_scalar_temp(TYP_BYTE, &b);
        break;
      }
      default: vals[i] = ret_str_as_STRING(str.c_str()); break;
    }
  }
  return make_struc(&vals[n - 1], n, ident_hash(l.name, 0, IDENT_KEEP_PTR, MSG_LONGJMP), tags, true, true);
}

// A widget event structure: its first three tags are ID, TOP and HANDLER, longs.
bool is_event_struct(const Variable* v) {
  if (!v || v->type != TYP_STRUCT || !v->is_struct()) return false;
  const StructDef* sd = v->sdef();
  static const char* const kHead[] = {"ID", "TOP", "HANDLER"};
  if (sd->n_tags < 3) return false;
  for (int i = 0; i < 3; i++)
    if (strcmp(sd->tags[i].tag->ident->name, kHead[i]) != 0 || sd->tags[i].desc.type != TYP_LONG) return false;
  return true;
}
int32_t* struct_long(Variable* s, int tag) {
  return reinterpret_cast<int32_t*>(s->arr()->data + s->sdef()->tags[tag].offset);
}

Variable* event_struct(const WidgetEvent& e, const WidgetRec& w) {
  if (e.kind == EV_SENT) {
    // A structure given to SEND_EVENT travels as it is, addressed to its target.
    Variable* s = dup_structure(&e.payload, 0, 0);
    *struct_long(s, 0) = w.id;
    *struct_long(s, 1) = w.top->id;
    return s;
  }
  int32_t words[9] = {w.id, w.top->id, 0};
  for (int i = 0; i < 6; i++) words[3 + i] = e.value[i];
  int layout = 0;
  switch (e.kind) {
    case EV_BASE: layout = 0; break;
    case EV_BUTTON: layout = 1; break;
    case EV_SLIDER: layout = 2; break;
    case EV_DRAW: layout = 3; break;
    case EV_LIST: layout = 4; break;
    case EV_STUB: layout = 5; break;
    case EV_TEXT_CH: layout = 6; break;
    case EV_TEXT_STR: layout = 7; break;
    case EV_TEXT_DEL: layout = 8; break;
    case EV_TEXT_SEL: layout = 9; break;
    default: layout = 10; break;
  }
  return make_event_struct(layout, words, e.str);
}

// A plain long for an argument of a call back (not a temporary: it stays ours).
Variable long_var(int32_t v) {
  Variable out{};
  out.type = TYP_LONG;
  out.value.l = v;
  return out;
}

// Calls the named routine with one argument; for a function returns its result.
Variable* call_routine(const std::string& name, bool function, Variable* arg, Variable* arg2 = nullptr) {
  Variable* args[2] = {arg, arg2};
  CallRecord rec{static_cast<uint8_t>(function), static_cast<uint8_t>(arg2 ? 2 : 1), nullptr, name.c_str(), args,
                 nullptr};
  call_from_sysproc(&rec);
  return rec.result;
}

// Offers the event structure s of widget id to the widget's event routine and its
// ancestors'. Returns the structure left for WIDGET_EVENT's caller, or null when a
// routine took the event.
Variable* offer(Variable* s, int32_t id) {
  WidgetRec* h = widget_hash_find(id);
  while (h && h->event_name.empty()) h = h->parent;
  while (h) {
    *struct_long(s, 2) = h->id;
    int32_t handler = h->id;
    bool function = h->flags & WF_EVENT_FUNC;
    std::string name = h->event_name;
    // The call takes the temporary structure over as its parameter and frees it.
    Variable* r = call_routine(name, function, s);
    if (!function) return nullptr;
    if (!is_event_struct(r)) {
      if (r) deltmp(r);
      return nullptr;
    }
    s = r;
    // The routine may have destroyed its widget: look it up again.
    h = widget_hash_find(handler);
    if (!h) break;
    h = h->parent;
    while (h && h->event_name.empty()) h = h->parent;
  }
  *struct_long(s, 2) = 0;
  return s;
}

Variable* deliver(WidgetEvent* e) {
  struct Free {
    WidgetEvent* e;
    ~Free() { widget_free_event_rec(e); }
  } free_it{e};
  WidgetRec* w = widget_hash_find(e->target);
  if (!w || (w->flags & WF_DYING)) return nullptr;
  return offer(event_struct(*e, *w), w->id);
}

bool has_handler(WidgetRec* w) {
  for (; w; w = w->parent)
    if (!w->event_name.empty()) return true;
  return false;
}

}  // namespace

// From the toolkit's callbacks. Outside WIDGET_EVENT, events for widgets with event
// routines are delivered at once (the prompt keeps serving them); the others wait in
// their queue for WIDGET_EVENT.
void widget_event_arrived(WidgetRec*) {
  if (in_widget_event || dispatching) return;
  dispatching = true;
  struct Reset {
    ~Reset() { dispatching = false; }
  } reset;
  bool again = true;
  while (again) {
    again = false;
    for (WidgetRec* top : widget_top_bases()) {
      WidgetEvent** link = &top->queue_head;
      WidgetEvent* prev = nullptr;
      for (; *link; prev = *link, link = &(*link)->next) {
        WidgetRec* w = widget_hash_find((*link)->target);
        if (!w || !has_handler(w)) continue;
        WidgetEvent* e = *link;
        *link = e->next;
        if (top->queue_tail == e) top->queue_tail = prev;
        e->next = nullptr;
        try {
          if (Variable* left = deliver(e)) deltmp(left);
        } catch (const VekJump&) {
          // Reported already; the session goes on at the prompt.
          temp_list_handler(2);
        }
        again = true;
        break;
      }
      if (again) break;
    }
  }
}

namespace {

// ---- destruction -----------------------------------------------------------------------

void mark_dying(WidgetRec* w) {
  w->flags |= WF_DYING;
  for (WidgetRec* c = w->child; c; c = c->sibling) mark_dying(c);
}
void call_kill_notify(WidgetRec* w) {
  for (WidgetRec* c = w->child; c; c = c->sibling) call_kill_notify(c);
  if (!w->kill_notify.empty()) {
    Variable id = long_var(w->id);
    call_routine(w->kill_notify, false, &id);
  }
}
void free_tree(WidgetRec* w) {
  while (w->child) free_tree(w->child);
  free_widget_rec(w);
}

void subtree(WidgetRec* w, std::vector<WidgetRec*>* out) {
  out->push_back(w);
  for (WidgetRec* c = w->child; c; c = c->sibling) subtree(c, out);
}

// Widgets led by members of the dying set: they go with their leader.
std::vector<int32_t> group_members(const std::vector<WidgetRec*>& dying) {
  std::vector<int32_t> out;
  for (WidgetRec* t : widget_top_bases()) {
    std::vector<WidgetRec*> all;
    subtree(t, &all);
    for (WidgetRec* r : all)
      if (r->group_leader && !(r->flags & WF_DYING) &&
          std::find(dying.begin(), dying.end(), r->group_leader) != dying.end())
        out.push_back(r->id);
  }
  return out;
}

void destroy_widget(WidgetRec* w) {
  if (w->flags & WF_DYING) return;
  int32_t id = w->id;
  call_kill_notify(w);
  w = widget_hash_find(id);
  if (!w || (w->flags & WF_DYING)) return;
  mark_dying(w);
  std::vector<WidgetRec*> dying;
  subtree(w, &dying);
  std::vector<int32_t> members = group_members(dying);
  if (ops) {
    ops->lock();
    ops->destroy(w);
    ops->unlock();
  }
  free_tree(w);
  for (int32_t m : members)
    if (WidgetRec* r = widget_hash_find(m)) destroy_widget(r);
}

}  // namespace

void widget_closed_by_user(WidgetRec* top) {
  try {
    destroy_widget(top);
  } catch (const VekJump&) {
    // A KILL_NOTIFY routine failed: reported; the session goes on.
    temp_list_handler(2);
  }
}

namespace {

// ---- creation ---------------------------------------------------------------------------

enum : uint8_t {
  K_BASE = 1, K_BUTTON = 2, K_SLIDER = 4, K_TEXT = 8, K_DRAW = 16, K_LABEL = 32, K_LIST = 64, K_STUB = 128,
  K_ALL = 255,
};

struct CreateKw {
  int32_t all_events, button_events, column, drag, editable, motion_events, row, scroll, suppress, vertical;
  int32_t exclusive, nonexclusive, viewport_events;
  int32_t xsize, ysize, minimum, maximum, retain, group_leader, x_scroll, y_scroll;
  int32_t has_xsize, has_ysize, has_min, has_max, has_pro, has_func, has_title, has_value, has_uvalue, has_kill,
      has_notify, has_retain, has_group, has_x_scroll, has_y_scroll;
  StringDesc pro, func, title, kill, notify;
  Variable *value, *uvalue;
};
CreateKw ck;
constexpr uint16_t kFlag = KW_BITFLAG | KW_CLEAR | 1;
const KwEntry kCreateKeywords[] = {
    {"ALL_EVENTS", TYP_LONG, K_TEXT, kFlag, nullptr, &ck.all_events},
    {"BUTTON_EVENTS", TYP_LONG, K_DRAW, kFlag, nullptr, &ck.button_events},
    {"COLUMN", TYP_LONG, K_BASE, kFlag, nullptr, &ck.column},
    {"DRAG", TYP_LONG, K_SLIDER, kFlag, nullptr, &ck.drag},
    {"EDITABLE", TYP_LONG, K_TEXT, kFlag, nullptr, &ck.editable},
    {"EVENT_FUNC", TYP_STRING, K_ALL, KW_CLEAR, &ck.has_func, &ck.func},
    {"EVENT_PRO", TYP_STRING, K_ALL, KW_CLEAR, &ck.has_pro, &ck.pro},
    {"EXCLUSIVE", TYP_LONG, K_BASE, kFlag, nullptr, &ck.exclusive},
    {"GROUP_LEADER", TYP_LONG, K_BASE, 0, &ck.has_group, &ck.group_leader},
    {"KILL_NOTIFY", TYP_STRING, K_ALL, KW_CLEAR, &ck.has_kill, &ck.kill},
    {"MAXIMUM", TYP_LONG, K_SLIDER, 0, &ck.has_max, &ck.maximum},
    {"MINIMUM", TYP_LONG, K_SLIDER, 0, &ck.has_min, &ck.minimum},
    {"MOTION_EVENTS", TYP_LONG, K_DRAW, kFlag, nullptr, &ck.motion_events},
    {"NONEXCLUSIVE", TYP_LONG, K_BASE, kFlag, nullptr, &ck.nonexclusive},
    {"NOTIFY_REALIZE", TYP_STRING, K_ALL, KW_CLEAR, &ck.has_notify, &ck.notify},
    {"RETAIN", TYP_LONG, K_DRAW, 0, &ck.has_retain, &ck.retain},
    {"ROW", TYP_LONG, K_BASE, kFlag, nullptr, &ck.row},
    {"SCROLL", TYP_LONG, K_TEXT | K_DRAW, kFlag, nullptr, &ck.scroll},
    {"SUPPRESS_VALUE", TYP_LONG, K_SLIDER, kFlag, nullptr, &ck.suppress},
    {"TITLE", TYP_STRING, K_BASE | K_SLIDER, KW_CLEAR, &ck.has_title, &ck.title},
    {"UVALUE", 0, K_ALL, KW_OUTPUT | KW_CLEAR, &ck.has_uvalue, &ck.uvalue},
    {"VALUE", 0, K_ALL & ~K_BASE & ~K_DRAW, KW_OUTPUT | KW_CLEAR, &ck.has_value, &ck.value},
    {"VERTICAL", TYP_LONG, K_SLIDER, kFlag, nullptr, &ck.vertical},
    {"VIEWPORT_EVENTS", TYP_LONG, K_DRAW, kFlag, nullptr, &ck.viewport_events},
    {"XSIZE", TYP_LONG, K_ALL, 0, &ck.has_xsize, &ck.xsize},
    {"X_SCROLL_SIZE", TYP_LONG, K_DRAW, 0, &ck.has_x_scroll, &ck.x_scroll},
    {"YSIZE", TYP_LONG, K_ALL, 0, &ck.has_ysize, &ck.ysize},
    {"Y_SCROLL_SIZE", TYP_LONG, K_DRAW, 0, &ck.has_y_scroll, &ck.y_scroll},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

std::vector<std::string> string_list(Variable* v) {
  std::vector<std::string> out;
  if (v->type == TYP_STRING && v->has_desc()) {
    auto* s = reinterpret_cast<StringDesc*>(v->arr()->data);
    for (uint32_t i = 0; i < v->n_elts(); i++) out.push_back(str_chars(s[i]));
  } else {
    out.push_back(text_of(v));
  }
  return out;
}

// Text for a text widget: the elements of a string array are lines.
std::string joined_text(Variable* v, bool no_newline) {
  if (!(v->type == TYP_STRING && v->has_desc())) return text_of(v);
  std::string out;
  std::vector<std::string> lines = string_list(v);
  for (size_t i = 0; i < lines.size(); i++) {
    if (i > 0 && !no_newline) out += '\n';
    out += lines[i];
  }
  return out;
}

// A scrolling drawing area: the scroll sizes (or XSIZE, YSIZE) give the drawing area, and
// XSIZE, YSIZE the viewport when scroll sizes are given; a viewport not given is the
// drawing area up to 300 pixels.
void scroll_sizes(WidgetRec* w) {
  constexpr int32_t kDefaultArea = 100, kMaxViewport = 300;
  w->flags |= WF_DRAW_SCROLL;
  w->scroll_xsize = ck.has_x_scroll ? ck.x_scroll : ck.has_xsize ? ck.xsize : kDefaultArea;
  w->scroll_ysize = ck.has_y_scroll ? ck.y_scroll : ck.has_ysize ? ck.ysize : kDefaultArea;
  w->scroll_xsize = std::max(w->scroll_xsize, 1);
  w->scroll_ysize = std::max(w->scroll_ysize, 1);
  w->xsize = ck.has_x_scroll && ck.has_xsize ? ck.xsize : std::min(w->scroll_xsize, kMaxViewport);
  w->ysize = ck.has_y_scroll && ck.has_ysize ? ck.ysize : std::min(w->scroll_ysize, kMaxViewport);
  // What is drawn off the viewport must be there when it scrolls into view.
  if (w->retain < 0) w->retain = 2;
}

Variable* create(int type, uint8_t mask, int argc, Variable* argv[], KwNames argk) {
  Variable* pos[2] = {nullptr, nullptr};
  int n = get_kw_params(argc, argv, argk, kCreateKeywords, pos, mask);
  const ToolkitOps& tk = load_widget_interface();
  WidgetRec* parent = nullptr;
  if (n > 0) {
    parent = verify_widget_rec(long_scalar(pos[0]));
    if (parent->type != WT_BASE) message(M_PARENT_TYPE, 0, MSG_LONGJMP);
  } else if (type != WT_BASE) {
    message(M_INCORRECT_ARGS, 0, MSG_LONGJMP);
  }
  std::string event_name = ck.has_func ? upper(ck.func) : ck.has_pro ? upper(ck.pro) : "";
  int32_t lo = ck.has_min ? ck.minimum : 0, hi = ck.has_max ? ck.maximum : 100;
  int32_t slider_value = lo;
  std::vector<std::string> items;
  std::string value;
  if (ck.has_value && ck.value->type != TYP_UNDEF) {
    if (type == WT_SLIDER) slider_value = long_scalar(ck.value);
    else if (type == WT_LIST) items = string_list(ck.value);
    else if (type == WT_TEXT) value = joined_text(ck.value, false);
    else if (type != WT_STUB) value = text_of(ck.value);
  }
  if (type == WT_SLIDER) {
    if (lo == hi) message(M_SLIDER_RANGE, 0, MSG_LONGJMP);
    if (slider_value < std::min(lo, hi) || slider_value > std::max(lo, hi)) message(-360, 0, MSG_LONGJMP);
  }
  if ((type == WT_BASE || type == WT_SLIDER) && ck.has_title) value = str_chars(ck.title);
  WidgetRec* leader = ck.has_group ? verify_widget_rec(ck.group_leader) : nullptr;

  tk.lock();
  struct Unlock {
    const ToolkitOps& t;
    ~Unlock() { t.unlock(); }
  } unlock{tk};
  Variable* uvalue = ck.has_uvalue ? ck.uvalue : nullptr;
  Variable uv{};
  if (uvalue && uvalue->type != TYP_UNDEF) copy_value(uvalue, &uv);
  WidgetRec* w = new_widget_rec(parent, event_name.c_str(), nullptr, type);
  w->uvalue = uv;
  w->xsize = ck.has_xsize ? ck.xsize : 0;
  w->ysize = ck.has_ysize ? ck.ysize : 0;
  if (ck.has_func) w->flags |= WF_EVENT_FUNC;
  if (ck.all_events) w->flags |= WF_ALL_TEXT;
  if (ck.editable) w->flags |= WF_EDITABLE;
  if (ck.button_events) w->flags |= WF_DRAW_BUTTON;
  if (ck.motion_events) w->flags |= WF_DRAW_MOTION;
  if (ck.drag) w->flags |= WF_SLIDER_DRAG;
  if (ck.vertical) w->flags |= WF_VERTICAL;
  if (ck.suppress) w->flags |= WF_SUPPRESS;
  if (type == WT_TEXT && (ck.scroll || w->ysize > 1 || value.find('\n') != std::string::npos))
    w->flags |= WF_MULTILINE;
  if (ck.has_retain) w->retain = std::clamp(ck.retain, 0, 2);
  if (type == WT_DRAW && (ck.scroll || ck.has_x_scroll || ck.has_y_scroll)) scroll_sizes(w);
  if (ck.viewport_events) w->flags |= WF_DRAW_VIEWPORT;
  w->group_leader = leader;
  if (type == WT_BASE && !ck.row) w->flags |= WF_COLUMN;
  if (ck.exclusive) w->flags |= WF_EXCLUSIVE;
  else if (ck.nonexclusive) w->flags |= WF_NONEXCLUSIVE;
  if (type == WT_BUTTON && (parent->flags & (WF_EXCLUSIVE | WF_NONEXCLUSIVE))) w->flags |= WF_TOGGLE;
  if (ck.has_kill) w->kill_notify = upper(ck.kill);
  if (ck.has_notify) w->notify_realize = upper(ck.notify);
  w->value = value;
  w->slider_min = lo;
  w->slider_max = hi;
  w->slider_value = slider_value;
  w->list_count = static_cast<int32_t>(items.size());
  tk.create(w);
  if (type == WT_LIST) tk.set_list(w, items);
  return make_long_temp(w->id);
}

Variable* widget_base(int argc, Variable* argv[], KwNames argk) { return create(WT_BASE, K_BASE, argc, argv, argk); }
Variable* widget_pushbutton(int argc, Variable* argv[], KwNames argk) {
  return create(WT_BUTTON, K_BUTTON, argc, argv, argk);
}
Variable* widget_slider(int argc, Variable* argv[], KwNames argk) {
  return create(WT_SLIDER, K_SLIDER, argc, argv, argk);
}
Variable* widget_text(int argc, Variable* argv[], KwNames argk) { return create(WT_TEXT, K_TEXT, argc, argv, argk); }
Variable* widget_draw(int argc, Variable* argv[], KwNames argk) { return create(WT_DRAW, K_DRAW, argc, argv, argk); }
Variable* widget_label(int argc, Variable* argv[], KwNames argk) {
  return create(WT_LABEL, K_LABEL, argc, argv, argk);
}
Variable* widget_list(int argc, Variable* argv[], KwNames argk) { return create(WT_LIST, K_LIST, argc, argv, argk); }
Variable* widget_stub(int argc, Variable* argv[], KwNames argk) { return create(WT_STUB, K_STUB, argc, argv, argk); }

// ---- WIDGET_CONTROL ----------------------------------------------------------------------

struct ControlKw {
  int32_t flags;  // bit flags below
  int32_t has_sensitive, sensitive, has_map, map, has_editable, editable, has_all_text, all_text, has_button,
      button, has_motion, motion, has_managed, managed, has_iconify, iconify, has_xsize, xsize, has_ysize, ysize;
  int32_t has_slider_min, slider_min, has_slider_max, slider_max, has_list_select, list_select, has_list_top,
      list_top, has_top_line, top_line, has_xoff, xoff, has_yoff, yoff, has_group, group, has_set_button,
      set_button, has_timer_kw, has_viewport, viewport;
  float timer;
  int32_t has_pro, has_func, has_title, has_kill, has_notify, has_func_get, has_pro_set, has_font;
  StringDesc pro, func, title, kill, notify, func_get, pro_set, font;
  int32_t has_set_value, has_get_value, has_set_uvalue, has_get_uvalue, has_send, has_bad_id, has_text_select,
      has_tlb_offset, has_tlb_size, has_get_view, has_set_view;
  Variable *set_value, *get_value, *set_uvalue, *get_uvalue, *send_event, *bad_id, *text_select, *tlb_offset,
      *tlb_size, *get_view, *set_view;
};
ControlKw cw;
enum : uint16_t { C_DESTROY = 1, C_REALIZE = 2, C_CLEAR = 4, C_SHOW = 8, C_APPEND = 32, C_NO_COPY = 64,
                  C_HOURGLASS = 128, C_RESET = 256, C_INPUT_FOCUS = 512, C_NO_NEWLINE = 1024,
                  C_USE_SELECT = 2048 };
constexpr uint16_t kCFlag = KW_BITFLAG;
const KwEntry kControlKeywords[] = {
    {"ALL_TEXT_EVENTS", TYP_LONG, 1, 0, &cw.has_all_text, &cw.all_text},
    {"APPEND", TYP_LONG, 1, kCFlag | C_APPEND, nullptr, &cw.flags},
    {"BAD_ID", 0, 1, KW_OUTPUT | KW_CLEAR, &cw.has_bad_id, &cw.bad_id},
    {"CLEAR_EVENTS", TYP_LONG, 1, kCFlag | C_CLEAR, nullptr, &cw.flags},
    {"DEFAULT_FONT", TYP_STRING, 1, KW_CLEAR, &cw.has_font, &cw.font},
    {"DELAY_DESTROY", TYP_LONG, 1, 0, nullptr, nullptr},
    {"DESTROY", TYP_LONG, 1, kCFlag | C_DESTROY, nullptr, &cw.flags},
    {"DRAW_BUTTON_EVENTS", TYP_LONG, 1, 0, &cw.has_button, &cw.button},
    {"DRAW_MOTION_EVENTS", TYP_LONG, 1, 0, &cw.has_motion, &cw.motion},
    {"DRAW_VIEWPORT_EVENTS", TYP_LONG, 1, 0, &cw.has_viewport, &cw.viewport},
    {"EDITABLE", TYP_LONG, 1, 0, &cw.has_editable, &cw.editable},
    {"EVENT_BREAK", TYP_LONG, 1, 0, nullptr, nullptr},
    {"EVENT_FUNC", TYP_STRING, 1, KW_CLEAR, &cw.has_func, &cw.func},
    {"EVENT_PRO", TYP_STRING, 1, KW_CLEAR, &cw.has_pro, &cw.pro},
    {"FUNC_GET_VALUE", TYP_STRING, 1, KW_CLEAR, &cw.has_func_get, &cw.func_get},
    {"GET_DRAW_VIEW", 0, 1, KW_OUTPUT | KW_CLEAR, &cw.has_get_view, &cw.get_view},
    {"GET_UVALUE", 0, 1, KW_OUTPUT | KW_CLEAR, &cw.has_get_uvalue, &cw.get_uvalue},
    {"GET_VALUE", 0, 1, KW_OUTPUT | KW_CLEAR, &cw.has_get_value, &cw.get_value},
    {"GROUP_LEADER", TYP_LONG, 1, 0, &cw.has_group, &cw.group},
    {"HOURGLASS", TYP_LONG, 1, kCFlag | C_HOURGLASS, nullptr, &cw.flags},
    {"ICONIFY", TYP_LONG, 1, 0, &cw.has_iconify, &cw.iconify},
    {"INPUT_FOCUS", TYP_LONG, 1, kCFlag | C_INPUT_FOCUS, nullptr, &cw.flags},
    {"KILL_NOTIFY", TYP_STRING, 1, KW_CLEAR, &cw.has_kill, &cw.kill},
    {"MANAGED", TYP_LONG, 1, 0, &cw.has_managed, &cw.managed},
    {"MAP", TYP_LONG, 1, 0, &cw.has_map, &cw.map},
    {"NOTIFY_REALIZE", TYP_STRING, 1, KW_CLEAR, &cw.has_notify, &cw.notify},
    {"NO_COPY", TYP_LONG, 1, kCFlag | C_NO_COPY, nullptr, &cw.flags},
    {"NO_NEWLINE", TYP_LONG, 1, kCFlag | C_NO_NEWLINE, nullptr, &cw.flags},
    {"PRO_SET_VALUE", TYP_STRING, 1, KW_CLEAR, &cw.has_pro_set, &cw.pro_set},
    {"REALIZE", TYP_LONG, 1, kCFlag | C_REALIZE, nullptr, &cw.flags},
    {"RESET", TYP_LONG, 1, kCFlag | C_RESET, nullptr, &cw.flags},
    {"SEND_EVENT", 0, 1, KW_OUTPUT | KW_CLEAR, &cw.has_send, &cw.send_event},
    {"SENSITIVE", TYP_LONG, 1, 0, &cw.has_sensitive, &cw.sensitive},
    {"SET_BUTTON", TYP_LONG, 1, 0, &cw.has_set_button, &cw.set_button},
    {"SET_DRAW_VIEW", 0, 1, KW_OUTPUT | KW_CLEAR, &cw.has_set_view, &cw.set_view},
    {"SET_LIST_SELECT", TYP_LONG, 1, 0, &cw.has_list_select, &cw.list_select},
    {"SET_LIST_TOP", TYP_LONG, 1, 0, &cw.has_list_top, &cw.list_top},
    {"SET_SLIDER_MAX", TYP_LONG, 1, 0, &cw.has_slider_max, &cw.slider_max},
    {"SET_SLIDER_MIN", TYP_LONG, 1, 0, &cw.has_slider_min, &cw.slider_min},
    {"SET_TEXT_SELECT", 0, 1, KW_OUTPUT | KW_CLEAR, &cw.has_text_select, &cw.text_select},
    {"SET_TEXT_TOP_LINE", TYP_LONG, 1, 0, &cw.has_top_line, &cw.top_line},
    {"SET_UVALUE", 0, 1, KW_OUTPUT | KW_CLEAR, &cw.has_set_uvalue, &cw.set_uvalue},
    {"SET_VALUE", 0, 1, KW_OUTPUT | KW_CLEAR, &cw.has_set_value, &cw.set_value},
    {"SHOW", TYP_LONG, 1, kCFlag | C_SHOW, nullptr, &cw.flags},
    {"TIMER", TYP_FLOAT, 1, 0, &cw.has_timer_kw, &cw.timer},
    {"TLB_GET_OFFSET", 0, 1, KW_OUTPUT | KW_CLEAR, &cw.has_tlb_offset, &cw.tlb_offset},
    {"TLB_GET_SIZE", 0, 1, KW_OUTPUT | KW_CLEAR, &cw.has_tlb_size, &cw.tlb_size},
    {"TLB_SET_TITLE", TYP_STRING, 1, KW_CLEAR, &cw.has_title, &cw.title},
    {"TLB_SET_XOFFSET", TYP_LONG, 1, 0, &cw.has_xoff, &cw.xoff},
    {"TLB_SET_YOFFSET", TYP_LONG, 1, 0, &cw.has_yoff, &cw.yoff},
    {"USE_TEXT_SELECT", TYP_LONG, 1, kCFlag | C_USE_SELECT, nullptr, &cw.flags},
    {"XSIZE", TYP_LONG, 1, 0, &cw.has_xsize, &cw.xsize},
    {"X_BITMAP_EXTRA", TYP_LONG, 1, 0, nullptr, nullptr},
    {"YSIZE", TYP_LONG, 1, 0, &cw.has_ysize, &cw.ysize},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

void realize_tree(const ToolkitOps& tk, WidgetRec* w) {
  WidgetRec* top = w->top;
  bool was = top->flags & WF_REALIZED;
  tk.realize(top);
  std::vector<std::pair<int32_t, std::string>> notify;
  std::vector<WidgetRec*> stack{top};
  while (!stack.empty()) {
    WidgetRec* r = stack.back();
    stack.pop_back();
    r->flags |= WF_REALIZED;
    if (!was && !r->notify_realize.empty()) notify.emplace_back(r->id, r->notify_realize);
    for (WidgetRec* c = r->child; c; c = c->sibling) stack.push_back(c);
  }
  for (auto& [id, name] : notify) {
    if (!widget_hash_find(id)) continue;
    Variable v = long_var(id);
    call_routine(name, false, &v);
  }
}

// A value as a string or, when it holds several lines, a string array of them.
Variable* text_value(const std::string& s) {
  if (s.find('\n') == std::string::npos) return ret_str_as_STRING(s.c_str());
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = s.find('\n', start)) != std::string::npos; start = nl + 1) lines.push_back(s.substr(start, nl - start));
  lines.push_back(s.substr(start));
  auto count = static_cast<int32_t>(lines.size());
  Variable* t = make_temp_array_of(TYP_STRING, 1, &count);
  auto* d = static_cast<StringDesc*>(t->data_ptr());
  memset(d, 0, lines.size() * sizeof(StringDesc));
  for (size_t i = 0; i < lines.size(); i++) str_store(&d[i], lines[i].c_str());
  return t;
}

void get_value(WidgetRec* w, Variable* out) {
  if (!w->func_get_value.empty()) {
    Variable id = long_var(w->id);
    Variable* r = call_routine(w->func_get_value, true, &id);
    if (!r) message(-361, 0, MSG_LONGJMP);
    store_output(out, r);
    return;
  }
  switch (w->type) {
    case WT_BUTTON:
    case WT_LABEL: store_output(out, ret_str_as_STRING(w->value.c_str())); break;
    case WT_TEXT: {
      std::string s;
      ops->get_text(w, &s);
      store_output(out, text_value(s));
      break;
    }
    case WT_SLIDER: store_output(out, make_long_temp(w->slider_value)); break;
    // A drawing area's value is its graphics window, once it has one.
    case WT_DRAW: store_output(out, make_long_temp(ops->draw_window(w))); break;
    default: message(M_NO_VALUE, 0, MSG_LONGJMP, w->id);
  }
}

void set_value(WidgetRec* w, Variable* v) {
  if (!w->pro_set_value.empty()) {
    Variable id = long_var(w->id);
    Variable copy{};
    copy_value(v, &copy);
    struct Free {
      Variable* v;
      ~Free() {
        if (v->type != TYP_UNDEF) delvar(v);
      }
    } free_copy{&copy};
    call_routine(w->pro_set_value, false, &id, &copy);
    return;
  }
  switch (w->type) {
    case WT_BUTTON:
    case WT_LABEL: w->value = text_of(v); break;
    case WT_TEXT: {
      bool no_newline = cw.flags & C_NO_NEWLINE;
      std::string add = joined_text(v, no_newline), now;
      ops->get_text(w, &now);
      if (cw.flags & C_USE_SELECT) {
        int offset = 0, length = 0;
        ops->get_text_select(w, &offset, &length);
        offset = std::min<int>(offset, static_cast<int>(now.size()));
        w->value = now.substr(0, static_cast<size_t>(offset)) + add +
                   now.substr(std::min(now.size(), static_cast<size_t>(offset + length)));
      } else if (cw.flags & C_APPEND) {
        // Appended lines start on a line of their own in a text of several lines.
        bool newline = (w->flags & WF_MULTILINE) && !no_newline && !now.empty() && now.back() != '\n';
        w->value = now + (newline ? "\n" : "") + add;
      } else {
        w->value = add;
      }
      break;
    }
    case WT_SLIDER: {
      int32_t x = long_scalar(v);
      if (x < std::min(w->slider_min, w->slider_max) || x > std::max(w->slider_min, w->slider_max))
        message(-360, 0, MSG_LONGJMP);
      w->slider_value = x;
      break;
    }
    case WT_LIST: {
      std::vector<std::string> items = string_list(v);
      w->list_count = static_cast<int32_t>(items.size());
      ops->set_list(w, items);
      return;
    }
    default: message(M_NO_VALUE, 0, MSG_LONGJMP, w->id);
  }
  ops->set_value(w);
}

// Moves a value out of a variable (NO_COPY): the variable is left undefined.
void move_value(Variable* from, Variable* to) {
  if (from->is_temp() || !(from->flags & FLAG_DYNAMIC)) {
    copy_value(from, to);
    return;
  }
  *to = *from;
  *from = Variable{};
}

void set_flag(WidgetRec* w, uint32_t flag, int32_t on) {
  if (on) w->flags |= flag;
  else w->flags &= ~flag;
}

std::vector<int32_t> longs_of(Variable* v) {
  if (!v->has_desc()) return {long_scalar(v)};
  std::vector<int32_t> out(v->n_elts());
  convert(v->arr()->data, out.data(), static_cast<int32_t>(out.size()), v->type, TYP_LONG);
  return out;
}

void store_pair(Variable* out, int a, int b) {
  int32_t two = 2;
  Variable* r = make_temp_array_of(TYP_LONG, 1, &two);
  elems<int32_t>(r)[0] = a;
  elems<int32_t>(r)[1] = b;
  store_output(out, r);
}

void control_one(const ToolkitOps& tk, WidgetRec* w, int n_ids) {
  int32_t id = w->id;
  bool no_copy = cw.flags & C_NO_COPY;
  if (cw.has_set_uvalue) {
    if (w->uvalue.type != TYP_UNDEF) delvar(&w->uvalue);
    w->uvalue = Variable{};
    if (cw.set_uvalue->type != TYP_UNDEF) {
      if (no_copy) move_value(cw.set_uvalue, &w->uvalue);
      else copy_value(cw.set_uvalue, &w->uvalue);
    }
  }
  if (cw.has_get_uvalue) {
    if (w->uvalue.type == TYP_UNDEF) {
      if (cw.get_uvalue->flags & FLAG_DYNAMIC) delvar(cw.get_uvalue);
      cw.get_uvalue->type = TYP_UNDEF;
    } else if (no_copy) {
      if (cw.get_uvalue->flags & FLAG_DYNAMIC) delvar(cw.get_uvalue);
      *cw.get_uvalue = w->uvalue;
      w->uvalue = Variable{};
    } else {
      var_copy(&w->uvalue, cw.get_uvalue);
    }
  }
  if (cw.has_pro || cw.has_func) {
    w->event_name = cw.has_func ? upper(cw.func) : upper(cw.pro);
    set_flag(w, WF_EVENT_FUNC, cw.has_func);
  }
  if (cw.has_kill) w->kill_notify = upper(cw.kill);
  if (cw.has_notify) w->notify_realize = upper(cw.notify);
  if (cw.has_func_get) w->func_get_value = upper(cw.func_get);
  if (cw.has_pro_set) w->pro_set_value = upper(cw.pro_set);
  if (cw.has_group) w->group_leader = verify_widget_rec(cw.group);
  if ((cw.has_set_value || cw.has_get_value) && n_ids > 1) message(M_VALUE_SINGLE, 0, MSG_LONGJMP);
  // A new range first, so that a value in it can be set by the same call.
  if ((cw.has_slider_min || cw.has_slider_max) && w->type == WT_SLIDER) {
    int32_t lo = cw.has_slider_min ? cw.slider_min : w->slider_min;
    int32_t hi = cw.has_slider_max ? cw.slider_max : w->slider_max;
    if (lo == hi) message(M_SLIDER_RANGE, 0, MSG_LONGJMP);
    w->slider_min = lo;
    w->slider_max = hi;
    w->slider_value = std::max(std::min(lo, hi), std::min(std::max(lo, hi), w->slider_value));
    tk.set_slider_range(w);
  }
  if (cw.has_set_value) set_value(w, cw.set_value);
  if (!(w = widget_hash_find(id))) return;
  if (cw.has_get_value) get_value(w, cw.get_value);
  if (!(w = widget_hash_find(id))) return;
  if (cw.has_editable && w->type == WT_TEXT) {
    set_flag(w, WF_EDITABLE, cw.editable);
    tk.set_editable(w);
  }
  if (cw.has_all_text && w->type == WT_TEXT) set_flag(w, WF_ALL_TEXT, cw.all_text);
  if (cw.has_button && w->type == WT_DRAW) set_flag(w, WF_DRAW_BUTTON, cw.button);
  if (cw.has_motion && w->type == WT_DRAW) set_flag(w, WF_DRAW_MOTION, cw.motion);
  if (cw.has_viewport && w->type == WT_DRAW) set_flag(w, WF_DRAW_VIEWPORT, cw.viewport);
  if ((cw.has_get_view || cw.has_set_view) && w->type == WT_DRAW) {
    if (!(w->flags & WF_DRAW_SCROLL)) message(-364, 0, MSG_LONGJMP);
    // Setting first: a call with both reads where the view ended up.
    if (cw.has_set_view) {
      std::vector<int32_t> xy = longs_of(cw.set_view);
      tk.set_draw_view(w, xy[0], xy.size() > 1 ? xy[1] : 0);
    }
    if (cw.has_get_view) {
      int x, y;
      tk.get_draw_view(w, &x, &y);
      store_pair(cw.get_view, x, y);
    }
  }
  // Push buttons take SET_BUTTON and keep their state-less selves.
  if (cw.has_set_button && (w->flags & WF_TOGGLE)) tk.set_button(w, cw.set_button != 0);
  if (cw.has_list_select && w->type == WT_LIST) tk.set_list_select(w, cw.list_select);
  if (cw.has_list_top && w->type == WT_LIST) tk.set_list_top(w, std::clamp(cw.list_top, 0, std::max(w->list_count - 1, 0)));
  if (cw.has_text_select && w->type == WT_TEXT) {
    std::vector<int32_t> sel = longs_of(cw.text_select);
    tk.set_text_select(w, sel[0], sel.size() > 1 ? sel[1] : 0);
  }
  if (cw.has_top_line && w->type == WT_TEXT) tk.set_text_top_line(w, std::max(cw.top_line, 0));
  if (cw.has_xsize || cw.has_ysize) {
    if (cw.has_xsize) w->xsize = cw.xsize;
    if (cw.has_ysize) w->ysize = cw.ysize;
    tk.set_size(w);
  }
  if (cw.has_title && !w->parent) tk.set_title(w, str_chars(cw.title));
  if (cw.has_sensitive) {
    set_flag(w, WF_SENSITIVE, cw.sensitive);
    tk.set_sensitive(w, cw.sensitive != 0);
  }
  if (cw.flags & C_CLEAR) {
    WidgetRec* top = w->top;
    while (WidgetEvent* e = widget_take_event(top)) widget_free_event_rec(e);
  }
  if (cw.has_send) {
    if (!is_event_struct(cw.send_event)) message(-371, 0, MSG_LONGJMP);
    WidgetEvent* e = new_widget_event_rec(w, false, EV_SENT);
    copy_value(cw.send_event, &e->payload);
  }
  if (cw.has_timer_kw) tk.add_timer(w, cw.timer);
  if (cw.flags & C_REALIZE) realize_tree(tk, w);
  if (!(w = widget_hash_find(id))) return;
  if (cw.has_managed) set_flag(w, WF_MANAGED, cw.managed);
  if (cw.has_map || cw.has_managed) tk.map(w, cw.has_map ? cw.map != 0 : cw.managed != 0);
  // What needs the tree on the screen.
  bool on_screen = w->top->flags & WF_REALIZED;
  bool needs_screen = cw.has_iconify || cw.has_tlb_offset || cw.has_tlb_size || cw.has_xoff || cw.has_yoff ||
                      (cw.flags & C_INPUT_FOCUS);
  if (needs_screen && !on_screen) message(M_UNREALIZED, 0, MSG_LONGJMP);
  if (cw.has_iconify) tk.iconify(w->top, cw.iconify != 0);
  if (cw.has_xoff || cw.has_yoff) tk.set_tlb_offset(w->top, cw.has_xoff ? cw.xoff : -1, cw.has_yoff ? cw.yoff : -1);
  if (cw.has_tlb_offset) {
    int x, y;
    tk.get_tlb_offset(w->top, &x, &y);
    store_pair(cw.tlb_offset, x, y);
  }
  if (cw.has_tlb_size) {
    int x, y;
    tk.get_tlb_size(w->top, &x, &y);
    store_pair(cw.tlb_size, x, y);
  }
  if (cw.flags & C_INPUT_FOCUS) tk.set_input_focus(w);
  if (cw.flags & C_SHOW) tk.map(w->top, true);
  if (cw.flags & C_DESTROY) destroy_widget(w);
}

void widget_control(int argc, Variable* argv[], KwNames argk) {
  std::vector<Variable*> pos(static_cast<size_t>(argc) + 1);
  cw.flags = 0;
  int n = get_kw_params(argc, argv, argk, kControlKeywords, pos.data(), 1);
  const ToolkitOps& tk = load_widget_interface();
  if (cw.flags & C_HOURGLASS) tk.hourglass(true);
  if (cw.flags & C_RESET) {
    // Every tree goes.
    while (!widget_top_bases().empty()) destroy_widget(widget_top_bases().front());
    return;
  }
  if (n == 0) {
    if (cw.flags & C_HOURGLASS) return;
    message(-367, 0, MSG_LONGJMP);
  }
  std::vector<int32_t> ids;
  for (int i = 0; i < n; i++) {
    Variable* v = pos[i];
    if (v->type == TYP_UNDEF) var_error(M_UNDEFINED, v, MSG_LONGJMP);
    if (v->has_desc()) {
      std::vector<int32_t> tmp(v->n_elts());
      convert(v->arr()->data, tmp.data(), static_cast<int32_t>(tmp.size()), v->type, TYP_LONG);
      ids.insert(ids.end(), tmp.begin(), tmp.end());
    } else {
      ids.push_back(long_scalar(v));
    }
  }
  for (int32_t id : ids) {
    WidgetRec* w = widget_hash_find(id);
    if (!w || (w->flags & WF_DYING)) {
      if (cw.has_bad_id) {
        store_output(cw.bad_id, make_long_temp(id));
        return;
      }
      message(M_WIDGET_ID, 0, MSG_LONGJMP, id);
    }
    control_one(tk, w, static_cast<int>(ids.size()));
  }
  if (cw.has_bad_id) store_output(cw.bad_id, make_long_temp(0));
}

// ---- WIDGET_EVENT ------------------------------------------------------------------------

int32_t we_nowait, we_save_hourglass, we_yield;
int32_t we_has_bad_id;
Variable* we_bad_id;
const KwEntry kEventKeywords[] = {
    {"BAD_ID", 0, 1, KW_OUTPUT | KW_CLEAR, &we_has_bad_id, &we_bad_id},
    {"NOWAIT", TYP_LONG, 1, kFlag, nullptr, &we_nowait},
    {"SAVE_HOURGLASS", TYP_LONG, 1, kFlag, nullptr, &we_save_hourglass},
    {"YIELD_TO_TTY", TYP_LONG, 1, kFlag, nullptr, &we_yield},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

Variable* no_event() {
  int32_t words[9] = {};
  return make_event_struct(kNoEventLayout, words, "");
}

Variable* widget_event(int argc, Variable* argv[], KwNames argk) {
  std::vector<Variable*> pos(static_cast<size_t>(argc) + 1);
  int n = get_kw_params(argc, argv, argk, kEventKeywords, pos.data(), 1);
  const ToolkitOps& tk = load_widget_interface();
  if (we_has_bad_id && n == 0) message(-365, 0, MSG_LONGJMP);
  std::vector<int32_t> ids;
  for (int i = 0; i < n; i++) {
    Variable* v = pos[i];
    if (v->has_desc()) {
      std::vector<int32_t> tmp(v->n_elts());
      convert(v->arr()->data, tmp.data(), static_cast<int32_t>(tmp.size()), v->type, TYP_LONG);
      ids.insert(ids.end(), tmp.begin(), tmp.end());
    } else {
      ids.push_back(long_scalar(v));
    }
  }
  if (we_has_bad_id) store_output(we_bad_id, make_long_temp(0));
  bool saved = in_widget_event;
  in_widget_event = true;
  struct Restore {
    bool s;
    ~Restore() { in_widget_event = s; }
  } restore{saved};
  // Waiting for the user: the busy cursor goes.
  if (!we_save_hourglass) tk.hourglass(false);
  for (bool first = true;; first = false) {
    tk.drain();
    std::vector<WidgetRec*> tops;
    if (ids.empty()) {
      tops = widget_top_bases();
    } else {
      for (int32_t id : ids) {
        WidgetRec* w = widget_hash_find(id);
        if (!w || (w->flags & WF_DYING)) {
          // A tree destroyed while we waited (by its own event routine, say) ends the
          // wait: there is nothing more to come from it.
          if (!first) return no_event();
          if (we_has_bad_id) {
            store_output(we_bad_id, make_long_temp(id));
            return no_event();
          }
          message(M_WIDGET_ID, 0, MSG_LONGJMP, id);
        }
        tops.push_back(w->top);
      }
    }
    WidgetEvent* e = nullptr;
    for (WidgetRec* t : tops)
      if ((e = widget_take_event(t))) break;
    if (e) {
      if (Variable* s = deliver(e)) return s;
      continue;
    }
    if (we_nowait || tops.empty() || int_interrupt != IR_NONE) return no_event();
    tk.wait();
  }
}

// ---- WIDGET_INFO -------------------------------------------------------------------------

int32_t wi_flags[27];
int32_t wi_offset, wi_xy_data[2];
KwArray wi_xy{wi_xy_data, 2, 2, 0};
int32_t kTwo = 2;
const KwEntry kInfoKeywords[] = {
    {"ACTIVE", TYP_LONG, 1, kFlag, nullptr, &wi_flags[1]},
    {"CHILD", TYP_LONG, 1, kFlag, nullptr, &wi_flags[2]},
    {"DRAW_BUTTON_EVENTS", TYP_LONG, 1, kFlag, nullptr, &wi_flags[17]},
    {"DRAW_MOTION_EVENTS", TYP_LONG, 1, kFlag, nullptr, &wi_flags[18]},
    {"DRAW_VIEWPORT_EVENTS", TYP_LONG, 1, kFlag, nullptr, &wi_flags[19]},
    {"EVENT_FUNC", TYP_LONG, 1, kFlag, nullptr, &wi_flags[8]},
    {"EVENT_PRO", TYP_LONG, 1, kFlag, nullptr, &wi_flags[9]},
    {"LIST_NUMBER", TYP_LONG, 1, kFlag, nullptr, &wi_flags[20]},
    {"LIST_NUM_VISIBLE", TYP_LONG, 1, kFlag, nullptr, &wi_flags[23]},
    {"LIST_SELECT", TYP_LONG, 1, kFlag, nullptr, &wi_flags[22]},
    {"LIST_TOP", TYP_LONG, 1, kFlag, nullptr, &wi_flags[21]},
    {"PARENT", TYP_LONG, 1, kFlag, nullptr, &wi_flags[3]},
    {"REALIZED", TYP_LONG, 1, kFlag, nullptr, &wi_flags[7]},
    {"SIBLING", TYP_LONG, 1, kFlag, nullptr, &wi_flags[4]},
    {"SLIDER_MIN_MAX", TYP_LONG, 1, kFlag, nullptr, &wi_flags[24]},
    {"TEXT_ALL_EVENTS", TYP_LONG, 1, kFlag, nullptr, &wi_flags[11]},
    {"TEXT_EDITABLE", TYP_LONG, 1, kFlag, nullptr, &wi_flags[12]},
    {"TEXT_NUMBER", TYP_LONG, 1, kFlag, nullptr, &wi_flags[15]},
    {"TEXT_OFFSET_TO_XY", TYP_LONG, 1, 0, &wi_flags[25], &wi_offset},
    {"TEXT_SELECT", TYP_LONG, 1, kFlag, nullptr, &wi_flags[16]},
    {"TEXT_TOP_LINE", TYP_LONG, 1, kFlag, nullptr, &wi_flags[10]},
    {"TEXT_XY_TO_OFFSET", TYP_LONG, 1, KW_ARRAY, &wi_flags[26], &wi_xy},
    {"TYPE", TYP_LONG, 1, kFlag, nullptr, &wi_flags[6]},
    {"VALID_ID", TYP_LONG, 1, kFlag, nullptr, &wi_flags[5]},
    {"VERSION", TYP_LONG, 1, kFlag, nullptr, &wi_flags[0]},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

int32_t info_long(int option, int32_t id) {
  if (option == 5) {
    WidgetRec* w = id > 0 ? widget_hash_find(id) : nullptr;
    return w && !(w->flags & WF_DYING) ? 1 : 0;
  }
  WidgetRec* w = verify_widget_rec(id);
  switch (option) {
    case 2: return w->child ? w->child->id : 0;
    case 3: return w->parent ? w->parent->id : 0;
    case 4: return w->sibling ? w->sibling->id : 0;
    case 6: return w->type;
    case 7: return (w->flags & WF_REALIZED) ? 1 : 0;
    case 11: return (w->flags & WF_ALL_TEXT) ? 1 : 0;
    case 12: return (w->flags & WF_EDITABLE) ? 1 : 0;
    case 15: {
      std::string s;
      ops->get_text(w, &s);
      return static_cast<int32_t>(s.size());
    }
    case 17: return (w->flags & WF_DRAW_BUTTON) ? 1 : 0;
    case 18: return (w->flags & WF_DRAW_MOTION) ? 1 : 0;
    case 19: return (w->flags & WF_DRAW_VIEWPORT) ? 1 : 0;
    case 20: return w->list_count;
    case 10: return w->type == WT_TEXT ? ops->get_text_top_line(w) : 0;
    case 21: return w->type == WT_LIST ? ops->get_list_top(w) : 0;
    case 22: return w->type == WT_LIST ? ops->get_list_select(w) : -1;
    case 23: return w->type == WT_LIST ? ops->get_list_visible(w) : 0;
    default: message(M_INTERNAL, 0, MSG_LONGJMP, "unexpected option in WIDGET_INFO");
  }
  return 0;
}

Variable* widget_info(int argc, Variable* argv[], KwNames argk) {
  std::vector<Variable*> pos(static_cast<size_t>(argc) + 1);
  int n = get_kw_params(argc, argv, argk, kInfoKeywords, pos.data(), 1);
  load_widget_interface();
  int option = -1;
  for (int i = 0; i < 27; i++)
    if (wi_flags[i]) {
      if (option >= 0) message(M_CONFLICTING_KW, 0, MSG_LONGJMP);
      option = i;
    }
  if (option == 0) return ret_str_as_STRING("Motif");
  if (option == 1) {
    for (WidgetRec* t : widget_top_bases())
      if (t->flags & WF_REALIZED) return make_long_temp(1);
    return make_long_temp(0);
  }
  if (n == 0) message(-367, 0, MSG_LONGJMP);
  Variable* v = pos[0];
  if (option < 0) option = 5;
  if (option == 8 || option == 9) {
    WidgetRec* w = verify_widget_rec(long_scalar(v));
    bool func = w->flags & WF_EVENT_FUNC;
    return ret_str_as_STRING((option == 8) == func ? w->event_name.c_str() : "");
  }
  if (option == 16 || option == 24 || option == 25 || option == 26) {
    WidgetRec* w = verify_widget_rec(long_scalar(v));
    int a = 0, b = 0;
    if (option == 24) {
      a = w->slider_min;
      b = w->slider_max;
    } else if (option == 16) {
      if (w->type == WT_TEXT) ops->get_text_select(w, &a, &b);
    } else {
      std::string text;
      if (w->type == WT_TEXT) ops->get_text(w, &text);
      if (option == 25) {
        // Offset to [column, line]; beyond the text: [-1, -1].
        int32_t offset = wi_offset;
        if (offset < 0 || offset > static_cast<int32_t>(text.size())) {
          a = b = -1;
        } else {
          for (int32_t i = 0; i < offset; i++) {
            if (text[static_cast<size_t>(i)] == '\n') {
              b++;
              a = 0;
            } else {
              a++;
            }
          }
        }
        Variable* r = make_temp_array_of(TYP_LONG, 1, &kTwo);
        elems<int32_t>(r)[0] = a;
        elems<int32_t>(r)[1] = b;
        return r;
      }
      // [column, line] to offset; a position off the text: -1.
      int32_t column = wi_xy.count > 0 ? wi_xy_data[0] : 0, line = wi_xy.count > 1 ? wi_xy_data[1] : 0;
      int32_t offset = 0, l = 0;
      while (l < line && offset < static_cast<int32_t>(text.size()))
        if (text[static_cast<size_t>(offset++)] == '\n') l++;
      size_t end = text.find('\n', static_cast<size_t>(offset));
      int32_t length = static_cast<int32_t>((end == std::string::npos ? text.size() : end) - static_cast<size_t>(offset));
      if (l < line || column < 0 || column > length) return make_long_temp(-1);
      return make_long_temp(offset + column);
    }
    Variable* r = make_temp_array_of(TYP_LONG, 1, &kTwo);
    elems<int32_t>(r)[0] = a;
    elems<int32_t>(r)[1] = b;
    return r;
  }
  if (v->has_desc()) {
    int32_t count = static_cast<int32_t>(v->n_elts());
    std::vector<int32_t> tmp(static_cast<size_t>(count));
    convert(v->arr()->data, tmp.data(), count, v->type, TYP_LONG);
    Variable* r = make_temp_array_of(TYP_LONG, 1, &count);
    for (int32_t i = 0; i < count; i++) elems<int32_t>(r)[i] = info_long(option, tmp[i]);
    return r;
  }
  return make_long_temp(info_long(option, long_scalar(v)));
}

// ---- online help, resources ---------------------------------------------------------------

// The online help files: NAME.help (any .help file without a topic) in the folders of
// !HELP_PATH, then the current folder.
std::string find_help_file(const std::string& topic) {
  std::vector<std::string> dirs;
  if (SysVar* sv = find_sysvar("!HELP_PATH")) {
    Variable* v = sysv_variable(sv);
    if (v && v->type == TYP_STRING && v->is_scalar()) {
      std::string path = str_chars(v->value.str);
      size_t start = 0;
      for (size_t colon; (colon = path.find(':', start)) != std::string::npos; start = colon + 1)
        dirs.push_back(path.substr(start, colon - start));
      dirs.push_back(path.substr(start));
    }
  }
  dirs.push_back(".");
  for (std::string d : dirs) {
    if (d.empty()) continue;
    if (d[0] == '+') d.erase(0, 1);
    std::error_code ec;
    if (!topic.empty()) {
      for (const std::string& name : {topic + ".help", topic}) {
        std::filesystem::path p = std::filesystem::path(d) / name;
        if (std::filesystem::is_regular_file(p, ec)) return p.string();
      }
      continue;
    }
    std::vector<std::string> found;
    for (auto it = std::filesystem::directory_iterator(d, ec); !ec && it != std::filesystem::directory_iterator();
         it.increment(ec))
      if (it->path().extension() == ".help") found.push_back(it->path().string());
    if (!found.empty()) return *std::min_element(found.begin(), found.end());
  }
  return "";
}

int32_t olh_id = 0;  // the help window's base, while it is there

int resource_size(const ToolkitOps& tk, const char* name, int fallback) {
  std::string v;
  if (!tk.get_resource(nullptr, name, &v)) return fallback;
  int n = atoi(v.c_str());
  return n > 0 ? n : fallback;
}

// WIDGET_OLH [, topic]: the help file shown read-only in a window of its own; a second
// call replaces the text.
void widget_olh(int argc, Variable* argv[], KwNames argk) {
  Variable* pos[1] = {nullptr};
  int n = get_kw_params(argc, argv, argk, nullptr, pos, 1);
  const ToolkitOps& tk = load_widget_interface();
  std::string topic = n > 0 ? text_of(pos[0]) : "";
  std::string file = find_help_file(topic);
  if (file.empty()) message(-370, 0, MSG_LONGJMP);
  std::ifstream in(file);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!text.empty() && text.back() == '\n') text.pop_back();
  WidgetRec* base = olh_id ? widget_hash_find(olh_id) : nullptr;
  if (base && base->child) {
    base->child->value = text;
    tk.set_value(base->child);
    tk.map(base, true);
    return;
  }
  tk.lock();
  struct Unlock {
    const ToolkitOps& t;
    ~Unlock() { t.unlock(); }
  } unlock{tk};
  base = new_widget_rec(nullptr, "", nullptr, WT_BASE);
  base->flags |= WF_COLUMN;
  base->value = "Vek Online Help";
  tk.create(base);
  WidgetRec* t = new_widget_rec(base, "", nullptr, WT_TEXT);
  t->flags |= WF_MULTILINE;
  t->value = text;
  t->xsize = resource_size(tk, "olh_text_width", 80);
  t->ysize = resource_size(tk, "olh_text_height", 24);
  tk.create(t);
  olh_id = base->id;
  realize_tree(tk, base);
}

int32_t res_widget, res_has_widget;
const KwEntry kResourceKeywords[] = {
    {"WIDGET", TYP_LONG, 1, 0, &res_has_widget, &res_widget},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

// WIDGET_GET_RESOURCE(name [, WIDGET=id]): the toolkit resource for the application (or
// the widget), '' when it has none.
Variable* widget_get_resource(int argc, Variable* argv[], KwNames argk) {
  Variable* pos[1] = {nullptr};
  get_kw_params(argc, argv, argk, kResourceKeywords, pos, 1);
  const ToolkitOps& tk = load_widget_interface();
  WidgetRec* w = res_has_widget ? verify_widget_rec(res_widget) : nullptr;
  std::string value;
  if (!tk.get_resource(w, text_of(pos[0]).c_str(), &value)) value.clear();
  return ret_str_as_STRING(value.c_str());
}

// WIDGET_SET_RESOURCE, line: a resource line ("name: value") added to the toolkit's
// database; widgets made afterwards see it.
void widget_set_resource(int argc, Variable* argv[], KwNames argk) {
  Variable* pos[1] = {nullptr};
  get_kw_params(argc, argv, argk, nullptr, pos, 1);
  const ToolkitOps& tk = load_widget_interface();
  for (const std::string& line : string_list(pos[0])) tk.set_resource(line.c_str());
}

// Sorted by name.
const RoutineEntry kWidgetFunctions[] = {
    {widget_base, "WIDGET_BASE", 0, 1, true},     {widget_pushbutton, "WIDGET_BUTTON", 1, 1, true},
    {widget_draw, "WIDGET_DRAW", 1, 1, true},     {widget_event, "WIDGET_EVENT", 0, 100, true},
    {widget_get_resource, "WIDGET_GET_RESOURCE", 1, 1, true},
    {widget_info, "WIDGET_INFO", 0, 1, true},     {widget_label, "WIDGET_LABEL", 1, 1, true},
    {widget_list, "WIDGET_LIST", 1, 1, true},     {widget_slider, "WIDGET_SLIDER", 1, 1, true},
    {widget_stub, "WIDGET_STUB", 1, 1, true},     {widget_text, "WIDGET_TEXT", 1, 1, true},
};
const RoutineEntry kWidgetProcedures[] = {
    {widget_control, "WIDGET_CONTROL", 0, 100, true},
    {widget_olh, "WIDGET_OLH", 0, 1, false},
    {widget_set_resource, "WIDGET_SET_RESOURCE", 1, 1, false},
};

}  // namespace

void widget_armageddon() {
  while (!widget_top_bases().empty()) {
    WidgetRec* t = widget_top_bases().front();
    mark_dying(t);
    free_tree(t);
  }
}

void register_widgets() {
  static bool done = false;
  if (done) return;
  done = true;
  x_state.toolkit = const_cast<ToolkitOps*>(&motif_ops);
  add_system_routine(kWidgetFunctions, true, sizeof kWidgetFunctions / sizeof kWidgetFunctions[0]);
  add_system_routine(kWidgetProcedures, false, sizeof kWidgetProcedures / sizeof kWidgetProcedures[0]);
}

WidgetRec* widget_stub_lookup(int32_t id) {
  WidgetRec* w = id > 0 ? widget_hash_find(id) : nullptr;
  return w && w->type == WT_STUB && !(w->flags & WF_DYING) ? w : nullptr;
}

namespace {
WidgetRec* verify_stub(int32_t id) {
  WidgetRec* w = widget_stub_lookup(id);
  if (!w) message(M_WIDGET_ID, 0, MSG_LONGJMP, id);
  return w;
}
}  // namespace

void widget_issue_stub_event(int32_t id, int32_t value) {
  WidgetRec* w = verify_stub(id);
  WidgetEvent* e = new_widget_event_rec(w, false, EV_STUB);
  e->value[0] = value;
  widget_event_arrived(w);
}

void widget_set_stub_ids(int32_t id, void* handle) { verify_stub(id)->handle = handle; }
void* widget_get_stub_ids(int32_t id) { return verify_stub(id)->handle; }

void widget_stub_lock(bool on) {
  if (!ops) return;
  if (on) ops->lock();
  else ops->unlock();
}
