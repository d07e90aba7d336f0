// The line-plot family: PLOT and its logarithmic variants, OPLOT, PLOTS, POLYFILL, the
// plotting symbols, USERSYM and CONVERT_COORD. Each call sets up the working state (plot_window.h),
// scales and draws the axes (axes.h) and draws its data through the line drawer.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <vector>

#include "graphics/axes.h"
#include "graphics/plot.h"
#include "interp/interpreter.h"
#include "base/message.h"
#include "lib/arrays.h"
#include "values/convert.h"

namespace {

constexpr int M_USERSYM_2N = -308;
constexpr int M_SAME_POINTS = -309;
constexpr int M_POINTS_RANGE = -310;
constexpr int M_NOT_ENOUGH_ELEMENTS = -114;

// The elements of an array of numbers as floats (-125 otherwise): the array's own data
// when it already holds floats, else one converted copy.
struct FloatData {
  const float* p = nullptr;
  size_t n = 0;
  std::vector<float> own;

  void take(Variable* v, bool writable) {
    if (!v->is_array() || !is_numeric(v->type) || v->type == TYP_COMPLEX) var_error(M_NOT_ARRAY, v, MSG_LONGJMP);
    n = v->n_elts();
    if (v->type == TYP_FLOAT && !writable) {
      p = static_cast<const float*>(v->data_ptr());
      return;
    }
    own.resize(n);
    convert(v->data_ptr(), own.data(), static_cast<int32_t>(n), v->type, TYP_FLOAT);
    p = own.data();
  }
  float* mut() { return own.data(); }
};

// Elements of a number (scalar or array) as floats.
std::vector<float> float_values(Variable* v) {
  if (v->type == TYP_STRING || v->type == TYP_STRUCT || v->type == TYP_UNDEF) var_error(M_NOT_ARRAY, v, MSG_LONGJMP);
  std::vector<float> out(v->n_elts());
  const void* src = v->has_desc() ? static_cast<const void*>(v->arr()->data) : static_cast<const void*>(&v->value);
  convert(src, out.data(), static_cast<int32_t>(out.size()), v->type, TYP_FLOAT);
  return out;
}

// ---- Symbols --------------------------------------------------------------------------

struct Vertex {
  float x, y;
};
constexpr Vertex kPlus[] = {{-1, 0}, {1, 0}, {0, 0}, {0, 1}, {0, -1}};
constexpr Vertex kAsterisk[] = {{-1, 0}, {1, 0}, {0, 0}, {0, 1}, {0, -1}, {0, 0},
                                {1, 1},  {-1, -1}, {0, 0}, {-1, 1}, {1, -1}};
constexpr Vertex kDot[] = {{0, 0}, {0, 0}};
constexpr Vertex kDiamond[] = {{0, 1}, {1, 0}, {0, -1}, {-1, 0}, {0, 1}};
constexpr Vertex kTriangle[] = {{0, 1}, {1, -1}, {-1, -1}, {0, 1}};
constexpr Vertex kSquare[] = {{0, 1}, {1, 1}, {1, -1}, {-1, -1}, {-1, 1}, {1, 1}};
constexpr Vertex kCross[] = {{1, 1}, {-1, -1}, {0, 0}, {-1, 1}, {1, -1}};
struct Symbol {
  const Vertex* v;
  int n;
};
constexpr Symbol kSymbols[8] = {{nullptr, 0},  {kPlus, 5},     {kAsterisk, 11}, {kDot, 2},
                                {kDiamond, 5}, {kTriangle, 4}, {kSquare, 6},    {kCross, 5}};

struct UserSymbol {
  std::vector<Vertex> v;
  bool fill = false;
  int32_t color = -1;
  float thick = 1.0f;
};
UserSymbol user_symbol;

}  // namespace

void plot_symbol(const GPoint& point, int psym, float half, int coord_system, GraphAttr& attr) {
  DeviceRecord& dev = need_device();
  // The centre takes the 3-D transformation; the symbol's own shape does not.
  GPoint c;
  if (!convert_coord(point, coord_system, c, COORD_DEVICE, attr)) return;
  float cx = c.x / static_cast<float>(dev.x_vsize), cy = c.y / static_cast<float>(dev.y_vsize);
  GraphAttr flat = attr;
  flat.t3d = nullptr;
  flat.linestyle = 0;
  float aspect = static_cast<float>(dev.x_vsize) / static_cast<float>(dev.y_vsize);
  const Vertex* v;
  int n;
  if (psym == 8) {
    if (user_symbol.v.empty()) message(M_NO_USERSYM, 0, MSG_LONGJMP);
    v = user_symbol.v.data();
    n = static_cast<int>(user_symbol.v.size());
    if (user_symbol.color >= 0) flat.color = user_symbol.color;
    flat.thick = user_symbol.thick;
    if (user_symbol.fill) {
      std::vector<int32_t> xs, ys;
      for (int k = 0; k < n; k++) {
        GPoint p{cx + v[k].x * half, cy + v[k].y * half * aspect, 0, 0}, d;
        convert_coord(p, COORD_NORMAL, d, DEVICE_INT, flat);
        xs.push_back(static_cast<int32_t>(d.x));
        ys.push_back(static_cast<int32_t>(d.y));
      }
      if (flat.clip) clip_polygon(xs, ys, flat.clip);
      if (xs.size() >= 3) {
        FillRec fill;
        fill.attr = &flat;
        if (dev.polyfill)
          dev.polyfill(xs.data(), ys.data(), static_cast<int>(xs.size()), &fill);
        else
          polyfill_sfw(xs.data(), ys.data(), static_cast<int>(xs.size()), &fill);
      }
      return;
    }
  } else {
    v = kSymbols[psym].v;
    n = kSymbols[psym].n;
  }
  for (int k = 1; k < n; k++) {
    GPoint a{cx + v[k - 1].x * half, cy + v[k - 1].y * half * aspect, 0, 0};
    GPoint b{cx + v[k].x * half, cy + v[k].y * half * aspect, 0, 0};
    draw_vector(a, b, flat, COORD_NORMAL);
  }
}

namespace {

// ---- PLOT and OPLOT -------------------------------------------------------------------

// A polyline in DEVICE_INT coordinates drawn segment by segment. Dense data puts many
// successive points into one device column; their vertical segments cover exactly the
// span from the lowest to the highest of them, so a solid line draws each such run as
// at most three segments (first point, the extreme reached first, the other extreme,
// last point). Dashed lines keep every segment: their dash phase follows the length.
class Polyline {
 public:
  Polyline(GraphAttr& attr) : attr_(attr), merge_(attr.linestyle == 0) {}
  ~Polyline() = default;

  void point(const GPoint& d) {
    if (!active_) {
      start(d);
      return;
    }
    if (merge_ && d.x == first_.x) {
      if (d.y < lo_.y) {
        lo_ = d;
        lo_seq_ = ++seq_;
      }
      if (d.y > hi_.y) {
        hi_ = d;
        hi_seq_ = ++seq_;
      }
      last_ = d;
      return;
    }
    flush_column();
    draw_vector(last_, d, attr_, DEVICE_INT);
    start(d);
  }
  // An invalid point: the next one starts a new line.
  void end() {
    if (active_) flush_column();
    active_ = false;
  }

 private:
  void start(const GPoint& d) {
    first_ = lo_ = hi_ = last_ = d;
    lo_seq_ = hi_seq_ = seq_ = 0;
    active_ = true;
  }
  void flush_column() {
    if (lo_.y == hi_.y) return;  // a single point, or only repeats of it
    const GPoint& e1 = lo_seq_ < hi_seq_ ? lo_ : hi_;
    const GPoint& e2 = lo_seq_ < hi_seq_ ? hi_ : lo_;
    const GPoint* path[4] = {&first_, &e1, &e2, &last_};
    const GPoint* from = path[0];
    for (int k = 1; k < 4; k++) {
      if (path[k]->y == from->y) continue;
      draw_vector(*from, *path[k], attr_, DEVICE_INT);
      from = path[k];
    }
  }

  GraphAttr& attr_;
  bool merge_;
  bool active_ = false;
  GPoint first_, lo_, hi_, last_;
  int lo_seq_ = 0, hi_seq_ = 0, seq_ = 0;
};

// Draws n points (x may be null: the index) in DATA coordinates with the call's
// attributes; invalid points break the line. Each point is converted once.
void draw_data(const float* x, const float* y, int n, GraphAttr& attr) {
  DeviceRecord& dev = need_device();
  int psym = p_com.psym;
  int sym = std::abs(psym);
  int nsum = std::max(p_com.nsum, 1);
  float symsize = p_com.symsize == 0 ? 1.0f : p_com.symsize;
  float half = symsize * 0.5f * static_cast<float>(dev.x_ch_size) / static_cast<float>(dev.x_vsize);
  float zscale = zax.s[1] == 0 ? 1.0f : zax.s[1];
  float z = (ps.zvalue - zax.s[0]) / zscale;
  bool xlog = xax.type == 1, ylog = yax.type == 1;
  float max_value = ps.max_value;
  bool lines = psym <= 0;
  bool steps = sym == 10;
  std::vector<GPoint> run;  // the current stretch of valid points (steps need neighbours)
  auto flush_steps = [&]() {
    size_t m = run.size();
    GPoint prev;
    for (size_t k = 0; k < m; k++) {
      float left = k == 0 ? run[0].x : (run[k - 1].x + run[k].x) / 2;
      float right = k + 1 == m ? run[k].x : (run[k].x + run[k + 1].x) / 2;
      GPoint a{left, run[k].y, z, 0}, b{right, run[k].y, z, 0};
      if (k > 0) draw_vector(prev, a, attr, COORD_DATA);
      draw_vector(a, b, attr, COORD_DATA);
      prev = b;
    }
    run.clear();
  };
  Polyline line(attr);
  // On a map each segment goes to the line drawer in DATA so that it follows the projection.
  bool map = xax.type == 2;
  bool have_prev = false;
  GPoint prev;
  for (int i = 0; i < n; i += nsum) {
    if (int_interrupt == IR_INTERRUPT) break;
    GPoint p{0, 0, z, 0};
    bool valid;
    if (nsum == 1) {
      p.x = x ? x[i] : static_cast<float>(i);
      p.y = y[i];
      valid = !std::isgreater(p.y, max_value);  // quiet for NaN
    } else {
      // Averages of the group (geometric on a logarithmic axis).
      double sx = 0, sy = 0;
      int count = 0;
      for (int k = i; k < std::min(n, i + nsum); k++) {
        if (std::isgreater(y[k], max_value)) continue;
        double xv = x ? x[k] : k, yv = y[k];
        sx += xlog ? std::log(xv) : xv;
        sy += ylog ? std::log(yv) : yv;
        count++;
      }
      valid = count > 0;
      if (valid) {
        p.x = static_cast<float>(xlog ? std::exp(sx / count) : sx / count);
        p.y = static_cast<float>(ylog ? std::exp(sy / count) : sy / count);
      }
    }
    if (!valid) {
      line.end();
      have_prev = false;
      if (steps) flush_steps();
      continue;
    }
    if (steps) {
      run.push_back(p);
      continue;
    }
    if ((lines || psym < 0) && map) {
      if (have_prev) draw_vector(prev, p, attr, COORD_DATA);
      prev = p;
      have_prev = true;
    } else if (lines || psym < 0) {
      GPoint d;
      // A point that cannot be converted (a log of a non-positive value, a non-finite
      // value) drops the segments on both sides of it.
      if (convert_coord(p, COORD_DATA, d, DEVICE_INT, attr))
        line.point(d);
      else
        line.end();
    }
    if (sym >= 1 && sym <= 8) plot_symbol(p, sym, half, COORD_DATA, attr);
  }
  line.end();
  if (steps) flush_steps();
}

// Smallest and largest finite values.
void min_max(const float* v, int n, float& lo, float& hi) {
  lo = INFINITY;
  hi = -INFINITY;
  for (int i = 0; i < n; i++)
    if (std::isfinite(v[i])) {
      lo = std::min(lo, v[i]);
      hi = std::max(hi, v[i]);
    }
  if (lo > hi) lo = hi = 0;
}

// The range of an axis without RANGE: y values not above MAX_VALUE whose x lies in the
// x range (-282 when there are none).
void data_y_range(const float* x, const float* y, int n, float& lo, float& hi) {
  float xlo = std::min(xax.crange[0], xax.crange[1]), xhi = std::max(xax.crange[0], xax.crange[1]);
  lo = INFINITY;
  hi = -INFINITY;
  for (int i = 0; i < n; i++) {
    float xv = x ? x[i] : static_cast<float>(i);
    float yv = y[i];
    if (!std::isfinite(yv) || !std::isfinite(xv) || xv < xlo || xv > xhi || yv > ps.max_value) continue;
    lo = std::min(lo, yv);
    hi = std::max(hi, yv);
  }
  if (lo > hi) message(M_NO_VALID_POINTS, 0, MSG_LONGJMP);
}

void plot_body(int argc, Variable* argv[], KwNames argk, bool xlog, bool ylog, bool is_plot) {
  init_plot_vars(0, is_plot);
  Variable* pos[2] = {nullptr, nullptr};
  int n_args = decode_plot_keywords(argc, argv, argk, pos, is_plot ? PP_PLOT : PP_OPLOT);
  init_plot_vars(1, is_plot);
  need_device();
  int sym = std::abs(p_com.psym);
  if (sym > 8 && sym != 10) message(M_PSYM_RANGE, 0, MSG_LONGJMP);
  if (sym == 8 && user_symbol.v.empty()) message(M_NO_USERSYM, 0, MSG_LONGJMP);
  bool polar = ps.flags & PS_POLAR;
  FloatData xd, yd;
  if (n_args == 2) {
    xd.take(pos[0], polar);
    yd.take(pos[1], polar);
  } else {
    if (polar) message(M_INCORRECT_ARGS, 0, MSG_LONGJMP);
    yd.take(pos[0], false);
  }
  int n = static_cast<int>(n_args == 2 ? std::min(xd.n, yd.n) : yd.n);
  if (polar) {
    // Radius and angle become x and y; an angle above MAX_VALUE stays invalid.
    float* xs = xd.mut();
    float* ys = yd.mut();
    for (int i = 0; i < n; i++) {
      float r = xs[i], theta = ys[i];
      if (std::isgreater(theta, ps.max_value)) {
        xs[i] = 0;
        continue;
      }
      xs[i] = r * std::cos(theta);
      ys[i] = r * std::sin(theta);
    }
  }
  const float* x = xd.p;
  const float* y = yd.p;
  if (is_plot) {
    xax.type = ps.type_given[0] ? (ps.type_kw[0] & 1) : (xlog ? 1 : 0);
    yax.type = ps.type_given[1] ? (ps.type_kw[1] & 1) : (ylog ? 1 : 0);
    set_plot_window();
    do_title(false);
    for (AxisRec* ax : {&xax, &yax}) {
      ax->crange[0] = ax->range[0];
      ax->crange[1] = ax->range[1];
    }
    if (xax.range[0] == xax.range[1]) {
      if (!x) {
        xax.crange[0] = 0;
        xax.crange[1] = static_cast<float>(std::max(n - 1, 0));
      } else {
        min_max(x, n, xax.crange[0], xax.crange[1]);
      }
    }
    if (ps.ynozero_given) {
      if (ps.ynozero)
        yax.style |= 16;
      else
        yax.style &= ~16;
    }
    if (yax.range[0] == yax.range[1]) {
      float lo, hi;
      data_y_range(x, y, n, lo, hi);
      if (yax.type != 1 && !(yax.style & 16) && yax.range[0] == 0 && lo >= 0 && !(yax.style & 1)) lo = 0;
      yax.crange[0] = lo;
      yax.crange[1] = hi;
    }
    axis_scale(xax, 0);
    axis_scale(yax, 1);
    if (!(xax.style & 4)) {
      draw_axis(xax, 0, true);
      if (!(xax.style & 8)) draw_axis(xax, 2, false);
    }
    if (!(yax.style & 4)) {
      draw_axis(yax, 1, true);
      if (!(yax.style & 8)) draw_axis(yax, 3, false);
    }
  }
  GraphAttr attr;
  attr_setup(p_com, attr);
  attr.xaxis = &xax;
  attr.yaxis = &yax;
  attr.zaxis = &zax;
  int noclip = ps.noclip_given ? ps.noclip : p_com.noclip;
  setup_clipping(noclip, ps.clip_given, ps.clip, ps.coord_system, attr);
  if (!(ps.flags & PS_NODATA)) draw_data(x, y, n, attr);
  init_plot_vars(2, is_plot);
}

void ur_plot(int argc, Variable* argv[], KwNames argk) { plot_body(argc, argv, argk, false, false, true); }
void ur_plot_io(int argc, Variable* argv[], KwNames argk) { plot_body(argc, argv, argk, false, true, true); }
void ur_plot_oi(int argc, Variable* argv[], KwNames argk) { plot_body(argc, argv, argk, true, false, true); }
void ur_plot_oo(int argc, Variable* argv[], KwNames argk) { plot_body(argc, argv, argk, true, true, true); }
void ur_oplot(int argc, Variable* argv[], KwNames argk) { plot_body(argc, argv, argk, false, false, false); }

// ---- PLOTS and POLYFILL ---------------------------------------------------------------

constexpr int PT_PLOTS = 1, PT_CONVERT = 8, PT_POLYFILL = 16;

struct PointsKeywords {
  int32_t coord_bits;
  int32_t to_bits;  // CONVERT_COORD's TO_DATA 1, TO_DEVICE 2, TO_NORMAL 4
  int32_t channel, channel_given;
  int32_t clip_given;
  float clip[6];
  Variable* color;
  int32_t cont;
  int32_t linestyle, linestyle_given;
  int32_t line_fill;
  int32_t noclip, noclip_given;
  float orientation;
  int32_t orientation_given;
  Variable* pattern;
  Variable* image_coord;
  int32_t image_interp;
  int32_t transparent, transparent_given;
  int32_t psym, psym_given;
  float spacing;
  int32_t spacing_given;
  float symsize;
  int32_t symsize_given;
  int32_t t3d, t3d_given;
  float thick;
  int32_t thick_given;
  float z;
  int32_t z_given;
  Variable* sink;
} pk;
KwArray pk_clip{pk.clip, 4, 6, 0};

constexpr uint16_t kFlagClear = KW_BITFLAG | KW_CLEAR;
constexpr uint8_t kPF = PT_PLOTS | PT_POLYFILL;
constexpr uint8_t kPFC = kPF | PT_CONVERT;
constexpr KwEntry kPointsKeywords[] = {
    {"CHANNEL", TYP_LONG, kPF, KW_CLEAR, &pk.channel_given, &pk.channel},
    {"CLIP", TYP_FLOAT, kPF, KW_ARRAY | KW_CLEAR, &pk.clip_given, &pk_clip},
    {"COLOR", 0, kPF, KW_OUTPUT | KW_CLEAR, nullptr, &pk.color},
    {"CONTINUE", 0, PT_PLOTS, kFlagClear | 1, nullptr, &pk.cont},
    {"DATA", 0, kPFC, kFlagClear | 1, nullptr, &pk.coord_bits},
    {"DEVICE", 0, kPFC, kFlagClear | 2, nullptr, &pk.coord_bits},
    {"FILL_PATTERN", 0, PT_POLYFILL, KW_OUTPUT | KW_CLEAR, nullptr, &pk.sink},
    {"IMAGE_COORD", 0, PT_POLYFILL, KW_OUTPUT | KW_CLEAR, nullptr, &pk.image_coord},
    {"IMAGE_INTERP", 0, PT_POLYFILL, kFlagClear | 1, nullptr, &pk.image_interp},
    {"LINESTYLE", TYP_LONG, kPF, KW_CLEAR, &pk.linestyle_given, &pk.linestyle},
    {"LINE_FILL", 0, PT_POLYFILL, kFlagClear | 1, nullptr, &pk.line_fill},
    {"NOCLIP", TYP_LONG, kPF, KW_CLEAR, &pk.noclip_given, &pk.noclip},
    {"NORMAL", 0, kPFC, kFlagClear | 4, nullptr, &pk.coord_bits},
    {"ORIENTATION", TYP_FLOAT, PT_POLYFILL, KW_CLEAR, &pk.orientation_given, &pk.orientation},
    {"PATTERN", 0, PT_POLYFILL, KW_OUTPUT | KW_CLEAR, nullptr, &pk.pattern},
    {"PSYM", TYP_LONG, PT_PLOTS, KW_CLEAR, &pk.psym_given, &pk.psym},
    {"SPACING", TYP_FLOAT, PT_POLYFILL, KW_CLEAR, &pk.spacing_given, &pk.spacing},
    {"SYMSIZE", TYP_FLOAT, PT_PLOTS, KW_CLEAR, &pk.symsize_given, &pk.symsize},
    {"T3D", TYP_LONG, kPFC, KW_CLEAR, &pk.t3d_given, &pk.t3d},
    {"THICK", TYP_FLOAT, kPF, KW_CLEAR, &pk.thick_given, &pk.thick},
    {"TO_DATA", 0, PT_CONVERT, kFlagClear | 1, nullptr, &pk.to_bits},
    {"TO_DEVICE", 0, PT_CONVERT, kFlagClear | 2, nullptr, &pk.to_bits},
    {"TO_NORMAL", 0, PT_CONVERT, kFlagClear | 4, nullptr, &pk.to_bits},
    {"TRANSPARENT", TYP_LONG, PT_POLYFILL, KW_CLEAR, &pk.transparent_given, &pk.transparent},
    {"Z", TYP_FLOAT, kPF, KW_CLEAR, &pk.z_given, &pk.z},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

int system_of(int32_t bits) {
  if (bits & 2) return COORD_DEVICE;
  if (bits & 4) return COORD_NORMAL;
  return COORD_DATA;
}
int points_system() { return system_of(pk.coord_bits); }

// The points of PLOTS and POLYFILL: one 2 x n or 3 x n array, or separate x, y [, z].
std::vector<GPoint> points_of(Variable* pos[3], int n_args, float z_default) {
  std::vector<GPoint> pts;
  if (n_args == 1) {
    Variable* a = pos[0];
    const ArrayDesc* d = a->has_desc() ? a->arr() : nullptr;
    int rows = d ? static_cast<int>(d->dims[0]) : 0;
    if (!d || (rows != 2 && rows != 3) || a->type == TYP_STRING || a->type == TYP_STRUCT)
      message(M_ONE_PARAM_DIMS, 0, MSG_LONGJMP);
    std::vector<float> v = float_values(a);
    size_t n = v.size() / static_cast<size_t>(rows);
    pts.resize(n);
    for (size_t i = 0; i < n; i++)
      pts[i] = {v[rows * i], v[rows * i + 1], rows == 3 ? v[rows * i + 2] : z_default, 0};
    return pts;
  }
  std::vector<float> c[3];
  size_t n = SIZE_MAX;
  for (int k = 0; k < n_args; k++) {
    c[k] = float_values(pos[k]);
    n = std::min(n, c[k].size());
  }
  pts.resize(n);
  for (size_t i = 0; i < n; i++) pts[i] = {c[0][i], c[1][i], n_args == 3 ? c[2][i] : z_default, 0};
  return pts;
}

// Colours of a COLOR keyword: none, one for all, or one per vertex (-114 when short).
std::vector<int32_t> colors_of(Variable* color, size_t n) {
  std::vector<int32_t> out;
  if (!color) return out;
  std::vector<float> v = float_values(color);
  if (color->is_array() && v.size() < n) var_error(M_NOT_ENOUGH_ELEMENTS, color, MSG_LONGJMP);
  // Quietly in range for the conversion (NaN gives 0).
  for (float f : v) out.push_back(std::isgreater(f, -2.0e9f) ? static_cast<int32_t>(std::min(f, 2.0e9f)) : 0);
  return out;
}

GraphAttr points_attr() {
  GraphAttr attr;
  attr_setup(plot_com, attr);
  if (pk.t3d_given) attr.t3d = pk.t3d ? plot_com.t : nullptr;
  if (pk.linestyle_given) attr.linestyle = pk.linestyle;
  if (pk.thick_given) attr.thick = pk.thick;
  if (pk.channel_given) attr.channel = pk.channel;
  int noclip = pk.noclip_given ? pk.noclip : plot_com.noclip;
  setup_clipping(noclip, pk.clip_given, pk.clip, points_system(), attr);
  return attr;
}

GPoint plots_last;  // where the previous PLOTS ended, in device coordinates
bool plots_last_valid = false;

void ur_plots(int argc, Variable* argv[], KwNames argk) {
  Variable* pos[3] = {nullptr, nullptr, nullptr};
  int n_args = get_kw_params(argc, argv, argk, kPointsKeywords, pos, PT_PLOTS);
  DeviceRecord& dev = need_device();
  check_graphics_inited();
  GraphAttr attr = points_attr();
  std::vector<GPoint> pts = points_of(pos, n_args, pk.z_given ? pk.z : ps.zvalue);
  std::vector<int32_t> colors = colors_of(pk.color, pts.size());
  if (colors.size() == 1) attr.color = colors[0];
  int system = points_system();
  int psym = pk.psym_given ? pk.psym : plot_com.psym;
  if (std::abs(psym) > 8) message(M_PSYM_RANGE, 0, MSG_LONGJMP);
  if (std::abs(psym) == 8 && user_symbol.v.empty()) message(M_NO_USERSYM, 0, MSG_LONGJMP);
  if (psym != 0) {
    float size = pk.symsize_given && pk.symsize != 0 ? pk.symsize : (plot_com.symsize != 0 ? plot_com.symsize : 1.0f);
    float half = size * 0.5f * static_cast<float>(dev.x_ch_size) / static_cast<float>(dev.x_vsize);
    GraphAttr sattr = attr;
    for (size_t i = 0; i < pts.size(); i++) {
      if (colors.size() > 1) sattr.color = colors[i];
      plot_symbol(pts[i], std::abs(psym), half, system, sattr);
    }
    if (psym > 0) return;  // a negative symbol also joins the points
  }
  // Lines: each point in device coordinates (the 3-D transformation applied once).
  GraphAttr dev_attr = attr;
  dev_attr.t3d = nullptr;
  bool have_prev = pk.cont && plots_last_valid;
  GPoint prev = plots_last;
  // On a map DATA segments go to the line drawer as they are, to follow the projection.
  bool map = system == COORD_DATA && attr.xaxis && attr.xaxis->type == 2;
  for (size_t i = 0; i < pts.size(); i++) {
    GPoint d;
    bool ok = convert_coord(pts[i], system, d, COORD_DEVICE, attr);
    if (colors.size() > 1) dev_attr.color = attr.color = colors[i];
    if (map && i > 0)
      draw_vector(pts[i - 1], pts[i], attr, COORD_DATA);
    else if (ok && have_prev)
      draw_vector(prev, d, dev_attr, COORD_DEVICE);
    prev = d;
    have_prev = ok;
  }
  plots_last = prev;
  plots_last_valid = have_prev;
}

// The image coordinates of an image-mapped fill: a 2 x n array, one column and row per vertex.
void image_coords(Variable* v, size_t n, std::vector<float>& u, std::vector<float>& w) {
  const ArrayDesc* d = v->has_desc() ? v->arr() : nullptr;
  size_t cols = d && d->n_dim > 1 ? static_cast<size_t>(d->dims[1]) : 1;
  if (!d || d->n_dim > 2 || d->dims[0] != 2 || cols != n)
    message(M_ARRAY_DIMS_OF, 0, MSG_LONGJMP, 2, static_cast<int>(n), varname(v));
  std::vector<float> c = float_values(v);
  for (size_t i = 0; i < n; i++) {
    u.push_back(c[2 * i]);
    w.push_back(c[2 * i + 1]);
  }
}

void ur_polyfill(int argc, Variable* argv[], KwNames argk) {
  Variable* pos[3] = {nullptr, nullptr, nullptr};
  int n_args = get_kw_params(argc, argv, argk, kPointsKeywords, pos, PT_POLYFILL);
  DeviceRecord& dev = need_device();
  check_graphics_inited();
  GraphAttr attr = points_attr();
  std::vector<GPoint> pts = points_of(pos, n_args, pk.z_given ? pk.z : ps.zvalue);
  if (pts.size() < 2) message(M_NO_VALID_POINTS, 0, MSG_LONGJMP);
  std::vector<int32_t> colors = colors_of(pk.color, pts.size());
  if (!colors.empty()) attr.color = colors[0];
  bool line_fill = pk.line_fill || pk.orientation_given || pk.spacing_given;
  bool pattern_given = pk.pattern && pk.pattern->type != TYP_UNDEF;
  if (pattern_given && !pk.pattern->is_array()) var_error(M_NOT_ARRAY, pk.pattern, MSG_LONGJMP);
  // Image coordinates map the PATTERN image onto the polygon; a COLOR array shades a solid fill.
  MappedFill mapped;
  std::vector<float> mu, mv, shades;
  std::vector<uint8_t> pattern;
  bool mapping = !line_fill && pattern_given && pk.image_coord && pk.image_coord->type != TYP_UNDEF;
  if (mapping) image_coords(pk.image_coord, pts.size(), mu, mv);
  bool shading = !line_fill && !pattern_given && colors.size() > 1 && dev.image;
  if (shading) {
    std::vector<float> c = float_values(pk.color);
    shades.assign(c.begin(), c.begin() + static_cast<std::ptrdiff_t>(pts.size()));
  }
  int system = points_system();
  std::vector<int32_t> xs(pts.size()), ys(pts.size());
  for (size_t i = 0; i < pts.size(); i++) {
    GPoint d;
    convert_coord(pts[i], system, d, DEVICE_INT, attr);
    xs[i] = static_cast<int32_t>(d.x);
    ys[i] = static_cast<int32_t>(d.y);
  }
  if (pattern_given) {
    std::vector<float> v = float_values(pk.pattern);
    for (float f : v) pattern.push_back(static_cast<uint8_t>(std::isgreater(f, -2.0e9f) ? static_cast<int32_t>(std::min(f, 2.0e9f)) : 0));
  }
  if (mapping || shading) {
    const ArrayDesc* pd = pattern_given ? pk.pattern->arr() : nullptr;
    mapped.colors = shading ? shades.data() : nullptr;
    mapped.u = mu.data();
    mapped.v = mv.data();
    mapped.image = pattern.data();
    mapped.image_nx = pd ? static_cast<int32_t>(pd->dims[0]) : 0;
    mapped.image_ny = pd && pd->n_dim > 1 ? static_cast<int32_t>(pd->dims[1]) : 1;
    mapped.interpolate = pk.image_interp != 0;
    mapped.transparent = pk.transparent_given ? pk.transparent : -1;
    mapped.step = mapped_fill_step(dev);
    mapped.clip = attr.clip;
    mapped.channel = attr.channel;
    polyfill_mapped(xs.data(), ys.data(), static_cast<int>(xs.size()), mapped);
    return;
  }
  FillRec fill;
  fill.attr = &attr;
  if (line_fill) {
    fill.style = FILL_LINES;
    fill.angle = static_cast<float>(pk.orientation * M_PI / 180.0);
    int spacing = pk.spacing != 0 ? static_cast<int>(pk.spacing * dev.x_px_cm) : dev.x_vsize / 100;
    fill.spacing = std::max(spacing, 1);
  } else if (pattern_given) {
    const ArrayDesc* d = pk.pattern->arr();
    fill.style = FILL_PATTERN;
    fill.pattern = pattern.data();
    fill.pat_nx = static_cast<int32_t>(d->dims[0]);
    fill.pat_ny = d->n_dim > 1 ? static_cast<int32_t>(d->dims[1]) : 1;
  }
  if (attr.clip) clip_polygon(xs, ys, attr.clip);
  if (xs.size() < 2) return;
  int n = static_cast<int>(xs.size());
  bool software = !dev.polyfill || (line_fill && !(dev.flags & DF_LINE_FILL)) || fill.style == FILL_PATTERN;
  if (software)
    polyfill_sfw(xs.data(), ys.data(), n, &fill);
  else
    dev.polyfill(xs.data(), ys.data(), n, &fill);
}

// ---- CONVERT_COORD ----------------------------------------------------------------------

Variable* ur_convert_coords(int argc, Variable* argv[], KwNames argk) {
  Variable* pos[3] = {nullptr, nullptr, nullptr};
  int n_args = get_kw_params(argc, argv, argk, kPointsKeywords, pos, PT_CONVERT);
  GraphAttr attr;
  attr_setup(plot_com, attr);
  if (pk.t3d_given) attr.t3d = pk.t3d ? plot_com.t : nullptr;
  attr.clip = nullptr;
  std::vector<GPoint> pts = points_of(pos, n_args, pk.z_given ? pk.z : 0.0f);
  auto n = static_cast<int32_t>(pts.size());
  int from = points_system(), to = system_of(pk.to_bits);
  int32_t dims[2] = {3, n};
  Variable* result;
  auto* out = static_cast<float*>(make_temp_array(TYP_FLOAT, n > 1 ? 2 : 1, dims, ARR_NOZERO, &result));
  for (int32_t i = 0; i < n; i++) {
    GPoint q;
    convert_coord(pts[i], from, q, to, attr);
    out[3 * i] = q.x;
    out[3 * i + 1] = q.y;
    out[3 * i + 2] = q.z;
  }
  return result;
}

// ---- USERSYM --------------------------------------------------------------------------

int32_t us_color, us_color_given, us_fill;
float us_thick;
int32_t us_thick_given;
constexpr KwEntry kUsersymKeywords[] = {
    {"COLOR", TYP_LONG, 1, KW_CLEAR, &us_color_given, &us_color},
    {"FILL", 0, 1, kFlagClear | 1, nullptr, &us_fill},
    {"THICK", TYP_FLOAT, 1, KW_CLEAR, &us_thick_given, &us_thick},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

void ur_usersym(int argc, Variable* argv[], KwNames argk) {
  Variable* pos[2] = {nullptr, nullptr};
  int n_args = get_kw_params(argc, argv, argk, kUsersymKeywords, pos, 1);
  std::vector<Vertex> v;
  if (n_args == 1) {
    Variable* a = pos[0];
    // A 2 x 1 array has lost its trailing dimension.
    if (!a->is_array() || a->arr()->dims[0] != 2 || a->arr()->n_dim > 2) message(M_USERSYM_2N, 0, MSG_LONGJMP);
    std::vector<float> f = float_values(a);
    for (size_t i = 0; i + 1 < f.size(); i += 2) v.push_back({f[i], f[i + 1]});
  } else {
    std::vector<float> x = float_values(pos[0]), y = float_values(pos[1]);
    if (x.size() != y.size()) message(M_SAME_POINTS, 0, MSG_LONGJMP);
    for (size_t i = 0; i < x.size(); i++) v.push_back({x[i], y[i]});
  }
  if (v.size() < 2 || v.size() > 49) message(M_POINTS_RANGE, 0, MSG_LONGJMP);
  user_symbol.v = std::move(v);
  user_symbol.fill = us_fill != 0;
  user_symbol.color = us_color_given ? us_color : -1;
  user_symbol.thick = us_thick_given ? us_thick : 1.0f;
}

// Name order.
const RoutineEntry kPlotProcedures[] = {
    {ur_oplot, "OPLOT", 1, 2, true},       {ur_plot, "PLOT", 1, 2, true},       {ur_plots, "PLOTS", 1, 3, true},
    {ur_plot_io, "PLOT_IO", 1, 2, true},   {ur_plot_oi, "PLOT_OI", 1, 2, true}, {ur_plot_oo, "PLOT_OO", 1, 2, true},
    {ur_polyfill, "POLYFILL", 1, 3, true}, {ur_usersym, "USERSYM", 1, 2, true},
};

}  // namespace

const RoutineEntry kPlotFunctions[] = {
    {ur_convert_coords, "CONVERT_COORD", 1, 3, true},
};

void register_plot_routines() {
  add_system_routine(kPlotProcedures, false, static_cast<int>(std::size(kPlotProcedures)));
  add_system_routine(kPlotFunctions, true, 1);
  register_axis_routines();
}
