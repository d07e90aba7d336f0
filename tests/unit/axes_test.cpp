// Axis scaling: the interval routine (rounded ranges, logarithmic decades, given tick
// counts), axis_scale on a working record (exact and extended styles, reversed ranges,
// user tick values, repairs) and the default tick labels.
#include <cmath>
#include <string>
#include <vector>

#include "graphics/axes.h"
#include "session/startup.h"
#include "test_support.h"

namespace {

class AxesTest : public VekTest {
 protected:
  static void SetUpTestSuite() { init_system_tables(); }
  // A working axis over the NORMAL window 0.1 .. 0.9 with the given range.
  AxisRec axis(float lo, float hi, int style = 0, int type = 0) {
    AxisRec a{};
    a.crange[0] = lo;
    a.crange[1] = hi;
    a.style = style;
    a.type = type;
    a.window[0] = 0.1f;
    a.window[1] = 0.9f;
    return a;
  }
  std::vector<float> ticks(const AxisRec& a) { return std::vector<float>(a.tickv, a.tickv + a.ticks + 1); }
  std::vector<std::string> labels(const AxisRec& a) {
    std::vector<std::string> out;
    for (int k = 0; k <= a.ticks; k++) out.emplace_back(a.tickname[k].chars, a.tickname[k].length);
    return out;
  }
};

using Floats = std::vector<float>;
using Strings = std::vector<std::string>;

TEST_F(AxesTest, IntervalRoundsToOneTwoOrFiveTimesAPowerOfTen) {
  TickInterval a = axis_interval(0, 100, 4, false, false);
  EXPECT_DOUBLE_EQ(a.interval, 20);
  EXPECT_DOUBLE_EQ(a.start, 0);
  EXPECT_DOUBLE_EQ(a.end, 100);
  EXPECT_EQ(a.minor, 4);
  TickInterval b = axis_interval(0.5, 0.73, 4, false, false);
  EXPECT_NEAR(b.interval, 0.05, 1e-12);
  EXPECT_NEAR(b.start, 0.5, 1e-12);
  EXPECT_NEAR(b.end, 0.75, 1e-12);
  EXPECT_EQ(b.minor, 5);
  // d = 3.5 / 4 gives m = 8.75, above 7.07: the next power of ten.
  TickInterval c = axis_interval(-1.5, 2, 4, false, false);
  EXPECT_DOUBLE_EQ(c.interval, 1);
  EXPECT_DOUBLE_EQ(c.start, -2);
  EXPECT_DOUBLE_EQ(c.end, 2);
  // An empty range becomes one unit wide; a reversed one counts down.
  TickInterval d = axis_interval(3, 3, 4, false, false);
  EXPECT_DOUBLE_EQ(d.start, 3);
  EXPECT_DOUBLE_EQ(d.end, 4);
  TickInterval e = axis_interval(10, 0, 4, false, false);
  EXPECT_DOUBLE_EQ(e.interval, -2);
  EXPECT_DOUBLE_EQ(e.start, 10);
  EXPECT_DOUBLE_EQ(e.end, 0);
}

TEST_F(AxesTest, IntervalWithGivenTicksCentresThemOnTheData) {
  // Three intervals of 50 where two would do: the data sit in the first two.
  TickInterval a = axis_interval(0, 100, 3, true, false);
  EXPECT_DOUBLE_EQ(a.interval, 50);
  EXPECT_DOUBLE_EQ(a.start, 0);
  // Ten intervals of 10 over 0..100 fit exactly.
  TickInterval b = axis_interval(0, 100, 10, true, false);
  EXPECT_DOUBLE_EQ(b.interval, 10);
  EXPECT_DOUBLE_EQ(b.start, 0);
  TickInterval c = axis_interval(10, 90, 8, true, false);
  EXPECT_DOUBLE_EQ(c.interval, 10);
  EXPECT_DOUBLE_EQ(c.start, 10);
  TickInterval d = axis_interval(20, 80, 6, true, false);
  EXPECT_DOUBLE_EQ(d.interval, 10);
  EXPECT_DOUBLE_EQ(d.start, 20);
  TickInterval e = axis_interval(0, 40, 6, true, false);
  EXPECT_DOUBLE_EQ(e.interval, 10);
  EXPECT_DOUBLE_EQ(e.start, -10);  // four needed, six given: one spare interval below
  // Fewer intervals than the rounded range needs: they are stretched over it.
  TickInterval f = axis_interval(45, 105, 1, true, false);
  EXPECT_DOUBLE_EQ(f.interval, 200);
  EXPECT_DOUBLE_EQ(f.start, 0);
}

TEST_F(AxesTest, LogarithmicIntervalsAreDecades) {
  TickInterval a = axis_interval(1, 1000, 4, false, true);
  EXPECT_DOUBLE_EQ(a.start, 0);
  EXPECT_DOUBLE_EQ(a.end, 3);
  EXPECT_DOUBLE_EQ(a.interval, 1);
  TickInterval b = axis_interval(3, 4.5e5, 4, false, true);
  EXPECT_DOUBLE_EQ(b.start, 0);
  EXPECT_DOUBLE_EQ(b.end, 6);
  // Twelve decades: steps of two decades; never below one.
  TickInterval c = axis_interval(1e-6, 1e6, 4, false, true);
  EXPECT_DOUBLE_EQ(c.interval, 2);
  EXPECT_DOUBLE_EQ(c.start, -6);
  EXPECT_DOUBLE_EQ(c.end, 6);
  TickInterval g = axis_interval(1, 1e8, 8, false, true);
  EXPECT_DOUBLE_EQ(g.interval, 1);
  // A non-positive top gives 1 .. 100; a non-positive bottom six decades below the top.
  TickInterval d = axis_interval(-5, 0, 4, false, true);
  EXPECT_DOUBLE_EQ(d.start, 0);
  EXPECT_DOUBLE_EQ(d.end, 2);
  TickInterval e = axis_interval(0, 100, 4, false, true);
  EXPECT_DOUBLE_EQ(e.start, -4);
  EXPECT_DOUBLE_EQ(e.end, 2);
}

TEST_F(AxesTest, ScaleFillsTicksRangeAndScaling) {
  AxisRec a = axis(0, 100);
  axis_scale(a, 0);
  EXPECT_EQ(a.ticks, 5);
  EXPECT_EQ(ticks(a), (Floats{0, 20, 40, 60, 80, 100}));
  EXPECT_EQ(a.minor, 4);
  EXPECT_FLOAT_EQ(a.crange[0], 0);
  EXPECT_FLOAT_EQ(a.crange[1], 100);
  EXPECT_FLOAT_EQ(a.s[1], 0.8f / 100);
  EXPECT_FLOAT_EQ(a.s[0], 0.1f);
  EXPECT_EQ(labels(a), (Strings{"0", "20", "40", "60", "80", "100"}));

  AxisRec r = axis(10, 0);
  axis_scale(r, 1);
  EXPECT_EQ(ticks(r), (Floats{10, 8, 6, 4, 2, 0}));
  EXPECT_FLOAT_EQ(r.crange[0], 10);
  EXPECT_FLOAT_EQ(r.crange[1], 0);
  EXPECT_LT(r.s[1], 0);
  EXPECT_FLOAT_EQ(r.s[0] + r.s[1] * 10, 0.1f);

  AxisRec b = axis(0.5f, 0.73f);
  axis_scale(b, 0);
  EXPECT_NEAR(b.crange[1], 0.75, 1e-6);
  EXPECT_EQ(b.ticks, 5);
  EXPECT_EQ(labels(b), (Strings{"0.50", "0.55", "0.60", "0.65", "0.70", "0.75"}));
}

TEST_F(AxesTest, ExactAndExtendedStyles) {
  AxisRec e = axis(0.3f, 9.7f, 1);
  axis_scale(e, 0);
  EXPECT_EQ(ticks(e), (Floats{2, 4, 6, 8}));
  EXPECT_FLOAT_EQ(e.crange[0], 0.3f);
  EXPECT_FLOAT_EQ(e.crange[1], 9.7f);
  // Exact with a given count: the range itself divided evenly, no suggested minor count.
  AxisRec g = axis(0.3f, 9.7f, 1);
  g.ticks = 2;
  axis_scale(g, 0);
  EXPECT_EQ(g.ticks, 2);
  EXPECT_NEAR(g.tickv[1], 5.0, 1e-6);
  EXPECT_EQ(g.minor, 0);
  AxisRec x = axis(0, 100, 2);
  axis_scale(x, 0);
  EXPECT_FLOAT_EQ(x.crange[0], -2.5f);
  EXPECT_FLOAT_EQ(x.crange[1], 102.5f);
  EXPECT_EQ(ticks(x), (Floats{0, 20, 40, 60, 80, 100}));
  AxisRec both = axis(0.3f, 9.7f, 3);
  axis_scale(both, 0);
  EXPECT_NEAR(both.crange[0], 0.3f - 0.235f, 1e-5);
}

TEST_F(AxesTest, LogarithmicScale) {
  AxisRec a = axis(1, 1000, 0, 1);
  axis_scale(a, 0);
  EXPECT_FLOAT_EQ(a.crange[0], 0);
  EXPECT_FLOAT_EQ(a.crange[1], 3);
  EXPECT_EQ(ticks(a), (Floats{1, 10, 100, 1000}));
  EXPECT_EQ(a.minor, 9);
  EXPECT_EQ(labels(a), (Strings{"1", "10", "100", "1000"}));
  // Exact: the range stays, kept as logarithms.
  AxisRec e = axis(2, 500, 1, 1);
  axis_scale(e, 0);
  EXPECT_NEAR(e.crange[0], std::log10(2.0), 1e-6);
  EXPECT_NEAR(e.crange[1], std::log10(500.0), 1e-6);
  EXPECT_EQ(ticks(e), (Floats{10, 100}));
  // A zero bottom becomes the top times 1e-12.
  AxisRec z = axis(0, 100, 1, 1);
  axis_scale(z, 0);
  EXPECT_NEAR(z.crange[0], -10, 1e-4);
}

TEST_F(AxesTest, UserTickValuesFixTheRange) {
  AxisRec a = axis(0, 1);
  a.ticks = 2;
  a.tickv[0] = 5;
  a.tickv[1] = 7;
  a.tickv[2] = 20;
  axis_scale(a, 0);
  EXPECT_FLOAT_EQ(a.crange[0], 5);
  EXPECT_FLOAT_EQ(a.crange[1], 20);
  EXPECT_EQ(ticks(a), (Floats{5, 7, 20}));
  // Kept in the direction of the old range.
  AxisRec r = axis(1, 0);
  r.ticks = 2;
  r.tickv[0] = 5;
  r.tickv[1] = 7;
  r.tickv[2] = 20;
  axis_scale(r, 0);
  EXPECT_FLOAT_EQ(r.crange[0], 20);
  EXPECT_FLOAT_EQ(r.crange[1], 5);
}

TEST_F(AxesTest, BadTickCountAndInfiniteRanges) {
  AxisRec a = axis(0, 1);
  a.ticks = 30;
  EXPECT_EQ(error_code_of([&] { axis_scale(a, 0); }), M_VALUE_RANGE);
  a.ticks = -1;
  EXPECT_EQ(error_code_of([&] { axis_scale(a, 0); }), M_VALUE_RANGE);
  AxisRec inf = axis(0, INFINITY);
  EXPECT_EQ(error_code_of([&] { axis_scale(inf, 0); }), 0);  // a warning only
  EXPECT_FLOAT_EQ(inf.crange[1], 1);
  AxisRec nan = axis(NAN, 5);
  axis_scale(nan, 0);
  EXPECT_TRUE(std::isfinite(nan.s[0]) && std::isfinite(nan.s[1]));
  EXPECT_FLOAT_EQ(nan.crange[0], 1);
}

TEST_F(AxesTest, DefaultLabels) {
  EXPECT_EQ(default_tick_labels({-1, -0.5, 0, 0.5, 1}, false, true), (Strings{"-1.0", "-0.5", "0.0", "0.5", "1.0"}));
  // A rounding residue next to zero prints as zero.
  EXPECT_EQ(default_tick_labels({-0.2, 1.49e-9, 0.2}, false, true), (Strings{"-0.2", "0.0", "0.2"}));
  EXPECT_EQ(default_tick_labels({0, 2.5, 5, 7.5}, false, true), (Strings{"0.0", "2.5", "5.0", "7.5"}));
  EXPECT_EQ(default_tick_labels({1000, 1500, 2000}, false, true), (Strings{"1000", "1500", "2000"}));
  // Six decades: too wide for fixed point; all mantissas are one.
  EXPECT_EQ(default_tick_labels({1, 100, 1e4, 1e6}, true, true), (Strings{"10!A0", "10!A2", "10!A4", "10!A6"}));
  EXPECT_EQ(default_tick_labels({1, 100, 1e4, 1e6}, true, false), (Strings{"1.0E0", "1.0E2", "1.0E4", "1.0E6"}));
  EXPECT_EQ(default_tick_labels({1e-8, 2e-8}, false, true), (Strings{"1!MX10!A-8", "2!MX10!A-8"}));
  EXPECT_EQ(default_tick_labels({0, 2e5, 4e5}, false, false), (Strings{"0", "2E5", "4E5"}));
  EXPECT_EQ(default_tick_labels({1.5e6, 2.5e6}, false, false), (Strings{"1.5E6", "2.5E6"}));
  EXPECT_EQ(default_tick_labels({0, INFINITY}, false, false)[1], "Infinity");
}

}  // namespace
