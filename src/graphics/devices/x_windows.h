// Graphics windows made by someone else on the shared connection: the widget toolkit's
// drawing areas become numbered windows of the X device, so WSET, PLOT and TV reach them.
#pragma once

// Enters the X window `id` as a FREE window (an index above 31) with the given retain
// mode (-1: the device's default), makes it current and returns its index.
int x_adopt_window(unsigned long id, int retain);
// The owner has resized window `index`: its record (and backing pixmap) take the size the
// server now gives the X window.
void x_window_resized(int index);
// Forgets a window entered by x_adopt_window; its X window stays its owner's.
void x_drop_window(int index);
