// Storage of the graphics state seen by the system variables !P, !X, !Y, !Z, !D, !MAP
// and !MOUSE: the C layout of each record, field for field in the order of its
// structure's tags (the system-variable start-up checks that the two layouts agree),
// followed by the fields the language never sees. Relies only on the value model.
#pragma once

#include <cstdint>

#include "values/variable.h"

struct DeviceRecord;

// !P, structure !PLT.
struct PlotCom {
  int32_t background;
  float charsize;
  float charthick;
  int32_t clip[6];
  int32_t color;
  int32_t font;
  int32_t linestyle;
  int32_t multi[5];
  int32_t noclip;
  int32_t noerase;
  int32_t nsum;
  float position[4];
  int32_t psym;
  float region[4];
  StringDesc subtitle;
  float symsize;
  float t[4][4];
  int32_t t3d;
  float thick;
  StringDesc title;
  float ticklen;
  int32_t channel;
  DeviceRecord* device;  // the current device (not a tag)
};

// !X, !Y, !Z, structure !AXIS.
struct AxisRec {
  StringDesc title;
  int32_t type;
  int32_t style;
  int32_t ticks;
  float ticklen;
  float thick;
  float range[2];
  float crange[2];
  float s[2];
  float margin[2];
  float omargin[2];
  float window[2];
  float region[2];
  float charsize;
  int32_t minor;
  float tickv[30];
  StringDesc tickname[30];
  int32_t gridstyle;
  StringDesc tickformat;
  Variable* tick_get;  // XTICK_GET and the like of the current call (not a tag)
};

// !D, structure !DEVICE: the leading fields of every device's record.
struct DeviceFields {
  StringDesc name;
  int32_t x_size, y_size;
  int32_t x_vsize, y_vsize;
  int32_t x_ch_size, y_ch_size;
  float x_px_cm, y_px_cm;
  int32_t n_colors;
  int32_t table_size;
  int32_t fill_dist;
  int32_t window;
  int32_t unit;
  int32_t flags;
  int32_t origin[2];
  int32_t zoom[2];
};

// !MAP, structure !MAP.
struct MapRec {
  int32_t projection;
  float phioc, p0lat, sino, coso, sinr, cosr;
  float sat[6];
  float out[12];
};

// !MOUSE, structure !MOUSE.
struct MouseRec {
  int32_t x, y, button, time;
};

extern PlotCom plot_com;
extern AxisRec xaxis, yaxis, zaxis;
extern MapRec map_p;
extern MouseRec mouse_rec;
// What !D shows until a graphics device is selected.
extern DeviceFields no_device;
