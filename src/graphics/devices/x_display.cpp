// Opening the display and servicing its events.
#include "graphics/devices/x_display.h"

#include <X11/Shell.h>
#include <X11/StringDefs.h>

#include <cstdlib>

#include "base/message.h"

XDisplayState x_state;

namespace {
// The toolkit wants argc/argv it may edit; the session's options are parsed elsewhere.
int fake_argc = 1;
char fake_name[] = "vek";
char* fake_argv[] = {fake_name, nullptr};
}  // namespace

bool x_init(int argc, char** argv, int action) {
  if (x_state.display) return true;
  if (!argv || argc <= 0) {
    argc = fake_argc;
    argv = fake_argv;
  }
  XtToolkitInitialize();
  XtAppContext app = XtCreateApplicationContext();
  Display* d = XtOpenDisplay(app, nullptr, "vek", "Vek", nullptr, 0, &argc, argv);
  if (!d) {
    XtDestroyApplicationContext(app);
    const char* name = getenv("DISPLAY");
    message(M_NO_DISPLAY, 0, action, name ? name : "");
    return false;
  }
  x_state.display = d;
  x_state.app = app;
  x_state.screen = DefaultScreen(d);
  x_state.visual = DefaultVisual(d, x_state.screen);
  x_state.visual_class = x_state.visual->c_class;
  x_state.depth = DefaultDepth(d, x_state.screen);
  x_state.colormap = DefaultColormap(d, x_state.screen);
  x_state.shell = XtVaAppCreateShell("vek", "Vek", applicationShellWidgetClass, d, XtNmappedWhenManaged, False,
                                     nullptr);
  return true;
}

int x_get_connect_fd() { return x_state.display ? ConnectionNumber(x_state.display) : -1; }

void x_drain_events() {
  if (!x_state.app) return;
  while (XtAppPending(x_state.app)) XtAppProcessEvent(x_state.app, XtIMAll);
}
