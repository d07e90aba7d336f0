// The X device's operation slots against a live X server (run through with_xvfb): what
// lands in the window is read back over a second connection of our own, through the
// window's colormap, so the driver's own buffers are never consulted.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "graphics/device.h"
#include "graphics/devices/drivers.h"
#include "interp/routines.h"
#include "io/files.h"
#include "lib/sysvars.h"
#include "base/message.h"
#include "session/startup.h"
#include "values/variable.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "graphics/devices/x_display.h"

#include "find_window.h"

namespace {

struct Rgb {
  int r, g, b;
  bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
};
std::ostream& operator<<(std::ostream& os, const Rgb& c) { return os << "(" << c.r << "," << c.g << "," << c.b << ")"; }


// Requested visual class: -1 the driver's own choice.
class XDeviceTest : public ::testing::TestWithParam<int> {
 protected:
  static void SetUpTestSuite() {
    init_system_tables();
    init_files();
    install_drivers();
    init_graphics();
    probe_ = XOpenDisplay(nullptr);
  }
  void SetUp() override {
    ASSERT_NE(probe_, nullptr) << "no X display";
    x_settings = XSettings{};
    x_settings.visual_class = GetParam();
    x_settings.visual_depth = GetParam() >= 0 ? 24 : 0;
    for (int p = 0; p < 3; p++)
      for (int i = 0; i < 256; i++) color_map[p][i] = static_cast<uint8_t>(i);
    ASSERT_EQ(select_device("X"), 1);
    dev_ = cur_dev();
    attr_setup(plot_com, attr_);
    attr_.clip = nullptr;
    attr_.thick = 0;
    attr_.linestyle = 0;
    dev_->window_create(0, nullptr, nullptr);
    dev_->flush();
    window_ = find_titled(probe_, DefaultRootWindow(probe_), "VEK 0");
    ASSERT_NE(window_, 0u);
    dev_->erase(&attr_with(0));
  }
  void TearDown() override { x_close_display(); }

  GraphAttr& attr_with(int color) {
    attr_.color = color;
    return attr_;
  }
  // The colour at device point (x, y).
  Rgb at(int x, int y) {
    dev_->flush();
    XSync(x_state.display, False);
    XWindowAttributes a;
    XGetWindowAttributes(probe_, window_, &a);
    XImage* im = XGetImage(probe_, window_, x, a.height - 1 - y, 1, 1, AllPlanes, ZPixmap);
    if (!im) return {-1, -1, -1};
    XColor c{};
    c.pixel = XGetPixel(im, 0, 0);
    XDestroyImage(im);
    XQueryColor(probe_, a.colormap, &c);
    return {c.red >> 8, c.green >> 8, c.blue >> 8};
  }
  void line(int x0, int y0, int x1, int y1) {
    DevPoint a{x0, y0, 0}, b{x1, y1, 0};
    dev_->draw(&a, &b, &attr_);
  }

  static Display* probe_;
  DeviceRecord* dev_ = nullptr;
  GraphAttr attr_;
  Window window_ = 0;
};
Display* XDeviceTest::probe_ = nullptr;

const Rgb kBlack{0, 0, 0};
Rgb grey(int v) { return {v, v, v}; }

TEST_P(XDeviceTest, LinesLandOnDevicePixelsWithTheOriginBottomLeft) {
  attr_with(90);
  line(10, 10, 100, 10);
  line(20, 30, 20, 80);
  EXPECT_EQ(at(10, 10), grey(90));
  EXPECT_EQ(at(55, 10), grey(90));
  EXPECT_EQ(at(100, 10), grey(90));
  EXPECT_EQ(at(55, 11), kBlack);
  EXPECT_EQ(at(55, 9), kBlack);
  EXPECT_EQ(at(20, 30), grey(90));
  EXPECT_EQ(at(20, 80), grey(90));
  EXPECT_EQ(at(21, 55), kBlack);
  EXPECT_EQ(at(20, 81), kBlack);
  // The top row of the device is the window's first row.
  line(0, 511, 639, 511);
  EXPECT_EQ(at(300, 511), grey(90));
}

TEST_P(XDeviceTest, DashesThicknessAndFill) {
  attr_with(60);
  attr_.linestyle = 2;  // on 7, off 7
  line(0, 100, 60, 100);
  EXPECT_EQ(at(3, 100), grey(60));
  EXPECT_EQ(at(10, 100), kBlack);
  EXPECT_EQ(at(17, 100), grey(60));
  attr_.linestyle = 0;
  attr_.thick = 5;
  line(0, 200, 60, 200);
  EXPECT_EQ(at(30, 202), grey(60));
  EXPECT_EQ(at(30, 206), kBlack);
  attr_.thick = 0;
  int32_t x[4] = {100, 150, 150, 100}, y[4] = {300, 300, 350, 350};
  FillRec fill;
  fill.attr = &attr_with(70);
  dev_->polyfill(x, y, 4, &fill);
  EXPECT_EQ(at(125, 325), grey(70));
  EXPECT_EQ(at(160, 325), kBlack);
  EXPECT_EQ(at(125, 360), kBlack);
  dev_->erase(&attr_with(50));
  EXPECT_EQ(at(125, 325), grey(50));
  EXPECT_EQ(at(639, 0), grey(50));
}

TEST_P(XDeviceTest, ColourIndicesGoThroughTheColourTable) {
  color_map[0][7] = 255;
  color_map[1][7] = 0;
  color_map[2][7] = 0;
  color_map[0][8] = 10;
  color_map[1][8] = 20;
  color_map[2][8] = 30;
  dev_->load_color(0, 256);
  attr_with(7);
  line(0, 50, 50, 50);
  attr_with(8);
  line(0, 60, 50, 60);
  EXPECT_EQ(at(25, 50), (Rgb{255, 0, 0}));
  EXPECT_EQ(at(25, 60), (Rgb{10, 20, 30}));
  // Loading the table again recolours what a mapped visual shows; TrueColor keeps pixels.
  color_map[1][7] = 255;
  dev_->load_color(7, 1);
  bool mapped = x_state.visual_class != TrueColor;
  EXPECT_EQ(at(25, 50), mapped ? (Rgb{255, 255, 0}) : (Rgb{255, 0, 0}));
}

TEST_P(XDeviceTest, DecomposedColoursAreRgbWithRedInTheLowByte) {
  if (x_state.visual_class != TrueColor && x_state.visual_class != DirectColor) GTEST_SKIP() << "mapped visual";
  x_settings.decomposed = true;
  attr_with(0x0000ff);
  line(0, 40, 30, 40);
  attr_with(0x80ff00);
  line(0, 41, 30, 41);
  EXPECT_EQ(at(15, 40), (Rgb{255, 0, 0}));
  EXPECT_EQ(at(15, 41), (Rgb{0, 255, 128}));
}

TEST_P(XDeviceTest, ImagesWriteAndReadBackThroughTheTable) {
  std::vector<uint8_t> img(6 * 3);
  for (size_t i = 0; i < img.size(); i++) img[i] = static_cast<uint8_t>(4 * i);
  ImageRec rec;
  rec.nx = 6;
  rec.ny = 3;
  dev_->image(img.data(), 30, 40, 6, 3, 1, &rec);
  EXPECT_EQ(at(30, 40), grey(0));   // row 0 at the bottom
  EXPECT_EQ(at(35, 42), grey(68));  // last pixel at the top right
  std::vector<uint8_t> back(img.size());
  dev_->image(back.data(), 30, 40, 6, 3, 0, &rec);
  EXPECT_EQ(back, img);
  rec.order = 1;  // top down
  dev_->image(img.data(), 30, 40, 6, 3, 1, &rec);
  EXPECT_EQ(at(30, 42), grey(0));
  // Partly outside the window: only the visible part is written.
  rec.order = 0;
  dev_->image(img.data(), 636, 510, 6, 3, 1, &rec);
  EXPECT_EQ(at(639, 510), grey(12));
  EXPECT_EQ(at(636, 511), grey(24));
  // Interleaved true-colour pixels (TRUE=1).
  uint8_t rgb[2 * 1 * 3] = {200, 0, 0, 0, 0, 200};
  ImageRec t;
  t.nx = 2;
  t.ny = 1;
  t.true_color = 1;
  dev_->image(rgb, 100, 100, 2, 1, 1, &t);
  if (x_state.visual_class == TrueColor || x_state.visual_class == DirectColor) {
    EXPECT_EQ(at(100, 100), (Rgb{200, 0, 0}));
    EXPECT_EQ(at(101, 100), (Rgb{0, 0, 200}));
  }
}

TEST_P(XDeviceTest, TextIsDrawnAndMeasured) {
  TextAttr text;
  DevPoint p{50, 50, 0};
  text.size = -1;
  float width = dev_->text(&p, &attr_with(90), &text, "WWW", 3);
  EXPECT_GT(width, 5.0f);
  EXPECT_EQ(at(52, 52), kBlack) << "measuring draws nothing";
  text.size = 1;
  EXPECT_EQ(dev_->text(&p, &attr_with(90), &text, "WWW", 3), width);
  int lit = 0;
  for (int x = 50; x < 50 + static_cast<int>(width); x++)
    for (int y = 51; y < 60; y++) lit += at(x, y) == grey(90);
  EXPECT_GT(lit, 5);
}

TEST_P(XDeviceTest, CursorPositionIsSetAndReadInDeviceUnits) {
  MouseRec m{123, 45, 0, 0};
  dev_->cursor(1, &m);
  MouseRec back{};
  dev_->cursor(2, &back);
  EXPECT_EQ(back.x, 123);
  EXPECT_EQ(back.y, 45);
  EXPECT_EQ(back.button, 0);
}

TEST_P(XDeviceTest, ResizedRetainedWindowKeepsItsPictureAndUpdatesTheDevice) {
  x_settings.retain = 2;
  dev_->window_create(0, nullptr, nullptr);
  dev_->flush();
  window_ = find_titled(probe_, DefaultRootWindow(probe_), "VEK 0");
  dev_->erase(&attr_with(0));
  attr_with(80);
  line(5, 5, 5, 5);
  line(0, 20, 30, 20);
  dev_->flush();
  XResizeWindow(probe_, window_, 700, 600);
  XSync(probe_, False);
  for (int i = 0; i < 50 && dev_->x_size != 700; i++) {
    usleep(20000);
    x_drain_events();
  }
  EXPECT_EQ(dev_->x_size, 700);
  EXPECT_EQ(dev_->y_size, 600);
  EXPECT_EQ(dev_->x_vsize, 700);
  EXPECT_EQ(at(15, 20), grey(80)) << "the picture keeps its place at the bottom left";
  EXPECT_EQ(at(15, 21), kBlack);
}

TEST_P(XDeviceTest, WindowManagerCloseDeletesTheWindow) {
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = window_;
  e.xclient.message_type = XInternAtom(probe_, "WM_PROTOCOLS", False);
  e.xclient.format = 32;
  e.xclient.data.l[0] = static_cast<long>(XInternAtom(probe_, "WM_DELETE_WINDOW", False));
  XSendEvent(probe_, window_, False, NoEventMask, &e);
  XSync(probe_, False);
  for (int i = 0; i < 50 && dev_->window >= 0; i++) {
    usleep(20000);
    x_drain_events();
  }
  EXPECT_EQ(dev_->window, -1);
  EXPECT_EQ(dev_->x_size, 640);
  XSync(probe_, False);
  EXPECT_EQ(find_titled(probe_, DefaultRootWindow(probe_), "VEK 0"), 0u);
}

std::string shown;
void capture(int, const char* text, bool end_line) {
  shown += text;
  if (end_line) shown += "\n";
}

TEST_P(XDeviceTest, ShowDescribesTheDisplayAndTheOpenWindows) {
  x_settings.retain = 2;
  dev_->window_create(0, nullptr, nullptr);
  x_settings.retain = 0;
  Variable index{};
  index.type = TYP_LONG;
  index.value.l = 5;
  Variable* args[1] = {&index};
  dev_->window_create(1, args, nullptr);
  auto saved = message_hooks.write;
  message_hooks.write = capture;
  shown.clear();
  dev_->show();
  message_hooks.write = saved;
  char depth[64];
  snprintf(depth, sizeof depth, "    Display Depth, Size: %d bits, (%d,%d)\n", x_state.depth, x_state.screen_width,
           x_state.screen_height);
  EXPECT_NE(shown.find(depth), std::string::npos) << shown;
  std::string visual = std::string("    Visual Class: ") + x_visual_class_name(x_state.visual_class);
  EXPECT_NE(shown.find(visual), std::string::npos) << shown;
  EXPECT_NE(shown.find("    Graphics Function: 3 (GXcopy)"), std::string::npos) << shown;
  EXPECT_NE(shown.find("    Default Backing Store: None."), std::string::npos) << shown;
  EXPECT_NE(shown.find("     0: Window( 640, 512,          Pixmap)     5: Window( 640, 512,            None)"),
            std::string::npos)
      << shown;
}

INSTANTIATE_TEST_SUITE_P(Visuals, XDeviceTest, ::testing::Values(-1, TrueColor),
                         [](const ::testing::TestParamInfo<int>& i) {
                           return std::string(i.param < 0 ? "Default" : "TrueColorAsked");
                         });

}  // namespace
