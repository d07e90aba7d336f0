#include "graphics/plot_window.h"

#include <cfloat>
#include <cstring>

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
constexpr int kAll = P | S | C;
constexpr int kAxis = kAll | A;  // the X..., Y..., Z... axis keywords

// In name order (checked below), as the keyword lookup needs it.
constexpr KwEntry kPlotPars[] = {
    {"AX", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"AZ", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"BACKGROUND", TYP_LONG, kAll, 0, nullptr, &p_com.background},
    {"BOTTOM", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"CELL_FILL", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"CHANNEL", TYP_LONG, kAll | A | O, 0, nullptr, &p_com.channel},
    {"CHARSIZE", TYP_FLOAT, kAll | A, 0, nullptr, &p_com.charsize},
    {"CHARTHICK", TYP_FLOAT, kAll | A, 0, nullptr, &p_com.charthick},
    {"CLIP", TYP_FLOAT, kAll | O, KW_ARRAY | KW_CLEAR, &ps.clip_given, &clip_array},
    {"CLOSED", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"COLOR", TYP_LONG, kAll | A | O, 0, nullptr, &p_com.color},
    {"C_ANNOTATION", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"C_CHARSIZE", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"C_COLORS", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"C_LABELS", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"C_LINESTYLE", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"C_ORIENTATION", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"C_SPACING", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"C_THICK", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"DATA", 0, kAll | A, kFlag | KW_CLEAR | 1, nullptr, &coord_bits},
    {"DEVICE", 0, kAll | A, kFlag | KW_CLEAR | 2, nullptr, &coord_bits},
    {"DOWNHILL", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"FILL", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"FOLLOW", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"FONT", TYP_LONG, kAll | A, 0, nullptr, &p_com.font},
    {"HORIZONTAL", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"IMAGE", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"LEGO", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"LEVELS", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"LINESTYLE", TYP_LONG, kAll | O, 0, nullptr, &p_com.linestyle},
    {"LOWER_ONLY", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"MAX_VALUE", TYP_FLOAT, kAll | O, 0, nullptr, &ps.max_value},
    {"NLEVELS", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"NOCLIP", TYP_LONG, kAll | O, KW_CLEAR, &ps.noclip_given, &ps.noclip},
    {"NODATA", 0, kAll | A, kFlag | PS_NODATA, nullptr, &ps.flags},
    {"NOERASE", 0, kAll | A, kFlag | PS_NOERASE, nullptr, &ps.flags},
    {"NORMAL", 0, kAll | A, kFlag | KW_CLEAR | 4, nullptr, &coord_bits},
    {"NSUM", TYP_LONG, P | O, 0, nullptr, &p_com.nsum},
    {"OVERPLOT", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"PATH_FILENAME", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"PATH_INFO", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"PATH_XY", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"PIXELS", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"POLAR", 0, P | O, kFlag | PS_POLAR, nullptr, &ps.flags},
    {"POSITION", TYP_FLOAT, kAll, KW_ARRAY | KW_CLEAR, &ps.pos_given, &position_array},
    {"PSYM", TYP_LONG, P | O, 0, nullptr, &p_com.psym},
    {"SAVE", 0, A | kStored, kFlag | KW_CLEAR | 1, nullptr, &ps.save},
    {"SHADES", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"SKIRT", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"SPLINE", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"SUBTITLE", TYP_STRING, kAll | A, 0, nullptr, &p_com.subtitle},
    {"SYMSIZE", TYP_FLOAT, P | O, 0, nullptr, &p_com.symsize},
    {"T3D", TYP_LONG, kAll | A | O, 0, nullptr, &p_com.t3d},
    {"THICK", TYP_FLOAT, kAll | O, 0, nullptr, &p_com.thick},
    {"TICKLEN", TYP_FLOAT, kAll | A, 0, nullptr, &p_com.ticklen},
    {"TITLE", TYP_STRING, kAll, 0, nullptr, &p_com.title},
    {"TRIANGULATION", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"UPPER_ONLY", 0, kStored, KW_OUTPUT | KW_CLEAR, nullptr, &option_sink},
    {"XAXIS", TYP_LONG, A | kStored, KW_CLEAR, &ps.axis_pos_given[0], &ps.axis_pos[0]},
    {"XCHARSIZE", TYP_FLOAT, kAxis, 0, nullptr, &xax.charsize},
    {"XGRIDSTYLE", TYP_LONG, kAxis, 0, nullptr, &xax.gridstyle},
    {"XLOG", TYP_LONG, kAll | A, KW_CLEAR, &ps.type_given[0], &ps.type_kw[0]},
    {"XMARGIN", TYP_FLOAT, kAxis, KW_ARRAY, nullptr, &axis_arrays[0].margin},
    {"XMINOR", TYP_LONG, kAxis, 0, nullptr, &xax.minor},
    {"XRANGE", TYP_FLOAT, kAxis, KW_ARRAY, nullptr, &axis_arrays[0].range},
    {"XSTYLE", TYP_LONG, kAxis, 0, nullptr, &xax.style},
    {"XTHICK", TYP_FLOAT, kAxis, 0, nullptr, &xax.thick},
    {"XTICKFORMAT", TYP_STRING, kAxis, 0, nullptr, &xax.tickformat},
    {"XTICKLEN", TYP_FLOAT, kAxis, 0, nullptr, &xax.ticklen},
    {"XTICKNAME", TYP_STRING, kAxis, KW_ARRAY, nullptr, &axis_arrays[0].tickname},
    {"XTICKS", TYP_LONG, kAxis, 0, nullptr, &xax.ticks},
    {"XTICKV", TYP_FLOAT, kAxis, KW_ARRAY, nullptr, &axis_arrays[0].tickv},
    {"XTICK_GET", 0, kAxis, KW_OUTPUT, nullptr, &xax.tick_get},
    {"XTITLE", TYP_STRING, kAxis, 0, nullptr, &xax.title},
    {"XTYPE", TYP_LONG, kAll | A, KW_CLEAR, &ps.type_given[0], &ps.type_kw[0]},
    {"YAXIS", TYP_LONG, A | kStored, KW_CLEAR, &ps.axis_pos_given[1], &ps.axis_pos[1]},
    {"YCHARSIZE", TYP_FLOAT, kAxis, 0, nullptr, &yax.charsize},
    {"YGRIDSTYLE", TYP_LONG, kAxis, 0, nullptr, &yax.gridstyle},
    {"YLOG", TYP_LONG, kAll | A, KW_CLEAR, &ps.type_given[1], &ps.type_kw[1]},
    {"YMARGIN", TYP_FLOAT, kAxis, KW_ARRAY, nullptr, &axis_arrays[1].margin},
    {"YMINOR", TYP_LONG, kAxis, 0, nullptr, &yax.minor},
    {"YNOZERO", TYP_LONG, kAll | A, KW_CLEAR, &ps.ynozero_given, &ps.ynozero},
    {"YRANGE", TYP_FLOAT, kAxis, KW_ARRAY, nullptr, &axis_arrays[1].range},
    {"YSTYLE", TYP_LONG, kAxis, 0, nullptr, &yax.style},
    {"YTHICK", TYP_FLOAT, kAxis, 0, nullptr, &yax.thick},
    {"YTICKFORMAT", TYP_STRING, kAxis, 0, nullptr, &yax.tickformat},
    {"YTICKLEN", TYP_FLOAT, kAxis, 0, nullptr, &yax.ticklen},
    {"YTICKNAME", TYP_STRING, kAxis, KW_ARRAY, nullptr, &axis_arrays[1].tickname},
    {"YTICKS", TYP_LONG, kAxis, 0, nullptr, &yax.ticks},
    {"YTICKV", TYP_FLOAT, kAxis, KW_ARRAY, nullptr, &axis_arrays[1].tickv},
    {"YTICK_GET", 0, kAxis, KW_OUTPUT, nullptr, &yax.tick_get},
    {"YTITLE", TYP_STRING, kAxis, 0, nullptr, &yax.title},
    {"YTYPE", TYP_LONG, kAll | A, KW_CLEAR, &ps.type_given[1], &ps.type_kw[1]},
    {"ZAXIS", TYP_LONG, A | kStored, KW_CLEAR, &ps.axis_pos_given[2], &ps.axis_pos[2]},
    {"ZCHARSIZE", TYP_FLOAT, kAxis, 0, nullptr, &zax.charsize},
    {"ZGRIDSTYLE", TYP_LONG, kAxis, 0, nullptr, &zax.gridstyle},
    {"ZMARGIN", TYP_FLOAT, kAxis, KW_ARRAY, nullptr, &axis_arrays[2].margin},
    {"ZMINOR", TYP_LONG, kAxis, 0, nullptr, &zax.minor},
    {"ZRANGE", TYP_FLOAT, kAxis, KW_ARRAY, nullptr, &axis_arrays[2].range},
    {"ZSTYLE", TYP_LONG, kAxis, 0, nullptr, &zax.style},
    {"ZTHICK", TYP_FLOAT, kAxis, 0, nullptr, &zax.thick},
    {"ZTICKFORMAT", TYP_STRING, kAxis, 0, nullptr, &zax.tickformat},
    {"ZTICKLEN", TYP_FLOAT, kAxis, 0, nullptr, &zax.ticklen},
    {"ZTICKNAME", TYP_STRING, kAxis, KW_ARRAY, nullptr, &axis_arrays[2].tickname},
    {"ZTICKS", TYP_LONG, kAxis, 0, nullptr, &zax.ticks},
    {"ZTICKV", TYP_FLOAT, kAxis, KW_ARRAY, nullptr, &axis_arrays[2].tickv},
    {"ZTICK_GET", 0, kAxis, KW_OUTPUT, nullptr, &zax.tick_get},
    {"ZTITLE", TYP_STRING, kAxis, 0, nullptr, &zax.title},
    {"ZTYPE", TYP_LONG, A | kStored, KW_CLEAR, &ps.type_given[2], &ps.type_kw[2]},
    {"ZVALUE", TYP_FLOAT, kAll | A | O, 0, &ps.zvalue_given, &ps.zvalue},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

constexpr bool name_before(const char* a, const char* b) {
  while (*a && *a == *b) {
    a++;
    b++;
  }
  return static_cast<unsigned char>(*a) < static_cast<unsigned char>(*b);
}
constexpr bool in_name_order(const KwEntry* t) {
  for (; t[0].name && t[1].name; t++)
    if (!name_before(t[0].name, t[1].name)) return false;
  return true;
}
static_assert(in_name_order(kPlotPars), "plot_pars must be in name order");

}  // namespace

const KwEntry* plot_pars() { return kPlotPars; }

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
