// The PostScript driver: document-structured PostScript files, optionally encapsulated.
#include "graphics/device.h"

DeviceRecord ps_device = [] {
  DeviceRecord d{};
  d.name = StringDesc{2, 0, const_cast<char*>("PS")};
  d.x_size = d.x_vsize = 17780;
  d.y_size = d.y_vsize = 12700;
  d.x_ch_size = 222;
  d.y_ch_size = 352;
  d.x_px_cm = d.y_px_cm = 1000.0f;
  d.n_colors = d.table_size = 256;
  d.fill_dist = 1;
  d.window = -1;
  d.flags = 4663;
  d.zoom[0] = d.zoom[1] = 1;
  d.aspect = 17780.0f / 12700.0f;
  return d;
}();
