// The 1-bit page: dithering byte images into bits and back, lines with their dash phase,
// polygon fill and the landscape turn. Expected bits are worked out from the rules here.
#include <string>
#include <vector>

#include "graphics/raster.h"
#include "test_support.h"

namespace {

struct Page {
  std::vector<uint8_t> bytes;
  Raster r;
  Page(int nx, int ny, uint8_t fill = 0) : bytes(static_cast<size_t>(raster_row_bytes(nx) * ny), fill) {
    r.data = bytes.data();
    r.nx = nx;
    r.ny = ny;
    r.bytes_per_row = raster_row_bytes(nx);
  }
  std::string row(int y, int x0, int n) const {  // "0"/"1" per pixel
    std::string s;
    for (int x = x0; x < x0 + n; x++) s += r.pixel(x, y) ? '1' : '0';
    return s;
  }
  void dither(std::vector<uint8_t>& image, int nx, int ny, int x, int y, int method, int order = 0) {
    r.dither_method = method;
    ImageRec rec{.order = order};
    ::dither(image.data(), nx, ny, r, x, y, &rec);
  }
  void draw(int x0, int y0, int x1, int y1, int color, int style = 0, float thick = 0) {
    DevPoint p0{x0, y0, 0}, p1{x1, y1, 0};
    GraphAttr a{.color = color, .thick = thick, .linestyle = style};
    raster_draw(r, &p0, &p1, &a);
  }
};

std::string bits(int n, char c) { return std::string(static_cast<size_t>(n), c); }

class DitherTest : public VekTest {};
class RasterTest : public VekTest {};

TEST_F(DitherTest, FloydSteinbergCarriesErrorsInSixteenthsTruncatedTowardZero) {
  // Image rows (bottom row first)   150 190 110  /  210 200 170
  // Row 0: (0,0) 150 -> 1, e -105: right -735, down -525, down-right -105.
  //   (1,0) 190 + -735/16 (-45) = 145 -> 1, e -110: right -770, down-left -525-330 = -855,
  //         down -105-550 = -655, down-right -110.
  //   (2,0) 110 + -770/16 (-48) = 62 -> 0, e 62: down-left -655+186 = -469, down -110+310 = 200.
  // Row 1: (0,1) 210 + -855/16 (-53) = 157 -> 1, e -98: right -469-686 = -1155.
  //   (1,1) 200 + -1155/16 (-72, toward zero; flooring gives -73) = 128 -> 1, e -127:
  //         right 200-889 = -689.
  //   (2,1) 170 + -689/16 (-43) = 127 -> 0.
  // Any other weight, or flooring, changes at least one of these bits.
  std::vector<uint8_t> image = {150, 190, 110, 210, 200, 170};
  Page p(8, 2);
  p.dither(image, 3, 2, 0, 0, DITHER_FLOYD);
  EXPECT_EQ(p.row(0, 0, 3) + p.row(1, 0, 3), "110110");
}

TEST_F(DitherTest, OrderedIndexesRowsFromThePageAndColumnsFromTheRowEnd) {
  // At y 5 image rows 0..2 use matrix rows 6, 7, 0; in a row of 5 the columns used are
  // 4, 3, 2, 1, 0 (pixels left after this one). Value 130 against
  //   row 6 cols 4..0:  52 144  28 188  60  -> 1 0 1 0 1
  //   row 7 cols 4..0: 244  92 180 124 252  -> 0 1 0 1 0
  //   row 0 cols 4..0:   8 160  32 128   1  -> 1 0 1 1 1  (128 against 128 sets the bit)
  std::vector<uint8_t> image(15, 130);
  image[2 * 5 + 3] = 128;
  Page p(16, 16);
  p.dither(image, 5, 3, 3, 5, DITHER_ORDERED);
  EXPECT_EQ(p.row(5, 0, 10) + p.row(6, 0, 10) + p.row(7, 0, 10), "0001010100" "0000101000" "0001011100");
  EXPECT_EQ(p.row(4, 0, 16) + p.row(8, 0, 16), bits(32, '0'));
}

TEST_F(DitherTest, ThresholdWithPolarityAndMostSignificantBitFirst) {
  // Pixels 6..9 straddle two bytes: bits 0x02, 0x01 of byte 0 and 0x80, 0x40 of byte 1.
  std::vector<uint8_t> image = {0, 127, 128, 200};
  Page p(16, 1, 0x3C);
  p.dither(image, 4, 1, 6, 0, DITHER_THRESHOLD);
  EXPECT_EQ(p.bytes, (std::vector<uint8_t>{0x3C, 0xFC}));
  p.r.polarity = 1;  // 255, 128, 127, 55
  p.dither(image, 4, 1, 6, 0, DITHER_THRESHOLD);
  EXPECT_EQ(p.bytes, (std::vector<uint8_t>{0x3F, 0x3C}));
}

TEST_F(DitherTest, ReverseReadsBitsBackAsBytesInRowOrder) {
  Page p(8, 2);
  p.r.put(1, 0, true);
  p.r.put(2, 1, true);
  std::vector<uint8_t> image(6, 7);
  p.dither(image, 3, 2, 0, 0, DITHER_REVERSE);
  EXPECT_EQ(image, (std::vector<uint8_t>{0, 255, 0, 0, 0, 255}));
  p.dither(image, 3, 2, 0, 0, DITHER_REVERSE, 1);  // rows top down
  EXPECT_EQ(image, (std::vector<uint8_t>{0, 0, 255, 0, 255, 0}));
}

TEST_F(DitherTest, AreaOutsideThePageAndUnknownMethodsAreErrors) {
  std::vector<uint8_t> image(16, 255);
  Page p(8, 4);
  EXPECT_EQ(error_code_of([&] { p.dither(image, 4, 4, 4, 0, DITHER_THRESHOLD); }), 0);  // fits exactly
  EXPECT_EQ(error_code_of([&] { p.dither(image, 4, 4, 5, 0, DITHER_THRESHOLD); }), M_VALUE_RANGE);
  EXPECT_NE(ur_err_string.find("Image coordinates in bitmap"), std::string::npos) << ur_err_string;
  EXPECT_EQ(error_code_of([&] { p.dither(image, 4, 2, -1, 2, DITHER_THRESHOLD); }), M_VALUE_RANGE);
  EXPECT_EQ(error_code_of([&] { p.dither(image, 2, 2, 0, 0, 4); }), M_INTERNAL);
  EXPECT_NE(ur_err_string.find("Illegal dither method"), std::string::npos) << ur_err_string;
}

TEST_F(RasterTest, LinesStepAlongTheMajorAxisClampAndClear) {
  Page p(24, 8);
  p.draw(0, 0, 3, 3, 1);
  EXPECT_EQ(p.row(0, 0, 4) + p.row(1, 0, 4) + p.row(2, 0, 4) + p.row(3, 0, 4), "1000" "0100" "0010" "0001");
  Page s(24, 8);
  s.draw(6, 2, 0, 0, 1);  // drawn backwards: y = round(x / 3)
  EXPECT_EQ(s.row(0, 0, 8) + s.row(1, 0, 8) + s.row(2, 0, 8), "11000000" "00111000" "00000110");
  s.draw(-5, 5, 100, 5, 1);
  s.draw(3, 5, 7, 5, 0);
  EXPECT_EQ(s.row(5, 0, 24), "111" + bits(5, '0') + bits(16, '1'));
}

TEST_F(RasterTest, DashesScaleByTheDashUnitAndCarryAcrossSegments) {
  Page p(64, 2);
  p.r.dash_unit = 2;
  p.draw(0, 0, 59, 0, 1, 2);  // on 7, off 7, doubled
  EXPECT_EQ(p.row(0, 0, 60), bits(14, '1') + bits(14, '0') + bits(14, '1') + bits(14, '0') + bits(4, '1'));
  // Style 3 (on 7, off 3, on 1, off 3) in two segments meeting at x 9, as in one.
  p.r.dash_unit = 1;
  p.draw(0, 1, 9, 1, 1, 3);
  p.draw(9, 1, 30, 1, 1, 3);
  EXPECT_EQ(p.row(1, 0, 32), "1111111" "000" "1" "000" "1111111" "000" "1" "000" "111" "0");
}
TEST_F(RasterTest, ThickLinesAndPolygonsFillOnThePage) {
  Page p(16, 8);
  p.draw(2, 5, 12, 5, 1, 0, 3);  // 1.5 to each side: rows 4..6
  EXPECT_EQ(p.row(3, 0, 14) + p.row(4, 0, 14) + p.row(6, 0, 14) + p.row(7, 0, 14),
            bits(14, '0') + "00" + bits(11, '1') + "0" + "00" + bits(11, '1') + "0" + bits(14, '0'));
  // A point: a square with corners rounded to 9..12 by 1..4 (the top edge is not filled).
  Page d(16, 8);
  d.draw(10, 2, 10, 2, 1, 0, 3);
  EXPECT_EQ(d.row(0, 8, 6) + d.row(1, 8, 6) + d.row(3, 8, 6) + d.row(4, 8, 6), "000000" "011110" "011110" "000000");
  // Clamped to the page; the pattern repeats across it.
  Page f(16, 4);
  int32_t x[4] = {-10, 50, 50, -10}, y[4] = {0, 0, 3, 3};
  const uint8_t pattern[2] = {9, 0};
  FillRec fill{.style = FILL_PATTERN, .pattern = pattern, .pat_nx = 2, .pat_ny = 1};
  raster_polyfill(f.r, x, y, 4, &fill);
  EXPECT_EQ(f.row(1, 0, 16), "1010101010101010");
}

TEST_F(RasterTest, LandscapeTurnsRowsIntoColumns) {
  // Source row 0: 1101, row 1: 0011; from column 1 on: 101 and 011 become columns 0, 1.
  Page src(4, 2);
  for (int x : {0, 1, 3}) src.r.put(x, 0, true);
  for (int x : {2, 3}) src.r.put(x, 1, true);
  Page dst(3, 5, 0xFF);
  bitmap_landscape(src.r, dst.r, 1);
  EXPECT_EQ(dst.row(0, 0, 3) + dst.row(1, 0, 3) + dst.row(2, 0, 3) + dst.row(3, 0, 3) + dst.row(4, 0, 3),
            "100" "010" "110" "000" "000");
}

}  // namespace
