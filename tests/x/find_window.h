// Finds the window with the given title below w (depth first); 0 when none.
#pragma once

#include <X11/Xlib.h>

#include <cstring>

inline Window find_titled(Display* d, Window w, const char* title) {
  char* name = nullptr;
  if (XFetchName(d, w, &name) && name) {
    bool match = strcmp(name, title) == 0;
    XFree(name);
    if (match) return w;
  }
  Window root, parent, *children = nullptr;
  unsigned n = 0;
  if (!XQueryTree(d, w, &root, &parent, &children, &n)) return 0;
  Window found = 0;
  for (unsigned i = 0; i < n && !found; i++) found = find_titled(d, children[i], title);
  if (children) XFree(children);
  return found;
}
