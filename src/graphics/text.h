// Graphic text: the one entry every caller uses (graph_text), line breaks at "!C", the
// choice between vector (Hershey) and device fonts, vector text drawn through the line
// drawer, and XYOUTS. Relies on the graphics core and the Hershey fonts (hershey.h).
#pragma once

#include "graphics/device.h"

// Draws a string of graphic text at point p (in coord_system) and returns the width of
// its widest line in NORMAL x units. A negative text size only measures.
float graph_text(const GPoint& p, int coord_system, GraphAttr& attr, const TextAttr& text, const char* s, int length);

// The XYOUTS procedure and its registration with the other text routines.
void register_text_routines();
