// The vector font file made by the build from the Hershey sources, its reader, the "!"
// command language of graphic text and the layout of one line of vector text.
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "graphics/hershey.h"
#include "graphics/resource_files.h"
#include "scratch_files.h"

namespace {

const char* const kHersheyDir = "/usr/share/hershey-fonts";

std::string captured;
void capture(int, const char* text, bool end_line) {
  captured += text;
  if (end_line) captured += "\n";
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

uint32_t be32(const std::vector<uint8_t>& b, size_t at) {
  return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) | b[at + 3];
}

// A glyph straight from a .jhf record: points relative to the left bound, y up from the
// baseline (Hershey y = 9), with the pen-up flag of each point.
struct SourcePoint {
  int x, y;
  bool up;
};
struct SourceGlyph {
  int width = 0;
  std::vector<SourcePoint> points;
};
SourceGlyph source_glyph(const std::string& set, int code) {
  std::ifstream in(std::string(kHersheyDir) + "/" + set + ".jhf");
  std::string line;
  for (int i = 0; i <= code - 32; i++) std::getline(in, line);
  SourceGlyph g;
  if (line.size() < 10) {
    ADD_FAILURE() << "no glyph " << code << " in " << set;
    return g;
  }
  const int left = line[8] - 'R';
  g.width = line[9] - 'R' - left;
  bool up = true;
  for (size_t i = 10; i + 1 < line.size(); i += 2) {
    if (line[i] == ' ') {
      up = true;
      continue;
    }
    g.points.push_back({line[i] - 'R' - left, 9 - (line[i + 1] - 'R'), up});
    up = false;
  }
  return g;
}

class HersheyTest : public VekTest {
 protected:
  void SetUp() override {
    VekTest::SetUp();
    if (access((std::string(kHersheyDir) + "/rowmans.jhf").c_str(), R_OK) != 0) GTEST_SKIP() << "no Hershey fonts";
    saved_ = message_hooks;
    message_hooks.write = capture;
    captured.clear();
    hersh_reset();
  }
  void TearDown() override {
    message_hooks = saved_;
    hersh_reset();
    VekTest::TearDown();
  }
  // Every message printed while f runs (the hook, or standard error before file units).
  template <typename F>
  std::string output_of(F&& f) {
    captured.clear();
    testing::internal::CaptureStderr();
    f();
    return captured + testing::internal::GetCapturedStderr();
  }
  MessageHooks saved_;
};

// ---- The file --------------------------------------------------------------------------

TEST_F(HersheyTest, HeaderListsFontsThreeToTwentyBackToBack) {
  const std::vector<uint8_t> b = read_file(graphics_resource_path(nullptr, "hersh1", "chr"));
  ASSERT_GE(b.size(), 320u);
  size_t expected_offset = 320;
  for (int n = 0; n < 40; n++) {
    const auto offset = static_cast<int32_t>(be32(b, n * 8));
    const uint32_t size_word = be32(b, n * 8 + 4);
    if (n < 3 || n > 20) {
      EXPECT_LT(offset, 0) << "font " << n;
      continue;
    }
    EXPECT_EQ(offset, static_cast<int32_t>(expected_offset)) << "font " << n;
    EXPECT_EQ(size_word & 0x80000000u, 0u) << "font " << n << " is a 96-character font";
    const uint32_t bytes = size_word & 0x0fffffffu;
    EXPECT_LE(bytes, 8562u);
    EXPECT_EQ(bytes % 2, 0u);
    expected_offset += 96 * 4 + bytes;
  }
  EXPECT_EQ(expected_offset, b.size());
}

TEST_F(HersheyTest, DecodedGlyphsMatchTheirSources) {
  struct Case {
    int font;
    const char* set;
    int code;
  };
  for (const Case& c : {Case{3, "rowmans", 'A'}, Case{3, "rowmans", '&'}, Case{6, "timesr", 'g'},
                        Case{13, "scriptc", 'Q'}, Case{9, "mathupp", '~'}, Case{20, "markers", 'C'}}) {
    SCOPED_TRACE(std::string(c.set) + " " + static_cast<char>(c.code));
    hersh_load_font(c.font);
    const HershFont& f = hersh_font();
    const SourceGlyph g = source_glyph(c.set, c.code);
    const int i = f.char_index(static_cast<unsigned char>(c.code));
    EXPECT_EQ(f.width[i], g.width);
    ASSERT_EQ(f.end[i] - f.first[i], g.points.size());
    for (size_t k = 0; k < g.points.size(); k++) {
      const uint16_t w = f.words[f.first[i] + k];
      const int x = ((w >> 7) & 0x40 ? ((w >> 7) & 0x7f) - 128 : (w >> 7) & 0x7f) + f.left[i];
      const int y = (w & 0x40) ? (w & 0x7f) - 128 : (w & 0x7f);
      EXPECT_EQ(x, g.points[k].x) << "point " << k;
      EXPECT_EQ(y, g.points[k].y) << "point " << k;
      if (k > 0) {
        EXPECT_EQ((w & 0x4000) != 0, g.points[k].up) << "point " << k;
      }
    }
  }
}

TEST_F(HersheyTest, SpaceIsEmptyAndControlCodesCountAsSpace) {
  const HershFont& f = hersh_font();
  EXPECT_EQ(f.number, 3);
  const int space = f.char_index(' ');
  EXPECT_EQ(space, 0);
  EXPECT_NE(f.words[f.first[space]] & 0x4000, 0);
  EXPECT_EQ(f.char_index('\t'), space);
  EXPECT_EQ(f.char_index(static_cast<unsigned char>('A' + 128)), f.char_index('A'));
  EXPECT_EQ(f.width[space], source_glyph("rowmans", ' ').width);
}

TEST_F(HersheyTest, MissingFontsFallBackToFontThree) {
  std::string out = output_of([] { hersh_load_font(21); });
  EXPECT_EQ(hersh_font().number, 3);
  EXPECT_NE(out.find("No such font: 21"), std::string::npos) << out;
  hersh_load_font(17);
  out = output_of([] { hersh_load_font(2); });  // out of range: font 3 without a word
  EXPECT_EQ(hersh_font().number, 3);
  EXPECT_EQ(out, "");
}

class HersheyFileTest : public HersheyTest {
 protected:
  void SetUp() override {
    HersheyTest::SetUp();
    if (IsSkipped()) return;
    folder_ = std::make_unique<ScratchFolder>();
    folder_->use_as_vek_dir();
  }
  void TearDown() override {
    folder_.reset();
    HersheyTest::TearDown();
  }
  void write(const std::vector<uint8_t>& bytes) {
    std::ofstream(folder_->path("hersh1.chr"), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  std::unique_ptr<ScratchFolder> folder_;
};

TEST_F(HersheyFileTest, UnreadableFilesAreErrors) {
  EXPECT_EQ(error_code_of([] { hersh_load_font(3); }), -167);  // no file
  write(std::vector<uint8_t>(100, 0));                           // shorter than the header
  hersh_reset();
  EXPECT_EQ(error_code_of([] { hersh_load_font(3); }), -167);
  std::vector<uint8_t> b(320, 0xff);  // font 3 points past the end of the file
  b[24] = 0, b[25] = 0, b[26] = 0x10, b[27] = 0;
  b[28] = 0, b[29] = 0, b[30] = 0, b[31] = 8;
  write(b);
  hersh_reset();
  EXPECT_EQ(error_code_of([] { hersh_load_font(3); }), -167);
}

TEST_F(HersheyFileTest, LongFontsAreCutWithAWarning) {
  // Font 3 with 5000 stroke words (10000 bytes): character 'A' starts past the cut.
  std::vector<uint8_t> b(320, 0xff);
  const uint32_t bytes = 10000;
  b[24] = 0, b[25] = 0, b[26] = 0x01, b[27] = 0x40;  // offset 320
  b[28] = 0, b[29] = 0, b[30] = bytes >> 8, b[31] = bytes & 0xff;
  for (int c = 0; c < 96; c++) {
    const int first = c == 'A' - 32 ? 4500 : 0;
    b.insert(b.end(), {10, 0, static_cast<uint8_t>(first >> 8), static_cast<uint8_t>(first & 0xff)});
  }
  b.resize(b.size() + bytes, 0);
  write(b);
  const std::string out = output_of([] { hersh_load_font(3); });
  EXPECT_NE(out.find("Font file vectors larger than buffer"), std::string::npos) << out;
  const HershFont& f = hersh_font();
  EXPECT_EQ(f.words.size(), 8562u / 2);
  const int a = f.char_index('A');
  EXPECT_EQ(f.first[a], f.end[a]);  // nothing left of it: drawn as empty
  bool drew = false;
  hersh_layout("A", 1, 1, true, [](void* d, float, float, bool) { *static_cast<bool*>(d) = true; }, &drew);
  EXPECT_FALSE(drew);
}

// ---- Commands ---------------------------------------------------------------------------

// The tokens keep pointers into s: string literals only.
std::vector<HershToken> tokens(const char* s, bool drawing = false) {
  std::vector<HershToken> out;
  const char* end = s + strlen(s);
  HershToken t;
  for (const char* p = s; (p = hersh_parse(p, end, t, drawing)), t.kind != HT_END;) out.push_back(t);
  return out;
}

TEST_F(HersheyTest, TokensOfTextAndCommands) {
  auto t = tokens("ab!!c!u!E!i!n!G!M!s!R!X!c!5x!15y");
  const std::vector<std::pair<HershTokenKind, int>> want = {
      {HT_TEXT, 0},     {HT_TEXT, 0},     {HT_TEXT, 0},    {HT_LEVEL, 5}, {HT_EXP_INDEX, 0},
      {HT_EXP_INDEX, 1}, {HT_LEVEL, 4},   {HT_FONT, 8},    {HT_FONT_ONCE, 9}, {HT_SAVE, 0},
      {HT_RESTORE, 0},  {HT_ENTRY_FONT, 0}, {HT_NEWLINE, 0}, {HT_FONT, 5}, {HT_TEXT, 0},
      {HT_FONT, 15},    {HT_TEXT, 0}};
  ASSERT_EQ(t.size(), want.size());
  for (size_t i = 0; i < t.size(); i++) {
    EXPECT_EQ(t[i].kind, want[i].first) << i;
    if (t[i].kind != HT_TEXT) {
      EXPECT_EQ(t[i].value, want[i].second) << i;
    }
  }
  EXPECT_EQ(std::string(t[0].text, t[0].length), "ab");
  EXPECT_EQ(std::string(t[1].text, t[1].length), "!");  // "!!" is one literal "!"
  EXPECT_EQ(std::string(t[2].text, t[2].length), "c");
  EXPECT_EQ(std::string(t[14].text, t[14].length), "x");
  EXPECT_EQ(std::string(t[16].text, t[16].length), "y");
}

TEST_F(HersheyTest, BadFontNumbersSelectFontThree) {
  std::vector<HershToken> t;
  std::string out = output_of([&] { t = tokens("!21a", true); });
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t[0].kind, HT_FONT);
  EXPECT_EQ(t[0].value, 3);
  EXPECT_NE(out.find("Invalid graphtext command: ...!21a"), std::string::npos) << out;
  EXPECT_EQ(std::string(t[1].text, t[1].length), "a");
  for (const char* s : {"!1", "!2x", "!29"}) {
    t = tokens(s, false);
    ASSERT_EQ(t.size(), 1u) << s;
    EXPECT_EQ(t[0].value, 3) << s;
  }
  out = output_of([&] { t = tokens("!20!3", true); });
  EXPECT_EQ(out, "");
  EXPECT_EQ(t[0].value, 20);
  EXPECT_EQ(t[1].value, 3);
}

TEST_F(HersheyTest, UnknownLettersAreDrawnLiterally) {
  std::vector<HershToken> t;
  std::string out = output_of([&] { t = tokens("!Qz", false); });
  EXPECT_EQ(out, "");
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(std::string(t[0].text, t[0].length), "!Q");
  out = output_of([&] { t = tokens("!Qz", true); });
  EXPECT_NE(out.find("Error using Hershey characters: Illegal Hershey command character."), std::string::npos) << out;
  t = tokens("x!");  // a "!" at the end stands as it is
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(std::string(t[1].text, t[1].length), "!");
}

TEST_F(HersheyTest, UnHershStripsCommands) {
  char buf[64];
  const std::string s = "a!!b!Uc!12d!Ee!1";
  EXPECT_EQ(un_hersh(s.data(), static_cast<int>(s.size()), buf, sizeof buf), 6);
  EXPECT_EQ(std::string(buf), "a!bcde");
  EXPECT_EQ(un_hersh("abcdef", 6, buf, 6), -1);  // needs 7 bytes with the terminator
  EXPECT_EQ(un_hersh("abcde", 5, buf, 6), 5);
}

TEST_F(HersheyTest, LineBreaksAreCounted) {
  int first = 0;
  EXPECT_EQ(text_n_lines("Title!Csub", 10, &first), 1);
  EXPECT_EQ(first, 5);
  EXPECT_EQ(text_n_lines("a!!Cb", 5, &first), 0);  // a literal "!" then "C"
  EXPECT_EQ(first, -1);
  EXPECT_EQ(text_n_lines("!!!cx!C", 7, &first), 2);
  EXPECT_EQ(first, 2);
  EXPECT_EQ(text_n_lines("!1C", 3, &first), 0);  // part of a font number
}

// ---- Layout -----------------------------------------------------------------------------

struct Stroke {
  float x, y;
  bool down;
};
void record(void* data, float x, float y, bool down) { static_cast<std::vector<Stroke>*>(data)->push_back({x, y, down}); }

float layout(const std::string& s, float size, std::vector<Stroke>* out = nullptr) {
  return hersh_layout(s.data(), static_cast<int>(s.size()), size, out != nullptr, out ? record : nullptr, out);
}

TEST_F(HersheyTest, WidthsAddUp) {
  const float wa = source_glyph("rowmans", 'A').width, wb = source_glyph("rowmans", 'b').width;
  EXPECT_FLOAT_EQ(layout("A", 1), wa / HERSH_NOMINAL_HEIGHT);
  EXPECT_FLOAT_EQ(layout("Ab", 2), 2 * (wa + wb) / HERSH_NOMINAL_HEIGHT);
  EXPECT_FLOAT_EQ(layout("A!!", 1), layout("A!", 1));
  EXPECT_FLOAT_EQ(layout("A!Cbbb", 1), layout("A", 1));  // a line ends at its break
  // A font switch inside the string measures each part in its own font.
  const float w6 = source_glyph("timesr", 'b').width;
  EXPECT_FLOAT_EQ(layout("A!6b", 1), (wa + w6) / HERSH_NOMINAL_HEIGHT);
  EXPECT_EQ(hersh_font().number, 6);  // the font stays for the next string
  EXPECT_FLOAT_EQ(layout("b!X", 1, nullptr), w6 / HERSH_NOMINAL_HEIGHT);
}

TEST_F(HersheyTest, StrokesFollowTheGlyphAndLevels) {
  const SourceGlyph a = source_glyph("rowmans", 'A');
  std::vector<Stroke> plain, up, up_exp;
  layout("A", 1, &plain);
  ASSERT_EQ(plain.size(), a.points.size());
  for (size_t i = 0; i < plain.size(); i++) {
    EXPECT_FLOAT_EQ(plain[i].x, a.points[i].x / HERSH_NOMINAL_HEIGHT);
    EXPECT_FLOAT_EQ(plain[i].y, a.points[i].y / HERSH_NOMINAL_HEIGHT);
    EXPECT_EQ(plain[i].down, !a.points[i].up);
  }
  // !U raises the baseline by 15.2 font units and draws at 0.619 of the size; !E on top
  // raises it by a further 14.972 units of the smaller level and scales by 0.444.
  layout("!UA", 1, &up);
  layout("!U!EA", 1, &up_exp);
  ASSERT_EQ(up.size(), plain.size());
  ASSERT_EQ(up_exp.size(), plain.size());
  for (size_t i = 0; i < plain.size(); i++) {
    EXPECT_NEAR(up[i].x, plain[i].x * 0.619f, 1e-5);
    EXPECT_NEAR(up[i].y, plain[i].y * 0.619f + 15.2f / HERSH_NOMINAL_HEIGHT, 1e-5);
    EXPECT_NEAR(up_exp[i].y, plain[i].y * 0.619f * 0.444f + (15.2f + 14.972f * 0.619f) / HERSH_NOMINAL_HEIGHT, 1e-5);
  }
  EXPECT_NEAR(layout("!UA", 1), layout("A", 1) * 0.619f, 1e-6);
  // A level command cancels the exponent: !U!E!N is back to normal.
  std::vector<Stroke> back;
  layout("!U!E!NA", 1, &back);
  ASSERT_EQ(back.size(), plain.size());
  EXPECT_FLOAT_EQ(back[3].y, plain[3].y);
}

TEST_F(HersheyTest, SaveAndRestoreStackExponentAndIndex) {
  const float w = 1 / HERSH_NOMINAL_HEIGHT;
  const float wa = source_glyph("rowmans", 'A').width * w, w2 = source_glyph("rowmans", '2').width * w,
              w1 = source_glyph("rowmans", '1').width * w;
  // Exponent and index start at the same place; the width is the furthest advance.
  EXPECT_NEAR(layout("A!S!E2!R!I1", 1), wa + 0.444f * std::max(w1, w2), 1e-6);
  EXPECT_NEAR(layout("A!S!E22!R!I1", 1), wa + 0.444f * std::max(w1, 2 * w2), 1e-6);
  // Nested saves restore the level too: after !R the character is full size.
  EXPECT_NEAR(layout("!S!U!S!D!R!RA", 1), wa, 1e-6);
  EXPECT_EQ(error_code_of([] { layout("!S!S!S!S!S!S!S!S", 1); }), 0);
  EXPECT_EQ(error_code_of([] { layout("!S!S!S!S!S!S!S!S!S", 1); }), -299);
  EXPECT_NE(ur_err_string.find("Too many saves"), std::string::npos) << ur_err_string;
  EXPECT_EQ(error_code_of([] { layout("a!R", 1); }), -299);
  EXPECT_NE(ur_err_string.find("Restore without save"), std::string::npos) << ur_err_string;
}

TEST_F(HersheyTest, MathFontForOneCharacter) {
  const float w = 1 / HERSH_NOMINAL_HEIGHT;
  const float expected =
      (source_glyph("mathupp", 'a').width + source_glyph("rowmans", 'a').width + source_glyph("rowmans", 'b').width) * w;
  EXPECT_FLOAT_EQ(layout("!Maab", 1), expected);
  EXPECT_EQ(hersh_font().number, 3);
  // The entry font is the caller's when given: !X and !M return to it.
  hersh_load_font(5);
  const float ws = source_glyph("rowmans", 'b').width * w;
  EXPECT_FLOAT_EQ(hersh_layout("!6!Xb", 5, 1, false, nullptr, nullptr, 3), ws);
  EXPECT_EQ(hersh_font().number, 3);
  // A missing entry font is reported once and stands as font 3, also for !X.
  const std::string out = output_of([] { hersh_layout("a!Xb!X", 6, 1, true, nullptr, nullptr, 21); });
  EXPECT_EQ(out.find("No such font: 21"), out.rfind("No such font: 21")) << out;
  EXPECT_NE(out.find("No such font: 21"), std::string::npos) << out;
  EXPECT_EQ(hersh_font().number, 3);
  // !M at the end of a string leaves the entry font current.
  hersh_layout("b!M", 3, 1, false, nullptr, nullptr, 6);
  EXPECT_EQ(hersh_font().number, 6);
}

}  // namespace
