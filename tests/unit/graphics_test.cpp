// The device-independent graphics core: coordinate conversion, clipping, the scan
// converter, dash phases and the software fill, and PostScript lines and polygons
// rendered by Ghostscript.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "graphics/devices/drivers.h"
#include "graphics/devices/ps.h"
#include "graphics/plot_window.h"
#include "null_device_fixture.h"
#include "scratch_files.h"

namespace {

class GraphicsTest : public NullDeviceTest {
 protected:
  GPoint conv(GPoint p, int from, int to, int* ok = nullptr) {
    GPoint out;
    int r = convert_coord(p, from, out, to, attr_);
    if (ok) *ok = r;
    return out;
  }
};

TEST_F(GraphicsTest, NormalAndDeviceConvertThroughTheVisibleSize) {
  EXPECT_EQ(cur_dev()->x_vsize, 1000);
  GPoint d = conv({0.25f, 0.5f, 0.3f}, COORD_NORMAL, COORD_DEVICE);
  EXPECT_FLOAT_EQ(d.x, 250.0f);
  EXPECT_FLOAT_EQ(d.y, 500.0f);
  EXPECT_FLOAT_EQ(d.z, 0.3f);
  GPoint i = conv({0.2509f, -0.0009f, 0}, COORD_NORMAL, DEVICE_INT);
  EXPECT_EQ(i.x, 250.0f);
  EXPECT_EQ(i.y, 0.0f);  // truncated toward zero
  GPoint n = conv({125.0f, 750.0f, 0}, COORD_DEVICE, COORD_NORMAL);
  EXPECT_FLOAT_EQ(n.x, 0.125f);
  EXPECT_FLOAT_EQ(n.y, 0.75f);
  GPoint t = conv({12.7f, 3.9f, 0}, COORD_DEVICE, DEVICE_INT);
  EXPECT_EQ(t.x, 12.0f);
  EXPECT_EQ(t.y, 3.0f);
}

TEST_F(GraphicsTest, DataCoordinatesUseTheAxisScalingBothWays) {
  xaxis.s[0] = 0.1f;
  xaxis.s[1] = 0.01f;
  yaxis.s[0] = 0.2f;
  yaxis.s[1] = 0.02f;
  GPoint d = conv({10.0f, 5.0f, 0}, COORD_DATA, COORD_DEVICE);
  EXPECT_NEAR(d.x, 200.0f, 1e-3);
  EXPECT_NEAR(d.y, 300.0f, 1e-3);
  GPoint back = conv({200.0f, 300.0f, 0}, COORD_DEVICE, COORD_DATA);
  EXPECT_NEAR(back.x, 10.0f, 1e-4);
  EXPECT_NEAR(back.y, 5.0f, 1e-4);
}

TEST_F(GraphicsTest, LogarithmicAxisTakesLogsAndMarksNonPositiveValues) {
  xaxis.s[0] = 0.0f;
  xaxis.s[1] = 1.0f;
  yaxis.type = 1;
  yaxis.s[0] = 0.5f;
  yaxis.s[1] = 0.25f;
  yaxis.crange[0] = -1.0f;
  yaxis.crange[1] = 1.0f;
  int ok = -1;
  GPoint p = conv({0.5f, 10.0f, 0}, COORD_DATA, COORD_NORMAL, &ok);
  EXPECT_EQ(ok, 1);
  EXPECT_NEAR(p.y, 0.75f, 1e-6);
  p = conv({0.5f, 0.0f, 0}, COORD_DATA, COORD_NORMAL, &ok);
  EXPECT_EQ(ok, 0);
  EXPECT_NEAR(p.y, 0.25f, 1e-6);  // the position of CRANGE[0]
  GPoint back = conv({0.5f, 0.75f, 0}, COORD_NORMAL, COORD_DATA);
  EXPECT_NEAR(back.y, 10.0f, 1e-4);
}

TEST_F(GraphicsTest, DataWithoutScalingAndASingularMatrixAreErrors) {
  xaxis.s[1] = 0;
  EXPECT_EQ(error_code_of([&] { conv({1, 1, 0}, COORD_DATA, COORD_DEVICE); }), -319);
  float t[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 2}};
  attr_.t3d = t;
  GPoint d = conv({0.5f, 0.5f, 0}, COORD_NORMAL, COORD_DEVICE);
  EXPECT_FLOAT_EQ(d.x, 250.0f);  // divided by w = 2 after scaling
  t[3][3] = 0;
  EXPECT_EQ(error_code_of([&] { conv({0.5f, 0.5f, 0}, COORD_NORMAL, COORD_DEVICE); }), -320);
}

// The drivers of graphics/devices reach the table only by installing themselves. A fresh
// process (the test re-runs the binary) sees the table as start-up does before install.
TEST(DeviceTable, DriversFromAboveFillTheirSlotsInTableOrder) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto check = []() -> const char* {
    init_system_tables();
    init_files();
    unsetenv("VEK_DEVICE");
    if (find_device("X") || find_device("ps") || select_device("X")) return "an empty slot can be selected";
    if (!find_device("regis") || !find_device("NULL")) return "the core's own drivers are missing";
    install_drivers();
    if (dev_list[0] != &x_device || dev_list[5] != &ps_device) return "a driver is not in its slot";
    int n = 0;
    while (dev_list[n]) n++;
    if (n != 10) return "the table changed length";
    install_drivers();
    if (dev_list[0] != &x_device || dev_list[5] != &ps_device) return "a second install moved a driver";
    DeviceRecord stranger = make_device_record("NOSUCH", 10, 10, 1, 1, 1.0f, 2, 1, 0);
    if (install_device(stranger) || find_device("NOSUCH")) return "a driver without a slot got in";
    init_graphics();
    if (default_device != &x_device || cur_dev() != &x_device) return "X is not the start-up default";
    if (select_device("ps") != 1 || cur_dev() != &ps_device || cur_dev()->x_vsize <= 0)
      return "PS does not select its driver";
    return nullptr;
  };
  EXPECT_EXIT(
      {
        const char* fault = check();
        fprintf(stderr, "%s\n", fault ? fault : "ok");
        _exit(fault ? 1 : 0);
      },
      ::testing::ExitedWithCode(0), "^ok\n");
}

TEST_F(GraphicsTest, LineClippingNeverChangesTheCallersPoints) {
  const int32_t box[4] = {0, 0, 100, 100};
  DevPoint a{10, 150, 0}, b{50, 200, 0};
  const DevPoint *pa = &a, *pb = &b;
  EXPECT_EQ(clip_rectangle(&pa, &pb, box), 0);
  EXPECT_EQ(a.y, 150);
  DevPoint c{-50, 50, 0}, d{150, 50, 0};
  const DevPoint *pc = &c, *pd = &d;
  ASSERT_EQ(clip_rectangle(&pc, &pd, box), 1);
  EXPECT_NE(pc, &c);
  EXPECT_EQ(pc->x, 0);
  EXPECT_EQ(pd->x, 100);
  EXPECT_EQ(pc->y, 50);
  EXPECT_EQ(c.x, -50);
  EXPECT_EQ(d.x, 150);
  DevPoint e{-100, -100, 0}, f{200, 200, 0};
  const DevPoint *pe = &e, *pf = &f;
  ASSERT_EQ(clip_rectangle(&pe, &pf, box), 1);
  EXPECT_EQ(pe->x, 0);
  EXPECT_EQ(pe->y, 0);
  EXPECT_EQ(pf->x, 100);
  EXPECT_EQ(pf->y, 100);
}

TEST_F(GraphicsTest, PolygonClippingKeepsTheInsidePart) {
  const int32_t box[4] = {0, 0, 100, 100};
  std::vector<int32_t> x{-50, 50, 50, -50}, y{-50, -50, 50, 50};
  clip_polygon(x, y, box);
  ASSERT_EQ(x.size(), 4u);
  long area2 = 0;
  for (size_t i = 0; i < x.size(); i++) {
    size_t j = (i + 1) % x.size();
    EXPECT_GE(x[i], 0);
    EXPECT_GE(y[i], 0);
    area2 += static_cast<long>(x[i]) * y[j] - static_cast<long>(x[j]) * y[i];
  }
  EXPECT_EQ(std::labs(area2), 2 * 50 * 50);
  std::vector<int32_t> ox{200, 300, 250}, oy{0, 0, 50};
  clip_polygon(ox, oy, box);
  EXPECT_TRUE(ox.empty());
}

struct Span {
  int y, x0, x1;
};
void collect(int y, int x0, int x1, void* data) { static_cast<std::vector<Span>*>(data)->push_back({y, x0, x1}); }

TEST_F(GraphicsTest, ScanConverterReturnsInteriorSpans) {
  const int32_t rx[4] = {0, 10, 10, 0}, ry[4] = {0, 0, 5, 5};
  std::vector<Span> spans;
  polyfill(rx, ry, 4, 1, collect, &spans);
  ASSERT_EQ(spans.size(), 5u);
  for (int i = 0; i < 5; i++) {
    EXPECT_EQ(spans[i].y, i);
    EXPECT_EQ(spans[i].x0, 0);
    EXPECT_EQ(spans[i].x1, 10);
  }
  spans.clear();
  const int32_t tx[3] = {0, 10, 0}, ty[3] = {0, 0, 10};
  polyfill(tx, ty, 3, 5, collect, &spans);
  ASSERT_EQ(spans.size(), 2u);
  EXPECT_EQ(spans[1].y, 5);
  EXPECT_EQ(spans[1].x1, 5);
  // A concave outline has two spans on the scan lines through its notch.
  spans.clear();
  const int32_t ux[8] = {0, 30, 30, 20, 20, 10, 10, 0}, uy[8] = {0, 0, 20, 20, 10, 10, 20, 20};
  polyfill(ux, uy, 8, 1, collect, &spans);
  int at15 = 0;
  for (const Span& s : spans)
    if (s.y == 15) at15++;
  EXPECT_EQ(at15, 2);
}

struct Piece {
  float x0, x1;
};
void collect_piece(float x0, float, float x1, float, void* data) { static_cast<std::vector<Piece>*>(data)->push_back({x0, x1}); }

TEST_F(GraphicsTest, DashPhaseCarriesAcrossSegments) {
  DashPhase dash;
  dash.reset(2);  // on 7, off 7
  std::vector<Piece> pieces;
  dash.segment(0, 0, 5, 0, 1.0f, collect_piece, &pieces);
  dash.segment(5, 0, 20, 0, 1.0f, collect_piece, &pieces);
  ASSERT_EQ(pieces.size(), 3u);
  EXPECT_FLOAT_EQ(pieces[0].x1, 5);
  EXPECT_FLOAT_EQ(pieces[1].x0, 5);
  EXPECT_FLOAT_EQ(pieces[1].x1, 7);
  EXPECT_FLOAT_EQ(pieces[2].x0, 14);
  EXPECT_FLOAT_EQ(pieces[2].x1, 20);
  int n = -1;
  line_style_pattern(9, &n);
  EXPECT_EQ(n, 2);  // above 5 is 5
  line_style_pattern(-1, &n);
  EXPECT_EQ(n, 0);
}

TEST_F(GraphicsTest, SoftwareFillHatchesAtTheSpacingAndAngle) {
  cur_dev()->draw = record_draw;
  const int32_t x[4] = {0, 100, 100, 0}, y[4] = {0, 0, 100, 100};
  GraphAttr attr = attr_;
  FillRec fill;
  fill.style = FILL_LINES;
  fill.attr = &attr;
  fill.spacing = 10;
  polyfill_sfw(x, y, 4, &fill);
  ASSERT_EQ(drawn.size(), 10u);
  for (size_t i = 0; i < drawn.size(); i++) {
    EXPECT_EQ(drawn[i].a.y, static_cast<int>(i) * 10);
    EXPECT_EQ(drawn[i].b.y, drawn[i].a.y);
  }
  EXPECT_EQ(drawn[0].a.x, 0);  // alternate directions
  EXPECT_EQ(drawn[1].a.x, 100);
  drawn.clear();
  fill.angle = static_cast<float>(M_PI / 2);
  polyfill_sfw(x, y, 4, &fill);
  ASSERT_FALSE(drawn.empty());
  for (const Segment& s : drawn) EXPECT_EQ(s.a.x, s.b.x);  // vertical hatching
  drawn.clear();
  fill.style = FILL_SOLID;
  polyfill_sfw(x, y, 4, &fill);
  EXPECT_EQ(drawn.size(), 100u);
}

TEST_F(GraphicsTest, DrawVectorClipsAndDropsInvalidPoints) {
  cur_dev()->draw = record_draw;
  int32_t box[4] = {100, 100, 900, 900};
  attr_.clip = box;
  draw_vector({0.0f, 0.5f, 0}, {1.0f, 0.5f, 0}, attr_, COORD_NORMAL);
  ASSERT_EQ(drawn.size(), 1u);
  EXPECT_EQ(drawn[0].a.x, 100);
  EXPECT_EQ(drawn[0].b.x, 900);
  draw_vector({0.0f, 0.95f, 0}, {1.0f, 0.99f, 0}, attr_, COORD_NORMAL);
  EXPECT_EQ(drawn.size(), 1u);
  xaxis.s[0] = 0;
  xaxis.s[1] = 1;
  yaxis.s[0] = 0;
  yaxis.s[1] = 1;
  yaxis.type = 1;
  draw_vector({0.5f, -1.0f, 0}, {0.5f, 0.5f, 0}, attr_, COORD_DATA);  // log of a negative value
  EXPECT_EQ(drawn.size(), 1u);
}

int erases = 0;
void count_erase(GraphAttr*) { erases++; }

// One PLOT-like layout with the given !P.MULTI state.
void lay_out() {
  init_plot_vars(0, 1);
  init_plot_vars(1, 1);
  set_plot_window();
  init_plot_vars(2, 1);
}

TEST_F(GraphicsTest, MultiplePlotsFillThePageRowByRowAndEraseOnTheFifth) {
  EraseOp saved_erase = cur_dev()->erase;
  cur_dev()->erase = count_erase;
  PlotCom saved = plot_com;
  erases = 0;
  int32_t multi[5] = {0, 2, 2, 0, 0};
  memcpy(plot_com.multi, multi, sizeof multi);
  float x0[5], y0[5];
  for (int i = 0; i < 5; i++) {
    lay_out();
    x0[i] = xaxis.region[0];
    y0[i] = yaxis.region[0];
    if (i == 0) {
      EXPECT_EQ(erases, 1);
    }
    if (i == 3) {
      EXPECT_EQ(erases, 1);
    }
  }
  EXPECT_EQ(erases, 2);
  EXPECT_FLOAT_EQ(x0[0], 0.0f);
  EXPECT_FLOAT_EQ(y0[0], 0.5f);  // top left first
  EXPECT_FLOAT_EQ(x0[1], 0.5f);
  EXPECT_FLOAT_EQ(y0[1], 0.5f);
  EXPECT_FLOAT_EQ(x0[2], 0.0f);
  EXPECT_FLOAT_EQ(y0[2], 0.0f);
  EXPECT_FLOAT_EQ(x0[3], 0.5f);
  EXPECT_FLOAT_EQ(x0[4], 0.0f);
  EXPECT_FLOAT_EQ(y0[4], 0.5f);
  // The window lies inside the region by the margins (10 and 3 character widths).
  float ch = 8.0f / 1000.0f;
  EXPECT_NEAR(xaxis.window[0], xaxis.region[0] + 10 * ch, 1e-5);
  EXPECT_NEAR(xaxis.window[1], xaxis.region[1] - 3 * ch, 1e-5);
  EXPECT_EQ(plot_com.clip[0], static_cast<int32_t>(xaxis.window[0] * 1000));
  plot_com = saved;
  cur_dev()->erase = saved_erase;
}

TEST_F(GraphicsTest, PositionOverridesMarginsAndSmallCellsHalveTheCharacters) {
  PlotCom saved = plot_com;
  float pos[4] = {0.1f, 0.1f, 0.9f, 0.9f};
  memcpy(plot_com.position, pos, sizeof pos);
  plot_com.noerase = 1;
  lay_out();
  EXPECT_FLOAT_EQ(xaxis.window[0], 0.1f);
  EXPECT_FLOAT_EQ(yaxis.window[1], 0.9f);
  EXPECT_NEAR(xaxis.region[0], 0.1f - 10 * 0.008f, 1e-6);
  EXPECT_NEAR(yaxis.region[1], 0.9f + 2 * 0.013f, 1e-6);
  float big[4] = {-0.5f, 0.2f, 1.5f, 0.8f};
  memcpy(plot_com.position, big, sizeof big);
  lay_out();
  EXPECT_FLOAT_EQ(xaxis.window[0], 0.0f);
  EXPECT_FLOAT_EQ(xaxis.window[1], 0.99999f);
  plot_com.position[0] = plot_com.position[2] = 0;
  int32_t multi[5] = {0, 3, 1, 0, 0};
  memcpy(plot_com.multi, multi, sizeof multi);
  init_plot_vars(0, 1);
  init_plot_vars(1, 1);
  set_plot_window();
  EXPECT_FLOAT_EQ(ps.ch_size[0], 0.5f * 8 / 1000);
  init_plot_vars(2, 1);
  plot_com = saved;
}

// ---- PostScript through Ghostscript ------------------------------------------------------

// The page as 8-bit grey rows (72 dpi, US letter), or empty when Ghostscript fails.
std::vector<std::string> render_page(const std::string& ps) {
  std::string pgm = ps + ".pgm";
  std::string cmd = "gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pgmraw -r72 -sPAPERSIZE=letter -dFIXEDMEDIA -sOutputFile=" +
                    pgm + " " + ps + " 2>&1";
  if (system(cmd.c_str()) != 0) return {};
  std::ifstream in(pgm, std::ios::binary);
  // Header: magic, width, height, maximum, with "#" comment lines between the fields.
  int fields[3] = {0, 0, 0};
  std::string token;
  for (int k = -1; k < 3;) {
    in >> token;
    if (!in) return {};
    if (token[0] == '#') {
      std::getline(in, token);
      continue;
    }
    if (k >= 0) fields[k] = std::stoi(token);
    k++;
  }
  in.get();
  int w = fields[0], h = fields[1];
  std::vector<std::string> rows(static_cast<size_t>(h), std::string(static_cast<size_t>(w), '\0'));
  for (auto& r : rows) in.read(r.data(), w);
  return rows;
}

// Pixel (at 72 dpi) of a device point on the default portrait page.
int px_x(double units) { return static_cast<int>(54 + units * 72.0 / 2540.0); }
int px_y(double units) { return static_cast<int>(792 - (360 + units * 72.0 / 2540.0)); }

TEST_F(GraphicsTest, PostScriptLinesAndPolygonsRenderWhereTheCoordinatesSay) {
  if (system("command -v gs > /dev/null") != 0) GTEST_SKIP() << "Ghostscript missing";
  ScratchFolder folder;
  const std::string file = folder.path("lines.ps");
  ASSERT_EQ(select_device("PS"), 1);
  ps_open_file(file.c_str());
  GraphAttr attr;
  attr_setup(plot_com, attr);
  attr.clip = nullptr;
  attr.thick = 3;
  draw_vector({0.1f, 0.5f, 0}, {0.9f, 0.5f, 0}, attr, COORD_NORMAL);
  const int32_t x[4] = {2000, 4000, 4000, 2000}, y[4] = {2000, 2000, 4000, 4000};
  FillRec fill;
  fill.attr = &attr;
  cur_dev()->polyfill(x, y, 4, &fill);
  // A long polyline across the top of the page, split into paths of at most 750 segments.
  for (int i = 0; i < 2000; i++)
    draw_vector({static_cast<float>(1000 + i * 5), 11000, 0}, {static_cast<float>(1005 + i * 5), 11000, 0}, attr,
                DEVICE_INT);
  ps_close_file();
  EXPECT_EQ(cur_dev()->unit, 0);
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  std::string body = text.str();
  int longest = 0, current = 0, strokes = 0;
  for (std::istringstream words(body); words;) {
    std::string w;
    words >> w;
    if (w == "R") current++;
    if (w == "D" || w == "F") {
      longest = std::max(longest, current);
      current = 0;
      strokes += w == "D";
    }
  }
  EXPECT_LE(longest, 750);
  EXPECT_GE(strokes, 4);  // the first line, then 2000 segments in at least three paths
  EXPECT_NE(body.find("%%Pages: 1\n"), std::string::npos);

  std::vector<std::string> page = render_page(file);
  ASSERT_EQ(page.size(), 792u);
  auto at = [&](int px, int py) { return static_cast<unsigned char>(page[static_cast<size_t>(py)][static_cast<size_t>(px)]); };
  int ly = px_y(0.5 * 12700);
  EXPECT_LT(at(px_x(0.5 * 17780), ly), 64) << "the line at mid height";
  EXPECT_GT(at(px_x(0.5 * 17780), ly - 6), 200) << "thin line";
  EXPECT_GT(at(px_x(0.05 * 17780), ly), 200) << "nothing before its start";
  EXPECT_LT(at(px_x(0.85 * 17780), ly), 64) << "reaches its end";
  EXPECT_LT(at(px_x(3000), px_y(3000)), 64) << "polygon interior filled";
  EXPECT_GT(at(px_x(4600), px_y(3000)), 200) << "nothing outside the polygon";
  EXPECT_LT(at(px_x(6000), px_y(11000)), 64) << "the long polyline is drawn";
}

TEST_F(GraphicsTest, PostScriptTextIsEscapedPlacedAndMeasured) {
  if (system("command -v gs > /dev/null") != 0) GTEST_SKIP() << "Ghostscript missing";
  ScratchFolder folder;
  const std::string file = folder.path("text.ps");
  ASSERT_EQ(select_device("PS"), 1);
  DeviceRecord& dev = *cur_dev();
  ASSERT_NE(dev.text, nullptr);
  ps_open_file(file.c_str());
  GraphAttr attr;
  attr_setup(plot_com, attr);
  TextAttr measure;
  measure.size = -1;
  float w1 = dev.text(nullptr, &attr, &measure, "HH", 2);
  float w2 = dev.text(nullptr, &attr, &measure, "HHHH", 4);
  EXPECT_GT(w1, 0);
  EXPECT_NEAR(w2, 2 * w1, 1e-3);
  measure.size = -2;
  EXPECT_NEAR(dev.text(nullptr, &attr, &measure, "HH", 2), 2 * w1, 1e-3);
  TextAttr ta;
  ta.size = 3;
  DevPoint at{5000, 6000, 0};
  float w = dev.text(&at, &attr, &ta, "HHH", 3);
  EXPECT_NEAR(w, 2.25f * w2, 1e-2);
  TextAttr centred;
  centred.alignment = 0.5f;
  centred.orientation = 90;
  DevPoint at2{15000, 3000, 0};
  dev.text(&at2, &attr, &centred, "a(b)\\!!c!9d\001", 12);
  ps_close_file();
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  std::string body = text.str();
  EXPECT_NE(body.find("gsave 5000 6000 translate 0 0 M 3 dup scale (HHH) show grestore"), std::string::npos);
  EXPECT_NE(body.find("90 rotate"), std::string::npos);
  EXPECT_NE(body.find("(a\\(b\\)\\\\!c) show"), std::string::npos) << body;
  EXPECT_NE(body.find("/Symbol STDFONT"), std::string::npos);
  EXPECT_NE(body.find("(d\\001) show"), std::string::npos) << body.substr(body.find("90 rotate"), 200);
  EXPECT_NE(body.find("%%+ font Symbol"), std::string::npos);
  std::vector<std::string> page = render_page(file);
  ASSERT_EQ(page.size(), 792u);
  // Three-times-size capitals from (5000, 6000): dark strokes inside their box, none left of it.
  int dark = 0;
  for (int py = px_y(6000 + 900); py <= px_y(6000 + 100); py++)
    for (int px = px_x(5000); px <= px_x(5000 + w); px++)
      if (static_cast<unsigned char>(page[static_cast<size_t>(py)][static_cast<size_t>(px)]) < 100) dark++;
  EXPECT_GT(dark, 50);
  for (int py = px_y(6000 + 900); py <= px_y(6000 + 100); py++)
    EXPECT_GT(static_cast<unsigned char>(page[static_cast<size_t>(py)][static_cast<size_t>(px_x(4000))]), 200);
}

}  // namespace
