// The device-text path of graphic text on a device with a text operation: stripping of
// commands, the buffer limit, character-at-a-time placement on devices that cannot turn
// their characters, fixed-width alignment and line breaks.
#include <cmath>
#include <string>
#include <vector>

#include "graphics/text.h"
#include "null_device_fixture.h"

namespace {

struct TextCall {
  DevPoint at;
  std::string s;
  float orientation, alignment;
};
std::vector<TextCall> calls;

// Every character is 10 device units wide.
float record_text(const DevPoint* p, GraphAttr*, TextAttr* t, const char* s, int length) {
  calls.push_back({*p, std::string(s, static_cast<size_t>(length)), t->orientation, t->alignment});
  return 10.0f * static_cast<float>(length);
}

class DeviceTextTest : public NullDeviceTest {
 protected:
  void SetUp() override {
    NullDeviceTest::SetUp();
    cur_dev()->text = record_text;
    cur_dev()->flags = DF_INFO_16;  // neither turns its text nor knows the commands
    cur_dev()->x_ch_size = 8;
    cur_dev()->y_ch_size = 13;
    text_.font = 0;
    calls.clear();
  }
  float draw(const std::string& s) {
    return graph_text(GPoint{0.5f, 0.5f, 0, 0}, COORD_NORMAL, attr_, text_, s.data(), static_cast<int>(s.size()));
  }
  TextAttr text_;
};

TEST_F(DeviceTextTest, CommandsAreStrippedIntoABufferOf200) {
  EXPECT_NEAR(draw("a!Ub!!c!12d"), 50.0f / 1000.0f, 1e-6);  // five characters, in NORMAL x units
  EXPECT_EQ(calls.back().s, "ab!cd");
  EXPECT_EQ(calls.back().at.x, 500);
  EXPECT_EQ(error_code_of([&] { draw(std::string(200, 'x')); }), M_STRING_TOO_LONG);
  EXPECT_EQ(error_code_of([&] { draw(std::string(199, 'x')); }), 0);
  std::string commands;
  for (int i = 0; i < 150; i++) commands += "y!U";  // 450 characters, 150 after stripping
  EXPECT_EQ(error_code_of([&] { draw(commands); }), 0);
  EXPECT_EQ(calls.back().s, std::string(150, 'y'));
  cur_dev()->flags |= DF_TEXT_COMMANDS;  // nothing to strip, so no limit
  EXPECT_EQ(error_code_of([&] { draw(std::string(300, '!')); }), 0);
  EXPECT_EQ(calls.back().s, std::string(300, '!'));
}

TEST_F(DeviceTextTest, UnturnableTextIsPlacedOneCharacterAtATime) {
  text_.orientation = 90;
  EXPECT_NEAR(draw("abc"), 30.0f / 1000.0f, 1e-6);
  ASSERT_EQ(calls.size(), 3u);
  for (int i = 0; i < 3; i++) {
    EXPECT_EQ(calls[i].s, std::string(1, static_cast<char>('a' + i)));
    EXPECT_EQ(calls[i].at.x, 500) << i;        // cos 90 x 8 truncates away
    EXPECT_EQ(calls[i].at.y, 500 + 13 * i) << i;
    EXPECT_EQ(calls[i].orientation, 0);
  }
  calls.clear();
  text_.orientation = 180;
  text_.size = 2;
  draw("ab");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].at.x, 500 - 16);
  EXPECT_EQ(calls[1].at.y, 500);
  // A device that turns its text gets the string whole, with its orientation.
  cur_dev()->flags |= DF_ANGLE_TEXT;
  calls.clear();
  draw("abc");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].orientation, 180);
}

TEST_F(DeviceTextTest, FixedWidthCharactersAreAlignedByMovingTheStart) {
  text_.orientation = 90;
  text_.alignment = 0.5f;
  cur_dev()->flags |= DF_FIXED_WIDTH;
  draw("abcd");
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].at.y, 500 - 26);  // back by 4 x 0.5 steps of 13
  EXPECT_EQ(calls[3].at.y, 500 + 13);
  EXPECT_EQ(calls[0].alignment, 0);
  // Proportional characters leave the alignment to the device.
  cur_dev()->flags &= ~DF_FIXED_WIDTH;
  calls.clear();
  draw("abcd");
  EXPECT_EQ(calls[0].at.y, 500);
  EXPECT_EQ(calls[0].alignment, 0.5f);
}

TEST_F(DeviceTextTest, LineBreaksStepPerpendicularToTheBaseline) {
  cur_dev()->flags |= DF_ANGLE_TEXT;
  text_.size = 2;
  EXPECT_NEAR(draw("ab!Cwxyz!cq"), 40.0f / 1000.0f, 1e-6);  // the widest line
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[2].s, "q");
  EXPECT_NEAR(calls[2].at.y, 500 - 2 * 26, 1);  // 2 x 13 units a line
  text_.orientation = 90;                     // lines of turned text step along x
  draw("a!Cb");
  EXPECT_NEAR(calls.back().at.x, 526, 1);
  EXPECT_NEAR(calls.back().at.y, 500, 1);
}

}  // namespace
