#include "graphics/device.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "base/message.h"
#include "base/process.h"
#include "graphics/map.h"
#include "lib/sysvars.h"

namespace {

void null_draw(const DevPoint*, const DevPoint*, GraphAttr*) {}
void null_erase(GraphAttr*) {}

}  // namespace

DeviceRecord make_device_record(const char* name, int xs, int ys, int xch, int ych, float px_cm, int n_colors,
                                int fill_dist, int flags) {
  DeviceRecord d{};
  d.name = StringDesc{static_cast<uint16_t>(strlen(name)), 0, const_cast<char*>(name)};
  d.x_size = d.x_vsize = xs;
  d.y_size = d.y_vsize = ys;
  d.x_ch_size = xch;
  d.y_ch_size = ych;
  d.x_px_cm = d.y_px_cm = px_cm;
  d.n_colors = d.table_size = n_colors;
  d.fill_dist = fill_dist;
  d.window = -1;
  d.flags = flags;
  d.zoom[0] = d.zoom[1] = 1;
  d.aspect = static_cast<float>(xs) / static_cast<float>(ys);
  return d;
}

// The records of the drivers that have no operations in this build keep their
// static values: they can be selected, and every operation reports the missing slot.
DeviceRecord regis_device = make_device_record("REGIS", 768, 480, 10, 18, 20.0f, 16, 1, 122);
DeviceRecord lj_device = make_device_record("LJ", 1260, 900, 15, 25, 70.8661f, 2, 1, 1596);
DeviceRecord tek_device = make_device_record("TEK", 4096, 3129, 51, 88, 13.0f, 2, 4, 80);
DeviceRecord hp_device = make_device_record("HP", 7112, 5080, 88, 141, 400.0f, 9, 6, 8722);
DeviceRecord z_device = make_device_record("Z", 640, 480, 8, 12, 26.0f, 256, 1, 152764);
DeviceRecord pcl_device = make_device_record("PCL", 2100, 1500, 26, 42, 118.11f, 2, 1, 1068);
DeviceRecord cgm_device = make_device_record("CGM", 32768, 32768, 546, 728, 678.0f, 256, 1, 63);
DeviceRecord null_device = [] {
  DeviceRecord d = make_device_record("NULL", 1000, 1000, 8, 13, 13.0f, 256, 1, 16);
  d.draw = null_draw;
  d.erase = null_erase;
  return d;
}();

namespace {
// Holders of the places of the drivers above this folder: a name and nothing else, never
// selected, replaced by the driver itself at install.
DeviceRecord empty_slot(const char* name) {
  DeviceRecord d{};
  d.name = StringDesc{static_cast<uint16_t>(strlen(name)), 0, const_cast<char*>(name)};
  d.window = -1;
  return d;
}
DeviceRecord empty_slots[] = {empty_slot("X"), empty_slot("PS")};

bool is_empty_slot(const DeviceRecord* d) {
  for (const DeviceRecord& e : empty_slots)
    if (d == &e) return true;
  return false;
}
}  // namespace

DeviceRecord* dev_list[] = {&empty_slots[0], &regis_device, &lj_device,  &tek_device,  &hp_device, &empty_slots[1],
                            &z_device,       &pcl_device,   &cgm_device, &null_device, nullptr};
DeviceRecord* default_device = nullptr;

uint8_t color_map[3][256];

namespace {
VoidOp remembered_inter_exit = nullptr;
SysVar* d_sysvar = nullptr;

int compare_names(const DeviceRecord* a, const DeviceRecord* b) {
  return strcmp(a->name.chars ? a->name.chars : "", b->name.chars ? b->name.chars : "");
}
}  // namespace

DeviceRecord& need_device() {
  if (!plot_com.device) message(M_NO_DEVICE, 0, MSG_LONGJMP);
  return *plot_com.device;
}

void no_device_slot() {
  message_error(M_NO_SLOT, 0, MSG_LONGJMP);
}

void attr_setup(PlotCom& p, GraphAttr& attr) {
  attr.color = p.color;
  attr.thick = p.thick;
  attr.linestyle = p.linestyle;
  attr.t3d = p.t3d ? p.t : nullptr;
  attr.clip = p.noclip ? nullptr : p.clip;
  attr.xaxis = &xaxis;
  attr.yaxis = &yaxis;
  attr.zaxis = &zaxis;
  attr.channel = p.channel;
}

void check_graphics_inited() {
  DeviceRecord* d = cur_dev();
  remembered_inter_exit = d ? d->inter_exit : nullptr;
}

void inter_exit(int keep) {
  VoidOp op = remembered_inter_exit;
  if (!keep) remembered_inter_exit = nullptr;
  if (op) op();
}

bool install_device(DeviceRecord& driver) {
  const char* name = driver.name.chars ? driver.name.chars : "";
  for (DeviceRecord** d = dev_list; *d; d++) {
    if (*d == &driver) return true;
    if (is_empty_slot(*d) && strcmp((*d)->name.chars, name) == 0) {
      *d = &driver;
      return true;
    }
  }
  return false;
}

DeviceRecord* find_device(const char* name) {
  for (DeviceRecord** d = dev_list; *d; d++)
    if (!is_empty_slot(*d) && (*d)->name.chars && strcasecmp((*d)->name.chars, name) == 0) return *d;
  return nullptr;
}

int select_device(const char* name) {
  DeviceRecord* found = find_device(name);
  if (!found) return 0;
  plot_com.device = found;
  if (!d_sysvar) d_sysvar = find_sysvar("!D");
  if (d_sysvar) d_sysvar->data = static_cast<DeviceFields*>(found);
  if (found->flags & DF_DARK_ON_LIGHT) {
    plot_com.background = found->n_colors - 1;
    plot_com.color = 0;
  } else {
    plot_com.color = found->n_colors - 1;
    plot_com.background = 0;
  }
  found->aspect = found->y_vsize ? static_cast<float>(found->x_vsize) / static_cast<float>(found->y_vsize) : 1.0f;
  plot_com.clip[0] = plot_com.clip[1] = 0;
  plot_com.clip[2] = found->x_vsize - 1;
  plot_com.clip[3] = found->y_vsize - 1;
  return 1;
}

void init_graphics() {
  static bool done = false;
  if (done) return;
  done = true;
  for (int plane = 0; plane < 3; plane++)
    for (int i = 0; i < 256; i++) color_map[plane][i] = static_cast<uint8_t>(i);
  for (DeviceRecord** d = dev_list; *d; d++)
    if ((*d)->init) (*d)->init();
  default_device = nullptr;
  for (DeviceRecord** d = dev_list; *d && !default_device; d++)
    if (!is_empty_slot(*d)) default_device = *d;
  int count = 0;
  while (dev_list[count]) count++;
  for (int i = 0; i < count; i++)
    for (int j = i + 1; j < count; j++)
      if (compare_names(dev_list[i], dev_list[j]) > 0) std::swap(dev_list[i], dev_list[j]);
  char var[64];
  snprintf(var, sizeof var, "%s_DEVICE", program_name);
  const char* env = getenv(var);
  bool selected = false;
  if (env && *env) {
    selected = select_device(env);
    if (!selected) message(M_DEVICE_NOT_AVAILABLE, 0, MSG_INFO, env);
  }
  if (!selected && default_device) select_device(default_device->name.chars);
  xaxis.margin[0] = 10.0f;
  xaxis.margin[1] = 3.0f;
  yaxis.margin[0] = 4.0f;
  yaxis.margin[1] = 2.0f;
  plot_com.ticklen = 0.02f;
  plot_com.font = -1;
}

// ---- Coordinates ----------------------------------------------------------------------

namespace {

// A logarithmic axis takes the logarithm; a non-positive value goes to the low end of the
// range and makes the point invalid.
float data_to_normal(float v, const AxisRec& a, bool& valid) {
  if (a.type == 1) {
    if (std::isgreater(v, 0.0f)) {  // quiet for NaN
      v = log10f(v);
    } else {
      v = a.crange[0];
      valid = false;
    }
  }
  float r = a.s[0] + a.s[1] * v;
  if (!std::isfinite(r)) {
    r = 0;
    valid = false;
  }
  return r;
}

float normal_to_data(float v, const AxisRec& a) {
  float r = (v - a.s[0]) / a.s[1];
  if (a.type == 1) r = expf(r * 2.302585093f);
  return r;
}

}  // namespace

// Whole device units, limited so that the integer conversion is always defined.
float trunc_device(float v) {
  if (!std::isgreater(v, -1.0e9f)) return -1.0e9f;  // NaN too, quietly
  if (v > 1.0e9f) return 1.0e9f;
  return std::trunc(v);
}

int convert_coord(const GPoint& in, int from, GPoint& out, int to, const GraphAttr& attr) {
  GPoint p = in;
  bool valid = true;
  if (from == DEVICE_INT) from = COORD_DEVICE;
  if (from == to || (from == COORD_DEVICE && to == COORD_DEVICE)) {
    out = p;
    return 1;
  }
  DeviceRecord& dev = need_device();
  float xv = static_cast<float>(dev.x_vsize), yv = static_cast<float>(dev.y_vsize);
  bool to_device = to == COORD_DEVICE || to == DEVICE_INT;
  if (from == COORD_DEVICE) {
    if (to == DEVICE_INT) {
      p.x = trunc_device(p.x);
      p.y = trunc_device(p.y);
      out = p;
      return 1;
    }
    p.x /= xv;
    p.y /= yv;
    from = COORD_NORMAL;
  }
  if (from == COORD_DATA) {
    if (!attr.xaxis || !attr.yaxis || attr.xaxis->s[1] == 0 || attr.yaxis->s[1] == 0)
      message(M_NO_DATA_SYSTEM, 0, MSG_LONGJMP);
    if (attr.xaxis->type == 2) {
      GPoint m;
      if (!map_coord(p, m)) {
        out = p;
        return 0;
      }
      p.x = m.x;
      p.y = m.y;
    }
    p.x = data_to_normal(p.x, *attr.xaxis, valid);
    p.y = data_to_normal(p.y, *attr.yaxis, valid);
    if (attr.t3d && attr.zaxis) p.z = data_to_normal(p.z, *attr.zaxis, valid);
    from = COORD_NORMAL;
  }
  // NORMAL here.
  if (to == COORD_NORMAL) {
    out = p;
    return valid ? 1 : 0;
  }
  if (to == COORD_DATA) {
    if (!attr.xaxis || !attr.yaxis || attr.xaxis->s[1] == 0 || attr.yaxis->s[1] == 0)
      message(M_NO_DATA_SYSTEM, 0, MSG_LONGJMP);
    p.x = normal_to_data(p.x, *attr.xaxis);
    p.y = normal_to_data(p.y, *attr.yaxis);
    if (attr.xaxis->type == 2 && !map_coord_inverse(p.x, p.y)) valid = false;
    if (attr.t3d && attr.zaxis && attr.zaxis->s[1] != 0) p.z = normal_to_data(p.z, *attr.zaxis);
    out = p;
    return valid ? 1 : 0;
  }
  if (to_device) {
    if (attr.t3d) {
      float v[4];
      for (int r = 0; r < 4; r++)
        v[r] = attr.t3d[r][0] * p.x + attr.t3d[r][1] * p.y + attr.t3d[r][2] * p.z + attr.t3d[r][3];
      if (v[3] == 0) message(M_BAD_3D, 0, MSG_LONGJMP);
      p.x = v[0] * xv;
      p.y = v[1] * yv;
      p.z = v[2];
      if (v[3] != 1) {
        p.x /= v[3];
        p.y /= v[3];
        p.z /= v[3];
      }
    } else {
      p.x *= xv;
      p.y *= yv;
    }
    if (to == DEVICE_INT) {
      p.x = trunc_device(p.x);
      p.y = trunc_device(p.y);
    }
  }
  out = p;
  return valid ? 1 : 0;
}

int convert_coords(const float* in, int from, float* out, int to, int n, const GraphAttr& attr) {
  int ok = 1;
  for (int i = 0; i < n; i++) {
    GPoint p{in[3 * i], in[3 * i + 1], in[3 * i + 2], 0};
    ok &= convert_coord(p, from, p, to, attr);
    out[3 * i] = p.x;
    out[3 * i + 1] = p.y;
    out[3 * i + 2] = p.z;
  }
  return ok;
}

// ---- Clipping -------------------------------------------------------------------------

namespace {
int outcode(const DevPoint& p, const int32_t* box) {
  int c = 0;
  if (p.x < box[0])
    c = 8;
  else if (p.x > box[2])
    c = 4;
  if (p.y < box[1])
    c |= 2;
  else if (p.y > box[3])
    c |= 1;
  return c;
}
}  // namespace

int clip_rectangle(const DevPoint** p0, const DevPoint** p1, const int32_t* box) {
  static DevPoint copy[2];
  bool copied = false;
  for (;;) {
    int c0 = outcode(**p0, box), c1 = outcode(**p1, box);
    if (c0 & c1) return 0;
    if ((c0 | c1) == 0) return 1;
    if (!copied) {
      copy[0] = **p0;
      copy[1] = **p1;
      *p0 = &copy[0];
      *p1 = &copy[1];
      copied = true;
    }
    DevPoint& a = c0 ? copy[0] : copy[1];
    const DevPoint& b = c0 ? copy[1] : copy[0];
    int c = c0 ? c0 : c1;
    float ax = static_cast<float>(a.x), ay = static_cast<float>(a.y);
    float bx = static_cast<float>(b.x), by = static_cast<float>(b.y);
    if (c & 1) {
      a.x = static_cast<int32_t>(ax + (static_cast<float>(box[3]) - ay) * (bx - ax) / (by - ay));
      a.y = box[3];
    } else if (c & 2) {
      a.x = static_cast<int32_t>(ax + (static_cast<float>(box[1]) - ay) * (bx - ax) / (by - ay));
      a.y = box[1];
    } else if (c & 4) {
      a.y = static_cast<int32_t>(ay + (static_cast<float>(box[2]) - ax) * (by - ay) / (bx - ax));
      a.x = box[2];
    } else {
      a.y = static_cast<int32_t>(ay + (static_cast<float>(box[0]) - ax) * (by - ay) / (bx - ax));
      a.x = box[0];
    }
  }
}

void clip_polygon(std::vector<int32_t>& x, std::vector<int32_t>& y, const int32_t* box) {
  std::vector<int32_t> ox, oy;
  // Edges: 0 left (x >= x0), 1 right (x <= x1), 2 bottom (y >= y0), 3 top (y <= y1).
  for (int edge = 0; edge < 4 && !x.empty(); edge++) {
    auto inside = [&](int32_t px, int32_t py) {
      switch (edge) {
        case 0: return px >= box[0];
        case 1: return px <= box[2];
        case 2: return py >= box[1];
        default: return py <= box[3];
      }
    };
    auto cross = [&](int32_t ax, int32_t ay, int32_t bx, int32_t by) {
      double fax = ax, fay = ay, fbx = bx, fby = by;
      switch (edge) {
        case 0: return std::pair<int32_t, int32_t>(box[0], static_cast<int32_t>(fay + (box[0] - fax) * (fby - fay) / (fbx - fax)));
        case 1: return std::pair<int32_t, int32_t>(box[2], static_cast<int32_t>(fay + (box[2] - fax) * (fby - fay) / (fbx - fax)));
        case 2: return std::pair<int32_t, int32_t>(static_cast<int32_t>(fax + (box[1] - fay) * (fbx - fax) / (fby - fay)), box[1]);
        default: return std::pair<int32_t, int32_t>(static_cast<int32_t>(fax + (box[3] - fay) * (fbx - fax) / (fby - fay)), box[3]);
      }
    };
    ox.clear();
    oy.clear();
    size_t n = x.size();
    for (size_t i = 0; i < n; i++) {
      size_t j = (i + n - 1) % n;  // previous vertex
      bool in_i = inside(x[i], y[i]), in_j = inside(x[j], y[j]);
      if (in_i) {
        if (!in_j) {
          auto c = cross(x[j], y[j], x[i], y[i]);
          ox.push_back(c.first);
          oy.push_back(c.second);
        }
        ox.push_back(x[i]);
        oy.push_back(y[i]);
      } else if (in_j) {
        auto c = cross(x[j], y[j], x[i], y[i]);
        ox.push_back(c.first);
        oy.push_back(c.second);
      }
    }
    x.swap(ox);
    y.swap(oy);
  }
}

void setup_clipping(int noclip, int clip_given, const float clip_values[6], int coord_system, GraphAttr& attr) {
  static int32_t box[6];
  if (noclip) {
    attr.clip = nullptr;
    return;
  }
  if (!clip_given) return;
  GPoint a{clip_values[0], clip_values[1], clip_values[4], 0};
  GPoint b{clip_values[2], clip_values[3], clip_values[5], 0};
  convert_coord(a, coord_system, a, DEVICE_INT, attr);
  convert_coord(b, coord_system, b, DEVICE_INT, attr);
  box[0] = static_cast<int32_t>(trunc_device(a.x));
  box[1] = static_cast<int32_t>(trunc_device(a.y));
  box[2] = static_cast<int32_t>(trunc_device(b.x));
  box[3] = static_cast<int32_t>(trunc_device(b.y));
  box[4] = static_cast<int32_t>(trunc_device(a.z));
  box[5] = static_cast<int32_t>(trunc_device(b.z));
  attr.clip = box;
}

void draw_vector(const GPoint& p0, const GPoint& p1, GraphAttr& attr, int coord_system) {
  DeviceRecord& dev = need_device();
  GPoint a = p0, b = p1;
  if (coord_system == COORD_DATA && attr.xaxis && attr.xaxis->type == 2) {
    // Along a map: projected, and split where the segment leaves the map at its edge.
    GPoint first[2];
    int pieces = convert_map_vector(p0, p1, a, b, first, attr);
    if (pieces == 0) return;
    if (pieces == 2) draw_vector(first[0], first[1], attr, COORD_NORMAL);
    draw_vector(a, b, attr, COORD_NORMAL);
    return;
  }
  if (coord_system != DEVICE_INT) {
    if (!convert_coord(p0, coord_system, a, DEVICE_INT, attr)) return;
    if (!convert_coord(p1, coord_system, b, DEVICE_INT, attr)) return;
  }
  DevPoint da{static_cast<int32_t>(trunc_device(a.x)), static_cast<int32_t>(trunc_device(a.y)),
              static_cast<int32_t>(trunc_device(a.z))};
  DevPoint db{static_cast<int32_t>(trunc_device(b.x)), static_cast<int32_t>(trunc_device(b.y)),
              static_cast<int32_t>(trunc_device(b.z))};
  const DevPoint* pa = &da;
  const DevPoint* pb = &db;
  if (attr.clip && !clip_rectangle(&pa, &pb, attr.clip)) return;
  if (!dev.draw) no_device_slot();
  dev.draw(pa, pb, &attr);
}
