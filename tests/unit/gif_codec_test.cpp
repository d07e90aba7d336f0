#include "io/gif.h"

#include <cstring>
#include <random>
#include <vector>

#include "test_support.h"

namespace {

struct EndOfData {};

// A byte stream in memory with a record of every transfer's length.
struct Stream {
  std::vector<uint8_t> bytes;
  size_t at = 0;
  std::vector<size_t> transfers;

  GifIo io() {
    GifIo io;
    io.ctx = this;
    io.read = [](void* ctx, uint8_t* p, size_t n) {
      auto* s = static_cast<Stream*>(ctx);
      if (s->bytes.size() - s->at < n) throw EndOfData{};
      std::memcpy(p, s->bytes.data() + s->at, n);
      s->at += n;
      s->transfers.push_back(n);
    };
    io.write = [](void* ctx, const uint8_t* p, size_t n) {
      auto* s = static_cast<Stream*>(ctx);
      s->bytes.insert(s->bytes.end(), p, p + n);
      s->transfers.push_back(n);
    };
    return io;
  }
};

// Codes of the given widths packed least significant bit first into sub-blocks of at
// most 255 bytes, after the code size byte; `terminate` adds the zero-length block.
std::vector<uint8_t> pack(int code_size, const std::vector<std::pair<int, int>>& codes, bool terminate = true) {
  std::vector<uint8_t> data;
  uint32_t acc = 0;
  int bits = 0;
  for (auto [code, width] : codes) {
    acc |= static_cast<uint32_t>(code) << bits;
    bits += width;
    for (; bits >= 8; bits -= 8, acc >>= 8) data.push_back(static_cast<uint8_t>(acc));
  }
  if (bits) data.push_back(static_cast<uint8_t>(acc));
  std::vector<uint8_t> out{static_cast<uint8_t>(code_size)};
  for (size_t i = 0; i < data.size(); i += 255) {
    size_t n = std::min<size_t>(255, data.size() - i);
    out.push_back(static_cast<uint8_t>(n));
    out.insert(out.end(), data.begin() + static_cast<std::ptrdiff_t>(i), data.begin() + static_cast<std::ptrdiff_t>(i + n));
  }
  if (terminate) out.push_back(0);
  return out;
}

std::vector<uint8_t> encode(const std::vector<uint8_t>& image, uint32_t nx, uint32_t ny, Stream* s = nullptr) {
  Stream local;
  Stream& out = s ? *s : local;
  gif_encode(out.io(), image.data(), nx, ny);
  return out.bytes;
}

GifStatus decode(const std::vector<uint8_t>& bytes, std::vector<uint8_t>& image, uint32_t nx, uint32_t ny,
                 size_t* consumed = nullptr) {
  Stream in;
  in.bytes = bytes;
  GifStatus st = gif_decode(in.io(), image.data(), nx, ny);
  if (consumed) *consumed = in.at;
  return st;
}

class GifCodecTest : public VekTest {};

TEST_F(GifCodecTest, OnePixelImageIsClearPixelEndInOneSubBlock) {
  std::vector<uint8_t> image{0};
  // 256, 0 and 257 in 9 bits each fill 27 bits: four bytes.
  EXPECT_EQ(encode(image, 1, 1), (std::vector<uint8_t>{8, 4, 0x00, 0x01, 0x04, 0x04, 0, ';'}));
  std::vector<uint8_t> back{99};
  size_t consumed = 0;
  EXPECT_EQ(decode(encode(image, 1, 1), back, 1, 1, &consumed), GifStatus::kOk);
  EXPECT_EQ(back[0], 0);
  // The terminator is read, the trailer left.
  EXPECT_EQ(consumed, 7u);
}

TEST_F(GifCodecTest, RoundTripsKeepEveryPixelAndTheRowOrder) {
  std::mt19937 rng(7);
  struct Case {
    uint32_t nx, ny;
    int colours;  // pixel values 0..colours-1; 0 for runs of one value per row
  };
  for (Case c : {Case{1, 1, 256}, Case{1, 300, 2}, Case{300, 1, 256}, Case{37, 23, 7}, Case{64, 64, 2},
                 Case{200, 150, 16}, Case{512, 512, 256}, Case{1000, 40, 0}, Case{3, 5000, 256}}) {
    std::vector<uint8_t> image(static_cast<size_t>(c.nx) * c.ny);
    for (size_t i = 0; i < image.size(); i++)
      image[i] = c.colours ? static_cast<uint8_t>(rng() % static_cast<unsigned>(c.colours))
                           : static_cast<uint8_t>(i / c.nx);
    Stream s;
    encode(image, c.nx, c.ny, &s);
    std::vector<uint8_t> back(image.size(), 0xEE);
    EXPECT_EQ(decode(s.bytes, back, c.nx, c.ny), GifStatus::kOk) << c.nx << "x" << c.ny;
    EXPECT_EQ(back, image) << c.nx << "x" << c.ny;
    // Full sub-blocks go out as one transfer with their count; the end is one more.
    for (size_t i = 1; i + 2 < s.transfers.size(); i++) EXPECT_EQ(s.transfers[i], 256u);
    EXPECT_LE(s.transfers[s.transfers.size() - 2], 256u);
    EXPECT_EQ(s.transfers.back(), 2u);
  }
}

TEST_F(GifCodecTest, TheStreamsFirstRowIsTheImagesLastRow) {
  // Two rows: the last one (5, 6) is coded first.
  std::vector<uint8_t> image{1, 2, 5, 6};
  std::vector<uint8_t> codes = encode(image, 2, 2);
  // Clear, then 5 alone in the first nine bits after the clear code.
  const uint32_t bits = codes[2] | codes[3] << 8 | codes[4] << 16;
  EXPECT_EQ(bits & 511, 256u);
  EXPECT_EQ((bits >> 9) & 511, 5u);
}

TEST_F(GifCodecTest, NoisyImagesResetTheCodeTableAndStillDecode) {
  // Random bytes fill the 4096 codes quickly: the encoder must clear many times.
  std::mt19937 rng(3);
  std::vector<uint8_t> image(256 * 256);
  for (uint8_t& p : image) p = static_cast<uint8_t>(rng());
  std::vector<uint8_t> coded = encode(image, 256, 256);
  // Uncompressible: more than one byte per pixel.
  EXPECT_GT(coded.size(), image.size());
  std::vector<uint8_t> back(image.size());
  EXPECT_EQ(decode(coded, back, 256, 256), GifStatus::kOk);
  EXPECT_EQ(back, image);
}

TEST_F(GifCodecTest, SmallCodeSizesDecode) {
  // Code size 2: clear 4, end 5, first free code 6, three bits growing to four after
  // code 7 is made: 1, then 6 (= 1 1) before it is made, 6 again, 2, and 6.
  std::vector<uint8_t> stream = pack(2, {{4, 3}, {1, 3}, {6, 3}, {6, 3}, {2, 4}, {6, 4}, {5, 4}});
  std::vector<uint8_t> image(8, 9);
  EXPECT_EQ(decode(stream, image, 8, 1), GifStatus::kOk);
  EXPECT_EQ(image, (std::vector<uint8_t>{1, 1, 1, 1, 1, 2, 1, 1}));
}

TEST_F(GifCodecTest, AStreamWithoutALeadingClearCodeDecodes) {
  // The second code makes 6 (= 3 0), the third makes 7 and widens the codes.
  std::vector<uint8_t> stream = pack(2, {{3, 3}, {0, 3}, {6, 3}, {5, 4}});
  std::vector<uint8_t> image(4);
  EXPECT_EQ(decode(stream, image, 4, 1), GifStatus::kOk);
  EXPECT_EQ(image, (std::vector<uint8_t>{3, 0, 3, 0}));
}

TEST_F(GifCodecTest, RepeatedClearCodesAndACodeBeyondTheTableAfterThem) {
  // After the clears a code at or above the free code stands for pixel 0.
  std::vector<uint8_t> stream = pack(2, {{4, 3}, {4, 3}, {4, 3}, {7, 3}, {2, 3}, {5, 3}});
  std::vector<uint8_t> image(2, 9);
  EXPECT_EQ(decode(stream, image, 2, 1), GifStatus::kOk);
  EXPECT_EQ(image, (std::vector<uint8_t>{0, 2}));
}

TEST_F(GifCodecTest, CodeSizesOutsideTwoToNineAreRefused) {
  std::vector<uint8_t> image(4, 7);
  for (int size : {0, 1, 10, 12, 255}) {
    size_t consumed = 0;
    EXPECT_EQ(decode({static_cast<uint8_t>(size), 1, 0, 0}, image, 2, 2, &consumed), GifStatus::kBadCodeSize);
    EXPECT_EQ(consumed, 1u);
  }
  EXPECT_EQ(image, std::vector<uint8_t>(4, 7));
  for (int size : {2, 9}) {
    std::vector<std::pair<int, int>> codes{{1 << size, size + 1}, {1, size + 1}, {(1 << size) + 1, size + 1}};
    std::vector<uint8_t> one(1);
    EXPECT_EQ(decode(pack(size, codes), one, 1, 1), GifStatus::kOk) << size;
    EXPECT_EQ(one[0], 1);
  }
}

TEST_F(GifCodecTest, EarlyEndLeavesTheRowsOfLowestIndexUntouched) {
  std::vector<uint8_t> image(40);
  for (size_t i = 0; i < image.size(); i++) image[i] = static_cast<uint8_t>(i * 5);
  std::vector<uint8_t> coded = encode(image, 10, 4);
  // Keep the code size byte and the first codes; an empty sub-block ends the data.
  std::vector<uint8_t> cut{coded[0], 4, coded[2], coded[3], coded[4], coded[5], 0};
  std::vector<uint8_t> back(40, 200);
  EXPECT_EQ(decode(cut, back, 10, 4), GifStatus::kShort);
  // Four bytes hold the clear code and two more codes: two pixels of the last row.
  for (int i = 0; i < 40; i++) EXPECT_EQ(back[i], i == 30 || i == 31 ? image[i] : 200) << i;
  // Without the empty block the reader runs out: the caller's read fails.
  cut.pop_back();
  EXPECT_THROW(decode(cut, back, 10, 4), EndOfData);
}

TEST_F(GifCodecTest, LargerAndSmallerImagesThanTheStream) {
  std::vector<uint8_t> image(12);
  for (size_t i = 0; i < image.size(); i++) image[i] = static_cast<uint8_t>(i);
  std::vector<uint8_t> coded = encode(image, 4, 3);
  std::vector<uint8_t> more(16, 77);
  EXPECT_EQ(decode(coded, more, 4, 4), GifStatus::kShort);
  // The three rows of the stream fill rows 3, 2 and 1; row 0 is untouched.
  EXPECT_EQ(std::vector<uint8_t>(more.begin() + 4, more.end()), image);
  EXPECT_EQ(std::vector<uint8_t>(more.begin(), more.begin() + 4), std::vector<uint8_t>(4, 77));
  std::vector<uint8_t> fewer(8);
  size_t consumed = 0;
  EXPECT_EQ(decode(coded, fewer, 4, 2, &consumed), GifStatus::kOverflow);
  EXPECT_EQ(fewer, std::vector<uint8_t>(image.begin() + 4, image.end()));
}

TEST_F(GifCodecTest, CodesBeyondTheNextFreeCodeAreCountedAsErrors) {
  // Code 7 when 6 is the next free code: the previous string and its first pixel.
  std::vector<uint8_t> stream = pack(2, {{4, 3}, {0, 3}, {7, 3}, {5, 3}});
  std::vector<uint8_t> image(3, 9);
  EXPECT_EQ(decode(stream, image, 3, 1), GifStatus::kBadCodes);
  EXPECT_EQ(image, (std::vector<uint8_t>{0, 0, 0}));
  // The error wins over an image left short.
  std::vector<uint8_t> big(5, 9);
  EXPECT_EQ(decode(stream, big, 5, 1), GifStatus::kBadCodes);
}

TEST_F(GifCodecTest, SubBlocksAfterTheEndCodeAreSkippedUpToTheTerminator) {
  std::vector<uint8_t> stream = pack(2, {{4, 3}, {3, 3}, {5, 3}}, false);
  stream.insert(stream.end(), {3, 'x', 'y', 'z', 0, ';'});
  std::vector<uint8_t> image(1);
  size_t consumed = 0;
  EXPECT_EQ(decode(stream, image, 1, 1, &consumed), GifStatus::kOk);
  EXPECT_EQ(image[0], 3);
  EXPECT_EQ(consumed, stream.size() - 1);
}

TEST_F(GifCodecTest, AFullTableWithoutAClearGoesOnWithTheSameCodes) {
  // Code size 2 with 12-bit codes once the table is full, then no clear code: every
  // later code stays 12 bits wide and the table does not change.
  std::vector<std::pair<int, int>> codes{{4, 3}, {1, 3}};
  int slot = 6, width = 3;
  // Each code repeats the previous string plus its first pixel, always pixel 1.
  while (slot < 4096) {
    codes.push_back({slot, width});
    slot++;
    if (slot == (1 << width) && width < 12) width++;
  }
  codes.push_back({1, 12});
  codes.push_back({5, 12});
  std::vector<uint8_t> stream = pack(2, codes);
  // Strings of lengths 1, 2, ..., 4091, then one more pixel.
  const size_t n = 4091u * 4092u / 2u + 1u;
  std::vector<uint8_t> image(n, 0);
  EXPECT_EQ(decode(stream, image, static_cast<uint32_t>(n), 1), GifStatus::kOk);
  EXPECT_EQ(image, std::vector<uint8_t>(n, 1));
}

}  // namespace
