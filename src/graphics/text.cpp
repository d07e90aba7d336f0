#include "graphics/text.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "base/message.h"
#include "graphics/hershey.h"
#include "graphics/plot_window.h"
#include "values/convert.h"
#include "values/strings.h"

namespace {

constexpr float kDegrees = 3.14159265358979f / 180.0f;
constexpr int kDeviceTextBuffer = 200;

// Baseline and up axis of each text-axes code: 0 XY, 1 XZ, 2 YZ, 3 YX, 4 ZX, 5 ZY.
constexpr int axis_maj[6] = {0, 0, 1, 1, 2, 2};
constexpr int axis_min[6] = {1, 2, 2, 0, 0, 1};

int axes_code(int axes) { return axes >= 0 && axes < 6 ? axes : 0; }

// Device units of one NORMAL unit along axis k. z takes the height's scale, so that text
// in a plane with z is as tall as it is in the XY plane.
float axis_extent(const DeviceRecord& dev, int k) {
  return static_cast<float>(k == 0 ? dev.x_vsize : dev.y_vsize);
}

float* coord(GPoint& p, int k) { return k == 0 ? &p.x : k == 1 ? &p.y : &p.z; }

// ---- Vector text ------------------------------------------------------------------------

// Where the strokes of one line go: the start point in NORMAL units, the baseline and up
// directions there, and the device size of one nominal character height.
struct StrokeFrame {
  GraphAttr* attr;
  GPoint origin;
  int maj, min;
  float cos_t, sin_t;
  float height;              // device units per nominal height
  float unit_maj, unit_min;  // device units per NORMAL unit along the two axes
  float shift;               // nominal heights moved back for the alignment
  GPoint last;
};

void stroke(void* data, float x, float y, bool down) {
  auto* f = static_cast<StrokeFrame*>(data);
  const float u = x - f->shift;
  GPoint p = f->origin;
  *coord(p, f->maj) += (f->cos_t * u - f->sin_t * y) * f->height / f->unit_maj;
  *coord(p, f->min) += (f->sin_t * u + f->cos_t * y) * f->height / f->unit_min;
  if (down) draw_vector(f->last, p, *f->attr, COORD_NORMAL);
  f->last = p;
}

// One line of vector text at p (NORMAL). Returns its width in NORMAL x units.
float hersh_text(const GPoint& p, GraphAttr& attr, const TextAttr& text, const char* s, int length, int entry_font) {
  DeviceRecord& dev = need_device();
  const bool measure_only = text.size < 0;
  const float height = std::fabs(text.size) * static_cast<float>(dev.y_ch_size);
  const float to_normal = height / static_cast<float>(dev.x_vsize);
  float width = 0;
  if (measure_only || text.alignment != 0) {
    width = hersh_layout(s, length, 1.0f, false, nullptr, nullptr, entry_font);
    if (measure_only) return width * to_normal;
  }
  const int axes = axes_code(text.axes);
  StrokeFrame f{};
  f.attr = &attr;
  f.origin = p;
  f.maj = axis_maj[axes];
  f.min = axis_min[axes];
  f.cos_t = std::cos(text.orientation * kDegrees);
  f.sin_t = std::sin(text.orientation * kDegrees);
  f.height = height;
  f.unit_maj = axis_extent(dev, f.maj);
  f.unit_min = axis_extent(dev, f.min);
  f.shift = text.alignment * width;
  f.last = p;
  width = hersh_layout(s, length, 1.0f, true, stroke, &f, entry_font);
  return width * to_normal;
}

// ---- Device text ------------------------------------------------------------------------

// One line in the device's font at p (NORMAL). Returns its width in NORMAL x units.
float device_text(const GPoint& p, GraphAttr& attr, const TextAttr& text, const char* s, int length) {
  DeviceRecord& dev = need_device();
  char buffer[kDeviceTextBuffer];
  if (!(dev.flags & DF_TEXT_COMMANDS)) {
    length = un_hersh(s, length, buffer, kDeviceTextBuffer);
    if (length < 0) message_error(M_STRING_TOO_LONG, 0, MSG_LONGJMP, "Graphics text");
    s = buffer;
  }
  GPoint d;
  convert_coord(p, COORD_NORMAL, d, DEVICE_INT, attr);
  DevPoint at{static_cast<int32_t>(d.x), static_cast<int32_t>(d.y), static_cast<int32_t>(trunc_device(d.z))};
  TextAttr t = text;
  float width = 0;
  if (text.orientation == 0 || (dev.flags & DF_ANGLE_TEXT)) {
    width = dev.text(&at, &attr, &t, s, length);
  } else {
    // The device cannot turn its characters: place them one by one along the baseline.
    const float size = std::fabs(text.size);
    const float step_x = std::cos(text.orientation * kDegrees) * static_cast<float>(dev.x_ch_size) * size;
    const float step_y = std::sin(text.orientation * kDegrees) * static_cast<float>(dev.y_ch_size) * size;
    float x = static_cast<float>(at.x), y = static_cast<float>(at.y);
    if (text.alignment != 0 && (dev.flags & DF_FIXED_WIDTH)) {
      x -= static_cast<float>(length) * text.alignment * step_x;
      y -= static_cast<float>(length) * text.alignment * step_y;
      t.alignment = 0;
    }
    t.orientation = 0;
    for (int i = 0; i < length; i++) {
      DevPoint c{static_cast<int32_t>(trunc_device(x)), static_cast<int32_t>(trunc_device(y)), at.z};
      width += dev.text(&c, &attr, &t, s + i, 1);
      x += step_x;
      y += step_y;
    }
  }
  return width / static_cast<float>(dev.x_vsize);
}

float dispatch(const GPoint& p, GraphAttr& attr, const TextAttr& text, const char* s, int length, int entry_font) {
  DeviceRecord& dev = need_device();
  if (text.font < 0 || !dev.text) return hersh_text(p, attr, text, s, length, entry_font);
  return device_text(p, attr, text, s, length);
}

}  // namespace

float graph_text(const GPoint& p, int coord_system, GraphAttr& attr, const TextAttr& text, const char* s, int length) {
  DeviceRecord& dev = need_device();
  if (length < 0) length = 0;
  GPoint at;
  convert_coord(p, coord_system, at, COORD_NORMAL, attr);
  const bool vector = text.font < 0 || !dev.text;
  // Every line starts from the font the string began with (for !X).
  const int entry_font = vector ? hersh_font().number : -1;
  int first = -1;
  if (text_n_lines(s, length, &first) == 0) return dispatch(at, attr, text, s, length, entry_font);
  const int axes = axes_code(text.axes);
  const float height = std::fabs(text.size) * static_cast<float>(dev.y_ch_size) / static_cast<float>(dev.y_size);
  const float theta = text.orientation * kDegrees;
  float widest = 0;
  int offset = 0;
  for (;;) {
    const int rest = length - offset;
    const int n = text_n_lines(s + offset, rest, &first);
    const int line = n == 0 ? rest : first;
    widest = std::max(widest, dispatch(at, attr, text, s + offset, line, entry_font));
    if (n == 0) break;
    offset += line + 2;
    *coord(at, axis_maj[axes]) += std::sin(theta) * height;
    *coord(at, axis_min[axes]) -= std::cos(theta) * height;
  }
  return widest;
}

// ---- XYOUTS -----------------------------------------------------------------------------

namespace {

constexpr uint16_t kFlag = KW_BITFLAG | KW_CLEAR;

struct XyoutsKeywords {
  float alignment, charsize, charthick, orientation, size, z;
  int32_t channel, font, text_axes, t3d, noclip, systems;
  int32_t alignment_given, charsize_given, charthick_given, orientation_given, size_given, z_given;
  int32_t channel_given, font_given, text_axes_given, clip_given;
  float clip[6];
  KwArray clip_array{clip, 4, 6, 0};
  Variable* color;
  Variable* width;
};
XyoutsKeywords kw;

constexpr int32_t kData = 1, kDevice = 2, kNormal = 4;

const KwEntry kXyoutsKeywords[] = {
    {"ALIGNMENT", TYP_FLOAT, 1, KW_CLEAR, &kw.alignment_given, &kw.alignment},
    {"CHANNEL", TYP_LONG, 1, KW_CLEAR, &kw.channel_given, &kw.channel},
    {"CHARSIZE", TYP_FLOAT, 1, KW_CLEAR, &kw.charsize_given, &kw.charsize},
    {"CHARTHICK", TYP_FLOAT, 1, KW_CLEAR, &kw.charthick_given, &kw.charthick},
    {"CLIP", TYP_FLOAT, 1, KW_ARRAY | KW_CLEAR, &kw.clip_given, &kw.clip_array},
    {"COLOR", 0, 1, KW_OUTPUT | KW_CLEAR, nullptr, &kw.color},
    {"DATA", 0, 1, kFlag | kData, nullptr, &kw.systems},
    {"DEVICE", 0, 1, kFlag | kDevice, nullptr, &kw.systems},
    {"FONT", TYP_LONG, 1, KW_CLEAR, &kw.font_given, &kw.font},
    {"NOCLIP", 0, 1, kFlag | 1, nullptr, &kw.noclip},
    {"NORMAL", 0, 1, kFlag | kNormal, nullptr, &kw.systems},
    {"ORIENTATION", TYP_FLOAT, 1, KW_CLEAR, &kw.orientation_given, &kw.orientation},
    {"SIZE", TYP_FLOAT, 1, KW_CLEAR, &kw.size_given, &kw.size},
    {"T3D", 0, 1, kFlag | 1, nullptr, &kw.t3d},
    {"TEXT_AXES", TYP_LONG, 1, KW_CLEAR, &kw.text_axes_given, &kw.text_axes},
    {"WIDTH", 0, 1, KW_OUTPUT | KW_CLEAR, nullptr, &kw.width},
    {"Z", TYP_FLOAT, 1, KW_CLEAR, &kw.z_given, &kw.z},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

// Where the next XYOUTS with only a string continues, in NORMAL units.
GPoint text_position;

std::vector<float> float_elements(Variable* v) {
  if (v->type == TYP_STRING || v->type == TYP_STRUCT || v->type == TYP_UNDEF) var_error(M_NOT_ARRAY, v, MSG_LONGJMP);
  std::vector<float> out(v->n_elts());
  convert(v->data_ptr(), out.data(), static_cast<int32_t>(out.size()), v->type, TYP_FLOAT);
  return out;
}

std::vector<int32_t> long_elements(Variable* v) {
  if (v->type == TYP_STRING || v->type == TYP_STRUCT || v->type == TYP_UNDEF) var_error(M_NOT_ARRAY, v, MSG_LONGJMP);
  std::vector<int32_t> out(v->n_elts());
  convert(v->data_ptr(), out.data(), static_cast<int32_t>(out.size()), v->type, TYP_LONG);
  return out;
}

std::vector<std::string> string_elements(Variable* v) {
  if (v->type == TYP_STRUCT || v->type == TYP_UNDEF) var_error(M_NOT_ARRAY, v, MSG_LONGJMP);
  const uint32_t n = v->n_elts();
  std::vector<std::string> out;
  out.reserve(n);
  if (v->type == TYP_STRING) {
    const auto* s = static_cast<const StringDesc*>(v->data_ptr());
    for (uint32_t i = 0; i < n; i++) out.emplace_back(str_chars(s[i]), s[i].length);
    return out;
  }
  std::vector<StringDesc> conv(n, StringDesc{0, 0, nullptr});
  convert(v->data_ptr(), conv.data(), static_cast<int32_t>(n), v->type, TYP_STRING);
  for (uint32_t i = 0; i < n; i++) {
    std::string t(str_chars(conv[i]), conv[i].length);
    const size_t b = t.find_first_not_of(' ');
    out.push_back(b == std::string::npos ? std::string() : t.substr(b));
  }
  del_str(conv.data(), static_cast<int32_t>(n));
  return out;
}

void ur_text(int argc, Variable* argv[], KwNames argk) {
  Variable* pos[3] = {nullptr, nullptr, nullptr};
  const int n_args = get_kw_params(argc, argv, argk, kXyoutsKeywords, pos, 1);
  if (n_args == 2) message(M_INCORRECT_ARGS, 0, MSG_LONGJMP);
  DeviceRecord& dev = need_device();
  check_graphics_inited();

  GraphAttr attr;
  attr_setup(plot_com, attr);
  if (kw.t3d) attr.t3d = plot_com.t;
  attr.thick = kw.charthick_given ? kw.charthick : plot_com.charthick;
  if (kw.channel_given) attr.channel = kw.channel;
  const int system = (kw.systems & kDevice) ? COORD_DEVICE : (kw.systems & kNormal) ? COORD_NORMAL : COORD_DATA;
  setup_clipping(kw.noclip, kw.clip_given, kw.clip, system, attr);

  TextAttr text;
  text.font = kw.font_given ? kw.font : plot_com.font;
  text.axes = kw.text_axes_given ? kw.text_axes : 0;
  float size = kw.size_given ? kw.size : kw.charsize_given ? kw.charsize : plot_com.charsize;
  if (size == 0 || (!kw.size_given && !kw.charsize_given && size < 0)) size = 1.0f;
  text.size = size;
  text.orientation = kw.orientation_given ? kw.orientation : 0;
  text.alignment = kw.alignment_given ? kw.alignment : 0;

  std::vector<std::string> strings = string_elements(pos[n_args == 1 ? 0 : 2]);
  std::vector<float> xs, ys;
  size_t n = strings.size();
  if (n_args == 3) {
    xs = float_elements(pos[0]);
    ys = float_elements(pos[1]);
    for (auto* v : {&xs, &ys})
      if (v->size() > 1 || strings.size() == 1) n = std::max(n, v->size());
    for (Variable* v : {pos[0], pos[1], pos[2]})
      if (v->has_desc()) n = std::min<size_t>(n, v->n_elts());
  }
  std::vector<int32_t> colors;
  if (kw.color) {
    colors = long_elements(kw.color);
    if (kw.color->has_desc() && colors.size() < n)
      message(M_NOT_ENOUGH_ELEMENTS, 0, MSG_LONGJMP, varname(kw.color));
  }
  const float z = kw.z_given ? kw.z : ps.zvalue;
  const float cos_t = std::cos(text.orientation * kDegrees), sin_t = std::sin(text.orientation * kDegrees);
  float width = 0;
  for (size_t i = 0; i < n; i++) {
    const std::string& s = strings[strings.size() == 1 ? 0 : i];
    GPoint at;
    if (n_args == 3) {
      GPoint p{xs[xs.size() == 1 ? 0 : i], ys[ys.size() == 1 ? 0 : i], z, 0};
      if (!convert_coord(p, system, at, COORD_NORMAL, attr)) continue;  // e.g. not positive on a log axis
    } else {
      at = text_position;
    }
    if (!colors.empty()) attr.color = colors[colors.size() == 1 ? 0 : i];
    width = 0;
    if (!s.empty()) width = graph_text(at, COORD_NORMAL, attr, text, s.data(), static_cast<int>(s.size()));
    const float advance = std::fabs(width) * (1.0f - text.alignment);
    text_position = at;
    text_position.x += advance * cos_t;
    text_position.y += advance * sin_t * dev.aspect;
  }
  if (kw.width) store_scalar(kw.width, TYP_FLOAT, &width);
}

const RoutineEntry kTextProcedures[] = {
    {ur_text, "XYOUTS", 1, 3, true},
};

}  // namespace

void register_text_routines() {
  static bool done = false;
  if (done) return;
  done = true;
  add_system_routine(kTextProcedures, false, 1);
}
