// Builds the vector font file hersh1.chr from the Hershey fonts in .jhf form (one glyph
// per record: a 5-column glyph number, a 3-column vertex count that includes the bounds
// pair, the left and right bounds, then x, y pairs, every value a character offset from
// 'R', and " R" lifting the pen). Usage: make_hershey_font SOURCE_DIR OUTPUT_FILE.
//
// The file: a big-endian header of 40 eight-byte entries (font offset, or -1; stroke
// bytes with the sign bit for a 224-character font), then per font a character index of
// 4-byte entries (width, left offset, 16-bit first stroke word) and its stroke words
// (bit 14 pen up, or "empty" in a character's first word; x in bits 7..13, y in bits 0..6,
// seven-bit two's complement, relative to the left offset and the baseline, y upwards).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kFonts = 40;
constexpr int kChars = 96;             // codes 32..127
constexpr size_t kMaxStrokeBytes = 8562;  // what the reader keeps of one font
constexpr int kBaseline = 9;           // Hershey y of the baseline (y grows downwards)

// Font numbers and their Hershey sets. Fonts 0..2 and 21..39 are absent.
struct Assignment {
  int number;
  const char* file;
};
constexpr Assignment kAssignments[] = {
    {3, "rowmans"},     // simplex roman
    {4, "greeks"},      // simplex greek
    {5, "rowmand"},     // duplex roman
    {6, "timesr"},      // complex roman
    {7, "greekc"},      // complex greek
    {8, "timesi"},      // complex italic
    {9, "mathupp"},     // mathematical symbols (with upper-case letters)
    {10, "symbolic"},   // special symbols
    {11, "gothiceng"},  // gothic English
    {12, "scripts"},    // simplex script
    {13, "scriptc"},    // complex script
    {14, "gothicita"},  // gothic Italian
    {15, "gothicger"},  // gothic German
    {16, "cyrillic"},   // complex cyrillic
    {17, "rowmant"},    // triplex roman
    {18, "timesib"},    // triplex italic
    {19, "mathlow"},    // mathematical symbols (with lower-case letters)
    {20, "markers"},    // plotting markers
};

struct Point {
  int x, y;
  bool pen_up;  // move to this point without drawing
};

struct Glyph {
  int left = 0, right = 0;
  std::vector<Point> points;
};

[[noreturn]] void fail(const std::string& what) {
  fprintf(stderr, "make_hershey_font: %s\n", what.c_str());
  exit(1);
}

// Reads the glyphs of one .jhf file in file order. A record longer than one line
// continues on the next lines (some distributions wrap at 72 columns).
std::vector<Glyph> read_jhf(const std::string& path) {
  std::ifstream in(path);
  if (!in) fail("cannot open " + path);
  std::vector<Glyph> glyphs;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(' ') == std::string::npos) continue;
    if (line.size() < 10) fail("short record in " + path);
    int count = 0;
    try {
      count = std::stoi(line.substr(5, 3));
    } catch (...) {
      fail("bad vertex count in " + path);
    }
    std::string data = line.substr(8);
    while (data.size() < static_cast<size_t>(count) * 2 && std::getline(in, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      data += line;
    }
    if (count < 1 || data.size() < static_cast<size_t>(count) * 2) fail("truncated record in " + path);
    Glyph g;
    g.left = data[0] - 'R';
    g.right = data[1] - 'R';
    bool up = true;
    for (int i = 1; i < count; i++) {
      char cx = data[2 * i], cy = data[2 * i + 1];
      if (cx == ' ' && cy == 'R') {
        up = true;
        continue;
      }
      g.points.push_back({cx - 'R', kBaseline - (cy - 'R'), up});
      up = false;
    }
    glyphs.push_back(std::move(g));
  }
  return glyphs;
}

struct EncodedFont {
  std::vector<uint8_t> index;  // kChars entries of 4 bytes
  std::vector<uint16_t> words;
};

uint16_t stroke_word(int x, int y, bool pen_up) {
  return static_cast<uint16_t>((pen_up ? 0x4000 : 0) | ((x & 0x7f) << 7) | (y & 0x7f));
}

EncodedFont encode(const std::vector<Glyph>& glyphs, const std::string& name) {
  if (glyphs.size() < kChars) fail(name + " has fewer than 96 glyphs");
  // Coordinates relative to the left offset must fit seven bits. If a set ever does not,
  // the whole font is scaled down uniformly (so its characters keep their proportions).
  int extent = 0;
  for (int c = 0; c < kChars; c++) {
    const Glyph& g = glyphs[c];
    const int left_offset = std::max(0, -g.left);
    for (const Point& p : g.points) {
      extent = std::max({extent, std::abs(p.x - g.left - left_offset), std::abs(p.y)});
    }
  }
  const double scale = extent > 63 ? 63.0 / extent : 1.0;
  if (scale != 1.0) fprintf(stderr, "make_hershey_font: %s scaled by %.3f to fit\n", name.c_str(), scale);
  auto scaled = [scale](int v) { return static_cast<int>(std::lround(v * scale)); };

  EncodedFont f;
  for (int c = 0; c < kChars; c++) {
    const Glyph& g = glyphs[c];
    const int width = std::clamp(scaled(g.right - g.left), 0, 255);
    const int left_offset = std::clamp(scaled(std::max(0, -g.left)), 0, 255);
    const size_t first = f.words.size();
    if (first > 0xffff) fail(name + ": stroke index overflow");
    f.index.push_back(static_cast<uint8_t>(width));
    f.index.push_back(static_cast<uint8_t>(left_offset));
    f.index.push_back(static_cast<uint8_t>(first >> 8));
    f.index.push_back(static_cast<uint8_t>(first & 0xff));
    if (g.points.empty()) {
      f.words.push_back(0x4000);  // an empty character (the space)
      continue;
    }
    for (size_t i = 0; i < g.points.size(); i++) {
      const Point& p = g.points[i];
      const int x = std::clamp(scaled(p.x - g.left) - left_offset, -64, 63);
      const int y = std::clamp(scaled(p.y), -64, 63);
      // The first word always moves; its bit 14 would mean "empty", so it stays clear.
      f.words.push_back(stroke_word(x, y, i > 0 && p.pen_up));
    }
  }
  if (f.words.size() * 2 > kMaxStrokeBytes)
    fail(name + ": " + std::to_string(f.words.size() * 2) + " stroke bytes, more than the reader keeps");
  return f;
}

void put32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
  for (int i = 0; i < 4; i++) out[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: make_hershey_font SOURCE_DIR OUTPUT_FILE\n");
    return 2;
  }
  const std::string dir = argv[1];
  std::vector<uint8_t> out(kFonts * 8, 0);
  for (int n = 0; n < kFonts; n++) put32(out, n * 8, 0xffffffffu);  // absent
  for (const Assignment& a : kAssignments) {
    EncodedFont f = encode(read_jhf(dir + "/" + a.file + ".jhf"), a.file);
    put32(out, a.number * 8, static_cast<uint32_t>(out.size()));
    put32(out, a.number * 8 + 4, static_cast<uint32_t>(f.words.size() * 2));
    out.insert(out.end(), f.index.begin(), f.index.end());
    for (uint16_t w : f.words) {
      out.push_back(static_cast<uint8_t>(w >> 8));
      out.push_back(static_cast<uint8_t>(w & 0xff));
    }
  }
  const std::string tmp = std::string(argv[2]) + ".tmp";
  {
    std::ofstream o(tmp, std::ios::binary);
    o.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
    if (!o) fail("cannot write " + tmp);
  }
  if (std::rename(tmp.c_str(), argv[2]) != 0) fail(std::string("cannot rename to ") + argv[2]);
  return 0;
}
