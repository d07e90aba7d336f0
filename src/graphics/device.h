// The device-independent graphics core: the driver record with its operation slots and
// capability bits, the table of drivers, device selection, drawing attributes, the three
// coordinate systems and their conversions, line and polygon clipping, and the one line
// drawing entry every plotting routine goes through. The shared routines that several
// drivers use (file output, dash patterns, polygon scan conversion and software fill) are
// declared here as well. Relies on the graphics state records and the value model.
#pragma once

#include <cstdint>
#include <vector>

#include "graphics/graph_state.h"
#include "interp/routines.h"

// ---- Coordinate systems --------------------------------------------------------------

constexpr int COORD_DATA = 0;
constexpr int COORD_DEVICE = 1;
constexpr int COORD_NORMAL = 2;
constexpr int DEVICE_INT = 4;  // device coordinates truncated to integers (driver calls)

// A point of the conversions: x, y, z and a spare word. In DEVICE_INT the values are
// whole numbers (kept as floats so one buffer serves every system).
struct GPoint {
  float x = 0, y = 0, z = 0, w = 0;
};

// A point as drivers receive it: integer device coordinates.
struct DevPoint {
  int32_t x = 0, y = 0, z = 0;
};

// ---- Capability bits of FLAGS ---------------------------------------------------------

constexpr int32_t DF_SCALABLE_PIXELS = 1;    // images at any size (XSIZE, YSIZE)
constexpr int32_t DF_ANGLE_TEXT = 2;         // device text at any angle
constexpr int32_t DF_INFO_4 = 4;             // reported only
constexpr int32_t DF_INFO_8 = 8;             // reported only
constexpr int32_t DF_INFO_16 = 16;           // reported only (every device)
constexpr int32_t DF_POLYFILL = 32;          // the driver fills polygons itself
constexpr int32_t DF_FIXED_WIDTH = 64;       // device characters have a fixed width
constexpr int32_t DF_READ_PIXELS = 128;      // TVRD
constexpr int32_t DF_WINDOWS = 256;          // the device has windows
constexpr int32_t DF_DARK_ON_LIGHT = 512;    // COLOR defaults to 0, BACKGROUND to the top
constexpr int32_t DF_NO_TEXT = 1024;         // reported only (no text operation)
constexpr int32_t DF_LINE_FILL = 2048;       // the driver hatches polygons itself
constexpr int32_t DF_TEXT_COMMANDS = 4096;   // device fonts understand the "!" commands
constexpr int32_t DF_PEN_PLOTTER = 8192;     // successive fill lines are joined
constexpr int32_t DF_WORDS = 16384;          // 16-bit pixels
constexpr int32_t DF_WIDGETS = 65536;        // reported only (X)
constexpr int32_t DF_Z_BUFFER = 131072;      // polygon vertices carry z

// ---- Drawing attributes ---------------------------------------------------------------

struct GraphAttr {
  int32_t color = 0;
  float thick = 0;
  int32_t linestyle = 0;
  float (*t3d)[4] = nullptr;  // !P.T when a 3-D transformation applies, else null
  int32_t* clip = nullptr;    // x0, y0, x1, y1 (z0, z1) in device units, null: no clipping
  AxisRec* xaxis = nullptr;
  AxisRec* yaxis = nullptr;
  AxisRec* zaxis = nullptr;
  int32_t channel = 0;
};

// Fills attr from a !PLT record: colour, thickness, style, T when T3D, CLIP unless NOCLIP,
// the user-visible axis records and the channel.
void attr_setup(PlotCom& p, GraphAttr& attr);

// Text attributes of every text call.
struct TextAttr {
  int32_t font = -1;         // -1 vector fonts, >= 0 device fonts
  int32_t axes = 0;          // 0 XY, 1 XZ, 2 YZ, 3 YX, 4 ZX, 5 ZY
  float size = 1.0f;         // multiple of the character cell; negative: measure only
  float orientation = 0;     // degrees, counter-clockwise
  float alignment = 0;       // 0 left, 0.5 centred, 1 right
};

// An image transfer.
struct ImageRec {
  uint16_t nx = 0, ny = 0;    // image size in pixels
  int32_t xsize = 0;          // displayed size in device units
  int32_t ysize = 0;
  int32_t channel = 0;
  int32_t order = 0;          // 1: rows top down
  int32_t words = 0;          // 16-bit pixels
  int32_t true_color = 0;     // 0 colour-mapped; 1, 2, 3: the colour dimension (TRUE)
};

struct DeviceRecord;

// A polygon fill.
constexpr int FILL_SOLID = 0;
constexpr int FILL_LINES = 1;
constexpr int FILL_PATTERN = 2;
struct FillRec {
  int32_t style = FILL_SOLID;
  GraphAttr* attr = nullptr;
  void (*output)(const DevPoint* p0, const DevPoint* p1, GraphAttr* attr) = nullptr;  // null: draw slot
  float angle = 0;            // line fill, radians
  int32_t spacing = 0;        // line fill, device units (0: FILL_DIST)
  float cos_a = 1, sin_a = 0; // set by polyfill_sfw
  const uint8_t* pattern = nullptr;
  int32_t pat_nx = 0, pat_ny = 0;
};

// ---- Driver record --------------------------------------------------------------------

using DrawOp = void (*)(const DevPoint* p0, const DevPoint* p1, GraphAttr* attr);
using TextOp = float (*)(const DevPoint* p, GraphAttr* attr, TextAttr* text, const char* s, int length);
using EraseOp = void (*)(GraphAttr* attr);
using CursorOp = void (*)(int mode, MouseRec* mouse);
using PolyfillOp = void (*)(const int32_t* x, const int32_t* y, int n, FillRec* fill);
using VoidOp = void (*)();
using LoadColorOp = void (*)(int start, int count);
using ImageOp = void (*)(uint8_t* pixels, int x, int y, int nx, int ny, int direction, ImageRec* image);

// The leading fields are !D's (DeviceFields); the record's address as DeviceFields is
// what !D shows.
struct DeviceRecord : DeviceFields {
  float aspect;  // X_VSIZE / Y_VSIZE, recomputed at every selection
  DrawOp draw;
  TextOp text;
  EraseOp erase;
  CursorOp cursor;
  PolyfillOp polyfill;
  VoidOp inter_exit;
  VoidOp flush;
  LoadColorOp load_color;
  ImageOp image;
  SysProc device;
  VoidOp show;
  VoidOp init;
  SysProc window_create;
  SysProc window_delete;
  SysProc window_show;
  SysProc window_set;
  SysFun window_menu;
  void* priv;
  // Asked before SET_PLOT makes this device current: false after reporting (with the
  // given action) why the device cannot be used here. Null: always usable.
  bool (*can_select)(int action);
};

// A driver's record with its sizes and flags filled in and no operations: the window
// index -1, no zoom, the aspect ratio of the size.
DeviceRecord make_device_record(const char* name, int xs, int ys, int xch, int ych, float px_cm, int n_colors,
                                int fill_dist, int flags);

// The drivers in their table order (X first: the start-up default), null-terminated;
// sorted by name by init_graphics. The slots of the drivers in graphics/devices stay
// empty (named, unselectable) until those drivers install themselves.
extern DeviceRecord* dev_list[];
extern DeviceRecord* default_device;  // the first filled entry as laid out

// Puts a driver of a folder above into the empty slot of its name (in place, whatever
// the order). True when the driver is in the table afterwards; false when the table has
// no slot of that name.
bool install_device(DeviceRecord& driver);
// The table's driver of that name (case-insensitive); null when unknown or not installed.
DeviceRecord* find_device(const char* name);

// The current device (null before any selection).
inline DeviceRecord* cur_dev() { return plot_com.device; }
// The current device, or the error "No graphics device defined." (-294).
DeviceRecord& need_device();
// The slot, or the error "Routine is not defined for current graphics device." (-295).
[[noreturn]] void no_device_slot();

// Colour translation, red, green and blue planes; identity at start-up.
extern uint8_t color_map[3][256];

// Start-up: colour map, driver start-up slots, table order, VEK_DEVICE, defaults.
void init_graphics();
// Registers the graphics built-ins (run by start-up before init_graphics).
void register_graphics();
// Makes the named device current (name case-insensitive); 1 on success, 0 when unknown.
int select_device(const char* name);
// Remembers the current driver's inter_exit slot; inter_exit calls it (forgets it unless
// keep is nonzero).
void check_graphics_inited();
void inter_exit(int keep);

// ---- Coordinates ----------------------------------------------------------------------

// Converts one point between systems (in and out may be the same). 1 when every value
// was valid, 0 otherwise (the point is still produced). Errors -319 (no data system) and
// -320 (homogeneous w of 0).
int convert_coord(const GPoint& in, int from, GPoint& out, int to, const GraphAttr& attr);
// v truncated toward zero and limited to +-1e9 (NaN gives -1e9).
float trunc_device(float v);
// Many points: n points of (x, y, z), three floats each.
int convert_coords(const float* in, int from, float* out, int to, int n, const GraphAttr& attr);

// Cohen-Sutherland clipping against box x0, y0, x1, y1. 0 when the segment lies outside.
// When a point must move, both pointers are redirected to static copies: the caller's
// points are never changed.
int clip_rectangle(const DevPoint** p0, const DevPoint** p1, const int32_t* box);
// Sutherland-Hodgman clipping of a polygon (vertex lists in place) against the box.
void clip_polygon(std::vector<int32_t>& x, std::vector<int32_t>& y, const int32_t* box);
// attr.clip from NOCLIP, a CLIP keyword (x0, y0, z0?...: the two corners x0, y0, x1, y1
// [, z0, z1] in coord_system) or !P.CLIP.
void setup_clipping(int noclip, int clip_given, const float clip_values[6], int coord_system, GraphAttr& attr);

// The one line-drawing entry: converts both points to DEVICE_INT (a point that fails
// conversion drops the segment), clips when attr.clip is set, calls the draw slot.
void draw_vector(const GPoint& p0, const GPoint& p1, GraphAttr& attr, int coord_system);

// ---- Shared routines of the drivers ---------------------------------------------------

// Line styles: dash lengths in device pixels, on and off alternating; count 0 is solid.
// A style below 1 is solid, above 5 is 5.
const int* line_style_pattern(int style, int* count);

// A dash pattern followed along a polyline: the phase carries from segment to segment.
struct DashPhase {
  int style = -1;
  int element = 0;       // current element of the pattern
  float remaining = 0;   // length left in it
  void reset(int new_style);
  // Cuts the segment into its drawn pieces (unit: scale of the pattern lengths) and calls
  // piece(x0, y0, x1, y1, data) for each.
  void segment(float x0, float y0, float x1, float y1, float unit,
               void (*piece)(float, float, float, float, void*), void* data);
};

// Buffered, line-wrapping text output on a logical unit.
constexpr int POUT_NEWLINE_FIRST = 1;
constexpr int POUT_END_LINE = 2;
constexpr int POUT_NO_BLANK = 4;
constexpr int POUT_NO_WRAP = 8;
constexpr int POUT_PREFIX = 16;
constexpr int POUT_GET_POS = 32;
constexpr int POUT_SET_POS = 64;
struct PoutState {
  int unit = 0;
  int column = 0;
  int soft_length = 78;
  const char* prefix = "";
  int prefix_length = 0;
  int hard_length = 255;
};
// Writes text (printf-style when format has arguments) under the flags; returns the file
// position for POUT_GET_POS, else 0. With POUT_SET_POS the position is `*pos`.
long pout(PoutState& st, int flags, const char* format, ...) __attribute__((format(printf, 3, 4)));
long pout_seek(PoutState& st, long position);
// Raw bytes on the unit; write error -175.
void pout_raw(int unit, const void* bytes, size_t count);

// Scan conversion: for every scan line y = k * spacing crossing the polygon, span(y, x0,
// x1, data) with x0 <= x1 for each interior span (even-odd rule).
void polyfill(const int32_t* x, const int32_t* y, int n, int spacing, void (*span)(int y, int x0, int x1, void* data),
              void* data);
// Software fill through the current device's draw (solid, line) or image (pattern) slot.
void polyfill_sfw(const int32_t* x, const int32_t* y, int n, FillRec* fill);

// A fill whose interior values follow from values at the vertices, interpolated linearly
// along the edges and then along each scan line: a colour index per vertex (shading) or
// image coordinates per vertex (an image mapped onto the polygon). Drawn through the
// image slot as runs of one-row images, `step` device units apart; samples outside
// `clip` (x0, y0, x1, y1, or null) are left out.
struct MappedFill {
  const float* colors = nullptr;  // n colour indices, or
  const float* u = nullptr;       // n image column and row coordinates
  const float* v = nullptr;
  const uint8_t* image = nullptr;
  int32_t image_nx = 0, image_ny = 0;
  bool interpolate = false;       // bilinear image samples instead of the nearest pixel
  int32_t transparent = -1;       // image values below it are not drawn (-1: all drawn)
  int32_t step = 1;
  const int32_t* clip = nullptr;
  int32_t channel = 0;
};
void polyfill_mapped(const int32_t* x, const int32_t* y, int n, const MappedFill& fill);
// The sample step of mapped fills on the current device: one device unit, or about a
// fortieth of a centimetre on devices whose pixels scale.
int32_t mapped_fill_step(const DeviceRecord& dev);
