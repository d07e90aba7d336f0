// LZW coding of GIF raster data. The decoder keeps, beside the prefix and suffix of
// every code, its string's length, so that a string that fits in the current row is
// written straight into the image from its last pixel back to its first; only strings
// that cross a row end go through the pixel stack.
#include "io/gif.h"

#include <cstring>

namespace {

constexpr int kMaxWidth = 12;
constexpr int kCodes = 1 << kMaxWidth;  // 4096

// ---- Decoding -----------------------------------------------------------------------

// Codes taken least significant bit first from the counted sub-blocks.
class CodeReader {
 public:
  explicit CodeReader(const GifIo& io) : io_(io) {}

  // The next code of `width` bits, or -1 once the data has ended.
  int next(int width) {
    while (nbits_ < width) {
      if (pos_ == len_ && !refill()) return -1;
      acc_ |= static_cast<uint32_t>(block_[pos_++]) << nbits_;
      nbits_ += 8;
    }
    const int code = static_cast<int>(acc_ & ((1u << width) - 1));
    acc_ >>= width;
    nbits_ -= width;
    return code;
  }

  // Reads the sub-blocks that are left, up to and including the terminator.
  void drain() {
    while (refill()) {
    }
  }

 private:
  bool refill() {
    if (ended_) return false;
    uint8_t count;
    io_.read(io_.ctx, &count, 1);
    if (count == 0) {
      ended_ = true;
      return false;
    }
    io_.read(io_.ctx, block_, count);
    len_ = count;
    pos_ = 0;
    return true;
  }

  const GifIo& io_;
  uint8_t block_[266];
  unsigned len_ = 0, pos_ = 0;
  uint32_t acc_ = 0;
  int nbits_ = 0;
  bool ended_ = false;
};

// The image being filled: rows from the last to the first, each left to right.
class PixelRows {
 public:
  PixelRows(uint8_t* image, uint32_t nx, uint32_t ny)
      : image_(image), nx_(nx), ny_(ny), row_(static_cast<int64_t>(ny) - 1) {}

  bool filled() const { return row_ < 0; }
  size_t stored() const { return static_cast<size_t>(static_cast<int64_t>(ny_) - 1 - row_) * nx_ + col_; }
  // Pixels the current row can still take.
  uint32_t room() const { return row_ < 0 ? 0 : nx_ - col_; }
  uint8_t* at() const { return image_ + static_cast<size_t>(row_) * nx_ + col_; }
  void advance(uint32_t n) {
    col_ += n;
    if (col_ == nx_) {
      col_ = 0;
      --row_;
    }
  }
  bool put(uint8_t p) {
    if (row_ < 0) return false;
    *at() = p;
    advance(1);
    return true;
  }

 private:
  uint8_t* image_;
  uint32_t nx_, ny_;
  int64_t row_;
  uint32_t col_ = 0;
};

struct DecodeTables {
  uint16_t prefix[kCodes];
  uint16_t length[kCodes];
  uint8_t suffix[kCodes];
  uint8_t stack[kCodes + 1];
};

class Decoder {
 public:
  Decoder(DecodeTables& t, PixelRows& rows, int clear) : t_(t), rows_(rows), roots_(clear) {
    for (int i = 0; i < clear; i++) {
      t_.suffix[i] = static_cast<uint8_t>(i);
      t_.length[i] = 1;
    }
  }

  // Outputs the string of `code`, followed by `extra` when it is not negative. Returns
  // the string's first pixel, or -1 when the image overflowed.
  int emit(int code, int extra) {
    const uint32_t len = t_.length[code];
    const uint32_t total = len + (extra >= 0 ? 1 : 0);
    if (rows_.room() >= total) {
      uint8_t* first = rows_.at();
      if (extra >= 0) first[len] = static_cast<uint8_t>(extra);
      uint8_t* p = first + len - 1;
      int c = code;
      while (c >= roots_) {
        *p-- = t_.suffix[c];
        c = t_.prefix[c];
      }
      *p = static_cast<uint8_t>(c);
      rows_.advance(total);
      return c;
    }
    uint8_t* s = t_.stack;
    if (extra >= 0) s[len] = static_cast<uint8_t>(extra);
    uint32_t i = len - 1;
    int c = code;
    while (c >= roots_) {
      s[i--] = t_.suffix[c];
      c = t_.prefix[c];
    }
    s[0] = static_cast<uint8_t>(c);
    for (uint32_t k = 0; k < total; k++)
      if (!rows_.put(s[k])) return -1;
    return c;
  }

 private:
  DecodeTables& t_;
  PixelRows& rows_;
  int roots_;  // codes below this are single pixels
};

// ---- Encoding -----------------------------------------------------------------------

constexpr int kHashSize = 5003;

// Codes packed least significant bit first; full bytes collect into a sub-block that
// is written, count byte first, when it holds 255 bytes.
class CodeWriter {
 public:
  explicit CodeWriter(const GifIo& io) : io_(io) {}

  void put(int code, int width) {
    acc_ |= static_cast<uint32_t>(code) << nbits_;
    nbits_ += width;
    while (nbits_ >= 8) {
      byte(static_cast<uint8_t>(acc_));
      acc_ >>= 8;
      nbits_ -= 8;
    }
  }

  // The last partial byte, the pending sub-block, the terminator and the trailer.
  void finish() {
    if (nbits_ > 0) byte(static_cast<uint8_t>(acc_));
    acc_ = 0;
    nbits_ = 0;
    flush_block();
    static const uint8_t kEnd[2] = {0, ';'};
    io_.write(io_.ctx, kEnd, 2);
  }

 private:
  void byte(uint8_t b) {
    block_[1 + n_++] = b;
    if (n_ == 255) flush_block();
  }
  void flush_block() {
    if (n_ == 0) return;
    block_[0] = static_cast<uint8_t>(n_);
    io_.write(io_.ctx, block_, n_ + 1);
    n_ = 0;
  }

  const GifIo& io_;
  uint8_t block_[256];
  size_t n_ = 0;
  uint32_t acc_ = 0;
  int nbits_ = 0;
};

struct EncodeTables {
  uint16_t code[kHashSize];  // 0: empty slot (no code below 258 is ever entered)
  uint16_t prefix[kHashSize];
  uint8_t suffix[kHashSize];
};

class Encoder {
 public:
  Encoder(const GifIo& io, EncodeTables& t) : out_(io), t_(t) { clear_table(); }

  void code(int c) {
    out_.put(c, width_);
    if (free_ > max_code_) {
      width_++;
      max_code_ = width_ == kMaxWidth ? kCodes : (1 << width_) - 1;
    }
  }

  // Pixels of one row after the prefix `ent`; returns the new prefix.
  int row(const uint8_t* p, uint32_t n, int ent) {
    for (uint32_t k = 0; k < n; k++) {
      const int c = p[k];
      int i = (c << 4) + ent;
      if (i >= kHashSize) i -= kHashSize;
      if (t_.code[i]) {
        if (t_.prefix[i] == ent && t_.suffix[i] == c) {
          ent = t_.code[i];
          continue;
        }
        const int step = i == 0 ? 1 : kHashSize - i;
        bool found = false;
        for (;;) {
          i -= step;
          if (i < 0) i += kHashSize;
          if (!t_.code[i]) break;
          if (t_.prefix[i] == ent && t_.suffix[i] == c) {
            found = true;
            break;
          }
        }
        if (found) {
          ent = t_.code[i];
          continue;
        }
      }
      code(ent);
      if (free_ < kCodes) {
        t_.code[i] = static_cast<uint16_t>(free_++);
        t_.prefix[i] = static_cast<uint16_t>(ent);
        t_.suffix[i] = static_cast<uint8_t>(c);
      } else {
        clear_table();
        code(kClear);
        width_ = 9;
        max_code_ = 511;
      }
      ent = c;
    }
    return ent;
  }

  // The last prefix (none when negative), the end code and the rest of the output.
  void finish(int ent) {
    if (ent >= 0) code(ent);
    code(kEnd);
    out_.finish();
  }

  static constexpr int kClear = 256;
  static constexpr int kEnd = 257;

 private:
  void clear_table() {
    std::memset(t_.code, 0, sizeof t_.code);
    free_ = kEnd + 1;
  }

  CodeWriter out_;
  EncodeTables& t_;
  int width_ = 9;
  int max_code_ = 511;
  int free_ = kEnd + 1;
};

}  // namespace

GifStatus gif_decode(const GifIo& io, uint8_t* image, uint32_t nx, uint32_t ny, size_t* stored) {
  PixelRows rows(image, nx, ny);
  struct Count {
    const PixelRows& rows;
    size_t* out;
    ~Count() {
      if (out) *out = rows.stored();
    }
  } count{rows, stored};
  uint8_t size;
  io.read(io.ctx, &size, 1);
  if (size < 2 || size >= 10) return GifStatus::kBadCodeSize;
  const int clear = 1 << size;
  const int end = clear + 1;
  const int first_free = clear + 2;

  DecodeTables tables;
  Decoder dec(tables, rows, clear);
  CodeReader in(io);
  int width = size + 1;
  int limit = 1 << width;
  int slot = first_free;
  int prev = -1;  // -1: at the start or just after a clear code
  int first = 0;  // first pixel of the previous code's string
  bool bad_codes = false;

  for (;;) {
    int c = in.next(width);
    if (c < 0) break;
    if (c == end) {
      in.drain();
      break;
    }
    if (c == clear) {
      width = size + 1;
      limit = 1 << width;
      slot = first_free;
      prev = -1;
      continue;
    }
    if (prev < 0) {
      if (c >= slot) c = 0;
      prev = first = c;
      if (!rows.put(static_cast<uint8_t>(c))) return GifStatus::kOverflow;
      continue;
    }
    const bool beyond = c >= slot;
    int f;
    if (beyond) {
      // Not in the table yet: the previous string and its own first pixel.
      if (c > slot) bad_codes = true;
      f = dec.emit(prev, first);
    } else {
      f = dec.emit(c, -1);
    }
    if (f < 0) return GifStatus::kOverflow;
    if (slot < limit) {
      tables.suffix[slot] = static_cast<uint8_t>(f);
      tables.prefix[slot] = static_cast<uint16_t>(prev);
      tables.length[slot] = static_cast<uint16_t>(tables.length[prev] + 1);
      slot++;
    }
    if (slot >= limit && width < kMaxWidth) {
      width++;
      limit <<= 1;
    }
    // A code beyond the table stands for the entry just made, so that every entry's
    // prefix stays below it.
    prev = beyond ? slot - 1 : c;
    first = f;
  }
  if (bad_codes) return GifStatus::kBadCodes;
  if (!rows.filled()) return GifStatus::kShort;
  return GifStatus::kOk;
}

void gif_encode(const GifIo& io, const uint8_t* image, uint32_t nx, uint32_t ny) {
  static const uint8_t kCodeSize = 8;
  io.write(io.ctx, &kCodeSize, 1);
  EncodeTables tables;
  Encoder enc(io, tables);
  enc.code(Encoder::kClear);
  if (nx == 0 || ny == 0) {
    enc.finish(-1);
    return;
  }
  const uint8_t* last_row = image + static_cast<size_t>(ny - 1) * nx;
  int ent = enc.row(last_row + 1, nx - 1, last_row[0]);
  for (uint32_t y = ny - 1; y-- > 0;) ent = enc.row(image + static_cast<size_t>(y) * nx, nx, ent);
  enc.finish(ent);
}
