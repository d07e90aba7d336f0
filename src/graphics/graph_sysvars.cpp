#include "graphics/graph_sysvars.h"

#include <cstddef>
#include <iterator>

#include "graphics/graph_state.h"
#include "lib/sysvars.h"
#include "values/variable.h"

namespace {

#define F(rec, tag, type, field) {tag, type, 0, 0, offsetof(rec, field)}
#define A(rec, tag, type, n, field) {tag, type, n, 0, offsetof(rec, field)}

constexpr FieldDesc kPlotFields[] = {
    F(PlotCom, "BACKGROUND", TYP_LONG, background), F(PlotCom, "CHARSIZE", TYP_FLOAT, charsize),
    F(PlotCom, "CHARTHICK", TYP_FLOAT, charthick),  A(PlotCom, "CLIP", TYP_LONG, 6, clip),
    F(PlotCom, "COLOR", TYP_LONG, color),           F(PlotCom, "FONT", TYP_LONG, font),
    F(PlotCom, "LINESTYLE", TYP_LONG, linestyle),   A(PlotCom, "MULTI", TYP_LONG, 5, multi),
    F(PlotCom, "NOCLIP", TYP_LONG, noclip),         F(PlotCom, "NOERASE", TYP_LONG, noerase),
    F(PlotCom, "NSUM", TYP_LONG, nsum),             A(PlotCom, "POSITION", TYP_FLOAT, 4, position),
    F(PlotCom, "PSYM", TYP_LONG, psym),             A(PlotCom, "REGION", TYP_FLOAT, 4, region),
    F(PlotCom, "SUBTITLE", TYP_STRING, subtitle),   F(PlotCom, "SYMSIZE", TYP_FLOAT, symsize),
    {"T", TYP_FLOAT, 4, 4, offsetof(PlotCom, t)},   F(PlotCom, "T3D", TYP_LONG, t3d),
    F(PlotCom, "THICK", TYP_FLOAT, thick),          F(PlotCom, "TITLE", TYP_STRING, title),
    F(PlotCom, "TICKLEN", TYP_FLOAT, ticklen),      F(PlotCom, "CHANNEL", TYP_LONG, channel),
};

constexpr FieldDesc kAxisFields[] = {
    F(AxisRec, "TITLE", TYP_STRING, title),        F(AxisRec, "TYPE", TYP_LONG, type),
    F(AxisRec, "STYLE", TYP_LONG, style),          F(AxisRec, "TICKS", TYP_LONG, ticks),
    F(AxisRec, "TICKLEN", TYP_FLOAT, ticklen),     F(AxisRec, "THICK", TYP_FLOAT, thick),
    A(AxisRec, "RANGE", TYP_FLOAT, 2, range),      A(AxisRec, "CRANGE", TYP_FLOAT, 2, crange),
    A(AxisRec, "S", TYP_FLOAT, 2, s),              A(AxisRec, "MARGIN", TYP_FLOAT, 2, margin),
    A(AxisRec, "OMARGIN", TYP_FLOAT, 2, omargin),  A(AxisRec, "WINDOW", TYP_FLOAT, 2, window),
    A(AxisRec, "REGION", TYP_FLOAT, 2, region),    F(AxisRec, "CHARSIZE", TYP_FLOAT, charsize),
    F(AxisRec, "MINOR", TYP_LONG, minor),          A(AxisRec, "TICKV", TYP_FLOAT, 30, tickv),
    A(AxisRec, "TICKNAME", TYP_STRING, 30, tickname), F(AxisRec, "GRIDSTYLE", TYP_LONG, gridstyle),
    F(AxisRec, "TICKFORMAT", TYP_STRING, tickformat),
};

constexpr FieldDesc kDeviceFields[] = {
    F(DeviceFields, "NAME", TYP_STRING, name),         F(DeviceFields, "X_SIZE", TYP_LONG, x_size),
    F(DeviceFields, "Y_SIZE", TYP_LONG, y_size),       F(DeviceFields, "X_VSIZE", TYP_LONG, x_vsize),
    F(DeviceFields, "Y_VSIZE", TYP_LONG, y_vsize),     F(DeviceFields, "X_CH_SIZE", TYP_LONG, x_ch_size),
    F(DeviceFields, "Y_CH_SIZE", TYP_LONG, y_ch_size), F(DeviceFields, "X_PX_CM", TYP_FLOAT, x_px_cm),
    F(DeviceFields, "Y_PX_CM", TYP_FLOAT, y_px_cm),    F(DeviceFields, "N_COLORS", TYP_LONG, n_colors),
    F(DeviceFields, "TABLE_SIZE", TYP_LONG, table_size), F(DeviceFields, "FILL_DIST", TYP_LONG, fill_dist),
    F(DeviceFields, "WINDOW", TYP_LONG, window),       F(DeviceFields, "UNIT", TYP_LONG, unit),
    F(DeviceFields, "FLAGS", TYP_LONG, flags),         A(DeviceFields, "ORIGIN", TYP_LONG, 2, origin),
    A(DeviceFields, "ZOOM", TYP_LONG, 2, zoom),
};

constexpr FieldDesc kMapFields[] = {
    F(MapRec, "PROJECTION", TYP_LONG, projection), F(MapRec, "PHIOC", TYP_FLOAT, phioc),
    F(MapRec, "P0LAT", TYP_FLOAT, p0lat),          F(MapRec, "SINO", TYP_FLOAT, sino),
    F(MapRec, "COSO", TYP_FLOAT, coso),            F(MapRec, "SINR", TYP_FLOAT, sinr),
    F(MapRec, "COSR", TYP_FLOAT, cosr),            A(MapRec, "SAT", TYP_FLOAT, 6, sat),
    A(MapRec, "OUT", TYP_FLOAT, 12, out),
};

constexpr FieldDesc kMouseFields[] = {
    F(MouseRec, "X", TYP_LONG, x),
    F(MouseRec, "Y", TYP_LONG, y),
    F(MouseRec, "BUTTON", TYP_LONG, button),
    F(MouseRec, "TIME", TYP_LONG, time),
};

#undef F
#undef A

template <size_t N>
Variable* structure(const char* name, const FieldDesc (&fields)[N], size_t c_size) {
  return build_sysv_structure(name, fields, static_cast<int>(N), c_size);
}

void enter_structures() {
  enter_builtin_sysv("!P", structure("!PLT", kPlotFields, sizeof(PlotCom)), &plot_com, 0);
  SysVar* x = enter_builtin_sysv("!X", structure("!AXIS", kAxisFields, sizeof(AxisRec)), &xaxis, 0);
  // !Y and !Z share the descriptor of !X; each read points it at their own record.
  Variable shared = x->var;
  enter_builtin_sysv("!Y", &shared, &yaxis, 0);
  shared = x->var;
  enter_builtin_sysv("!Z", &shared, &zaxis, 0);
  enter_builtin_sysv("!D", structure("!DEVICE", kDeviceFields, sizeof(DeviceFields)), &no_device, 1);
  enter_builtin_sysv("!MAP", structure("!MAP", kMapFields, sizeof(MapRec)), &map_p, 0);
  enter_builtin_sysv("!MOUSE", structure("!MOUSE", kMouseFields, sizeof(MouseRec)), &mouse_rec, 0);
}

// ---- Compatibility names ----------------------------------------------------------------

const DeviceFields& current_device() { return *static_cast<const DeviceFields*>(find_sysvar("!D")->data); }

// The values without storage of their own, computed from the graphics state when read.
void compute_fancy(SysVar* sv) { sv->var.value.l = static_cast<int32_t>(plot_com.charsize); }
void compute_grid(SysVar* sv) { sv->var.value.l = plot_com.ticklen >= 0.5f ? 1 : 0; }
void compute_ncolor(SysVar* sv) { sv->var.value.l = current_device().n_colors; }
void compute_window(SysVar* sv) { sv->var.value.l = current_device().window; }
// Bits: 1 logarithmic x, 2 logarithmic y, 4 exact x range, 8 exact y range.
void compute_type(SysVar* sv) {
  sv->var.value.l = (xaxis.type == 1 ? 1 : 0) | (yaxis.type == 1 ? 2 : 0) | (xaxis.style & 1 ? 4 : 0) |
                    (yaxis.style & 1 ? 8 : 0);
}
// !SC1 to !SC4: the plot window in device units (x0, x1, y0, y1).
void compute_sc(SysVar* sv, const AxisRec& axis, int end, bool is_x) {
  const DeviceFields& d = current_device();
  sv->var.value.f = axis.window[end] * static_cast<float>(is_x ? d.x_vsize : d.y_vsize);
}
void compute_sc1(SysVar* sv) { compute_sc(sv, xaxis, 0, true); }
void compute_sc2(SysVar* sv) { compute_sc(sv, xaxis, 1, true); }
void compute_sc3(SysVar* sv) { compute_sc(sv, yaxis, 0, false); }
void compute_sc4(SysVar* sv) { compute_sc(sv, yaxis, 1, false); }

void enter_compatibility_names() {
  enter_vmsv1_computed("!FANCY", TYP_LONG, compute_fancy);
  enter_vmsv1_computed("!GRID", TYP_LONG, compute_grid);
  enter_vmsv1_computed("!NCOLOR", TYP_LONG, compute_ncolor);
  enter_vmsv1_computed("!SC1", TYP_FLOAT, compute_sc1);
  enter_vmsv1_computed("!SC2", TYP_FLOAT, compute_sc2);
  enter_vmsv1_computed("!SC3", TYP_FLOAT, compute_sc3);
  enter_vmsv1_computed("!SC4", TYP_FLOAT, compute_sc4);
  enter_vmsv1_computed("!TYPE", TYP_LONG, compute_type);
  enter_vmsv1_computed("!WINDOW", TYP_LONG, compute_window);

  enter_vmsv1_sysv("!COLOR", TYP_LONG, &plot_com.color, 1);
  enter_vmsv1_sysv("!CXMAX", TYP_FLOAT, &xaxis.crange[1], 1);
  enter_vmsv1_sysv("!CXMIN", TYP_FLOAT, &xaxis.crange[0], 1);
  enter_vmsv1_sysv("!CYMAX", TYP_FLOAT, &yaxis.crange[1], 1);
  enter_vmsv1_sysv("!CYMIN", TYP_FLOAT, &yaxis.crange[0], 1);
  enter_vmsv1_sysv("!LINETYPE", TYP_LONG, &plot_com.linestyle, 1);
  enter_vmsv1_sysv("!MTITLE", TYP_STRING, &plot_com.title, 1);
  enter_vmsv1_sysv("!NOERAS", TYP_LONG, &plot_com.noerase, 1);
  enter_vmsv1_sysv("!NSUM", TYP_LONG, &plot_com.nsum, 1);
  enter_vmsv1_sysv("!PSYM", TYP_LONG, &plot_com.psym, 1);
  enter_vmsv1_sysv("!XMAX", TYP_FLOAT, &xaxis.range[1], 1);
  enter_vmsv1_sysv("!XMIN", TYP_FLOAT, &xaxis.range[0], 1);
  enter_vmsv1_sysv("!XS", TYP_FLOAT, xaxis.s, 2);
  enter_vmsv1_sysv("!XTICKS", TYP_LONG, &xaxis.ticks, 1);
  enter_vmsv1_sysv("!XTITLE", TYP_STRING, &xaxis.title, 1);
  enter_vmsv1_sysv("!YMAX", TYP_FLOAT, &yaxis.range[1], 1);
  enter_vmsv1_sysv("!YMIN", TYP_FLOAT, &yaxis.range[0], 1);
  enter_vmsv1_sysv("!YS", TYP_FLOAT, yaxis.s, 2);
  enter_vmsv1_sysv("!YTICKS", TYP_LONG, &yaxis.ticks, 1);
  enter_vmsv1_sysv("!YTITLE", TYP_STRING, &yaxis.title, 1);
}

}  // namespace

void register_graphics_sysvars() {
  static bool done = false;
  if (done) return;
  done = true;
  enter_structures();
  enter_compatibility_names();
}
