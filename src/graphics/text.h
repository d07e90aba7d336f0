// Graphic text: the one entry every caller draws text through (titles, tick labels,
// XYOUTS). Breaks lines at "!C", chooses between vector (Hershey) text drawn as strokes
// through draw_vector and the device's own text operation, and lays vector text out in
// the plane of the text axes, so that a 3-D transformation applies to it. Also XYOUTS.
// Relies on the device layer and the Hershey font layout.
#pragma once

#include "graphics/device.h"

// Draws s[0 .. length) at p, given in coord_system (DATA, DEVICE or NORMAL), with the
// drawing attributes (colour, thickness, clipping, T) and text attributes of the call.
// Returns the width of the widest line in NORMAL x units. A negative size only measures.
float graph_text(const GPoint& p, int coord_system, GraphAttr& attr, const TextAttr& text, const char* s, int length);

// Registers XYOUTS (called by register_graphics).
void register_text_routines();
