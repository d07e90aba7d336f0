// Routines shared by the drivers: line-wrapped file output, dash patterns with their
// phase, polygon scan conversion and the software fill built on the draw and image slots.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "graphics/device.h"
#include "base/message.h"
#include "interp/interpreter.h"
#include "io/files.h"

namespace {

FILE* unit_stream(int unit) {
  if (unit < UNIT_MIN || unit > UNIT_MAX || !file_table[unit] || !file_table[unit]->stream)
    message(M_WRITE_FAILED, 0, MSG_LONGJMP, "<closed unit>");
  return file_table[unit]->stream;
}

void write_or_fail(int unit, const char* bytes, size_t count) {
  FILE* f = unit_stream(unit);
  if (count && fwrite(bytes, 1, count, f) != count) {
    int e = errno;
    clearerr(f);
    message(M_WRITE_FAILED, e, MSG_LONGJMP, file_table[unit]->name ? file_table[unit]->name : "");
  }
}

void end_line(PoutState& st) {
  write_or_fail(st.unit, "\n", 1);
  st.column = 0;
}
}  // namespace

void pout_raw(int unit, const void* bytes, size_t count) { write_or_fail(unit, static_cast<const char*>(bytes), count); }

long pout_seek(PoutState& st, long position) {
  if (st.column) end_line(st);
  FILE* f = unit_stream(st.unit);
  if (fflush(f) != 0 || fseek(f, position, SEEK_SET) != 0)
    message(M_SEEK_FAILED, errno, MSG_LONGJMP, st.unit, position);
  return position;
}

long pout(PoutState& st, int flags, const char* format, ...) {
  if (flags & (POUT_GET_POS | POUT_SET_POS)) {
    if (st.column) end_line(st);
    FILE* f = unit_stream(st.unit);
    if (fflush(f) != 0) message(M_WRITE_FAILED, errno, MSG_LONGJMP, file_table[st.unit]->name);
    long pos = ftell(f);
    if (pos < 0) message(M_SEEK_FAILED, errno, MSG_LONGJMP, st.unit, pos);
    if (flags & POUT_GET_POS) return pos;
  }
  std::string text;
  if (format) {
    char small[512];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(small, sizeof small, format, ap);
    va_end(ap);
    if (n >= static_cast<int>(sizeof small)) {
      text.resize(static_cast<size_t>(n) + 1);
      va_start(ap, format);
      vsnprintf(text.data(), text.size(), format, ap);
      va_end(ap);
      text.resize(static_cast<size_t>(n));
    } else if (n > 0) {
      text.assign(small, static_cast<size_t>(n));
    }
  }
  int len = static_cast<int>(text.size());
  if (st.column != 0 && ((flags & POUT_NEWLINE_FIRST) || (!(flags & POUT_NO_WRAP) && st.column + 1 + len > st.soft_length))) {
    end_line(st);
    if (flags & POUT_PREFIX) {
      write_or_fail(st.unit, st.prefix, static_cast<size_t>(st.prefix_length));
      st.column = st.prefix_length;
    }
  }
  if (st.column != 0 && !(flags & POUT_NO_BLANK) && len) {
    write_or_fail(st.unit, " ", 1);
    st.column++;
  }
  const char* p = text.data();
  while (len > 0) {
    if (st.column >= st.hard_length) end_line(st);
    int piece = std::min(len, st.hard_length - st.column);
    // A newline inside the text starts the column count again.
    const char* nl = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(piece)));
    if (nl) piece = static_cast<int>(nl - p) + 1;
    write_or_fail(st.unit, p, static_cast<size_t>(piece));
    st.column = nl ? 0 : st.column + piece;
    p += piece;
    len -= piece;
  }
  if ((flags & POUT_END_LINE) && st.column) end_line(st);
  return 0;
}

// ---- Line styles ----------------------------------------------------------------------

namespace {
constexpr int kStyle1[] = {1, 4};
constexpr int kStyle2[] = {7, 7};
constexpr int kStyle3[] = {7, 3, 1, 3};
constexpr int kStyle4[] = {9, 3, 1, 3, 1, 3, 1, 3};
constexpr int kStyle5[] = {13, 7};
struct Pattern {
  const int* lengths;
  int count;
};
constexpr Pattern kPatterns[6] = {{nullptr, 0}, {kStyle1, 2}, {kStyle2, 2}, {kStyle3, 4}, {kStyle4, 8}, {kStyle5, 2}};
}  // namespace

const int* line_style_pattern(int style, int* count) {
  style = std::clamp(style, 0, 5);
  *count = kPatterns[style].count;
  return kPatterns[style].lengths;
}

void DashPhase::reset(int new_style) {
  style = std::clamp(new_style, 0, 5);
  element = 0;
  int n;
  const int* p = line_style_pattern(style, &n);
  remaining = n ? static_cast<float>(p[0]) : 0.0f;
}

void DashPhase::segment(float x0, float y0, float x1, float y1, float unit,
                        void (*piece)(float, float, float, float, void*), void* data) {
  int n;
  const int* pattern = line_style_pattern(style, &n);
  if (n == 0 || unit <= 0) {
    piece(x0, y0, x1, y1, data);
    return;
  }
  double dx = x1 - x0, dy = y1 - y0;
  double length = std::sqrt(dx * dx + dy * dy);
  if (length == 0) return;
  double done = 0;
  // Bounded: each pass consumes at least one pattern element or the rest of the segment.
  while (done < length) {
    if (remaining <= 0) {
      element = (element + 1) % n;
      remaining = static_cast<float>(pattern[element]);
      continue;
    }
    double step = std::min(static_cast<double>(remaining) * unit, length - done);
    if (element % 2 == 0) {
      double a = done / length, b = (done + step) / length;
      piece(static_cast<float>(x0 + a * dx), static_cast<float>(y0 + a * dy), static_cast<float>(x0 + b * dx),
            static_cast<float>(y0 + b * dy), data);
    }
    done += step;
    remaining -= static_cast<float>(step / unit);
    if (remaining < 1e-4f) remaining = 0;
  }
}

// ---- Scan conversion --------------------------------------------------------------------

void polyfill(const int32_t* x, const int32_t* y, int n, int spacing, void (*span)(int y, int x0, int x1, void* data),
              void* data) {
  if (n < 3) return;
  if (spacing < 1) spacing = 1;
  int32_t ymin = *std::min_element(y, y + n), ymax = *std::max_element(y, y + n);
  // The first scan line on the grid of multiples of the spacing at or above ymin.
  int64_t first = ymin >= 0 ? (static_cast<int64_t>(ymin) + spacing - 1) / spacing * spacing
                            : -(static_cast<int64_t>(-ymin) / spacing * spacing);
  std::vector<double> xs;
  for (int64_t yy = first; yy <= ymax; yy += spacing) {
    xs.clear();
    for (int i = 0; i < n; i++) {
      int j = (i + 1) % n;
      int64_t ya = y[i], yb = y[j];
      if (ya == yb) continue;
      // Half-open in y so that a vertex shared by two edges counts once.
      int64_t lo = std::min(ya, yb), hi = std::max(ya, yb);
      if (yy < lo || yy >= hi) continue;
      xs.push_back(x[i] + static_cast<double>(yy - ya) * (static_cast<double>(x[j]) - x[i]) / static_cast<double>(yb - ya));
    }
    std::sort(xs.begin(), xs.end());
    for (size_t k = 0; k + 1 < xs.size(); k += 2)
      span(static_cast<int>(yy), static_cast<int>(std::lround(xs[k])), static_cast<int>(std::lround(xs[k + 1])), data);
  }
}

namespace {

struct SfwState {
  FillRec* fill;
  DeviceRecord* dev;
  GraphAttr attr;
  bool rotate;
  bool reverse = false;
  bool join;
  bool have_last = false;
  DevPoint last;
};

DevPoint rotate_back(const SfwState& s, int xr, int yr) {
  if (!s.rotate) return DevPoint{xr, yr, 0};
  double c = s.fill->cos_a, sn = s.fill->sin_a;
  return DevPoint{static_cast<int32_t>(std::lround(xr * c - yr * sn)), static_cast<int32_t>(std::lround(xr * sn + yr * c)), 0};
}

void draw_span(int y, int x0, int x1, void* data) {
  auto* s = static_cast<SfwState*>(data);
  DevPoint a = rotate_back(*s, x0, y), b = rotate_back(*s, x1, y);
  if (s->reverse) std::swap(a, b);
  s->reverse = !s->reverse;
  auto out = s->fill->output ? s->fill->output : s->dev->draw;
  if (s->join && s->have_last) out(&s->last, &a, &s->attr);
  out(&a, &b, &s->attr);
  s->last = b;
  s->have_last = true;
}

void pattern_span(int y, int x0, int x1, void* data) {
  auto* s = static_cast<SfwState*>(data);
  FillRec* f = s->fill;
  int n = x1 - x0 + 1;
  if (n <= 0 || n > 65535) return;
  std::vector<uint8_t> row(static_cast<size_t>(n));
  int py = ((y % f->pat_ny) + f->pat_ny) % f->pat_ny;
  for (int i = 0; i < n; i++) {
    int px = (((x0 + i) % f->pat_nx) + f->pat_nx) % f->pat_nx;
    row[static_cast<size_t>(i)] = f->pattern[py * f->pat_nx + px];
  }
  ImageRec rec;
  rec.nx = static_cast<uint16_t>(n);
  rec.ny = 1;
  rec.xsize = n;
  rec.ysize = 1;
  rec.channel = s->attr.channel;
  s->dev->image(row.data(), x0, y, n, 1, 1, &rec);
}

}  // namespace

void polyfill_sfw(const int32_t* x, const int32_t* y, int n, FillRec* fill) {
  DeviceRecord& dev = need_device();
  SfwState s;
  s.fill = fill;
  s.dev = &dev;
  if (fill->attr) s.attr = *fill->attr;
  s.attr.clip = nullptr;
  s.rotate = false;
  s.join = false;
  if (fill->style == FILL_PATTERN) {
    if (!dev.image) no_device_slot();
    if (!fill->pattern || fill->pat_nx < 1 || fill->pat_ny < 1) return;
    polyfill(x, y, n, 1, pattern_span, &s);
    return;
  }
  if (!fill->output && !dev.draw) no_device_slot();
  if (fill->style == FILL_SOLID) {
    s.attr.thick = 1.0f;
    s.attr.linestyle = 0;
    s.join = (dev.flags & DF_PEN_PLOTTER) != 0;
    polyfill(x, y, n, 1, draw_span, &s);
    return;
  }
  fill->cos_a = std::cos(fill->angle);
  fill->sin_a = std::sin(fill->angle);
  int spacing = fill->spacing > 0 ? fill->spacing : std::max(1, static_cast<int>(dev.fill_dist));
  std::vector<int32_t> rx(static_cast<size_t>(n)), ry(static_cast<size_t>(n));
  double c = fill->cos_a, sn = fill->sin_a;
  for (int i = 0; i < n; i++) {
    rx[static_cast<size_t>(i)] = static_cast<int32_t>(std::lround(x[i] * c + y[i] * sn));
    ry[static_cast<size_t>(i)] = static_cast<int32_t>(std::lround(y[i] * c - x[i] * sn));
  }
  s.rotate = true;
  polyfill(rx.data(), ry.data(), n, spacing, draw_span, &s);
}

// ---- Fills with interpolated values -----------------------------------------------------

namespace {

// A scan line's crossing of a polygon edge with the values carried there.
struct Crossing {
  double x;
  double a, b;  // colour, or image column and row
};

// v limited to lo..hi (NaN gives lo), safe to convert to an integer.
double limited(double v, double lo, double hi) { return std::isgreater(v, lo) ? std::min(v, hi) : lo; }

uint8_t image_sample(const MappedFill& f, double u, double v) {
  int nx = f.image_nx, ny = f.image_ny;
  if (!f.interpolate) {
    int i = static_cast<int>(std::floor(limited(u, 0.0, nx - 1.0)));
    int j = static_cast<int>(std::floor(limited(v, 0.0, ny - 1.0)));
    return f.image[static_cast<size_t>(j) * nx + i];
  }
  // Pixel centres at whole coordinates; the edge pixels extend outward.
  double cu = limited(u, 0.0, nx - 1.0), cv = limited(v, 0.0, ny - 1.0);
  int i = static_cast<int>(cu), j = static_cast<int>(cv);
  int i1 = std::min(i + 1, nx - 1), j1 = std::min(j + 1, ny - 1);
  double fu = cu - i, fv = cv - j;
  auto at = [&](int c, int r) { return static_cast<double>(f.image[static_cast<size_t>(r) * nx + c]); };
  double top = at(i, j) * (1 - fu) + at(i1, j) * fu, bottom = at(i, j1) * (1 - fu) + at(i1, j1) * fu;
  return static_cast<uint8_t>(std::lround(top * (1 - fv) + bottom * fv));
}

void put_run(DeviceRecord& dev, const MappedFill& f, uint8_t* values, int count, int x, int y) {
  ImageRec rec;
  rec.nx = static_cast<uint16_t>(count);
  rec.ny = 1;
  rec.xsize = count * f.step;
  rec.ysize = f.step;
  rec.channel = f.channel;
  dev.image(values, x, y, count, 1, 1, &rec);
}

}  // namespace

int32_t mapped_fill_step(const DeviceRecord& dev) {
  if (!(dev.flags & DF_SCALABLE_PIXELS)) return 1;
  return std::max<int32_t>(1, static_cast<int32_t>(std::lround(dev.x_px_cm / 40.0f)));
}

void polyfill_mapped(const int32_t* x, const int32_t* y, int n, const MappedFill& f) {
  DeviceRecord& dev = need_device();
  if (!dev.image) no_device_slot();
  if (n < 3) return;
  bool shade = f.colors != nullptr;
  if (!shade && (!f.image || f.image_nx < 1 || f.image_ny < 1)) return;
  int step = std::max(1, f.step);
  int64_t ymin = *std::min_element(y, y + n), ymax = *std::max_element(y, y + n);
  // Nothing outside the device's surface can show.
  ymin = std::max<int64_t>(ymin, 0);
  ymax = std::min<int64_t>(ymax, dev.y_vsize);
  int64_t xlo = 0, xhi = dev.x_vsize;
  if (f.clip) {
    ymin = std::max<int64_t>(ymin, f.clip[1]);
    ymax = std::min<int64_t>(ymax, f.clip[3]);
    xlo = std::max<int64_t>(xlo, f.clip[0]);
    xhi = std::min<int64_t>(xhi, f.clip[2]);
  }
  int64_t first = ymin >= 0 ? (ymin + step - 1) / step * step : -((-ymin) / step * step);
  std::vector<Crossing> xs;
  std::vector<uint8_t> row;
  for (int64_t yy = first; yy <= ymax; yy += step) {
    if (int_interrupt == IR_INTERRUPT) return;  // the partial fill stays
    xs.clear();
    for (int i = 0; i < n; i++) {
      int j = (i + 1) % n;
      int64_t ya = y[i], yb = y[j];
      if (ya == yb) continue;
      int64_t lo = std::min(ya, yb), hi = std::max(ya, yb);
      if (yy < lo || yy >= hi) continue;  // half-open: a shared vertex counts once
      double t = static_cast<double>(yy - ya) / static_cast<double>(yb - ya);
      Crossing c;
      c.x = x[i] + t * (static_cast<double>(x[j]) - x[i]);
      if (shade) {
        c.a = f.colors[i] + t * (f.colors[j] - f.colors[i]);
        c.b = 0;
      } else {
        c.a = f.u[i] + t * (f.u[j] - f.u[i]);
        c.b = f.v[i] + t * (f.v[j] - f.v[i]);
      }
      xs.push_back(c);
    }
    std::sort(xs.begin(), xs.end(), [](const Crossing& p, const Crossing& q) { return p.x < q.x; });
    for (size_t k = 0; k + 1 < xs.size(); k += 2) {
      const Crossing &l = xs[k], &r = xs[k + 1];
      int64_t x0 = std::max<int64_t>(std::lround(l.x), xlo), x1 = std::min<int64_t>(std::lround(r.x), xhi);
      if (x1 < x0) continue;
      int64_t count = (x1 - x0) / step + 1;
      if (count > 65535) count = 65535;
      row.resize(static_cast<size_t>(count));
      double width = r.x - l.x;
      for (int64_t i = 0; i < count; i++) {
        double t = width > 0 ? std::clamp((static_cast<double>(x0 + i * step) - l.x) / width, 0.0, 1.0) : 0.0;
        double a = l.a + t * (r.a - l.a);
        if (shade)
          row[static_cast<size_t>(i)] = static_cast<uint8_t>(std::lround(limited(a, 0.0, 255.0)));
        else
          row[static_cast<size_t>(i)] = image_sample(f, a, l.b + t * (r.b - l.b));
      }
      // Transparent samples split the span into runs.
      int64_t i = 0;
      while (i < count) {
        if (!shade && row[static_cast<size_t>(i)] < f.transparent) {
          i++;
          continue;
        }
        int64_t e = i;
        while (e < count && (shade || row[static_cast<size_t>(e)] >= f.transparent)) e++;
        put_run(dev, f, row.data() + i, static_cast<int>(e - i), static_cast<int>(x0 + i * step), static_cast<int>(yy));
        i = e;
      }
    }
  }
}
