// The compressed raster data of one GIF image: the variable-length-code LZW coding with
// its clear and end codes, packed least significant bit first into counted sub-blocks.
// The codec knows nothing of units or messages: it moves bytes through the caller's
// GifIo (whose failures unwind through it) and returns what went wrong in the stream.
// Image rows run from the last (index ny - 1) to the first, so the stream's top row is
// the top of a picture whose origin is at the bottom left.
#pragma once

#include <cstddef>
#include <cstdint>

// Byte movers. read must deliver exactly n bytes (or throw); write must take them.
struct GifIo {
  void* ctx = nullptr;
  void (*read)(void* ctx, uint8_t* buf, size_t n) = nullptr;
  void (*write)(void* ctx, const uint8_t* buf, size_t n) = nullptr;
};

// Transfers never exceed this many bytes (a count byte and a full sub-block, with room
// to spare).
constexpr size_t GIF_TRANSFER_MAX = 268;

enum class GifStatus {
  kOk,
  kBadCodeSize,  // the minimum code size byte is outside 2..9
  kOverflow,     // more pixels than the image holds (decoding stopped there)
  kBadCodes,     // codes beyond the next free code were met
  kShort,        // the data ended before the image was full
};

// Decodes the minimum code size byte and the data sub-blocks into the nx by ny image.
// After the end code the remaining sub-blocks, up to and including the terminator, are
// read too, so the stream is left after the image's data; a sub-block of length 0
// before the end code ends the data. Pixels already stored stay when it fails; their
// number goes to *stored when it is not null.
GifStatus gif_decode(const GifIo& io, uint8_t* image, uint32_t nx, uint32_t ny, size_t* stored = nullptr);

// Encodes the nx by ny image with a minimum code size of 8: the code size byte, the
// sub-blocks, the block terminator and the trailer byte ';'.
void gif_encode(const GifIo& io, const uint8_t* image, uint32_t nx, uint32_t ny);
