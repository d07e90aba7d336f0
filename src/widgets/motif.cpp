// The toolkit operation table on Motif: each widget type becomes one Xm widget on the
// shared X connection, and the Xm callbacks turn into queued widget events. Only this
// file knows Motif.
// The value headers first: Xlib defines names they use.
#include "widgets/toolkit.h"

#include <Xm/BulletinB.h>
#include <Xm/DrawingA.h>
#include <Xm/Label.h>
#include <Xm/List.h>
#include <Xm/PushB.h>
#include <Xm/RowColumn.h>
#include <Xm/Scale.h>
#include <Xm/ScrollBar.h>
#include <Xm/ScrolledW.h>
#include <Xm/ToggleB.h>
#include <Xm/Protocols.h>
#include <Xm/Text.h>
#include <Xm/Xm.h>
#include <X11/Shell.h>
#include <X11/cursorfont.h>

#include <sys/select.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "graphics/devices/x_display.h"
#include "graphics/devices/x_windows.h"

namespace {

Widget handle_of(WidgetRec* w) { return static_cast<Widget>(w->handle); }
XtPointer id_data(WidgetRec* w) { return reinterpret_cast<XtPointer>(static_cast<intptr_t>(w->id)); }
// The record behind a callback; null once the widget is gone.
WidgetRec* rec_of(XtPointer data) {
  WidgetRec* w = widget_hash_find(static_cast<int32_t>(reinterpret_cast<intptr_t>(data)));
  return w && !(w->flags & WF_DYING) ? w : nullptr;
}

XmString xm_string(const std::string& s) { return XmStringCreateLocalized(const_cast<char*>(s.c_str())); }

void shell_closed(Widget, XtPointer data, XtPointer) {
  if (WidgetRec* w = rec_of(data)) widget_closed_by_user(w);
}

void push_activate(Widget, XtPointer data, XtPointer) {
  WidgetRec* w = rec_of(data);
  if (!w) return;
  WidgetEvent* e = new_widget_event_rec(w, false, EV_BUTTON);
  e->value[0] = 1;  // SELECT
  widget_event_arrived(w);
}

void queue_select(WidgetRec* w, int select) { new_widget_event_rec(w, false, EV_BUTTON)->value[0] = select; }

void set_toggle(WidgetRec* w, bool on) {
  XmToggleButtonSetState(handle_of(w), on ? True : False, False);
  w->toggle_set = on;
}

bool in_exclusive_base(WidgetRec* w) { return w->parent && (w->parent->flags & WF_EXCLUSIVE); }

// Clears the other toggles of w's exclusive base without their callbacks; with report,
// each one cleared queues its SELECT 0.
void clear_siblings(WidgetRec* w, bool report) {
  for (WidgetRec* s = w->parent->child; s; s = s->sibling) {
    if (s == w || !(s->flags & WF_TOGGLE) || !s->handle || !s->toggle_set) continue;
    set_toggle(s, false);
    if (report) queue_select(s, 0);
  }
}

void toggle_changed(Widget, XtPointer data, XtPointer call) {
  WidgetRec* w = rec_of(data);
  if (!w) return;
  bool on = static_cast<XmToggleButtonCallbackStruct*>(call)->set != XmUNSET;
  // A click on the button set in an exclusive base leaves it set: no change, no event.
  if (on == w->toggle_set) return;
  w->toggle_set = on;
  // The button let go comes first. The toolkit's radio behaviour may reach it before or
  // after this callback: clearing it here, silently, gives one order either way.
  if (on && in_exclusive_base(w)) clear_siblings(w, true);
  queue_select(w, on ? 1 : 0);
  widget_event_arrived(w);
}

void scale_changed(Widget, XtPointer data, XtPointer call) {
  WidgetRec* w = rec_of(data);
  if (!w) return;
  auto* cb = static_cast<XmScaleCallbackStruct*>(call);
  bool drag = cb->reason == XmCR_DRAG;
  if (drag && !(w->flags & WF_SLIDER_DRAG)) return;
  w->slider_value = cb->value;
  // Drag events of one widget still waiting are one event: the latest position.
  WidgetEvent* e = new_widget_event_rec(w, drag, EV_SLIDER);
  e->value[0] = cb->value;
  e->value[1] = drag ? 1 : 0;
  widget_event_arrived(w);
}

void text_activate(Widget t, XtPointer data, XtPointer) {
  WidgetRec* w = rec_of(data);
  if (!w) return;
  WidgetEvent* e = new_widget_event_rec(w, false, EV_TEXT_CH);
  e->value[0] = 0;
  e->value[1] = static_cast<int32_t>(XmTextGetInsertionPosition(t));
  e->value[2] = '\n';
  widget_event_arrived(w);
}

void text_modify(Widget, XtPointer data, XtPointer call) {
  WidgetRec* w = rec_of(data);
  if (!w || !(w->flags & WF_ALL_TEXT)) return;
  auto* cb = static_cast<XmTextVerifyCallbackStruct*>(call);
  if (!cb->event) return;  // changes made by the program itself are no events
  int32_t start = static_cast<int32_t>(cb->startPos), end = static_cast<int32_t>(cb->endPos);
  if (end > start) {
    WidgetEvent* e = new_widget_event_rec(w, false, EV_TEXT_DEL);
    e->value[0] = 2;
    e->value[1] = start;
    e->value[2] = end - start;
  }
  int n = cb->text ? cb->text->length : 0;
  if (n == 1) {
    WidgetEvent* e = new_widget_event_rec(w, false, EV_TEXT_CH);
    e->value[0] = 0;
    e->value[1] = start;
    e->value[2] = static_cast<uint8_t>(cb->text->ptr[0]);
  } else if (n > 1) {
    WidgetEvent* e = new_widget_event_rec(w, false, EV_TEXT_STR);
    e->value[0] = 1;
    e->value[1] = start;
    e->str.assign(cb->text->ptr, static_cast<size_t>(n));
  }
  if (end > start || n > 0) widget_event_arrived(w);
}

// A button let go in a text: where the selection (or the insertion point) now is.
void text_released(Widget t, XtPointer data, XEvent* ev, Boolean*) {
  WidgetRec* w = rec_of(data);
  if (!w || !(w->flags & WF_ALL_TEXT) || ev->type != ButtonRelease) return;
  XmTextPosition left, right;
  WidgetEvent* e = new_widget_event_rec(w, false, EV_TEXT_SEL);
  e->value[0] = 3;
  if (XmTextGetSelectionPosition(t, &left, &right) && right > left) {
    e->value[1] = static_cast<int32_t>(left);
    e->value[2] = static_cast<int32_t>(right - left);
  } else {
    e->value[1] = static_cast<int32_t>(XmTextGetInsertionPosition(t));
    e->value[2] = 0;
  }
  widget_event_arrived(w);
}

void list_select(Widget, XtPointer data, XtPointer call) {
  WidgetRec* w = rec_of(data);
  if (!w) return;
  auto* cb = static_cast<XmListCallbackStruct*>(call);
  WidgetEvent* e = new_widget_event_rec(w, false, EV_LIST);
  e->value[0] = cb->item_position - 1;
  e->value[1] = cb->reason == XmCR_DEFAULT_ACTION ? 2 : 1;
  widget_event_arrived(w);
}

void draw_input(Widget, XtPointer data, XEvent* ev, Boolean*) {
  WidgetRec* w = rec_of(data);
  if (!w) return;
  int type, x, y, press = 0, release = 0;
  if (ev->type == ButtonPress || ev->type == ButtonRelease) {
    if (!(w->flags & WF_DRAW_BUTTON)) return;
    type = ev->type == ButtonPress ? 0 : 1;
    x = ev->xbutton.x;
    y = ev->xbutton.y;
    int bit = 1 << (ev->xbutton.button - 1);
    (type == 0 ? press : release) = bit & 255;
  } else if (ev->type == MotionNotify) {
    if (!(w->flags & WF_DRAW_MOTION)) return;
    type = 2;
    x = ev->xmotion.x;
    y = ev->xmotion.y;
  } else {
    return;
  }
  Dimension h = 0;
  XtVaGetValues(handle_of(w), XmNheight, &h, nullptr);
  // Device coordinates, as the graphics routines count them: y from the bottom.
  WidgetEvent* e = new_widget_event_rec(w, type == 2, EV_DRAW, type);
  e->value[0] = type;
  e->value[1] = x;
  e->value[2] = static_cast<int>(h) - 1 - y;
  e->value[3] = press;
  e->value[4] = release;
  widget_event_arrived(w);
}

// ---- scrolling drawing areas ----------------------------------------------------------------
// The drawing area is the work window of an automatic scrolled window, inside its clip
// window; the scroll bars' values are the clip window's offset from the top left.

Widget shell_of(WidgetRec* top);
Widget clip_of(WidgetRec* w) { return XtParent(handle_of(w)); }
Widget scroller_of(WidgetRec* w) { return XtParent(clip_of(w)); }

void view_of(WidgetRec* w, int* x, int* y) {
  Position px = 0, py = 0;
  Dimension ah = 0, ch = 0;
  XtVaGetValues(handle_of(w), XmNx, &px, XmNy, &py, XmNheight, &ah, nullptr);
  XtVaGetValues(clip_of(w), XmNheight, &ch, nullptr);
  *x = -px;
  // The lower left corner, counted from the bottom as device coordinates are.
  *y = std::max(0, static_cast<int>(ah) + py - static_cast<int>(ch));
}

bool setting_view = false;  // the program moves the view: no events

void view_moved(Widget, XtPointer data, XtPointer) {
  WidgetRec* w = rec_of(data);
  if (!w || setting_view || !(w->flags & WF_DRAW_VIEWPORT)) return;
  // One event for a series of moves still waiting: the latest position.
  WidgetEvent* e = new_widget_event_rec(w, true, EV_DRAW, 3);
  e->value[0] = 3;
  view_of(w, &e->value[1], &e->value[2]);
  e->value[3] = e->value[4] = 0;
  widget_event_arrived(w);
}

// Every way a scroll bar moves.
const char* const kScrollCallbacks[] = {XmNvalueChangedCallback, XmNdragCallback, XmNincrementCallback,
                                        XmNdecrementCallback, XmNpageIncrementCallback, XmNpageDecrementCallback,
                                        XmNtoTopCallback, XmNtoBottomCallback};

// The scrolled window around the drawing area of w. Its size for a clip window of xsize
// by ysize is known once it has been laid out (fit_scroller).
Widget make_scroller(WidgetRec* w, Widget holder) {
  Widget sw = XtVaCreateManagedWidget("drawScroll", xmScrolledWindowWidgetClass, holder, XmNscrollingPolicy,
                                      XmAUTOMATIC, XmNscrollBarDisplayPolicy, XmSTATIC, XmNvisualPolicy, XmCONSTANT,
                                      XmNwidth, static_cast<Dimension>(std::max(w->xsize, 1)), XmNheight,
                                      static_cast<Dimension>(std::max(w->ysize, 1)), nullptr);
  Widget hsb = nullptr, vsb = nullptr;
  XtVaGetValues(sw, XmNhorizontalScrollBar, &hsb, XmNverticalScrollBar, &vsb, nullptr);
  for (Widget bar : {hsb, vsb})
    if (bar)
      for (const char* reason : kScrollCallbacks) XtAddCallback(bar, reason, view_moved, id_data(w));
  return sw;
}

// A size set by the program on a tree on the screen: the shell refuses to follow its
// children unless told, and is told only for this one change (a user's resize of the
// window stays the window manager's business).
template <typename F>
void with_shell_resize(WidgetRec* w, F change) {
  Widget shell = shell_of(w->top);
  if (!shell || !XtIsShell(shell) || !XtIsRealized(shell)) {
    change();
    return;
  }
  Boolean allow = False;
  XtVaGetValues(shell, XmNallowShellResize, &allow, nullptr);
  XtVaSetValues(shell, XmNallowShellResize, True, nullptr);
  change();
  XtVaSetValues(shell, XmNallowShellResize, allow, nullptr);
}

// Grows the scrolled window by what its frame and scroll bars take from the clip window.
void fit_scroller(WidgetRec* w) {
  Widget sw = scroller_of(w);
  Dimension sw_w = 0, sw_h = 0, clip_w = 0, clip_h = 0;
  XtVaGetValues(sw, XmNwidth, &sw_w, XmNheight, &sw_h, nullptr);
  XtVaGetValues(clip_of(w), XmNwidth, &clip_w, XmNheight, &clip_h, nullptr);
  int want_w = sw_w + std::max(w->xsize, 1) - clip_w, want_h = sw_h + std::max(w->ysize, 1) - clip_h;
  if (want_w == sw_w && want_h == sw_h) return;
  with_shell_resize(w, [&] {
    XtVaSetValues(sw, XmNwidth, static_cast<Dimension>(want_w), XmNheight, static_cast<Dimension>(want_h), nullptr);
  });
}

void mw_get_draw_view(WidgetRec* w, int* x, int* y) {
  *x = *y = 0;
  if (w->handle) view_of(w, x, y);
}

void mw_set_draw_view(WidgetRec* w, int x, int y) {
  if (!w->handle) return;
  Widget hsb = nullptr, vsb = nullptr;
  XtVaGetValues(scroller_of(w), XmNhorizontalScrollBar, &hsb, XmNverticalScrollBar, &vsb, nullptr);
  Dimension ch = 0;
  XtVaGetValues(clip_of(w), XmNheight, &ch, nullptr);
  // The vertical bar counts from the top.
  int top = w->scroll_ysize - static_cast<int>(ch) - y;
  setting_view = true;
  struct Reset {
    ~Reset() { setting_view = false; }
  } reset;
  for (auto [bar, want] : {std::pair{hsb, x}, std::pair{vsb, top}}) {
    if (!bar) continue;
    int value = 0, lo = 0, hi = 0, slider = 0, step = 0, page = 0;
    XtVaGetValues(bar, XmNminimum, &lo, XmNmaximum, &hi, XmNsliderSize, &slider, XmNincrement, &step,
                  XmNpageIncrement, &page, XmNvalue, &value, nullptr);
    // Notifying lets the scrolled window move the drawing area.
    XmScrollBarSetValues(bar, std::clamp(want, lo, std::max(lo, hi - slider)), slider, step, page, True);
  }
  XFlush(x_state.display);
}

// Waits (up to a second) until the window is on the screen: drawing into it before would
// be lost without retained storage.
void wait_viewable(Window win) {
  for (int i = 0; i < 100; i++) {
    XWindowAttributes a;
    XSync(x_state.display, False);
    if (!XGetWindowAttributes(x_state.display, win, &a) || a.map_state == IsViewable) return;
    x_drain_events();
    timeval tv{0, 10000};
    select(0, nullptr, nullptr, nullptr, &tv);
  }
}

// Each drawing area of the tree becomes a graphics window of the X device.
void adopt_draw_windows(WidgetRec* w) {
  for (WidgetRec* c = w->child; c; c = c->sibling) adopt_draw_windows(c);
  if (w->type != WT_DRAW || w->draw_index >= 0 || !w->handle) return;
  Widget h = handle_of(w);
  if (!XtIsRealized(h)) return;
  if (w->flags & WF_DRAW_SCROLL) fit_scroller(w);
  wait_viewable(XtWindow(h));
  w->draw_index = x_adopt_window(XtWindow(h), w->retain);
}

void mw_lock() { x_lock(); }
void mw_unlock() { x_unlock(); }

void mw_open() { x_init(0, nullptr, 2); }

Arg size_args[2];
int size_arg_count(WidgetRec* w) {
  // XtSetArg names its first argument twice: no increments inside it.
  int n = 0;
  if (w->xsize > 0) {
    XtSetArg(size_args[n], XmNwidth, static_cast<Dimension>(w->xsize));
    n++;
  }
  if (w->ysize > 0) {
    XtSetArg(size_args[n], XmNheight, static_cast<Dimension>(w->ysize));
    n++;
  }
  return n;
}

// A base given a size keeps it: a row or column would otherwise take the size of its
// children again at the next layout.
void set_base_size(WidgetRec* w, Widget h) {
  if (w->xsize > 0)
    XtVaSetValues(h, XmNresizeWidth, False, XmNwidth, static_cast<Dimension>(w->xsize), nullptr);
  if (w->ysize > 0)
    XtVaSetValues(h, XmNresizeHeight, False, XmNheight, static_cast<Dimension>(w->ysize), nullptr);
}

void mw_create(WidgetRec* w) {
  Widget parent = w->parent ? handle_of(w->parent) : nullptr;
  Widget made = nullptr;
  switch (w->type) {
    case WT_BASE: {
      if (!parent) {
        std::string title = w->value.empty() ? "VEK" : w->value;
        parent = XtVaAppCreateShell(nullptr, "Vek", topLevelShellWidgetClass, x_state.display, XmNtitle,
                                    title.c_str(), XmNvisual, x_state.visual, XmNcolormap, x_state.colormap,
                                    XmNdepth, x_state.depth, XmNdeleteResponse, XmDO_NOTHING, nullptr);
        // Closed from the window manager: the tree goes the way WIDGET_CONTROL's DESTROY
        // takes, so that no record outlives its toolkit widget.
        XmAddWMProtocolCallback(parent, x_state.wm_delete_window, shell_closed, id_data(w));
      }
      made = XtVaCreateWidget("base", xmRowColumnWidgetClass, parent, XmNorientation,
                              (w->flags & WF_COLUMN) ? XmVERTICAL : XmHORIZONTAL, XmNradioBehavior,
                              (w->flags & WF_EXCLUSIVE) ? True : False, nullptr);
      set_base_size(w, made);
      break;
    }
    case WT_BUTTON: {
      XmString s = xm_string(w->value);
      if (w->flags & WF_TOGGLE) {
        made = XtVaCreateWidget("toggle", xmToggleButtonWidgetClass, parent, XmNlabelString, s, XmNindicatorType,
                                in_exclusive_base(w) ? XmONE_OF_MANY : XmN_OF_MANY, nullptr);
        XtAddCallback(made, XmNvalueChangedCallback, toggle_changed, id_data(w));
      } else {
        made = XtVaCreateWidget("button", xmPushButtonWidgetClass, parent, XmNlabelString, s, nullptr);
        XtAddCallback(made, XmNactivateCallback, push_activate, id_data(w));
      }
      XmStringFree(s);
      break;
    }
    case WT_LABEL: {
      XmString s = xm_string(w->value);
      made = XtVaCreateWidget("label", xmLabelWidgetClass, parent, XmNlabelString, s, nullptr);
      XmStringFree(s);
      break;
    }
    case WT_SLIDER: {
      bool vertical = w->flags & WF_VERTICAL;
      // The toolkit wants minimum < maximum; a reversed range runs the other way.
      bool reversed = w->slider_min > w->slider_max;
      int lo = reversed ? w->slider_max : w->slider_min, hi = reversed ? w->slider_min : w->slider_max;
      unsigned char direction = vertical ? (reversed ? XmMAX_ON_BOTTOM : XmMAX_ON_TOP)
                                         : (reversed ? XmMAX_ON_LEFT : XmMAX_ON_RIGHT);
      int length = vertical ? (w->ysize > 0 ? w->ysize : 200) : (w->xsize > 0 ? w->xsize : 200);
      made = XtVaCreateWidget("slider", xmScaleWidgetClass, parent, XmNminimum, lo, XmNmaximum, hi, XmNvalue,
                              w->slider_value, XmNshowValue, (w->flags & WF_SUPPRESS) ? False : True,
                              XmNorientation, vertical ? XmVERTICAL : XmHORIZONTAL, XmNprocessingDirection,
                              direction, vertical ? XmNscaleHeight : XmNscaleWidth, length, nullptr);
      if (!w->value.empty()) {
        XmString t = xm_string(w->value);
        XtVaSetValues(made, XmNtitleString, t, nullptr);
        XmStringFree(t);
      }
      XtAddCallback(made, XmNvalueChangedCallback, scale_changed, id_data(w));
      XtAddCallback(made, XmNdragCallback, scale_changed, id_data(w));
      break;
    }
    case WT_TEXT: {
      bool multi = w->flags & WF_MULTILINE;
      made = XtVaCreateWidget("text", xmTextWidgetClass, parent, XmNvalue, w->value.c_str(), XmNeditable,
                              (w->flags & WF_EDITABLE) ? True : False, XmNcolumns,
                              static_cast<short>(w->xsize > 0 ? w->xsize : 20), XmNrows,
                              static_cast<short>(w->ysize > 0 ? w->ysize : 1), XmNeditMode,
                              multi ? XmMULTI_LINE_EDIT : XmSINGLE_LINE_EDIT, nullptr);
      XtAddCallback(made, XmNactivateCallback, text_activate, id_data(w));
      XtAddCallback(made, XmNmodifyVerifyCallback, text_modify, id_data(w));
      XtAddEventHandler(made, ButtonReleaseMask, False, text_released, id_data(w));
      break;
    }
    case WT_DRAW: {
      // A column or row gives its entries one width or height; the holder takes that and
      // the drawing area keeps the size asked for.
      Widget holder = XtVaCreateManagedWidget("drawHolder", xmBulletinBoardWidgetClass, parent, XmNmarginWidth, 0,
                                              XmNmarginHeight, 0, XmNshadowThickness, 0, nullptr);
      bool scroll = w->flags & WF_DRAW_SCROLL;
      int width = scroll ? w->scroll_xsize : w->xsize > 0 ? w->xsize : 100;
      int height = scroll ? w->scroll_ysize : w->ysize > 0 ? w->ysize : 100;
      made = XtVaCreateWidget("draw", xmDrawingAreaWidgetClass, scroll ? make_scroller(w, holder) : holder, XmNwidth,
                              static_cast<Dimension>(width), XmNheight, static_cast<Dimension>(height),
                              XmNresizePolicy, XmNONE, nullptr);
      XtAddEventHandler(made, ButtonPressMask | ButtonReleaseMask | PointerMotionMask, False, draw_input,
                        id_data(w));
      break;
    }
    case WT_LIST: {
      made = XtVaCreateWidget("list", xmListWidgetClass, parent, XmNvisibleItemCount,
                              w->ysize > 0 ? w->ysize : 5, XmNselectionPolicy, XmBROWSE_SELECT, nullptr);
      XtAddCallback(made, XmNbrowseSelectionCallback, list_select, id_data(w));
      XtAddCallback(made, XmNdefaultActionCallback, list_select, id_data(w));
      break;
    }
    default:
      return;  // stubs have no toolkit widget
  }
  w->handle = made;
  XtManageChild(made);
  // A drawing area added to a tree on the screen is realized with it at once.
  if (w->type == WT_DRAW && XtIsRealized(made)) adopt_draw_windows(w);
}

void mw_realize(WidgetRec* top) {
  Widget h = handle_of(top);
  if (!h) return;
  XtRealizeWidget(XtParent(h));
  adopt_draw_windows(top);
  XFlush(x_state.display);
}

void mw_map(WidgetRec* w, bool on) {
  Widget h = handle_of(w);
  if (!h) return;
  Widget target = w->parent ? h : XtParent(h);
  if (!XtIsRealized(target)) return;
  if (w->parent)
    XtSetMappedWhenManaged(h, on);
  else if (on)
    XtMapWidget(target);
  else
    XtUnmapWidget(target);
  XFlush(x_state.display);
}

void drop_draw_windows(WidgetRec* w) {
  for (WidgetRec* c = w->child; c; c = c->sibling) drop_draw_windows(c);
  if (w->draw_index >= 0) x_drop_window(w->draw_index);
  w->draw_index = -1;
}

void mw_destroy(WidgetRec* w) {
  Widget h = handle_of(w);
  if (!h || !x_state.display) return;
  drop_draw_windows(w);
  // Top-level bases go with their shell, drawing areas with their holder.
  Widget holder = w->type == WT_DRAW && (w->flags & WF_DRAW_SCROLL) ? XtParent(scroller_of(w)) : XtParent(h);
  XtDestroyWidget(!w->parent || w->type == WT_DRAW ? holder : h);
  // Destruction completes at the next dispatch; do it now so the window goes at once.
  while (XtAppPending(x_state.app)) XtAppProcessEvent(x_state.app, XtIMAll);
  XFlush(x_state.display);
}

void mw_set_sensitive(WidgetRec* w, bool on) {
  if (Widget h = handle_of(w)) XtSetSensitive(h, on);
}

void mw_set_value(WidgetRec* w) {
  Widget h = handle_of(w);
  if (!h) return;
  switch (w->type) {
    case WT_BUTTON:
    case WT_LABEL: {
      XmString s = xm_string(w->value);
      XtVaSetValues(h, XmNlabelString, s, nullptr);
      XmStringFree(s);
      break;
    }
    case WT_TEXT: XmTextSetString(h, const_cast<char*>(w->value.c_str())); break;
    case WT_SLIDER: XmScaleSetValue(h, w->slider_value); break;
    default: break;
  }
  XFlush(x_state.display);
}

void mw_get_text(WidgetRec* w, std::string* out) {
  Widget h = handle_of(w);
  if (!h) {
    *out = w->value;
    return;
  }
  char* s = XmTextGetString(h);
  *out = s ? s : "";
  XtFree(s);
}

void mw_set_slider_range(WidgetRec* w) {
  if (Widget h = handle_of(w))
    XtVaSetValues(h, XmNminimum, w->slider_min, XmNmaximum, w->slider_max, XmNvalue, w->slider_value, nullptr);
}

void mw_set_title(WidgetRec* top, const char* title) {
  if (Widget h = handle_of(top)) XtVaSetValues(XtParent(h), XmNtitle, title, nullptr);
}

void mw_set_list(WidgetRec* w, const std::vector<std::string>& items) {
  Widget h = handle_of(w);
  if (!h) return;
  XmListDeleteAllItems(h);
  for (const std::string& s : items) {
    XmString x = xm_string(s);
    XmListAddItemUnselected(h, x, 0);
    XmStringFree(x);
  }
}

void mw_set_list_select(WidgetRec* w, int index) {
  Widget h = handle_of(w);
  if (!h) return;
  if (index < 0)
    XmListDeselectAllItems(h);
  else
    XmListSelectPos(h, index + 1, False);
}

int mw_get_list_select(WidgetRec* w) {
  Widget h = handle_of(w);
  if (!h) return -1;
  int* positions = nullptr;
  int count = 0;
  int r = -1;
  if (XmListGetSelectedPos(h, &positions, &count) && count > 0) r = positions[0] - 1;
  if (positions) XtFree(reinterpret_cast<char*>(positions));
  return r;
}

int mw_get_list_top(WidgetRec* w) {
  Widget h = handle_of(w);
  if (!h) return 0;
  int top = 1;
  XtVaGetValues(h, XmNtopItemPosition, &top, nullptr);
  return top - 1;
}

void mw_set_list_top(WidgetRec* w, int index) {
  if (Widget h = handle_of(w)) XmListSetPos(h, index + 1);
}

int mw_get_list_visible(WidgetRec* w) {
  Widget h = handle_of(w);
  if (!h) return w->ysize > 0 ? w->ysize : 5;
  int n = 0;
  XtVaGetValues(h, XmNvisibleItemCount, &n, nullptr);
  return n;
}

void mw_get_text_select(WidgetRec* w, int* offset, int* length) {
  Widget h = handle_of(w);
  *offset = 0;
  *length = 0;
  if (!h) return;
  XmTextPosition left, right;
  if (XmTextGetSelectionPosition(h, &left, &right) && right > left) {
    *offset = static_cast<int>(left);
    *length = static_cast<int>(right - left);
  } else {
    *offset = static_cast<int>(XmTextGetInsertionPosition(h));
  }
}

void mw_set_text_select(WidgetRec* w, int offset, int length) {
  Widget h = handle_of(w);
  if (!h) return;
  XmTextPosition last = XmTextGetLastPosition(h);
  XmTextPosition a = std::clamp<XmTextPosition>(offset, 0, last), b = std::clamp<XmTextPosition>(a + length, a, last);
  if (b > a)
    XmTextSetSelection(h, a, b, CurrentTime);
  else
    XmTextClearSelection(h, CurrentTime);
  XmTextSetInsertionPosition(h, b);
}

int mw_get_text_top_line(WidgetRec* w) {
  Widget h = handle_of(w);
  if (!h) return 0;
  // The top character's line: count the newlines before it.
  XmTextPosition top = XmTextGetTopCharacter(h);
  char* s = XmTextGetString(h);
  int line = 0;
  for (XmTextPosition i = 0; s && i < top && s[i]; i++)
    if (s[i] == '\n') line++;
  XtFree(s);
  return line;
}

void mw_set_text_top_line(WidgetRec* w, int line) {
  Widget h = handle_of(w);
  if (!h) return;
  char* s = XmTextGetString(h);
  XmTextPosition pos = 0;
  for (int n = 0; s && s[pos] && n < line; pos++)
    if (s[pos] == '\n') n++;
  XtFree(s);
  XmTextSetTopCharacter(h, pos);
}

void mw_set_editable(WidgetRec* w) {
  if (Widget h = handle_of(w)) XmTextSetEditable(h, (w->flags & WF_EDITABLE) ? True : False);
}

Widget shell_of(WidgetRec* top) {
  Widget h = handle_of(top);
  return h ? XtParent(h) : nullptr;
}

void mw_get_tlb_offset(WidgetRec* top, int* x, int* y) {
  *x = *y = 0;
  Widget s = shell_of(top);
  if (!s || !XtIsRealized(s)) return;
  // A window manager puts the shell in a frame of its own, and places the frame's inside
  // where the shell asks to go: the offset is the frame's, so that what was set reads back.
  Display* d = x_state.display;
  Window frame = XtWindow(s), root = RootWindow(d, x_state.screen);
  for (;;) {
    Window r, parent, *children = nullptr;
    unsigned n = 0;
    if (!XQueryTree(d, frame, &r, &parent, &children, &n)) return;
    if (children) XFree(children);
    if (parent == root || parent == 0) break;
    frame = parent;
  }
  Window child;
  XTranslateCoordinates(d, frame, root, 0, 0, x, y, &child);
}

void mw_get_tlb_size(WidgetRec* top, int* width, int* height) {
  *width = *height = 0;
  Widget s = shell_of(top);
  if (!s) return;
  Dimension w = 0, h = 0;
  XtVaGetValues(s, XmNwidth, &w, XmNheight, &h, nullptr);
  *width = w;
  *height = h;
}

void mw_set_tlb_offset(WidgetRec* top, int x, int y) {
  Widget s = shell_of(top);
  if (!s) return;
  if (x >= 0) XtVaSetValues(s, XmNx, static_cast<Position>(x), nullptr);
  if (y >= 0) XtVaSetValues(s, XmNy, static_cast<Position>(y), nullptr);
  XFlush(x_state.display);
}

void mw_iconify(WidgetRec* top, bool on) {
  Widget s = shell_of(top);
  if (!s || !XtIsRealized(s)) return;
  if (on)
    XIconifyWindow(x_state.display, XtWindow(s), x_state.screen);
  else
    XMapRaised(x_state.display, XtWindow(s));
  XFlush(x_state.display);
}

void set_size(WidgetRec* w, Widget h) {
  switch (w->type) {
    case WT_TEXT:
      if (w->xsize > 0) XtVaSetValues(h, XmNcolumns, static_cast<short>(w->xsize), nullptr);
      if (w->ysize > 0) XtVaSetValues(h, XmNrows, static_cast<short>(w->ysize), nullptr);
      break;
    case WT_LIST:
      if (w->ysize > 0) XtVaSetValues(h, XmNvisibleItemCount, w->ysize, nullptr);
      break;
    case WT_SLIDER:
      if (w->xsize > 0 && !(w->flags & WF_VERTICAL)) XtVaSetValues(h, XmNscaleWidth, w->xsize, nullptr);
      if (w->ysize > 0 && (w->flags & WF_VERTICAL)) XtVaSetValues(h, XmNscaleHeight, w->ysize, nullptr);
      break;
    case WT_BASE: set_base_size(w, h); break;
    case WT_DRAW:
      // A scrolling drawing area keeps its size; XSIZE and YSIZE are the viewport's.
      if (!(w->flags & WF_DRAW_SCROLL)) {
        if (int n = size_arg_count(w)) XtSetValues(h, size_args, static_cast<Cardinal>(n));
      } else if (XtIsRealized(h)) {
        fit_scroller(w);
      } else {
        XtVaSetValues(scroller_of(w), XmNwidth, static_cast<Dimension>(std::max(w->xsize, 1)), XmNheight,
                      static_cast<Dimension>(std::max(w->ysize, 1)), nullptr);
      }
      break;
    default:
      if (int n = size_arg_count(w)) XtSetValues(h, size_args, static_cast<Cardinal>(n));
      break;
  }
}

void mw_set_size(WidgetRec* w) {
  Widget h = handle_of(w);
  if (!h) return;
  with_shell_resize(w, [&] { set_size(w, h); });
  // The graphics window of a drawing area takes its new size (and backing pixmap) now,
  // so that the next WSET and drawing see it.
  if (w->type == WT_DRAW && w->draw_index >= 0 && !(w->flags & WF_DRAW_SCROLL)) x_window_resized(w->draw_index);
  XFlush(x_state.display);
}

void mw_set_input_focus(WidgetRec* w) {
  Widget h = handle_of(w);
  if (!h) return;
  XmProcessTraversal(h, XmTRAVERSE_CURRENT);
  // That moves the focus inside the window; the keyboard comes to the window only when
  // the server's focus is there too (a window manager leaves it where the pointer is).
  Widget s = shell_of(w->top);
  XWindowAttributes a;
  if (s && XtIsRealized(s) && XGetWindowAttributes(x_state.display, XtWindow(s), &a) && a.map_state == IsViewable)
    XSetInputFocus(x_state.display, XtWindow(s), RevertToParent, CurrentTime);
  XFlush(x_state.display);
}

Cursor watch = 0;
void hourglass_on(WidgetRec* w, bool on) {
  Widget s = shell_of(w);
  if (!s || !XtIsRealized(s)) return;
  if (on)
    XDefineCursor(x_state.display, XtWindow(s), watch);
  else
    XUndefineCursor(x_state.display, XtWindow(s));
}
void mw_hourglass(bool on) {
  if (!x_state.display) return;
  if (on && !watch) watch = XCreateFontCursor(x_state.display, XC_watch);
  for (WidgetRec* t : widget_top_bases()) hourglass_on(t, on);
  XFlush(x_state.display);
}

void timer_fired(XtPointer data, XtIntervalId*) {
  WidgetRec* w = rec_of(data);
  if (!w) return;
  new_widget_event_rec(w, false, EV_TIMER);
  widget_event_arrived(w);
}
void mw_add_timer(WidgetRec* w, double seconds) {
  auto ms = static_cast<unsigned long>(std::max(0.0, seconds) * 1000.0 + 0.5);
  XtAppAddTimeOut(x_state.app, ms, timer_fired, id_data(w));
}

bool mw_get_resource(WidgetRec* w, const char* name, std::string* out) {
  if (!x_state.display) return false;
  // Names run from the application down the widget's own path; the class of each part is
  // its name with a capital.
  std::string iname = "vek", cname = "Vek";
  if (w && handle_of(w)) {
    std::vector<Widget> path;
    for (Widget h = handle_of(w); h; h = XtParent(h)) path.push_back(h);
    iname.clear();
    cname.clear();
    for (auto it = path.rbegin(); it != path.rend(); ++it) {
      if (!iname.empty()) {
        iname += '.';
        cname += '.';
      }
      iname += XtName(*it);
      std::string part = XtName(*it);
      if (!part.empty()) part[0] = static_cast<char>(toupper(static_cast<unsigned char>(part[0])));
      cname += part;
    }
  }
  std::string cls = name;
  if (!cls.empty()) cls[0] = static_cast<char>(toupper(static_cast<unsigned char>(cls[0])));
  iname += std::string(".") + name;
  cname += "." + cls;
  char* type = nullptr;
  XrmValue v{};
  if (!XrmGetResource(XtDatabase(x_state.display), iname.c_str(), cname.c_str(), &type, &v) || !v.addr) return false;
  out->assign(v.addr, v.size > 0 && v.addr[v.size - 1] == '\0' ? v.size - 1 : v.size);
  return true;
}

void mw_set_resource(const char* line) {
  if (!x_state.display) return;
  XrmDatabase db = XtDatabase(x_state.display);
  XrmPutLineResource(&db, line);
}

int mw_draw_window(WidgetRec* w) { return w->draw_index; }

void mw_set_button(WidgetRec* w, bool on) {
  Widget h = handle_of(w);
  if (!h) return;
  if (on && in_exclusive_base(w)) clear_siblings(w, false);
  set_toggle(w, on);
  XFlush(x_state.display);
}

void mw_wait() { x_wait_for_event(); }
void mw_drain() { x_drain_events(); }

}  // namespace

const ToolkitOps motif_ops = {
    mw_lock,      mw_unlock,       mw_open,        mw_create,           mw_realize,   mw_map,
    mw_destroy,   mw_set_sensitive, mw_set_value,  mw_get_text,         mw_set_slider_range,
    mw_set_title, mw_set_list,     mw_set_list_select, mw_get_list_select, mw_get_list_top,
    mw_set_list_top, mw_get_list_visible, mw_get_text_select, mw_set_text_select, mw_get_text_top_line,
    mw_set_text_top_line, mw_set_editable, mw_get_tlb_offset, mw_get_tlb_size, mw_set_tlb_offset,
    mw_iconify,   mw_set_size,     mw_set_input_focus, mw_hourglass,    mw_add_timer, mw_get_resource,
    mw_set_resource, mw_draw_window, mw_set_button, mw_get_draw_view, mw_set_draw_view, mw_wait, mw_drain,
};
