// The per-call state of the plotting routines: the working copies of !P, !X, !Y, !Z that
// keywords write into, the plot state `ps`, the shared keyword table `plot_pars` of PLOT,
// OPLOT and AXIS, the start and end of a call, and the layout of the plot window on the
// page. Relies on the graphics core (device.h).
#pragma once

#include <cstdint>

#include "graphics/device.h"

constexpr int32_t PS_NOERASE = 1;
constexpr int32_t PS_POLAR = 2;
constexpr int32_t PS_NODATA = 8;

// Routines of plot_pars.
constexpr int PP_PLOT = 1;
constexpr int PP_SURFACE = 2;
constexpr int PP_CONTOUR = 4;
constexpr int PP_AXIS = 8;
constexpr int PP_OPLOT = 16;

constexpr int TICK_LABEL_CHARS = 24;  // one label buffer entry (23 characters and the NUL)

struct PlotState {
  int32_t flags;                     // PS_NOERASE, PS_POLAR, PS_NODATA
  float zvalue;
  float ch_size[3];                  // character cell in NORMAL units
  GraphAttr attr;                    // for drawing axes
  int32_t pos_given;
  int32_t zvalue_given;
  float position[6];
  int32_t n_position;                // valid POSITION values (4 or 6)
  char tick_labels[3][30][TICK_LABEL_CHARS];
  // The remaining keywords of plot_pars.
  int32_t coord_bits;                // DATA 1, DEVICE 2, NORMAL 4
  int32_t noclip, noclip_given;
  int32_t clip_given;
  float clip[6];
  int32_t axis_pos[3], axis_pos_given[3];     // XAXIS, YAXIS, ZAXIS
  int32_t type_kw[3], type_given[3];          // XTYPE, YTYPE, ZTYPE
  int32_t ynozero, ynozero_given;
  float max_value;
  int32_t max_value_given;
  int32_t save;
};

extern PlotState ps;
extern PlotCom p_com;
extern AxisRec xax, yax, zax;
extern AxisRec* const to_axis[3];   // !X, !Y, !Z
extern AxisRec* const axis_ptr[3];  // their working copies

// The keyword table shared by PLOT, OPLOT and AXIS (and the routines of surfaces and
// contours, whose options are only stored), in name order.
const KwEntry* plot_pars();

// The coordinate system the call's DATA, DEVICE or NORMAL keyword chose.
int call_coord_system();

// Mode 0: start of a call (is_plot: PLOT itself, which chooses its axis types anew);
// mode 1: after keyword decoding; mode 2: end of the call, scaling saved to !X, !Y, !Z.
void init_plot_vars(int mode, bool is_plot);
// Lays out the plot window of the current call: page erase, multiple plots, margins,
// POSITION and REGION; writes !P.MULTI[0] and !P.CLIP.
void set_plot_window();

// Decodes a call's keywords against plot_pars for the routine mask, between mode 0 and
// mode 1; returns the number of positional arguments.
int decode_plot_keywords(int argc, Variable* argv[], KwNames argk, Variable* positional[], int mask);
