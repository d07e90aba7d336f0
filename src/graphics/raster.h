// The in-memory 1-bit page of the bitmap drivers (printers, and monochrome screens for
// images): setting pixels along lines with the line styles, filling polygons, turning
// byte images into bits by dithering and back, and turning a page for landscape output.
// Relies on the line-style tables, the dash phase and the scan converter of device.h.
#pragma once

#include <cstdint>

#include "graphics/device.h"

// Dither methods: how byte images become bits.
constexpr int DITHER_REVERSE = 0;    // read the bits back into bytes 0 and 255
constexpr int DITHER_THRESHOLD = 1;
constexpr int DITHER_FLOYD = 2;      // Floyd-Steinberg error diffusion
constexpr int DITHER_ORDERED = 3;    // 8 x 8 ordered matrix
// "Reverse", "Threshold", "Floyd-Steinberg", "Ordered"; null for any other method.
const char* dither_method_name(int method);

// Row r of the page starts at data + r * bytes_per_row; row 0 holds device y 0. Pixel x
// is the bit masks[x % 8] of byte x / 8 of its row.
struct Raster {
  uint8_t* data = nullptr;
  int32_t nx = 0, ny = 0;         // size in pixels
  int32_t bytes_per_row = 0;
  int32_t dash_unit = 1;          // device pixels per unit of the line-style lengths
  int32_t dither_method = DITHER_FLOYD;
  int32_t threshold = 128;
  uint8_t masks[8] = {0x80, 0x40, 0x20, 0x10, 0x08, 0x04, 0x02, 0x01};
  int32_t polarity = 0;           // bit 1: image values are complemented before dithering
  // Dash phase of thin lines, in pixels: it carries from one segment to the next while
  // the style stays the same.
  int32_t dash_style = -1;
  int32_t dash_element = 0;
  int32_t dash_remaining = 0;
  DashPhase thick_dash;           // the same for thick lines, cut into pieces

  bool pixel(int x, int y) const { return (data[y * bytes_per_row + (x >> 3)] & masks[x & 7]) != 0; }
  void put(int x, int y, bool on) {
    uint8_t& b = data[y * bytes_per_row + (x >> 3)];
    b = on ? static_cast<uint8_t>(b | masks[x & 7]) : static_cast<uint8_t>(b & ~masks[x & 7]);
  }
};

// Bytes per row of a page nx pixels wide.
inline int32_t raster_row_bytes(int32_t nx) { return (nx + 7) / 8; }

// The segment p0-p1 in attr's colour (non-zero sets, zero clears) and line style; a
// thickness above 1 goes to raster_draw_thick. End points are clamped into the page.
void raster_draw(Raster& r, const DevPoint* p0, const DevPoint* p1, const GraphAttr* attr);
// A thick segment: each drawn dash piece is a quadrilateral, half the thickness to each
// side, filled on the page.
void raster_draw_thick(Raster& r, const DevPoint* p0, const DevPoint* p1, const GraphAttr* attr);
// A polygon filled on the page: solid in the colour of fill->attr (non-zero sets), or
// from the pattern (non-zero bytes set). Vertices are clamped into the page.
void raster_polyfill(Raster& r, const int32_t* x, const int32_t* y, int n, const FillRec* fill);

// The nx by ny byte image at (x, y) of the page, by r.dither_method. Reverse reads the
// area back into the image instead. image->order 1 (rows top down) reads the image
// bottom-up. The area must lie inside the page ("Value of %s is out of allowed range.").
void dither(uint8_t* image, int nx, int ny, Raster& r, int x, int y, const ImageRec* image_rec);

// Clears dst and writes source row k as destination column k: the bits of source
// columns x0 onward go down the destination rows (a page turned for landscape output).
void bitmap_landscape(const Raster& src, Raster& dst, int x0);
