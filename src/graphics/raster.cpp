// The 1-bit page: lines, polygons, dithering, landscape turning.
#include "graphics/raster.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base/message.h"

namespace {

constexpr const char* kDitherNames[] = {"Reverse", "Threshold", "Floyd-Steinberg", "Ordered"};

// Compared with the image value: a value at least the entry sets the bit.
constexpr uint8_t kOrderedMatrix[8][8] = {
    {1, 128, 32, 160, 8, 136, 40, 168},    {192, 64, 224, 96, 200, 72, 232, 104},
    {48, 176, 16, 144, 56, 184, 24, 152},  {240, 112, 168, 80, 248, 120, 176, 88},
    {24, 140, 44, 172, 4, 132, 36, 164},   {204, 76, 236, 108, 196, 68, 228, 100},
    {60, 188, 28, 144, 52, 180, 20, 148},  {252, 124, 180, 92, 244, 116, 172, 84},
};

// ---- Thin lines ------------------------------------------------------------------------

void dash_restart(Raster& r, int style) {
  r.dash_style = std::clamp(style, 0, 5);
  r.dash_element = 0;
  int n;
  const int* pattern = line_style_pattern(r.dash_style, &n);
  r.dash_remaining = n ? pattern[0] * std::max(1, r.dash_unit) : 0;
}

bool dash_pen_down(const Raster& r) { return r.dash_element % 2 == 0; }

// One pixel further along the line.
void dash_advance(Raster& r) {
  int n;
  const int* pattern = line_style_pattern(r.dash_style, &n);
  if (n == 0) return;
  if (--r.dash_remaining > 0) return;
  r.dash_element = (r.dash_element + 1) % n;
  r.dash_remaining = pattern[r.dash_element] * std::max(1, r.dash_unit);
}

int clamp_to(int v, int size) { return std::clamp(v, 0, std::max(0, size - 1)); }

// ---- Polygons --------------------------------------------------------------------------

struct SpanFill {
  Raster* r;
  const FillRec* fill;
  bool on;
};

void fill_span(int y, int x0, int x1, void* data) {
  auto* s = static_cast<SpanFill*>(data);
  Raster& r = *s->r;
  if (y < 0 || y >= r.ny) return;
  x0 = std::max(x0, 0);
  x1 = std::min(x1, r.nx - 1);
  const FillRec* f = s->fill;
  if (f->style == FILL_PATTERN) {
    int py = y % f->pat_ny;
    for (int x = x0; x <= x1; x++) r.put(x, y, f->pattern[py * f->pat_nx + x % f->pat_nx] != 0);
    return;
  }
  for (int x = x0; x <= x1; x++) r.put(x, y, s->on);
}

// ---- Thick lines -----------------------------------------------------------------------

struct ThickPiece {
  Raster* r;
  float half;
  bool on;
};

void thick_piece(float x0, float y0, float x1, float y1, void* data) {
  auto* t = static_cast<ThickPiece*>(data);
  double dx = x1 - x0, dy = y1 - y0, len = std::sqrt(dx * dx + dy * dy);
  double h = t->half;
  // A piece too short to have a direction leaves a square dot.
  double ux = 1, uy = 0, ext = h;
  if (len > 0) {
    ux = dx / len;
    uy = dy / len;
    ext = 0;
  }
  double ox = -uy * h, oy = ux * h;
  double ax = x0 - ux * ext, ay = y0 - uy * ext, bx = x1 + ux * ext, by = y1 + uy * ext;
  const double vx[4] = {ax + ox, bx + ox, bx - ox, ax - ox}, vy[4] = {ay + oy, by + oy, by - oy, ay - oy};
  int32_t px[4], py[4];
  for (int i = 0; i < 4; i++) {
    px[i] = static_cast<int32_t>(std::lround(vx[i]));
    py[i] = static_cast<int32_t>(std::lround(vy[i]));
  }
  GraphAttr attr;
  attr.color = t->on ? 1 : 0;
  FillRec fill;
  fill.attr = &attr;
  raster_polyfill(*t->r, px, py, 4, &fill);
}

}  // namespace

const char* dither_method_name(int method) {
  return method >= 0 && method < static_cast<int>(std::size(kDitherNames)) ? kDitherNames[method] : nullptr;
}

void raster_draw(Raster& r, const DevPoint* p0, const DevPoint* p1, const GraphAttr* attr) {
  if (attr->thick > 1) {
    raster_draw_thick(r, p0, p1, attr);
    return;
  }
  if (r.nx < 1 || r.ny < 1) return;
  if (std::clamp(attr->linestyle, 0, 5) != r.dash_style) dash_restart(r, attr->linestyle);
  bool on = attr->color != 0;
  int x = clamp_to(p0->x, r.nx), y = clamp_to(p0->y, r.ny);
  int x1 = clamp_to(p1->x, r.nx), y1 = clamp_to(p1->y, r.ny);
  int dx = std::abs(x1 - x), dy = std::abs(y1 - y);
  int sx = x1 >= x ? 1 : -1, sy = y1 >= y ? 1 : -1;
  bool x_major = dx >= dy;
  int steps = x_major ? dx : dy, minor = x_major ? dy : dx;
  // The end point is drawn too but does not move the dash phase: a segment uses up as
  // much of the pattern as it is long, and the next one starts where it stopped.
  int err = 2 * minor - steps;
  for (int i = 0;; i++) {
    if (dash_pen_down(r)) r.put(x, y, on);
    if (i == steps) break;
    dash_advance(r);
    if (err > 0) {
      if (x_major) y += sy; else x += sx;
      err -= 2 * steps;
    }
    if (x_major) x += sx; else y += sy;
    err += 2 * minor;
  }
}

void raster_draw_thick(Raster& r, const DevPoint* p0, const DevPoint* p1, const GraphAttr* attr) {
  int style = std::clamp(attr->linestyle, 0, 5);
  if (style != r.thick_dash.style) r.thick_dash.reset(style);
  ThickPiece t{&r, std::max(attr->thick, 1.0f) / 2, attr->color != 0};
  if (p0->x == p1->x && p0->y == p1->y) {
    thick_piece(static_cast<float>(p0->x), static_cast<float>(p0->y), static_cast<float>(p1->x),
                static_cast<float>(p1->y), &t);
    return;
  }
  r.thick_dash.segment(static_cast<float>(p0->x), static_cast<float>(p0->y), static_cast<float>(p1->x),
                       static_cast<float>(p1->y), static_cast<float>(std::max(1, r.dash_unit)), thick_piece, &t);
}

void raster_polyfill(Raster& r, const int32_t* x, const int32_t* y, int n, const FillRec* fill) {
  if (n < 3 || r.nx < 1 || r.ny < 1) return;
  if (fill->style == FILL_PATTERN && (!fill->pattern || fill->pat_nx < 1 || fill->pat_ny < 1)) return;
  std::vector<int32_t> cx(static_cast<size_t>(n)), cy(static_cast<size_t>(n));
  for (int i = 0; i < n; i++) {
    cx[static_cast<size_t>(i)] = clamp_to(x[i], r.nx);
    cy[static_cast<size_t>(i)] = clamp_to(y[i], r.ny);
  }
  SpanFill s{&r, fill, fill->attr ? fill->attr->color != 0 : true};
  polyfill(cx.data(), cy.data(), n, 1, fill_span, &s);
}

void dither(uint8_t* image, int nx, int ny, Raster& r, int x, int y, const ImageRec* image_rec) {
  if (nx < 0 || ny < 0 || x < 0 || y < 0 || x > r.nx - nx || y > r.ny - ny)
    message(M_VALUE_RANGE, 0, MSG_LONGJMP, "Image coordinates in bitmap");
  int method = r.dither_method;
  if (method < DITHER_REVERSE || method > DITHER_ORDERED) message(M_INTERNAL, 0, MSG_LONGJMP, "Illegal dither method");
  bool bottom_up = image_rec && image_rec->order;
  bool invert = (r.polarity & 1) != 0;
  // Page row y + j holds image row j, or row ny - 1 - j of an image stored top down.
  auto source = [&](int j) { return image + static_cast<size_t>(bottom_up ? ny - 1 - j : j) * nx; };
  auto value = [&](const uint8_t* row, int i) { return invert ? 255 - row[i] : row[i]; };

  if (method == DITHER_REVERSE) {
    for (int j = 0; j < ny; j++) {
      uint8_t* row = source(j);
      for (int i = 0; i < nx; i++) row[i] = r.pixel(x + i, y + j) != invert ? 255 : 0;
    }
    return;
  }
  if (method == DITHER_THRESHOLD) {
    for (int j = 0; j < ny; j++) {
      const uint8_t* row = source(j);
      for (int i = 0; i < nx; i++) r.put(x + i, y + j, value(row, i) >= r.threshold);
    }
    return;
  }
  if (method == DITHER_ORDERED) {
    for (int j = 0; j < ny; j++) {
      const uint8_t* row = source(j);
      const uint8_t* m = kOrderedMatrix[(y + 1 + j) % 8];
      for (int i = 0; i < nx; i++) r.put(x + i, y + j, value(row, i) >= m[(nx - 1 - i) % 8]);
    }
    return;
  }
  // Floyd-Steinberg: errors are kept in sixteenths, one guard cell at each end of a row
  // takes what falls off the image.
  std::vector<int> here(static_cast<size_t>(nx) + 2), next(static_cast<size_t>(nx) + 2);
  for (int j = 0; j < ny; j++) {
    const uint8_t* row = source(j);
    std::fill(next.begin(), next.end(), 0);
    for (int i = 0; i < nx; i++) {
      int v = value(row, i) + here[static_cast<size_t>(i) + 1] / 16;
      bool on = v >= 128;
      if (on) v -= 255;
      r.put(x + i, y + j, on);
      here[static_cast<size_t>(i) + 2] += 7 * v;
      next[static_cast<size_t>(i)] += 3 * v;
      next[static_cast<size_t>(i) + 1] += 5 * v;
      next[static_cast<size_t>(i) + 2] += v;
    }
    std::swap(here, next);
  }
}

void bitmap_landscape(const Raster& src, Raster& dst, int x0) {
  if (dst.data && dst.ny > 0) std::memset(dst.data, 0, static_cast<size_t>(dst.ny) * dst.bytes_per_row);
  x0 = std::max(x0, 0);
  int rows = std::min(src.ny, dst.nx);
  int cols = std::min(src.nx - x0, dst.ny);
  for (int k = 0; k < rows; k++)
    for (int c = 0; c < cols; c++)
      if (src.pixel(x0 + c, k)) dst.put(k, c, true);
}
