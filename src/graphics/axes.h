// Axes: range rounding and tick choice, tick labels, drawing one axis in one of eight
// positions, the plot titles and the AXIS procedure. Works on the working axis records
// and the plot state of plot_window.h; draws through the line and text routines.
#pragma once

#include <string>
#include <vector>

#include "graphics/plot_window.h"

// The rounded range of an axis: start and end (logarithms on a logarithmic axis), the
// major interval (negative for a reversed range) and the suggested number of minor
// intervals (0: none suggested).
struct TickInterval {
  double start = 0, end = 0, interval = 0;
  int minor = 0;
};
TickInterval axis_interval(double lo, double hi, int n, bool ticks_given, bool log);

// Scales one working axis (index 0 x, 1 y, 2 z) from its CRANGE: TICKS, TICKV, MINOR,
// CRANGE, S and the labels. Errors -56 (number of ticks); warning -301.
void axis_scale(AxisRec& axis, int index);

// The label texts of tick values under the default rule (no TICKFORMAT); commands says
// whether the text may use "!" commands (vector fonts or a device that understands them).
std::vector<std::string> default_tick_labels(const std::vector<double>& values, bool log, bool commands);
// Fills the labels of the axis's ticks into the plot state's buffer and TICKNAME.
void format_ticks(AxisRec& axis, int index);

// Draws one axis at position code 0..7; without labels the opposite box axis (ticks only).
void draw_axis(AxisRec& axis, int code, bool with_labels);
// TITLE and SUBTITLE of the current call.
void do_title(bool three_d);

void register_axis_routines();
