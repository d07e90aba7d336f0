// The toolkit operation table on Motif: each widget type becomes one Xm widget on the
// shared X connection, and the Xm callbacks turn into queued widget events. Only this
// file knows Motif.
// The value headers first: Xlib defines names they use.
#include "widgets/toolkit.h"

#include <Xm/DrawingA.h>
#include <Xm/Label.h>
#include <Xm/List.h>
#include <Xm/PushB.h>
#include <Xm/RowColumn.h>
#include <Xm/Scale.h>
#include <Xm/Text.h>
#include <Xm/Xm.h>
#include <X11/Shell.h>

#include <cstdint>
#include <string>
#include <vector>

#include "graphics/devices/x_display.h"

namespace {

Widget handle_of(WidgetRec* w) { return static_cast<Widget>(w->handle); }
XtPointer id_data(WidgetRec* w) { return reinterpret_cast<XtPointer>(static_cast<intptr_t>(w->id)); }
// The record behind a callback; null once the widget is gone.
WidgetRec* rec_of(XtPointer data) {
  WidgetRec* w = widget_hash_find(static_cast<int32_t>(reinterpret_cast<intptr_t>(data)));
  return w && !(w->flags & WF_DYING) ? w : nullptr;
}

XmString xm_string(const std::string& s) { return XmStringCreateLocalized(const_cast<char*>(s.c_str())); }

void push_activate(Widget, XtPointer data, XtPointer) {
  WidgetRec* w = rec_of(data);
  if (!w) return;
  WidgetEvent* e = new_widget_event_rec(w, false, EV_BUTTON);
  e->value[0] = 1;  // SELECT
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
  WidgetEvent* e = new_widget_event_rec(w, type == 2, EV_DRAW);
  e->value[0] = type;
  e->value[1] = x;
  e->value[2] = static_cast<int>(h) - 1 - y;
  e->value[3] = press;
  e->value[4] = release;
  widget_event_arrived(w);
}

void mw_lock() { x_lock(); }
void mw_unlock() { x_unlock(); }

void mw_open() { x_init(0, nullptr, 2); }

Arg size_args[2];
int size_arg_count(WidgetRec* w) {
  int n = 0;
  if (w->xsize > 0) XtSetArg(size_args[n++], XmNwidth, static_cast<Dimension>(w->xsize));
  if (w->ysize > 0) XtSetArg(size_args[n++], XmNheight, static_cast<Dimension>(w->ysize));
  return n;
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
                                    XmNdepth, x_state.depth, nullptr);
      }
      made = XtVaCreateWidget("base", xmRowColumnWidgetClass, parent, XmNorientation,
                              (w->flags & WF_COLUMN) ? XmVERTICAL : XmHORIZONTAL, nullptr);
      if (w->xsize > 0 || w->ysize > 0) XtSetValues(made, size_args, static_cast<Cardinal>(size_arg_count(w)));
      break;
    }
    case WT_BUTTON: {
      XmString s = xm_string(w->value);
      made = XtVaCreateWidget("button", xmPushButtonWidgetClass, parent, XmNlabelString, s, nullptr);
      XmStringFree(s);
      XtAddCallback(made, XmNactivateCallback, push_activate, id_data(w));
      break;
    }
    case WT_LABEL: {
      XmString s = xm_string(w->value);
      made = XtVaCreateWidget("label", xmLabelWidgetClass, parent, XmNlabelString, s, nullptr);
      XmStringFree(s);
      break;
    }
    case WT_SLIDER: {
      made = XtVaCreateWidget("slider", xmScaleWidgetClass, parent, XmNminimum, w->slider_min, XmNmaximum,
                              w->slider_max, XmNvalue, w->slider_value, XmNshowValue, True, XmNorientation,
                              XmHORIZONTAL, XmNscaleWidth, w->xsize > 0 ? w->xsize : 200, nullptr);
      XtAddCallback(made, XmNvalueChangedCallback, scale_changed, id_data(w));
      XtAddCallback(made, XmNdragCallback, scale_changed, id_data(w));
      break;
    }
    case WT_TEXT: {
      made = XtVaCreateWidget("text", xmTextWidgetClass, parent, XmNvalue, w->value.c_str(), XmNeditable,
                              (w->flags & WF_EDITABLE) ? True : False, XmNcolumns, w->xsize > 0 ? w->xsize : 20,
                              nullptr);
      XtAddCallback(made, XmNactivateCallback, text_activate, id_data(w));
      XtAddCallback(made, XmNmodifyVerifyCallback, text_modify, id_data(w));
      break;
    }
    case WT_DRAW: {
      made = XtVaCreateWidget("draw", xmDrawingAreaWidgetClass, parent, XmNwidth,
                              static_cast<Dimension>(w->xsize > 0 ? w->xsize : 100), XmNheight,
                              static_cast<Dimension>(w->ysize > 0 ? w->ysize : 100), XmNresizePolicy, XmNONE,
                              nullptr);
      XtAddEventHandler(made, ButtonPressMask | ButtonReleaseMask | PointerMotionMask, False, draw_input,
                        id_data(w));
      break;
    }
    case WT_LIST: {
      made = XtVaCreateWidget("list", xmListWidgetClass, parent, XmNvisibleItemCount,
                              w->ysize > 0 ? w->ysize : 5, XmNselectionPolicy, XmSINGLE_SELECT, nullptr);
      XtAddCallback(made, XmNsingleSelectionCallback, list_select, id_data(w));
      XtAddCallback(made, XmNdefaultActionCallback, list_select, id_data(w));
      break;
    }
    default:
      return;  // stubs have no toolkit widget
  }
  w->handle = made;
  XtManageChild(made);
}

void mw_realize(WidgetRec* top) {
  Widget h = handle_of(top);
  if (!h) return;
  XtRealizeWidget(XtParent(h));
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

void mw_destroy(WidgetRec* w) {
  Widget h = handle_of(w);
  if (!h || !x_state.display) return;
  XtDestroyWidget(w->parent ? h : XtParent(h));
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

void mw_wait() { x_wait_for_event(); }
void mw_drain() { x_drain_events(); }

}  // namespace

const ToolkitOps motif_ops = {
    mw_lock,      mw_unlock,       mw_open,        mw_create,           mw_realize,   mw_map,
    mw_destroy,   mw_set_sensitive, mw_set_value,  mw_get_text,         mw_set_slider_range,
    mw_set_title, mw_set_list,     mw_set_list_select, mw_wait,         mw_drain,
};
