// Graphics tests on the NULL device. The system is set up once per suite; each test may
// change the device record and the axes, which are put back afterwards, and can have the
// device's lines recorded in `drawn`.
#pragma once

#include <vector>

#include "graphics/device.h"
#include "graphics/devices/drivers.h"
#include "interp/routines.h"
#include "io/files.h"
#include "session/startup.h"
#include "test_support.h"

struct Segment {
  DevPoint a, b;
};

class NullDeviceTest : public VekTest {
 protected:
  static void SetUpTestSuite() {
    init_system_tables();
    init_files();
    install_drivers();
    init_graphics();
  }
  void SetUp() override {
    VekTest::SetUp();
    ASSERT_EQ(select_device("null"), 1);
    null_ = cur_dev();
    saved_device_ = *null_;
    saved_x_ = xaxis;
    saved_y_ = yaxis;
    saved_z_ = zaxis;
    attr_setup(plot_com, attr_);
    drawn.clear();
  }
  void TearDown() override {
    *null_ = saved_device_;  // a test may have gone on to another device
    xaxis = saved_x_;
    yaxis = saved_y_;
    zaxis = saved_z_;
    VekTest::TearDown();
  }
  static void record_draw(const DevPoint* a, const DevPoint* b, GraphAttr*) { drawn.push_back({*a, *b}); }

  static inline std::vector<Segment> drawn;
  GraphAttr attr_;
  DeviceRecord* null_ = nullptr;
  DeviceRecord saved_device_;
  AxisRec saved_x_, saved_y_, saved_z_;
};
