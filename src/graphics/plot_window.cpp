#include "graphics/plot_window.h"

#include <algorithm>
#include <cfloat>
#include <cstring>
#include <vector>

PlotState ps;
PlotCom p_com;
AxisRec xax, yax, zax;
AxisRec* const to_axis[3] = {&xaxis, &yaxis, &zaxis};
AxisRec* const axis_ptr[3] = {&xax, &yax, &zax};

namespace {

constexpr uint16_t kFlag = KW_BITFLAG;
constexpr int P = PP_PLOT, S = PP_SURFACE, C = PP_CONTOUR, A = PP_AXIS, O = PP_OPLOT;
constexpr int kStored = S | C;  // options of routines that only store them here

// DATA 1, DEVICE 2, NORMAL 4: turned into ps.coord_system after decoding.
int32_t coord_bits;
// Options of surfaces and contours: accepted and kept, not used by the line plots.
Variable* option_sink;

KwArray clip_array{ps.clip, 4, 6, 0};
KwArray position_array{ps.position, 4, 6, 0};

struct AxisArrays {
  KwArray margin, range, tickname, tickv;
};
AxisArrays axis_arrays[3] = {
    {{xax.margin, 2, 2, 0}, {xax.range, 2, 2, 0}, {xax.tickname, 1, 30, 0}, {xax.tickv, 1, 30, 0}},
    {{yax.margin, 2, 2, 0}, {yax.range, 2, 2, 0}, {yax.tickname, 1, 30, 0}, {yax.tickv, 1, 30, 0}},
    {{zax.margin, 2, 2, 0}, {zax.range, 2, 2, 0}, {zax.tickname, 1, 30, 0}, {zax.tickv, 1, 30, 0}},
};
constexpr const char* kAxisSuffixes[14] = {"CHARSIZE", "GRIDSTYLE", "MARGIN", "MINOR",    "RANGE",
                                           "STYLE",    "THICK",     "TICKFORMAT", "TICKLEN", "TICKNAME",
                                           "TICKS",    "TICKV",     "TICK_GET", "TITLE"};
char axis_names[3][14][16];  // "X" + suffix and so on

std::vector<KwEntry> build_table() {
  std::vector<KwEntry> t;
  auto add = [&](const char* name, uint8_t type, int mask, uint16_t flags, int32_t* present, void* value) {
    t.push_back({name, type, static_cast<uint8_t>(mask), flags, present, value});
  };
  constexpr int all = P | S | C;
  add("BACKGROUND", TYP_LONG, all, 0, nullptr, &p_com.background);
  add("CHANNEL", TYP_LONG, all | A | O, 0, nullptr, &p_com.channel);
  add("CHARSIZE", TYP_FLOAT, all | A, 0, nullptr, &p_com.charsize);
  add("CHARTHICK", TYP_FLOAT, all | A, 0, nullptr, &p_com.charthick);
  add("CLIP", TYP_FLOAT, all | O, KW_ARRAY | KW_CLEAR, &ps.clip_given, &clip_array);
  add("COLOR", TYP_LONG, all | A | O, 0, nullptr, &p_com.color);
  add("DATA", 0, all | A, kFlag | KW_CLEAR | 1, nullptr, &coord_bits);
  add("DEVICE", 0, all | A, kFlag | KW_CLEAR | 2, nullptr, &coord_bits);
  add("FONT", TYP_LONG, all | A, 0, nullptr, &p_com.font);
  add("LINESTYLE", TYP_LONG, all | O, 0, nullptr, &p_com.linestyle);
  add("MAX_VALUE", TYP_FLOAT, all | O, 0, nullptr, &ps.max_value);
  add("NOCLIP", TYP_LONG, all | O, KW_CLEAR, &ps.noclip_given, &ps.noclip);
  add("NODATA", 0, all | A, kFlag | PS_NODATA, nullptr, &ps.flags);
  add("NOERASE", 0, all | A, kFlag | PS_NOERASE, nullptr, &ps.flags);
  add("NORMAL", 0, all | A, kFlag | KW_CLEAR | 4, nullptr, &coord_bits);
  add("NSUM", TYP_LONG, P | O, 0, nullptr, &p_com.nsum);
  add("POLAR", 0, P | O, kFlag | PS_POLAR, nullptr, &ps.flags);
  add("POSITION", TYP_FLOAT, all, KW_ARRAY | KW_CLEAR, &ps.pos_given, &position_array);
  add("PSYM", TYP_LONG, P | O, 0, nullptr, &p_com.psym);
  add("SAVE", 0, A | kStored, kFlag | KW_CLEAR | 1, nullptr, &ps.save);
  add("SUBTITLE", TYP_STRING, all | A, 0, nullptr, &p_com.subtitle);
  add("SYMSIZE", TYP_FLOAT, P | O, 0, nullptr, &p_com.symsize);
  add("T3D", TYP_LONG, all | A | O, 0, nullptr, &p_com.t3d);
  add("THICK", TYP_FLOAT, all | O, 0, nullptr, &p_com.thick);
  add("TICKLEN", TYP_FLOAT, all | A, 0, nullptr, &p_com.ticklen);
  add("TITLE", TYP_STRING, all, 0, nullptr, &p_com.title);
  add("YNOZERO", TYP_LONG, all | A, KW_CLEAR, &ps.ynozero_given, &ps.ynozero);
  add("ZVALUE", TYP_FLOAT, all | A | O, 0, &ps.zvalue_given, &ps.zvalue);
  const char letters[3] = {'X', 'Y', 'Z'};
  for (int a = 0; a < 3; a++) {
    AxisRec& ax = *axis_ptr[a];
    AxisArrays& arr = axis_arrays[a];
    char(*n)[16] = axis_names[a];
    for (int k = 0; k < 14; k++) {
      n[k][0] = letters[a];
      strncpy(n[k] + 1, kAxisSuffixes[k], 14);
    }
    int m = all | A;
    add(n[0], TYP_FLOAT, m, 0, nullptr, &ax.charsize);
    add(n[1], TYP_LONG, m, 0, nullptr, &ax.gridstyle);
    add(n[2], TYP_FLOAT, m, KW_ARRAY, nullptr, &arr.margin);
    add(n[3], TYP_LONG, m, 0, nullptr, &ax.minor);
    add(n[4], TYP_FLOAT, m, KW_ARRAY, nullptr, &arr.range);
    add(n[5], TYP_LONG, m, 0, nullptr, &ax.style);
    add(n[6], TYP_FLOAT, m, 0, nullptr, &ax.thick);
    add(n[7], TYP_STRING, m, 0, nullptr, &ax.tickformat);
    add(n[8], TYP_FLOAT, m, 0, nullptr, &ax.ticklen);
    add(n[9], TYP_STRING, m, KW_ARRAY, nullptr, &arr.tickname);
    add(n[10], TYP_LONG, m, 0, nullptr, &ax.ticks);
    add(n[11], TYP_FLOAT, m, KW_ARRAY, nullptr, &arr.tickv);
    add(n[12], 0, m, KW_OUTPUT, nullptr, &ax.tick_get);
    add(n[13], TYP_STRING, m, 0, nullptr, &ax.title);
  }
  add("XAXIS", TYP_LONG, A | kStored, KW_CLEAR, &ps.axis_pos_given[0], &ps.axis_pos[0]);
  add("YAXIS", TYP_LONG, A | kStored, KW_CLEAR, &ps.axis_pos_given[1], &ps.axis_pos[1]);
  add("ZAXIS", TYP_LONG, A | kStored, KW_CLEAR, &ps.axis_pos_given[2], &ps.axis_pos[2]);
  add("XTYPE", TYP_LONG, all | A, KW_CLEAR, &ps.type_given[0], &ps.type_kw[0]);
  add("YTYPE", TYP_LONG, all | A, KW_CLEAR, &ps.type_given[1], &ps.type_kw[1]);
  add("ZTYPE", TYP_LONG, A | kStored, KW_CLEAR, &ps.type_given[2], &ps.type_kw[2]);
  // Flag forms of XTYPE and YTYPE.
  add("XLOG", TYP_LONG, all | A, KW_CLEAR, &ps.type_given[0], &ps.type_kw[0]);
  add("YLOG", TYP_LONG, all | A, KW_CLEAR, &ps.type_given[1], &ps.type_kw[1]);
  for (const char* name : {"AX", "AZ", "BOTTOM", "CELL_FILL", "CLOSED", "C_ANNOTATION", "C_CHARSIZE", "C_COLORS",
                           "C_LABELS", "C_LINESTYLE", "C_ORIENTATION", "C_SPACING", "C_THICK", "DOWNHILL", "FILL",
                           "FOLLOW", "HORIZONTAL", "IMAGE", "LEGO", "LEVELS", "LOWER_ONLY", "NLEVELS", "OVERPLOT",
                           "PATH_FILENAME", "PATH_INFO", "PATH_XY", "PIXELS", "SHADES", "SKIRT", "SPLINE",
                           "TRIANGULATION", "UPPER_ONLY"})
    add(name, 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink);
  std::sort(t.begin(), t.end(), [](const KwEntry& a, const KwEntry& b) { return strcmp(a.name, b.name) < 0; });
  t.push_back({nullptr, 0, 0, 0, nullptr, nullptr});
  return t;
}

}  // namespace

const KwEntry* plot_pars() {
  static const std::vector<KwEntry> table = build_table();
  return table.data();
}

int decode_plot_keywords(int argc, Variable* argv[], KwNames argk, Variable* positional[], int mask) {
  int n = get_kw_params(argc, argv, argk, plot_pars(), positional, mask);
  ps.n_position = ps.pos_given ? position_array.count : 0;
  ps.coord_system = (coord_bits & 2) ? COORD_DEVICE : (coord_bits & 4) ? COORD_NORMAL : COORD_DATA;
  return n;
}

void init_plot_vars(int mode, int is_plot) {
  switch (mode) {
    case 0:
      p_com = plot_com;
      ps.flags = plot_com.noerase ? PS_NOERASE : 0;
      for (int a = 0; a < 3; a++) {
        *axis_ptr[a] = *to_axis[a];
        axis_ptr[a]->tick_get = nullptr;
      }
      check_graphics_inited();
      if (is_plot) {
        ps.zvalue = 0;
        xax.type = 0;
        yax.type = 0;
      }
      ps.max_value = FLT_MAX;
      ps.pos_given = ps.zvalue_given = 0;
      ps.n_position = 0;
      ps.coord_system = COORD_DATA;
      ps.clip_given = ps.noclip = ps.noclip_given = 0;
      ps.save = 0;
      break;
    case 1:
      attr_setup(p_com, ps.attr);
      ps.attr.thick = 1.0f;
      ps.attr.linestyle = 0;
      ps.attr.xaxis = &xax;
      ps.attr.yaxis = &yax;
      ps.attr.zaxis = &zax;
      break;
    default:
      for (int a = 0; a < 3; a++) {
        AxisRec& w = *axis_ptr[a];
        AxisRec& u = *to_axis[a];
        u.type = w.type;
        memcpy(u.crange, w.crange, sizeof u.crange);
        memcpy(u.s, w.s, sizeof u.s);
        memcpy(u.window, w.window, sizeof u.window);
        memcpy(u.region, w.region, sizeof u.region);
        w.tick_get = nullptr;
      }
      break;
  }
}

void set_plot_window() {
  DeviceRecord& dev = need_device();
  for (int k = 1; k <= 3; k++)
    if (p_com.multi[k] < 1) p_com.multi[k] = 1;
  int nplots = p_com.multi[1] * p_com.multi[2] * p_com.multi[3];
  bool noerase = ps.flags & PS_NOERASE;
  if (plot_com.multi[0] < 1 || plot_com.multi[0] > nplots) {
    p_com.multi[0] = nplots;
    if (!noerase) {
      GraphAttr a;
      attr_setup(p_com, a);
      a.color = p_com.background;
      if (!dev.erase) no_device_slot();
      dev.erase(&a);
      plot_com.multi[0] = nplots;
    }
  }
  if (!noerase) plot_com.multi[0]--;
  if (p_com.charsize <= 0) p_com.charsize = 1.0f;
  if (p_com.multi[1] > 2 || p_com.multi[2] > 2) p_com.charsize *= 0.5f;
  ps.ch_size[0] = static_cast<float>(dev.x_ch_size) * p_com.charsize / static_cast<float>(dev.x_vsize);
  ps.ch_size[1] = static_cast<float>(dev.y_ch_size) * p_com.charsize / static_cast<float>(dev.y_vsize);
  ps.ch_size[2] = 0;
  int system = ps.coord_system;  // of the POSITION keyword; !P.POSITION and REGION are NORMAL
  if (!ps.pos_given) {
    system = COORD_NORMAL;
    if (plot_com.position[0] != plot_com.position[2]) {
      memcpy(ps.position, p_com.position, 4 * sizeof(float));
      ps.pos_given = 1;
      ps.n_position = 4;
    } else if (plot_com.region[0] != plot_com.region[2]) {
      const float* r = p_com.region;
      ps.position[0] = r[0] + xax.margin[0] * ps.ch_size[0];
      ps.position[1] = r[1] + yax.margin[0] * ps.ch_size[1];
      ps.position[2] = r[2] - xax.margin[1] * ps.ch_size[0];
      ps.position[3] = r[3] - yax.margin[1] * ps.ch_size[1];
      ps.pos_given = 1;
      ps.n_position = 4;
    }
  }
  if (!ps.pos_given) {
    int count[3] = {p_com.multi[1], p_com.multi[2], p_com.multi[3]};
    float origin[3], width[3];
    for (int a = 0; a < 3; a++) {
      origin[a] = axis_ptr[a]->omargin[0] * ps.ch_size[a];
      width[a] = (1.0f - (axis_ptr[a]->omargin[0] + axis_ptr[a]->omargin[1]) * ps.ch_size[a]) /
                 static_cast<float>(count[a]);
    }
    int k = nplots - p_com.multi[0];
    int column, row;
    if (p_com.multi[4] == 0) {
      column = k % p_com.multi[1];
      row = (k / p_com.multi[1]) % p_com.multi[2];
    } else {
      row = k % p_com.multi[2];
      column = (k / p_com.multi[2]) % p_com.multi[1];
    }
    int stack = k / (p_com.multi[1] * p_com.multi[2]);
    origin[0] += width[0] * static_cast<float>(column);
    origin[1] += width[1] * static_cast<float>(p_com.multi[2] - row - 1);
    origin[2] += width[2] * static_cast<float>(stack);
    if (origin[2] == 0)
      origin[2] = ps.zvalue;
    else
      ps.zvalue += origin[2];
    for (int a = 0; a < 3; a++) {
      AxisRec& ax = *axis_ptr[a];
      float e = a < 2 ? 5e-6f : 0.0f;
      ax.region[0] = origin[a];
      ax.region[1] = origin[a] + width[a];
      ax.window[0] = ax.region[0] + ps.ch_size[a] * ax.margin[0] + e;
      ax.window[1] = ax.region[1] - ps.ch_size[a] * ax.margin[1] + e;
    }
  } else {
    float* p = ps.position;
    if (system == COORD_DEVICE) {
      p[0] /= static_cast<float>(dev.x_vsize);
      p[2] /= static_cast<float>(dev.x_vsize);
      p[1] /= static_cast<float>(dev.y_vsize);
      p[3] /= static_cast<float>(dev.y_vsize);
    }
    if (ps.n_position < 5) p[4] = ps.zvalue_given ? ps.zvalue : 0.0f;
    if (ps.n_position < 6) p[5] = ps.zvalue_given ? ps.zvalue : 1.0f;
    static const int axis_of[6] = {0, 1, 0, 1, 2, 2};
    static const int end_of[6] = {0, 0, 1, 1, 0, 1};
    for (int i = 0; i < 6; i++) {
      AxisRec& ax = *axis_ptr[axis_of[i]];
      int e = end_of[i];
      float ch = ps.ch_size[axis_of[i]];
      ax.window[e] = p[i];
      ax.region[e] = e == 0 ? p[i] - ax.margin[0] * ch : p[i] + ax.margin[1] * ch;
    }
  }
  for (AxisRec* ax : axis_ptr)
    for (float* v : {&ax->region[0], &ax->region[1], &ax->window[0], &ax->window[1]}) {
      if (!(*v >= 0)) *v = 0;  // NaN too
      if (*v > 1.001f) *v = 0.99999f;
    }
  const float scale[6] = {static_cast<float>(dev.x_vsize), static_cast<float>(dev.y_vsize),
                          static_cast<float>(dev.x_vsize), static_cast<float>(dev.y_vsize), 1000.0f, 1000.0f};
  static const int axis_of[6] = {0, 1, 0, 1, 2, 2};
  static const int end_of[6] = {0, 0, 1, 1, 0, 1};
  for (int i = 0; i < 6; i++) {
    int32_t v = static_cast<int32_t>(trunc_device(axis_ptr[axis_of[i]]->window[end_of[i]] * scale[i]));
    p_com.clip[i] = v;
    plot_com.clip[i] = v;
  }
}
