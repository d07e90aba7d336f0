// The line-plot routines (PLOT, PLOT_IO, PLOT_OI, PLOT_OO, OPLOT, PLOTS, POLYFILL,
// USERSYM, CONVERT_COORD) and the plotting symbols. Relies on the plot state, axes and text.
#pragma once

#include "graphics/device.h"

// Draws plotting symbol psym (1..8) centred on point (in coord_system), half its size
// half in NORMAL x units.
void plot_symbol(const GPoint& point, int psym, float half, int coord_system, GraphAttr& attr);

// Registers the plotting routines and AXIS.
void register_plot_routines();
