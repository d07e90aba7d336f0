#include "graphics/graph_state.h"

// Defaults that hold before any device is selected: vector fonts, the standard tick
// length and the axis margins in character units.
PlotCom plot_com = [] {
  PlotCom p{};
  p.font = -1;
  p.ticklen = 0.02f;
  return p;
}();

AxisRec xaxis = [] {
  AxisRec a{};
  a.margin[0] = 10.0f;
  a.margin[1] = 3.0f;
  return a;
}();

AxisRec yaxis = [] {
  AxisRec a{};
  a.margin[0] = 4.0f;
  a.margin[1] = 2.0f;
  return a;
}();

AxisRec zaxis{};
MapRec map_p{};
MouseRec mouse_rec{};

DeviceFields no_device = [] {
  DeviceFields d{};
  d.window = -1;
  return d;
}();
