// The per-call working copies of the graphics state (p_com, xax, yax, zax and the plot
// state ps), their set-up and write-back around a plotting call, and the layout of the
// plot window on the page (multiple plots, margins, POSITION, REGION). Relies on the
// device layer for the current device and erasing.
#pragma once

#include <cstdint>

#include "graphics/device.h"

// Bits of PlotState::flags.
constexpr int32_t PS_NOERASE = 1;
constexpr int32_t PS_POLAR = 2;
constexpr int32_t PS_NODATA = 8;

struct PlotState {
  int32_t flags = 0;
  float zvalue = 0;
  float ch_size[3] = {0, 0, 0};  // character cell in NORMAL units (z always 0)
  GraphAttr attr;                // for drawing axes
  int32_t pos_given = 0;         // POSITION keyword given
  int32_t zvalue_given = 0;
  float position[6] = {0, 0, 0, 0, 0, 0};
  int32_t n_position = 0;        // valid POSITION values, 4 or 6
  char tick_labels[3][30][24] = {};
  int32_t coord_system = COORD_DATA;  // DATA, DEVICE, NORMAL keyword of the call
  int32_t clip_given = 0;
  float clip[6] = {0, 0, 0, 0, 0, 0};
  int32_t noclip = 0;
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
// Lays out the data window of the current call; may erase the page; sets !P.CLIP.
void set_plot_window();
