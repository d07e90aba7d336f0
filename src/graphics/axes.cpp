#include "graphics/axes.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "graphics/hershey.h"
#include "graphics/text.h"
#include "interp/interpreter.h"
#include "base/message.h"
#include "io/format.h"
#include "lib/arrays.h"
#include "values/convert.h"
#include "values/strings.h"
#include "values/temps.h"

namespace {

constexpr double kTiny = 5e-6;

bool text_commands_allowed() {
  DeviceRecord* d = cur_dev();
  return p_com.font < 0 || (d && (d->flags & DF_TEXT_COMMANDS));
}

}  // namespace

// ---- Interval routine ---------------------------------------------------------------

TickInterval axis_interval(double lo, double hi, int n, bool ticks_given, bool log) {
  static constexpr double kThreshold[4] = {1.414214, 3.162278, 7.071068, 10.0};
  static constexpr double kMultiple[5] = {1, 2, 5, 10, 20};
  static constexpr int kMinor[5] = {10, 4, 5, 10, 4};
  TickInterval r;
  if (lo == hi) hi = lo + 1;
  bool reversed = hi < lo;
  if (reversed) std::swap(lo, hi);
  if (n < 1) n = 1;
  bool done = false;
  if (log) {
    if (hi <= 0) {
      lo = 0;
      hi = 2;
    } else {
      hi = std::log10(hi);
      lo = lo > 0 ? std::log10(lo) : hi - 6;
    }
    if (!ticks_given) {
      r.start = std::floor(lo + kTiny);
      r.end = std::ceil(hi - kTiny);
      if (static_cast<long>(r.end - r.start) < 7) {
        r.interval = 1.0;
        done = true;
      }
    }
  }
  if (!done) {
    double d = (hi - lo) / n;
    // The power of ten below d, by repeated multiplication so that it is exact.
    int e = static_cast<int>(std::floor(std::log10(d)));
    double p = 1;
    for (int k = 0; k < std::abs(e); k++) p *= 10;
    if (e < 0) p = 1 / p;
    double m = d / p;
    int i = 0;
    while (i < 4 && !(ticks_given ? m <= kMultiple[i] + 1e-7 : m < kThreshold[i])) i++;
    r.interval = kMultiple[i] * p;
    if (log && !ticks_given) r.interval = std::max(r.interval, 1.0);
    r.minor = kMinor[i];
    double ks = std::floor(lo / r.interval);
    if (std::fabs(ks + 1 - lo / r.interval) < kTiny) ks += 1;
    r.start = ks * r.interval;
    double q = hi / r.interval;
    double ke = std::trunc(q + 1);
    if (q < -1) ke -= 1;
    if (std::fabs(q + 1 - ke) < kTiny) ke -= 1;
    r.end = ke * r.interval;
    if (ticks_given) {
      double have = ke - ks;
      if (n < have) {
        r.interval = (r.end - r.start) / n;
      } else {
        // Centre the n intervals on the data.
        r.start -= std::trunc((n - have) / 2) * r.interval;
        r.end = r.start + n * r.interval;
      }
    }
    r.start = std::min(r.start, lo);
    r.end = std::max(r.end, hi);
  }
  if (reversed) {
    r.interval = -r.interval;
    std::swap(r.start, r.end);
  }
  return r;
}

// ---- Scaling --------------------------------------------------------------------------

void axis_scale(AxisRec& axis, int index) {
  if (axis.ticks < 0 || axis.ticks > 29) message(M_VALUE_RANGE, 0, MSG_LONGJMP, "number of ticks");
  bool log = axis.type == 1;
  bool repaired = false;
  if (log && axis.crange[0] == 0) {
    axis.crange[0] = axis.crange[1] * 1e-12f;
    repaired = true;
  }
  for (float& c : axis.crange)
    if (!std::isfinite(c)) {
      c = 1.0f;
      repaired = true;
    }
  if (repaired) {
    inter_exit(1);
    message(M_INFINITE_RANGE, 0, MSG_INFO);
  }
  bool exact = axis.style & 1;
  bool ticks_given = axis.ticks > 0;
  int n;
  if (ticks_given && axis.tickv[0] != axis.tickv[1]) {
    // The user's tick values fix the range.
    n = axis.ticks;
    float a = axis.tickv[0], b = axis.tickv[n];
    float lo = std::min(a, b), hi = std::max(a, b);
    if (axis.crange[0] > axis.crange[1]) std::swap(lo, hi);
    axis.crange[0] = lo;
    axis.crange[1] = hi;
    if (log)
      for (float& c : axis.crange) c = c > 0 ? std::log10(c) : -12.0f;
  } else {
    n = ticks_given ? axis.ticks : (exact ? 5 : 4);
    TickInterval iv;
    if (exact && ticks_given) {
      double lo = axis.crange[0], hi = axis.crange[1];
      if (log) {
        lo = lo > 0 ? std::log10(lo) : -12;
        hi = hi > 0 ? std::log10(hi) : -12;
      }
      iv.start = lo;
      iv.end = hi;
      iv.interval = (hi - lo) / n;
    } else {
      iv = axis_interval(axis.crange[0], axis.crange[1], n, ticks_given, log);
      if (!ticks_given) n = static_cast<int>((iv.end - iv.start) / iv.interval + 0.1);
    }
    n = std::min(std::max(n, 1), 29);
    if (axis.minor == 0) {
      if (!log)
        axis.minor = iv.minor;
      else
        axis.minor = (n < 7 && std::fabs(iv.interval) == 1.0) ? 9 : static_cast<int>(std::fabs(iv.interval));
    }
    double start = iv.start;
    if (!exact) {
      axis.crange[0] = static_cast<float>(start);
      axis.crange[1] = static_cast<float>(start + n * iv.interval);
    } else if (!ticks_given && n > 1) {
      double lo = axis.crange[0], hi = axis.crange[1];
      if (log) {
        lo = lo > 0 ? std::log10(lo) : -12;
        hi = hi > 0 ? std::log10(hi) : -12;
      }
      double eps = std::fabs(iv.interval) * 1e-5;
      double dir = iv.interval > 0 ? 1 : -1;
      if ((lo - start) * dir > eps) {
        start += iv.interval;
        n--;
      }
      if ((start + n * iv.interval - hi) * dir > eps) n--;
    }
    for (int k = 0; k <= n; k++) {
      double v = start + k * iv.interval;
      axis.tickv[k] = static_cast<float>(log ? std::pow(10.0, v) : v);
    }
    axis.ticks = n;
    if (exact && log)
      for (float& c : axis.crange) c = c > 0 ? std::log10(c) : -12.0f;
  }
  format_ticks(axis, index);
  if (axis.style & 2) {
    float span = axis.crange[1] - axis.crange[0];
    axis.crange[0] -= 0.025f * span;
    axis.crange[1] += 0.025f * span;
  }
  float span = axis.crange[1] - axis.crange[0];
  if (span == 0) span = 1;
  axis.s[1] = (axis.window[1] - axis.window[0]) / span;
  axis.s[0] = axis.window[0] - axis.crange[0] * axis.s[1];
  if (axis.tick_get) {
    int32_t dims[1] = {axis.ticks + 1};
    Variable* result;
    auto* out = static_cast<float*>(make_temp_array(TYP_FLOAT, 1, dims, ARR_NOZERO, &result));
    std::copy(axis.tickv, axis.tickv + axis.ticks + 1, out);
    var_copy(result, axis.tick_get);
  }
}

// ---- Labels ---------------------------------------------------------------------------

namespace {

struct Measure {
  bool negative = false;
  double smallest = 0, largest = 0, min_diff = 0;
  bool all_one = true;
  int int_digits = 0, decimals = 0, width = 0;
};

void split_exponent(double v, double& m, int& e) {
  double l = std::log10(std::fabs(v));
  e = static_cast<int>(std::floor(l));
  m = std::pow(10.0, l - e);
  if (std::fabs(m - 10) < kTiny) {
    m = 1;
    e++;
  }
  if (v < 0) m = -m;
}

Measure measure(const std::vector<double>& vals) {
  Measure r;
  double prev = NAN;
  r.smallest = INFINITY;
  r.largest = 0;
  r.min_diff = INFINITY;
  for (double v : vals) {
    if (!std::isfinite(v)) continue;
    if (v < 0) r.negative = true;
    double a = std::fabs(v);
    if (a != 0) {
      r.smallest = std::min(r.smallest, a);
      r.largest = std::max(r.largest, a);
    }
    if (!std::isnan(prev)) r.min_diff = std::min(r.min_diff, std::fabs(v - prev));
    prev = v;
    if (a != 0 && std::fabs(a - 1) >= kTiny) r.all_one = false;
  }
  if (!std::isfinite(r.smallest)) r.smallest = 0;
  if (!std::isfinite(r.min_diff)) r.min_diff = 0;
  r.int_digits = r.largest >= 1 ? static_cast<int>(std::floor(std::log10(r.largest) + 1e-9)) + 1 : 0;
  int d = 0;
  if (r.largest > 0 && r.smallest / r.largest > 1e-6 && r.smallest < 1000) {
    while (d < 6) {
      double x = r.smallest * std::pow(10.0, d);
      double k = std::round(x);
      if (k >= 1 && std::fabs(x - k) <= 0.01 * k) break;
      d++;
    }
  }
  if (r.min_diff > 0 && r.min_diff < 1) d = std::max(d, static_cast<int>(std::ceil(-std::log10(r.min_diff) - 1e-6)));
  r.decimals = std::min(d, 6);
  r.width = r.int_digits + r.decimals + (r.negative ? 1 : 0);
  return r;
}

}  // namespace

std::vector<std::string> default_tick_labels(const std::vector<double>& input, bool log, bool commands) {
  std::vector<double> vals = input;
  if (!log && vals.size() > 1) {
    double md = INFINITY;
    for (size_t k = 1; k < vals.size(); k++)
      if (std::isfinite(vals[k]) && std::isfinite(vals[k - 1])) md = std::min(md, std::fabs(vals[k] - vals[k - 1]));
    if (std::isfinite(md))
      for (double& v : vals)
        if (std::fabs(v) < md * 1e-7) v = 0;
  }
  Measure m = measure(vals);
  bool exponential = false;
  std::vector<double> mant(vals.size(), 0);
  std::vector<int> expo(vals.size(), 0);
  if (m.decimals > 4 || m.int_digits > 4 || m.width > 6) {
    exponential = true;
    std::vector<double> ms;
    for (size_t k = 0; k < vals.size(); k++) {
      if (std::isfinite(vals[k]) && vals[k] != 0) split_exponent(vals[k], mant[k], expo[k]);
      ms.push_back(std::isfinite(vals[k]) ? mant[k] : vals[k]);
    }
    m = measure(ms);
  }
  const std::vector<double>& used = exponential ? mant : vals;
  if (used.size() >= 2 && m.decimals < 6 && m.min_diff > 0) {
    while (m.decimals < 6) {
      double scale = std::pow(10.0, m.decimals);
      double rounded = std::round(m.min_diff * scale) / scale;
      if (std::fabs(rounded - m.min_diff) <= 0.05 * m.min_diff) break;
      m.decimals++;
      m.width++;
    }
  }
  char fmt[48];
  if (m.decimals > 0)
    snprintf(fmt, sizeof fmt, "%%#%d.%df", m.width + 1, m.decimals);
  else
    snprintf(fmt, sizeof fmt, "%%%d.%df", m.width, 0);
  if (exponential) strncat(fmt, commands ? "!MX10!A%d" : "E%d", sizeof fmt - strlen(fmt) - 1);
  std::vector<std::string> out;
  char buf[96];
  for (size_t k = 0; k < vals.size(); k++) {
    double v = vals[k];
    if (!std::isfinite(v)) {
      out.emplace_back("Infinity");
      continue;
    }
    if (!exponential) {
      snprintf(buf, sizeof buf, fmt, v);
    } else if (v == 0) {
      snprintf(buf, sizeof buf, "0");
    } else if (m.all_one) {
      snprintf(buf, sizeof buf, commands ? "10!A%d" : "1.0E%d", expo[k]);
    } else {
      snprintf(buf, sizeof buf, fmt, mant[k], expo[k]);
    }
    const char* p = buf;
    while (*p == ' ') p++;
    out.emplace_back(std::string(p).substr(0, TICK_LABEL_CHARS - 1));
  }
  return out;
}

namespace {

// A label from a TICKFORMAT beginning with "(": the value through the format.
std::string format_with(const char* format, float value) {
  std::string text;
  FormatScope scope;
  init_fmt(format);
  Variable v{};
  v.type = TYP_FLOAT;
  v.value.f = value;
  Variable* values[1] = {&v};
  RecordIo io;
  io.put = [](void* ctx, const char* t, size_t len, bool) {
    auto* s = static_cast<std::string*>(ctx);
    if (s->empty()) s->assign(t, len);
  };
  io.ctx = &text;
  fmt_output(1, values, io);
  return text;
}

// A label from a TICKFORMAT naming a user function of (axis, index, value).
std::string format_by_function(const char* name, int axis, int index, float value) {
  Variable a{}, i{}, v{};
  a.type = TYP_LONG;
  a.value.l = axis;
  i.type = TYP_LONG;
  i.value.l = index;
  v.type = TYP_FLOAT;
  v.value.f = value;
  Variable* args[3] = {&a, &i, &v};
  std::string upper(name);
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  CallRecord rec{1, 3, nullptr, upper.c_str(), args, nullptr};
  call_from_sysproc(&rec);
  Variable* r = rec.result;
  if (!r) return {};
  struct Release {
    Variable* t;
    ~Release() {
      if (t->is_temp()) deltmp(t);
    }
  } release{r};
  if (r->type != TYP_STRING) var_error(M_NEED_STRING, r, MSG_LONGJMP);
  if (!r->is_scalar()) var_error(M_NOT_SCALAR, r, MSG_LONGJMP);
  return std::string(str_chars(r->value.str)).substr(0, TICK_LABEL_CHARS - 1);
}

}  // namespace

void format_ticks(AxisRec& axis, int index) {
  int n = axis.ticks + 1;
  std::vector<std::string> labels;
  const char* tf = str_chars(axis.tickformat);
  if (!*tf) {
    std::vector<double> vals(axis.tickv, axis.tickv + n);
    labels = default_tick_labels(vals, axis.type == 1, text_commands_allowed());
  } else {
    for (int k = 0; k < n; k++) {
      if (axis.tickname[k].length) {
        labels.emplace_back();
        continue;
      }
      labels.push_back(tf[0] == '(' ? format_with(tf, axis.tickv[k]) : format_by_function(tf, index, k, axis.tickv[k]));
      size_t first = labels.back().find_first_not_of(' ');
      labels.back() = first == std::string::npos ? std::string() : labels.back().substr(first);
    }
  }
  char (*buf)[TICK_LABEL_CHARS] = ps.tick_labels[index];
  for (int k = 0; k < n && k < 30; k++) {
    if (axis.tickname[k].length) continue;  // the user's own label
    snprintf(buf[k], TICK_LABEL_CHARS, "%s", labels[k].c_str());
    axis.tickname[k] = StringDesc{static_cast<uint16_t>(strlen(buf[k])), 0, buf[k]};
  }
}

// ---- Drawing --------------------------------------------------------------------------

namespace {

struct AxisPosition {
  int axis;           // 0 x, 1 y, 2 z
  int fixed_high[3];  // per coordinate: 1 the window's high end, 0 the low end
  int tick_axis;      // coordinate the ticks run along
  float tick_sign;
  float label_offset;
  float label_align;
  float title_angle;
  float title_offset;
  bool title_out;
};

constexpr AxisPosition kPositions[8] = {
    {0, {0, 0, 0}, 1, 1, -1.5f, 0.5f, 0, -1.3f, false},
    {1, {0, 0, 0}, 0, 1, -0.5f, 1.0f, 90, -1.5f, true},
    {0, {0, 1, 0}, 1, -1, 0.5f, 0.5f, 0, 1.0f, false},
    {1, {1, 0, 0}, 0, -1, 0.5f, 0.0f, 90, 1.7f, true},
    {2, {1, 0, 0}, 0, -1, 0.5f, 0.0f, 90, 1.0f, true},
    {2, {0, 0, 0}, 0, 1, -0.5f, 1.0f, 90, -1.0f, true},
    {2, {0, 1, 0}, 0, 1, -0.5f, 1.0f, 90, -1.0f, true},
    {2, {1, 1, 0}, 0, -1, 0.5f, 0.0f, 90, 1.0f, true},
};

float window_length(int a) {
  const AxisRec& w = *axis_ptr[a];
  if (w.window[0] != w.window[1]) return w.window[1] - w.window[0];
  return to_axis[a]->window[1] - to_axis[a]->window[0];
}

void line(GraphAttr& attr, const float a[3], const float b[3]) {
  GPoint p0{a[0], a[1], a[2], 0}, p1{b[0], b[1], b[2], 0};
  draw_vector(p0, p1, attr, COORD_NORMAL);
}

// The NORMAL position of axis value v (its logarithm on a logarithmic axis).
float axis_normal(const AxisRec& axis, double v) {
  if (axis.type == 1) v = v > 0 ? std::log10(v) : std::log10(static_cast<double>(FLT_MIN));
  return static_cast<float>(axis.s[0] + axis.s[1] * v + 1e-6);
}

}  // namespace

void draw_axis(AxisRec& axis, int code, bool with_labels) {
  const AxisPosition& pos = kPositions[code & 7];
  DeviceRecord& dev = need_device();
  GraphAttr attr = ps.attr;
  attr.clip = nullptr;  // axes, labels and titles lie outside the data window
  attr.thick = axis.thick > 0 ? axis.thick : 1.0f;
  float size = (axis.charsize <= 0 ? 1.0f : axis.charsize) * (p_com.charsize <= 0 ? 1.0f : p_com.charsize);
  float ch[3] = {static_cast<float>(dev.x_ch_size) / static_cast<float>(dev.x_vsize) * size,
                 static_cast<float>(dev.y_ch_size) / static_cast<float>(dev.y_vsize) * size,
                 static_cast<float>(dev.x_ch_size) / static_cast<float>(dev.x_vsize) * size};
  bool three_d = attr.t3d != nullptr;
  float base[3];
  for (int a = 0; a < 3; a++) base[a] = axis_ptr[a]->window[pos.fixed_high[a]];
  if (!three_d) base[2] = ps.zvalue;
  int along = pos.axis;
  float p0[3] = {base[0], base[1], base[2]}, p1[3] = {base[0], base[1], base[2]};
  p0[along] = axis.window[0];
  p1[along] = axis.window[1];
  line(attr, p0, p1);
  attr.thick = 1.0f;

  float ticklen = axis.ticklen != 0 ? axis.ticklen : p_com.ticklen;
  float major = ticklen * window_length(pos.tick_axis) * pos.tick_sign;
  // Long ticks are grid lines: their minor ticks stay short.
  float minor_len = ticklen >= 0.3f ? 0.015f * window_length(pos.tick_axis) * pos.tick_sign : major / 2;
  int perp = pos.tick_axis;
  float label_push = ticklen < 0 ? -std::fabs(major) : 0.0f;  // outward ticks move labels out
  if (pos.label_offset > 0) label_push = -label_push;

  TextAttr text;
  text.font = p_com.font;
  text.axes = along == 2 ? 1 : 0;
  text.size = size;
  text.alignment = pos.label_align;
  GraphAttr tattr = attr;
  tattr.thick = p_com.charthick;
  float widest = 0;
  GraphAttr tick_attr = attr;
  tick_attr.linestyle = axis.gridstyle;
  int n = axis.ticks;
  float lo_end = std::min(axis.window[0], axis.window[1]), hi_end = std::max(axis.window[0], axis.window[1]);
  for (int k = 0; k <= n; k++) {
    float t = axis_normal(axis, axis.tickv[k]);
    float a[3] = {base[0], base[1], base[2]}, b[3];
    a[along] = t;
    std::copy(a, a + 3, b);
    b[perp] += major;
    line(tick_attr, a, b);
    if (!with_labels || k >= 30 || !axis.tickname[k].length) continue;
    float q[3] = {a[0], a[1], a[2]};
    q[perp] += pos.label_offset * ch[perp] + label_push;
    if (along == 1) {
      q[1] -= 0.4f * ch[1];
      q[1] = std::max(q[1], axis.window[0]);
      q[1] = std::min(q[1], axis.window[1] - 0.7f * ch[1]);
    }
    GPoint gp{q[0], q[1], q[2], 0};
    float w = graph_text(gp, COORD_NORMAL, tattr, text, axis.tickname[k].chars, axis.tickname[k].length);
    widest = std::max(widest, w);
  }
  if (axis.minor > 1 && n >= 1) {
    bool log_nine = axis.type == 1 && axis.minor == 9;
    auto minor_tick = [&](double v, bool is_log_value) {
      float t = is_log_value ? static_cast<float>(axis.s[0] + axis.s[1] * v) : axis_normal(axis, v);
      if (!(t > lo_end && t < hi_end)) return;
      float a[3] = {base[0], base[1], base[2]}, b[3];
      a[along] = t;
      std::copy(a, a + 3, b);
      b[perp] += minor_len;
      line(attr, a, b);
    };
    if (log_nine) {
      for (int j = 2; j <= 9; j++) minor_tick(axis.tickv[0] * j / 10.0, false);
      for (int k = 0; k <= n; k++)
        for (int j = 2; j <= 9; j++) minor_tick(static_cast<double>(axis.tickv[k]) * j, false);
    } else {
      auto value = [&](int k) {
        return axis.type == 1 ? std::log10(std::max(static_cast<double>(axis.tickv[k]), 1e-38))
                              : static_cast<double>(axis.tickv[k]);
      };
      // Each interval between ticks, one before the first and one after the last (user
      // tick values need not be evenly spaced).
      for (int k = -1; k <= n; k++) {
        int a = std::clamp(k, 0, n - 1);
        double step = value(a + 1) - value(a);
        double start = k < 0 ? value(0) - step : value(k);
        for (int j = 1; j < axis.minor; j++) minor_tick(start + j * step / axis.minor, axis.type == 1);
      }
    }
  }
  if (!with_labels || !axis.title.length) return;
  int first;
  int lines = text_n_lines(axis.title.chars, axis.title.length, &first);
  float q[3] = {base[0], base[1], base[2]};
  q[along] = (axis.window[0] + axis.window[1]) / 2;
  float off = pos.label_offset * ch[perp] + label_push + pos.title_offset * ch[perp];
  float sign = pos.title_offset < 0 ? -1.0f : 1.0f;
  if (pos.title_out) off += sign * widest;
  if (sign < 0) off -= lines * ch[perp];
  q[perp] += off;
  TextAttr title = text;
  title.alignment = 0.5f;
  title.orientation = pos.title_angle;
  if (title.orientation != 0 && p_com.font >= 0 && dev.text && !(dev.flags & DF_ANGLE_TEXT)) {
    title.orientation = -title.orientation;
    q[perp] += 0.5f * ch[perp];
  }
  GPoint gp{q[0], q[1], q[2], 0};
  graph_text(gp, COORD_NORMAL, tattr, title, axis.title.chars, axis.title.length);
}

void do_title(bool three_d) {
  DeviceRecord& dev = need_device();
  GraphAttr attr = ps.attr;
  attr.clip = nullptr;
  attr.thick = p_com.charthick;
  float cy = static_cast<float>(dev.y_ch_size) / static_cast<float>(dev.y_vsize) * p_com.charsize;
  TextAttr text;
  text.font = p_com.font;
  text.alignment = 0.5f;
  float x = (xax.window[0] + xax.window[1]) / 2;
  int first;
  if (p_com.title.length) {
    int lines = text_n_lines(p_com.title.chars, p_com.title.length, &first);
    text.size = 1.25f * p_com.charsize;
    GPoint p{x, yax.window[1] + (static_cast<float>(lines) + 0.4f) * 1.5f * cy, three_d ? 1.0f : ps.zvalue, 0};
    graph_text(p, COORD_NORMAL, attr, text, p_com.title.chars, p_com.title.length);
  }
  if (p_com.subtitle.length) {
    int xlines = xax.title.length ? text_n_lines(xax.title.chars, xax.title.length, &first) : 0;
    text.size = p_com.charsize;
    GPoint p{x, yax.window[0] - (4.0f + static_cast<float>(xlines)) * cy, three_d ? 0.0f : ps.zvalue, 0};
    graph_text(p, COORD_NORMAL, attr, text, p_com.subtitle.chars, p_com.subtitle.length);
  }
}

// ---- AXIS -----------------------------------------------------------------------------

namespace {

void ur_axis(int argc, Variable* argv[], KwNames argk) {
  init_plot_vars(0, false);
  Variable* pos[3] = {nullptr, nullptr, nullptr};
  int n_args = decode_plot_keywords(argc, argv, argk, pos, PP_AXIS);
  init_plot_vars(1, false);
  DeviceRecord& dev = need_device();
  float v[3] = {0, 0, ps.zvalue};
  for (int k = 0; k < n_args; k++) v[k] = static_cast<float>(double_scalar(pos[k]));
  GraphAttr attr = ps.attr;
  attr.clip = nullptr;
  GPoint p{v[0], v[1], v[2], 0};
  if (n_args > 0) convert_coord(p, ps.coord_system, p, COORD_NORMAL, attr);
  // A missing z is the plot's own ZVALUE, already NORMAL.
  if (n_args < 3) p.z = ps.zvalue;
  if (p_com.charsize <= 0) p_com.charsize = 1.0f;
  if (p_com.multi[1] > 2 || p_com.multi[2] > 2) p_com.charsize *= 0.5f;
  ps.ch_size[0] = static_cast<float>(dev.x_ch_size) * p_com.charsize / static_cast<float>(dev.x_vsize);
  ps.ch_size[1] = static_cast<float>(dev.y_ch_size) * p_com.charsize / static_cast<float>(dev.y_vsize);
  int which, code;
  if (ps.axis_pos_given[1]) {
    which = 1;
    code = 1 + 2 * ((ps.axis_pos[1] >> 0) & 1);
  } else if (ps.axis_pos_given[2]) {
    which = 2;
    code = 4 + ((ps.axis_pos[2] % 4) + 4) % 4;
  } else {
    which = 0;
    code = 2 * (ps.axis_pos[0] & 1);
  }
  // With a position the other axes' windows collapse onto it.
  float saved[3][2];
  const float at[3] = {p.x, p.y, p.z};
  for (int a = 0; a < 3; a++) {
    std::copy(axis_ptr[a]->window, axis_ptr[a]->window + 2, saved[a]);
    // Collapsed to a point: the tick length then comes from the user-visible record.
    if (a != which && a < n_args) axis_ptr[a]->window[0] = axis_ptr[a]->window[1] = at[a];
  }
  AxisRec& axis = *axis_ptr[which];
  if (ps.type_given[which]) axis.type = ps.type_kw[which] & 1;
  if (axis.range[0] == axis.range[1]) {
    if (to_axis[which]->type == 1)
      for (float& c : axis.crange) c = std::pow(10.0f, c);
  } else {
    axis.crange[0] = axis.range[0];
    axis.crange[1] = axis.range[1];
  }
  axis_scale(axis, which);
  draw_axis(axis, code, true);
  for (int a = 0; a < 3; a++)
    if (a != which) std::copy(saved[a], saved[a] + 2, axis_ptr[a]->window);
  if (ps.save) init_plot_vars(2, false);
}

const RoutineEntry kAxisProcedures[] = {
    {ur_axis, "AXIS", 0, 3, true},
};

}  // namespace

void register_axis_routines() { add_system_routine(kAxisProcedures, false, 1); }
