// Fuzz target: GIF image data. Byte 0 chooses the path:
//   even  the codec itself: bytes 1 and 2 give the image's size (1-64 by 1-64), the rest
//         is the compressed stream, decoded from memory. Whatever the decoder left in
//         the image is then encoded and decoded again, which must reproduce it exactly;
//   odd   the language: the rest is written to a file and read with READ_GIF (byte 0
//         bit 1 clear) or, with bit 1 set, as a bare stream by DECODE_GIF into an array
//         whose size comes from bytes 1 and 2.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "io/gif.h"

#ifndef VEK_GIF_LIBRARY
#define VEK_GIF_LIBRARY ""
#endif

namespace {

struct EndOfInput {};

struct Memory {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  std::vector<uint8_t> out;
};

GifIo memory_io(Memory* m) {
  GifIo io;
  io.ctx = m;
  io.read = [](void* ctx, uint8_t* p, size_t n) {
    auto* mem = static_cast<Memory*>(ctx);
    if (mem->size - mem->at < n) throw EndOfInput{};
    std::memcpy(p, mem->data + mem->at, n);
    mem->at += n;
  };
  io.write = [](void* ctx, const uint8_t* p, size_t n) {
    auto* mem = static_cast<Memory*>(ctx);
    if (n > GIF_TRANSFER_MAX) __builtin_trap();
    mem->out.insert(mem->out.end(), p, p + n);
  };
  return io;
}

void codec(const uint8_t* data, size_t size) {
  const uint32_t nx = 1 + data[1] % 64, ny = 1 + data[2] % 64;
  std::vector<uint8_t> image(static_cast<size_t>(nx) * ny, 0xA5);
  Memory in{data + 3, size - 3, 0, {}};
  try {
    gif_decode(memory_io(&in), image.data(), nx, ny);
  } catch (const EndOfInput&) {
  }
  Memory coded{nullptr, 0, 0, {}};
  gif_encode(memory_io(&coded), image.data(), nx, ny);
  // The encoder's output ends with the terminator and the trailer.
  const std::vector<uint8_t>& c = coded.out;
  if (c.size() < 4 || c[0] != 8 || c[c.size() - 2] != 0 || c[c.size() - 1] != ';') __builtin_trap();
  std::vector<uint8_t> again(image.size(), 0x5A);
  Memory back{c.data(), c.size(), 0, {}};
  if (gif_decode(memory_io(&back), again.data(), nx, ny) != GifStatus::kOk) __builtin_trap();
  if (back.at != c.size() - 1 || again != image) __builtin_trap();
}

void language(const uint8_t* data, size_t size) {
  const int nx = 1 + data[1] % 64, ny = 1 + data[2] % 64;
  const bool bare = data[0] & 2;
  const size_t skip = bare ? 3 : 1;
  fuzz::write_scratch_file("data.gif", std::string(reinterpret_cast<const char*>(data) + skip, size - skip));
  fuzz::run_statement(std::string("!PATH = '") + VEK_GIF_LIBRARY + "'");
  if (bare) {
    fuzz::run_statement("OPENR, 1, 'data.gif'");
    fuzz::run_statement("a = BYTARR(" + std::to_string(nx) + ", " + std::to_string(ny) + ") + 7B");
    fuzz::run_statement("DECODE_GIF, 1, a");
    fuzz::run_statement("CLOSE, 1");
    fuzz::run_statement("PRINT, TOTAL(a)");
  } else {
    fuzz::run_statement("READ_GIF, 'data.gif', img, r, g, b");
    fuzz::run_statement("HELP, img, r, g, b");
  }
  fuzz::reset_session();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::init_session();
  if (size < 3) return 0;
  if (data[0] & 1)
    language(data, size);
  else
    codec(data, size);
  return 0;
}
