// The per-call working copies of the graphics state (p_com, xax, yax, zax and the plot
// state ps), the keyword table plot_pars that writes into them, their set-up and
// write-back around a plotting call, and the layout of the plot window on the page
// (multiple plots, margins, POSITION, REGION). Relies on the device layer for the
// current device and erasing.
#pragma once

#include <cstdint>

#include "graphics/device.h"

// Bits of PlotState::flags.
constexpr int32_t PS_NOERASE = 1;
constexpr int32_t PS_POLAR = 2;
constexpr int32_t PS_NODATA = 8;

// Routines of plot_pars (the keyword mask).
constexpr int PP_PLOT = 1;
constexpr int PP_SURFACE = 2;
constexpr int PP_CONTOUR = 4;
constexpr int PP_AXIS = 8;
constexpr int PP_OPLOT = 16;

constexpr int TICK_LABEL_CHARS = 24;  // one label buffer entry: 23 characters and the NUL

struct PlotState {
  int32_t flags = 0;
  float zvalue = 0;
  float ch_size[3] = {0, 0, 0};  // character cell in NORMAL units (z always 0)
  GraphAttr attr;                // for drawing axes
  int32_t pos_given = 0;         // POSITION keyword given
  int32_t zvalue_given = 0;
  float position[6] = {0, 0, 0, 0, 0, 0};
  int32_t n_position = 0;        // valid POSITION values, 4 or 6
  char tick_labels[3][30][TICK_LABEL_CHARS] = {};
  // The remaining keywords of plot_pars; each is read by the routine that owns it.
  int32_t coord_system = COORD_DATA;  // DATA, DEVICE, NORMAL keyword of the call
  int32_t clip_given = 0;
  float clip[6] = {0, 0, 0, 0, 0, 0};
  int32_t noclip = 0, noclip_given = 0;
  int32_t axis_pos[3] = {0, 0, 0}, axis_pos_given[3] = {0, 0, 0};  // XAXIS, YAXIS, ZAXIS
  int32_t type_kw[3] = {0, 0, 0}, type_given[3] = {0, 0, 0};      // XTYPE, YTYPE, ZTYPE
  int32_t ynozero = 0, ynozero_given = 0;
  float max_value = 0;  // the largest float unless MAX_VALUE is given
  int32_t save = 0;
};

extern PlotState ps;
extern PlotCom p_com;
extern AxisRec xax, yax, zax;
extern AxisRec* const to_axis[3];   // xaxis, yaxis, zaxis
extern AxisRec* const axis_ptr[3];  // xax, yax, zax

// 0: start of a call (working copies from the system variables; is_plot: also ZVALUE 0 and
// linear x and y), 1: after keyword decoding (ps.attr), 2: end of the call (scaling back
// into !X, !Y, !Z).
void init_plot_vars(int mode, int is_plot);
// The keyword table shared by PLOT, OPLOT and AXIS (and the surface and contour
// routines, whose options are only stored), in name order.
const KwEntry* plot_pars();
// Decodes a call's keywords against plot_pars for the routine mask, between modes 0 and
// 1; returns the number of positional arguments (copied to `positional`).
int decode_plot_keywords(int argc, Variable* argv[], KwNames argk, Variable* positional[], int mask);

// Lays out the data window of the current call; may erase the page; sets !P.CLIP.
void set_plot_window();
