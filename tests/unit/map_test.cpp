// Map projections behind a map x axis: forward values, the inverse of every projection,
// the conversions through the axis scaling, and segments split at the map's edge or cut
// at the horizon.
#include <cmath>
#include <vector>

#include "graphics/map.h"
#include "null_device_fixture.h"

namespace {

class MapTest : public NullDeviceTest {
 protected:
  void SetUp() override {
    NullDeviceTest::SetUp();
    saved_map_ = map_p;
    map_p = MapRec{};
    // u in -pi..pi and v in -pi/2..pi/2 fill 0.1..0.9 and 0.3..0.7 of the page.
    xaxis.type = 2;
    xaxis.s[0] = yaxis.s[0] = 0.5f;
    xaxis.s[1] = yaxis.s[1] = static_cast<float>(0.4 / M_PI);
    yaxis.type = 0;
    attr_.clip = nullptr;
  }
  void TearDown() override {
    map_p = saved_map_;
    NullDeviceTest::TearDown();
  }
  GPoint project(float lon, float lat, int* ok = nullptr) {
    GPoint out;
    int r = map_coord({lon, lat, 0, 0}, out);
    if (ok) *ok = r;
    return out;
  }
  MapRec saved_map_;
};

TEST_F(MapTest, ForwardValuesAndTheCentreLongitude) {
  map_p.projection = 8;
  map_p.phioc = 170;
  GPoint p = project(-170, 30);  // 20 degrees east of the centre, across the date line
  EXPECT_NEAR(p.x, 20 * M_PI / 180, 1e-5);
  EXPECT_NEAR(p.y, 30 * M_PI / 180, 1e-5);
  EXPECT_FLOAT_EQ(map_p.out[0], p.x);
  EXPECT_FLOAT_EQ(map_p.out[1], p.y);
  map_p.projection = 9;
  map_p.phioc = 0;
  EXPECT_NEAR(project(0, 45).y, std::log(std::tan(67.5 * M_PI / 180)), 1e-5);
  int ok;
  project(0, 90, &ok);
  EXPECT_EQ(ok, 0);  // Mercator's pole lies at infinity
  map_p.projection = 2;
  map_p.p0lat = 90;
  GPoint pole = project(123, 90, &ok);
  EXPECT_EQ(ok, 1);
  EXPECT_NEAR(pole.x, 0, 1e-6);
  EXPECT_NEAR(pole.y, 0, 1e-6);
  EXPECT_NEAR(map_p.sino, 1, 1e-6);
  project(10, -10, &ok);
  EXPECT_EQ(ok, 0);  // the far hemisphere
  map_p.projection = 8;
  map_p.sinr = 1;  // the map plane turned by 90 degrees
  GPoint r = project(30, 0);
  EXPECT_NEAR(r.x, 0, 1e-6);
  EXPECT_NEAR(r.y, 30 * M_PI / 180, 1e-5);
  for (int bad : {0, 19}) {
    map_p.projection = bad;
    EXPECT_EQ(error_code_of([&] { project(0, 0); }), -321);
  }
}

TEST_F(MapTest, EveryProjectionInvertsNearItsCentre) {
  map_p.phioc = -60;
  map_p.p0lat = 20;
  for (int proj = 1; proj <= 18; proj++) {
    map_p.projection = proj;
    for (float dlon : {-40.0f, 0.0f, 30.0f})
      for (float lat : {-30.0f, 10.0f, 50.0f}) {
        int ok;
        GPoint p = project(map_p.phioc + dlon, lat, &ok);
        ASSERT_EQ(ok, 1) << "projection " << proj << " at " << dlon << ", " << lat;
        float x = p.x, y = p.y;
        ASSERT_EQ(map_coord_inverse(x, y), 1) << "projection " << proj << " at " << dlon << ", " << lat;
        EXPECT_NEAR(x, map_p.phioc + dlon, 2e-3) << "projection " << proj;
        EXPECT_NEAR(y, lat, 2e-3) << "projection " << proj;
      }
  }
  map_p.projection = 2;
  float x = 5, y = 5;  // far outside the orthographic disc
  EXPECT_EQ(map_coord_inverse(x, y), 0);
}

TEST_F(MapTest, DataConversionsGoThroughTheProjectionAndTheScaling) {
  map_p.projection = 8;
  GPoint n;
  ASSERT_EQ(convert_coord({90, -45, 0, 0}, COORD_DATA, n, COORD_NORMAL, attr_), 1);
  EXPECT_NEAR(n.x, 0.7f, 1e-5);
  EXPECT_NEAR(n.y, 0.4f, 1e-5);
  GPoint d;
  ASSERT_EQ(convert_coord({0.7f, 0.4f, 0, 0}, COORD_NORMAL, d, COORD_DATA, attr_), 1);
  EXPECT_NEAR(d.x, 90, 1e-3);
  EXPECT_NEAR(d.y, -45, 1e-3);
  map_p.projection = 2;
  EXPECT_EQ(convert_coord({180, 0, 0, 0}, COORD_DATA, n, COORD_NORMAL, attr_), 0);
}

TEST_F(MapTest, SegmentsSplitAtTheEdgeAndStopAtTheHorizon) {
  cur_dev()->draw = record_draw;
  map_p.projection = 8;
  // The short way from 170 E to 170 W crosses the edge: two pieces, each at one side.
  draw_vector({170, 0, 0, 0}, {-170, 20, 0, 0}, attr_, COORD_DATA);
  ASSERT_EQ(drawn.size(), 2u);
  EXPECT_NEAR(drawn[0].a.x, 100 + 800 * (170.0 + 180) / 360, 1.5);
  EXPECT_NEAR(drawn[0].b.x, 900, 1.5);
  EXPECT_NEAR(drawn[0].b.y, 500 + 400 * 10.0 / 180, 1.5);  // halfway up
  EXPECT_NEAR(drawn[1].a.x, 100, 1.5);
  EXPECT_NEAR(drawn[1].b.x, 100 + 800 * 10.0 / 360, 1.5);
  // Along the edge itself nothing is split.
  drawn.clear();
  draw_vector({-180, -90, 0, 0}, {180, -90, 0, 0}, attr_, COORD_DATA);
  ASSERT_EQ(drawn.size(), 1u);
  EXPECT_NEAR(drawn[0].a.x, 100, 1.5);
  EXPECT_NEAR(drawn[0].b.x, 900, 1.5);
  // Orthographic: a segment from the centre past the horizon ends on the horizon circle.
  map_p.projection = 2;
  drawn.clear();
  draw_vector({0, 0, 0, 0}, {120, 0, 0, 0}, attr_, COORD_DATA);
  ASSERT_EQ(drawn.size(), 1u);
  EXPECT_NEAR(drawn[0].b.x, 500 + 1000 * 0.4 / M_PI, 1.5);
  drawn.clear();
  draw_vector({150, 0, 0, 0}, {-150, 10, 0, 0}, attr_, COORD_DATA);
  EXPECT_TRUE(drawn.empty());
}

}  // namespace
