// The graphics built-ins of the core: device selection and control (SET_PLOT, DEVICE),
// ERASE, EMPTY, image transfer (TV, TVSCL, TVRD) and the window
// dispatchers. Every group of graphics built-ins registers in register_graphics.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "graphics/device.h"
#include "graphics/plot.h"
#include "graphics/text.h"
#include "base/message.h"
#include "lib/arrays.h"
#include "values/convert.h"
#include "values/strings.h"
#include "lib/sysvars.h"
#include "values/temps.h"

namespace {


constexpr uint16_t kFlag = KW_BITFLAG | KW_CLEAR;

// The text of a scalar argument, any type.
std::string scalar_text(Variable* v) {
  if (!v->is_scalar()) var_error(M_NOT_SCALAR, v, MSG_LONGJMP);
  if (v->type == TYP_STRING) return str_chars(v->value.str);
  if (v->type == TYP_UNDEF || v->type == TYP_STRUCT) var_error(M_NOT_SCALAR, v, MSG_LONGJMP);
  StringDesc s{0, 0, nullptr};
  convert(&v->value, &s, 1, v->type, TYP_STRING);
  std::string out = str_chars(s);
  del_str(&s, 1);
  // Numbers print right-justified.
  size_t first = out.find_first_not_of(' ');
  return first == std::string::npos ? std::string() : out.substr(first);
}

// ---- SET_PLOT ---------------------------------------------------------------------------

int32_t sp_flags;
constexpr KwEntry kSetPlotKeywords[] = {
    {"COPY", 0, 1, kFlag | 1, nullptr, &sp_flags},
    {"INTERPOLATE", 0, 1, kFlag | 2, nullptr, &sp_flags},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

void ur_set_plot(int argc, Variable* argv[], KwNames argk) {
  Variable* pos[1] = {nullptr};
  get_kw_params(argc, argv, argk, kSetPlotKeywords, pos, 1);
  Variable* arg = pos[0];
  if (!arg->is_scalar()) var_error(M_NOT_SCALAR, arg, MSG_LONGJMP);
  inter_exit(0);
  int old_size = cur_dev() ? cur_dev()->table_size : 256;
  std::string name = scalar_text(arg);
  DeviceRecord* target = find_device(name.c_str());
  if (!target) message(M_DEVICE_NOT_AVAILABLE, 0, MSG_LONGJMP, name.c_str());
  if (target->can_select && !target->can_select(MSG_LONGJMP)) return;
  select_device(name.c_str());
  DeviceRecord& dev = *cur_dev();
  int n = old_size, m = dev.table_size;
  if ((sp_flags & 2) && n != m && n > 0 && m > 0 && m <= 256 && n <= 256) {
    for (int plane = 0; plane < 3; plane++) {
      uint8_t* c = color_map[plane];
      if (n < m) {
        for (int i = m - 1; i >= 0; i--) c[i] = c[i * n / m];
      } else {
        for (int i = 0; i < m; i++) c[i] = c[i * n / m];
      }
    }
  }
  if ((sp_flags & 3) && dev.load_color) dev.load_color(0, dev.table_size);
}

// DEVICE: the current driver decodes its own keywords.
void set_device(int argc, Variable* argv[], KwNames argk) {
  DeviceRecord& dev = need_device();
  if (!dev.device) no_device_slot();
  dev.device(argc, argv, argk);
}

// ---- ERASE, EMPTY ---------------------------------------------------------------------

int32_t erase_color, erase_color_given, erase_channel, erase_channel_given;
constexpr KwEntry kEraseKeywords[] = {
    {"CHANNEL", TYP_LONG, 1, KW_CLEAR, &erase_channel_given, &erase_channel},
    {"COLOR", TYP_LONG, 1, KW_CLEAR, &erase_color_given, &erase_color},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

void ur_erase(int argc, Variable* argv[], KwNames argk) {
  Variable* pos[1] = {nullptr};
  int n = get_kw_params(argc, argv, argk, kEraseKeywords, pos, 1);
  DeviceRecord& dev = need_device();
  GraphAttr attr;
  attr_setup(plot_com, attr);
  attr.color = plot_com.background;
  if (n > 0) attr.color = long_scalar(pos[0]);
  if (erase_color_given) attr.color = erase_color;
  attr.channel = erase_channel_given ? erase_channel : plot_com.channel;
  check_graphics_inited();
  if (!dev.erase) no_device_slot();
  dev.erase(&attr);
}

void ur_flush(int, Variable*[], KwNames) {
  DeviceRecord& dev = need_device();
  if (dev.flush) dev.flush();
}

// ---- TV, TVSCL, TVRD -------------------------------------------------------------------

int32_t tv_flags, tv_order, tv_order_given, tv_true, tv_channel, tv_channel_given, tv_top, tv_top_given;
float tv_xsize, tv_ysize;
int32_t tv_xsize_given, tv_ysize_given;
constexpr int32_t kTvCm = 1, kTvInches = 2, kTvWords = 4, kTvData = 8, kTvDevice = 16, kTvNormal = 32;
constexpr KwEntry kTvKeywords[] = {
    {"CENTIMETERS", 0, 1, kFlag | kTvCm, nullptr, &tv_flags},
    {"CHANNEL", TYP_LONG, 1, KW_CLEAR, &tv_channel_given, &tv_channel},
    {"DATA", 0, 1, kFlag | kTvData, nullptr, &tv_flags},
    {"DEVICE", 0, 1, kFlag | kTvDevice, nullptr, &tv_flags},
    {"INCHES", 0, 1, kFlag | kTvInches, nullptr, &tv_flags},
    {"NORMAL", 0, 1, kFlag | kTvNormal, nullptr, &tv_flags},
    {"ORDER", TYP_LONG, 1, KW_CLEAR, &tv_order_given, &tv_order},
    {"TOP", TYP_LONG, 1, KW_CLEAR, &tv_top_given, &tv_top},
    {"TRUE", TYP_LONG, 1, KW_CLEAR, nullptr, &tv_true},
    {"WORDS", 0, 1, kFlag | kTvWords, nullptr, &tv_flags},
    {"XSIZE", TYP_FLOAT, 1, KW_CLEAR, &tv_xsize_given, &tv_xsize},
    {"YSIZE", TYP_FLOAT, 1, KW_CLEAR, &tv_ysize_given, &tv_ysize},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

int32_t order_default() {
  SysVar* sv = find_sysvar("!ORDER");
  if (!sv) return 0;
  Variable* v = sysv_variable(sv);
  return v->is_scalar() ? long_scalar(v) : 0;
}

// The byte (or 16-bit) pixels of an image argument: TV converts, TVSCL scales.
std::vector<uint8_t> image_pixels(Variable* img, bool scale, int top, bool words) {
  std::vector<float> v;
  uint32_t n = img->n_elts();
  std::vector<uint8_t> out(static_cast<size_t>(n) * (words ? 2 : 1));
  if (!scale) {
    Variable* conv = basic_type_conversion(1, &img, words ? TYP_INT : TYP_BYTE);
    memcpy(out.data(), conv->arr()->data, out.size());
    if (conv != img) deltmp(conv);
    return out;
  }
  std::vector<double> d(n);
  const void* src = img->arr()->data;
  convert(src, d.data(), static_cast<int32_t>(n), img->type, TYP_DOUBLE);
  double lo = INFINITY, hi = -INFINITY;
  for (double x : d)
    if (std::isfinite(x)) {
      lo = std::min(lo, x);
      hi = std::max(hi, x);
    }
  double range = hi - lo;
  for (uint32_t i = 0; i < n; i++) {
    double x = d[i] - lo;
    int32_t b;
    if (!(range > 0) || !(x > 0))
      b = 0;
    else if (x >= range)
      b = top;
    else
      b = static_cast<int32_t>(x * top / range);
    if (words) {
      auto w = static_cast<int16_t>(b);
      memcpy(&out[2 * i], &w, 2);
    } else {
      out[i] = static_cast<uint8_t>(b);
    }
  }
  return out;
}

void tv_body(int argc, Variable* argv[], KwNames argk, bool scale) {
  Variable* pos[4] = {nullptr, nullptr, nullptr, nullptr};
  int n_args = get_kw_params(argc, argv, argk, kTvKeywords, pos, 1);
  Variable* img = pos[0];
  if (!img->is_array()) var_error(M_NOT_ARRAY, img, MSG_LONGJMP);
  if (img->type == TYP_STRING || img->type == TYP_STRUCT) var_error(M_NOT_ARRAY, img, MSG_LONGJMP);
  DeviceRecord& dev = need_device();
  check_graphics_inited();
  bool words = tv_flags & kTvWords;
  if (words && !(dev.flags & DF_WORDS)) message(M_NO_WORDS, 0, MSG_LONGJMP);
  if (tv_true < 0 || tv_true > 3) message(M_VALUE_RANGE, 0, MSG_LONGJMP, "TRUE");
  const ArrayDesc* a = img->arr();
  uint32_t dims[3] = {1, 1, 1};
  for (int i = 0; i < a->n_dim && i < 3; i++) dims[i] = a->dims[i];
  ImageRec rec;
  uint32_t nx = dims[0], ny = dims[1];
  if (tv_true) {
    if (dims[tv_true - 1] != 3) message(M_VALUE_RANGE, 0, MSG_LONGJMP, "TRUE");
    uint32_t other[2];
    int k = 0;
    for (int i = 0; i < 3; i++)
      if (i != tv_true - 1) other[k++] = dims[i];
    nx = other[0];
    ny = other[1];
    rec.true_color = tv_true;
  }
  if (nx > 65535 || ny > 65535) message(M_VALUE_RANGE, 0, MSG_LONGJMP, "image size");
  int top = tv_top_given ? tv_top : std::min(dev.table_size - 1, 255);
  if (!tv_top_given && dev.table_size < 3) top = 255;
  top = std::max(0, std::min(top, words ? 32767 : 255));
  std::vector<uint8_t> pixels = image_pixels(img, scale, top, words);
  rec.nx = static_cast<uint16_t>(nx);
  rec.ny = static_cast<uint16_t>(ny);
  rec.words = words;
  rec.order = tv_order_given ? tv_order : order_default();
  rec.channel = tv_channel_given ? tv_channel : plot_com.channel;
  // Displayed size: the keywords in their unit, else the visible device, or one image
  // pixel per device pixel where pixels do not scale.
  float unit = (tv_flags & kTvInches) ? dev.x_px_cm * 2.54f : (tv_flags & kTvCm) ? dev.x_px_cm : 1.0f;
  float yunit = (tv_flags & kTvInches) ? dev.y_px_cm * 2.54f : (tv_flags & kTvCm) ? dev.y_px_cm : 1.0f;
  if (!(dev.flags & DF_SCALABLE_PIXELS)) {
    rec.xsize = static_cast<int32_t>(nx);
    rec.ysize = static_cast<int32_t>(ny);
  } else {
    rec.xsize = tv_xsize_given ? static_cast<int32_t>(trunc_device(tv_xsize * unit)) : dev.x_vsize;
    rec.ysize = tv_ysize_given ? static_cast<int32_t>(trunc_device(tv_ysize * yunit)) : dev.y_vsize;
    if (tv_xsize_given && !tv_ysize_given)
      rec.ysize = static_cast<int32_t>(static_cast<double>(rec.xsize) * ny / nx);
    else if (tv_ysize_given && !tv_xsize_given)
      rec.xsize = static_cast<int32_t>(static_cast<double>(rec.ysize) * nx / ny);
  }
  int x = 0, y = 0;
  if (n_args == 2) {
    int p = long_scalar(pos[1]);
    int cw = rec.xsize, ch = rec.ysize;
    int columns = cw > 0 ? dev.x_vsize / cw : 0;
    if (columns > 0 && ch <= dev.y_vsize && p >= 0) {
      x = (p % columns) * cw;
      y = dev.y_vsize - (p / columns + 1) * ch;
    }
  } else if (n_args >= 3) {
    int system = (tv_flags & kTvData) ? COORD_DATA : (tv_flags & kTvNormal) ? COORD_NORMAL : COORD_DEVICE;
    GraphAttr attr;
    attr_setup(plot_com, attr);
    attr.t3d = nullptr;
    GPoint pt{static_cast<float>(double_scalar(pos[1])), static_cast<float>(double_scalar(pos[2])), 0, 0};
    convert_coord(pt, system, pt, DEVICE_INT, attr);
    x = static_cast<int>(pt.x);
    y = static_cast<int>(pt.y);
    if (n_args == 4) rec.channel = long_scalar(pos[3]);
  }
  if (!dev.image) no_device_slot();
  dev.image(pixels.data(), x, y, static_cast<int>(nx), static_cast<int>(ny), 1, &rec);
}

void ur_tv(int argc, Variable* argv[], KwNames argk) { tv_body(argc, argv, argk, false); }
void ur_tvscl(int argc, Variable* argv[], KwNames argk) { tv_body(argc, argv, argk, true); }

Variable* ur_tvrd(int argc, Variable* argv[], KwNames argk) {
  Variable* pos[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
  int n_args = get_kw_params(argc, argv, argk, kTvKeywords, pos, 1);
  DeviceRecord& dev = need_device();
  check_graphics_inited();
  if (!(dev.flags & DF_READ_PIXELS) || !dev.image) message(M_CANT_READ, 0, MSG_LONGJMP, str_chars(dev.name));
  bool words = tv_flags & kTvWords;
  if (words && !(dev.flags & DF_WORDS)) message(M_NO_WORDS, 0, MSG_LONGJMP);
  int v[4] = {0, 0, dev.x_vsize, dev.y_vsize};
  for (int i = 0; i < n_args && i < 4; i++) v[i] = long_scalar(pos[i]);
  if (n_args >= 1 && n_args < 3) v[2] = dev.x_vsize - v[0];
  if (n_args >= 2 && n_args < 4) v[3] = dev.y_vsize - v[1];
  const char* names[4] = {"X0", "Y0", "NX", "NY"};
  for (int i = 0; i < 4; i++)
    if (v[i] < 0 || (i >= 2 && v[i] == 0)) message(M_VALUE_RANGE, 0, MSG_LONGJMP, names[i]);
  if (v[0] + v[2] > dev.x_vsize) message(M_VALUE_RANGE, 0, MSG_LONGJMP, "NX");
  if (v[1] + v[3] > dev.y_vsize) message(M_VALUE_RANGE, 0, MSG_LONGJMP, "NY");
  if (tv_true < 0 || tv_true > 3) message(M_VALUE_RANGE, 0, MSG_LONGJMP, "TRUE");
  ImageRec rec;
  rec.nx = static_cast<uint16_t>(v[2]);
  rec.ny = static_cast<uint16_t>(v[3]);
  rec.words = words;
  rec.true_color = tv_true;
  rec.order = tv_order_given ? tv_order : order_default();
  rec.channel = tv_channel_given ? tv_channel : plot_com.channel;
  int32_t dims[3];
  int n_dim = 2;
  if (tv_true) {
    int k = 0;
    for (int i = 0; i < 3; i++) dims[i] = (i == tv_true - 1) ? 3 : (k++ == 0 ? v[2] : v[3]);
    n_dim = 3;
  } else {
    dims[0] = v[2];
    dims[1] = v[3];
  }
  Variable* result;
  auto* data = static_cast<uint8_t*>(make_temp_array(words ? TYP_INT : TYP_BYTE, n_dim, dims, ARR_ZERO, &result));
  dev.image(data, v[0], v[1], v[2], v[3], 0, &rec);
  return result;
}

// ---- CURSOR, TVCRS ----------------------------------------------------------------------

int32_t crs_flags, crs_z_given, crs_hide;
float crs_z;
constexpr int32_t kCrsChange = 1, kCrsData = 2, kCrsDevice = 4, kCrsDown = 8, kCrsNormal = 16, kCrsNowait = 32,
                  kCrsUp = 64, kCrsWait = 128;
constexpr KwEntry kCursorKeywords[] = {
    {"CHANGE", 0, 1, kFlag | kCrsChange, nullptr, &crs_flags},
    {"DATA", 0, 1, kFlag | kCrsData, nullptr, &crs_flags},
    {"DEVICE", 0, 1, kFlag | kCrsDevice, nullptr, &crs_flags},
    {"DOWN", 0, 1, kFlag | kCrsDown, nullptr, &crs_flags},
    {"HIDE_CURSOR", 0, 1, kFlag | 1, nullptr, &crs_hide},
    {"NORMAL", 0, 1, kFlag | kCrsNormal, nullptr, &crs_flags},
    {"NOWAIT", 0, 1, kFlag | kCrsNowait, nullptr, &crs_flags},
    {"UP", 0, 1, kFlag | kCrsUp, nullptr, &crs_flags},
    {"WAIT", 0, 1, kFlag | kCrsWait, nullptr, &crs_flags},
    {"Z", TYP_FLOAT, 1, KW_CLEAR, &crs_z_given, &crs_z},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

void ur_read_crs(int argc, Variable* argv[], KwNames argk) {
  Variable* pos[3] = {nullptr, nullptr, nullptr};
  int n_args = get_kw_params(argc, argv, argk, kCursorKeywords, pos, 1);
  DeviceRecord& dev = need_device();
  check_graphics_inited();
  static const int kWaitModes[5] = {2, 3, 6, 8, 7};
  int mode = 3;
  if (n_args == 3) {
    int w = long_scalar(pos[2]);
    if (w < 0 || w > 4) message(M_VALUE_RANGE, 0, MSG_LONGJMP, "WAIT");
    mode = kWaitModes[w];
  }
  if (crs_flags & kCrsNowait) mode = 2;
  if (crs_flags & kCrsWait) mode = 3;
  if (crs_flags & kCrsChange) mode = 6;
  if (crs_flags & kCrsDown) mode = 8;
  if (crs_flags & kCrsUp) mode = 7;
  if (!dev.cursor) no_device_slot();
  dev.cursor(mode, &mouse_rec);
  err_code = mouse_rec.button;
  if (crs_flags & kCrsDevice) {
    store_scalar(pos[0], TYP_LONG, &mouse_rec.x);
    store_scalar(pos[1], TYP_LONG, &mouse_rec.y);
    return;
  }
  GraphAttr attr;
  attr_setup(plot_com, attr);
  attr.t3d = nullptr;
  GPoint p{static_cast<float>(mouse_rec.x), static_cast<float>(mouse_rec.y), crs_z_given ? crs_z : 0, 0};
  int to = (crs_flags & kCrsNormal) ? COORD_NORMAL : COORD_DATA;
  convert_coord(p, COORD_DEVICE, p, to, attr);
  store_scalar(pos[0], TYP_FLOAT, &p.x);
  store_scalar(pos[1], TYP_FLOAT, &p.y);
}

void ur_set_crs(int argc, Variable* argv[], KwNames argk) {
  Variable* pos[2] = {nullptr, nullptr};
  int n_args = get_kw_params(argc, argv, argk, kCursorKeywords, pos, 1);
  DeviceRecord& dev = need_device();
  check_graphics_inited();
  if (!dev.cursor) no_device_slot();
  if (n_args == 2) {
    GraphAttr attr;
    attr_setup(plot_com, attr);
    int from = (crs_flags & kCrsData) ? COORD_DATA : (crs_flags & kCrsNormal) ? COORD_NORMAL : COORD_DEVICE;
    GPoint p{static_cast<float>(double_scalar(pos[0])), static_cast<float>(double_scalar(pos[1])),
             crs_z_given ? crs_z : 0, 0};
    convert_coord(p, from, p, DEVICE_INT, attr);
    mouse_rec.x = static_cast<int32_t>(p.x);
    mouse_rec.y = static_cast<int32_t>(p.y);
    dev.cursor(1, &mouse_rec);
    return;
  }
  bool show = n_args == 1 && variable_true(pos[0]);
  int mode = show ? 5 : ((dev.flags & DF_WINDOWS) && !crs_hide ? 9 : 4);
  dev.cursor(mode, &mouse_rec);
}

// ---- Windows ----------------------------------------------------------------------------

SysProc window_slot(SysProc DeviceRecord::*slot) {
  DeviceRecord& dev = need_device();
  check_graphics_inited();
  SysProc op = dev.*slot;
  if (!op) no_device_slot();
  return op;
}

void ur_window_create(int argc, Variable* argv[], KwNames argk) {
  window_slot(&DeviceRecord::window_create)(argc, argv, argk);
}
void ur_window_delete(int argc, Variable* argv[], KwNames argk) {
  window_slot(&DeviceRecord::window_delete)(argc, argv, argk);
}
void ur_window_show(int argc, Variable* argv[], KwNames argk) {
  window_slot(&DeviceRecord::window_show)(argc, argv, argk);
}
void ur_window_set(int argc, Variable* argv[], KwNames argk) {
  SysProc op = window_slot(&DeviceRecord::window_set);
  if (argc == 0) {
    Variable zero{};
    zero.type = TYP_LONG;
    zero.value.l = 0;
    Variable* args[1] = {&zero};
    op(1, args, nullptr);
    return;
  }
  op(argc, argv, argk);
}
Variable* ur_window_menu(int argc, Variable* argv[], KwNames argk) {
  DeviceRecord& dev = need_device();
  check_graphics_inited();
  if (!dev.window_menu) no_device_slot();
  return dev.window_menu(argc, argv, argk);
}

const RoutineEntry kGraphicsProcedures[] = {
    {ur_set_plot, "SET_PLOT", 1, 1, true},
    {ur_read_crs, "CURSOR", 2, 3, true},
    {ur_set_crs, "TVCRS", 0, 2, true},
    {set_device, "DEVICE", 0, 20, true},
    {ur_flush, "EMPTY", 0, 0},
    {ur_erase, "ERASE", 0, 1, true},
    {ur_tv, "TV", 1, 4, true},
    {ur_tvscl, "TVSCL", 1, 4, true},
    {ur_window_delete, "WDELETE", 0, 32, true},
    {ur_window_create, "WINDOW", 0, 1, true},
    {ur_window_set, "WSET", 0, 1, true},
    {ur_window_show, "WSHOW", 0, 2, true},
};
const RoutineEntry kGraphicsFunctions[] = {
    {ur_tvrd, "TVRD", 0, 5, true},
    {ur_window_menu, "WMENU", 1, 1, true},
};

// Entries must be in name order.
template <size_t N>
void add_sorted(const RoutineEntry (&entries)[N], bool is_function) {
  std::vector<RoutineEntry> sorted(entries, entries + N);
  std::sort(sorted.begin(), sorted.end(),
            [](const RoutineEntry& a, const RoutineEntry& b) { return strcmp(a.name, b.name) < 0; });
  static std::vector<std::vector<RoutineEntry>> keep;
  keep.push_back(std::move(sorted));
  add_system_routine(keep.back().data(), is_function, static_cast<int>(N));
}

}  // namespace

void register_graphics() {
  static bool done = false;
  if (done) return;
  done = true;
  add_sorted(kGraphicsProcedures, false);
  add_sorted(kGraphicsFunctions, true);
  register_plot_routines();
  register_text_routines();
}
