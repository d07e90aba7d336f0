// DECODE_GIF and ENCODE_GIF: the compressed raster data of one GIF image read from or
// written to an open unit, every byte moving through the unformatted transfer as READU
// and WRITEU move a BYTE array. The headers and colour tables around the data are the
// business of the library procedures READ_GIF and WRITE_GIF.
#include <cstring>
#include <vector>

#include "base/message.h"
#include "interp/routines.h"
#include "io/exec_io.h"
#include "io/gif.h"
#include "values/convert.h"
#include "values/temps.h"

namespace {

// The transfer buffer: a BYTE array temporary whose length is set to each transfer's.
class UnitTransfer {
 public:
  explicit UnitTransfer(Variable* unit) : unit_(unit) {
    data_ = static_cast<uint8_t*>(getscratch(&buffer_.v, static_cast<int32_t>(GIF_TRANSFER_MAX), 1));
  }
  ~UnitTransfer() {
    if (buffer_.v) set_length(GIF_TRANSFER_MAX);
  }
  UnitTransfer(const UnitTransfer&) = delete;
  UnitTransfer& operator=(const UnitTransfer&) = delete;

  GifIo io() {
    GifIo io;
    io.ctx = this;
    io.read = [](void* ctx, uint8_t* p, size_t n) { static_cast<UnitTransfer*>(ctx)->read(p, n); };
    io.write = [](void* ctx, const uint8_t* p, size_t n) { static_cast<UnitTransfer*>(ctx)->write(p, n); };
    return io;
  }

 private:
  void set_length(size_t n) {
    ArrayDesc* a = buffer_.v->value.s.arr;
    a->n_elts = a->byte_len = a->dims[0] = static_cast<uint32_t>(n);
  }
  void move(size_t n, int mode) {
    set_length(n);
    Variable* args[1] = {buffer_.v};
    exec_io(1, args, long_scalar(unit_), mode, nullptr, nullptr, nullptr, nullptr, nullptr);
  }
  void read(uint8_t* p, size_t n) {
    while (n) {
      const size_t k = n < GIF_TRANSFER_MAX ? n : GIF_TRANSFER_MAX;
      move(k, IO_READU);
      std::memcpy(p, data_, k);
      p += k;
      n -= k;
    }
  }
  void write(const uint8_t* p, size_t n) {
    while (n) {
      const size_t k = n < GIF_TRANSFER_MAX ? n : GIF_TRANSFER_MAX;
      std::memcpy(data_, p, k);
      move(k, IO_WRITEU);
      p += k;
      n -= k;
    }
  }

  Variable* unit_;
  TempGuard buffer_;
  uint8_t* data_;
};

// The image's rows are its first dimension; any further dimensions count as rows too.
struct Raster {
  uint8_t* data;
  uint32_t nx, ny;
};

Raster check_arguments(Variable* unit, Variable* image) {
  if (!unit->is_scalar()) var_error(M_NOT_SCALAR, unit, MSG_LONGJMP);
  if (!image->is_array()) var_error(M_NOT_ARRAY, image, MSG_LONGJMP);
  if (image->flags & FLAG_FILE_OR_STRUCT) var_error(M_NO_FILE_STRUCT, image, MSG_LONGJMP);
  if (image->type == TYP_STRING) var_error(M_NO_STRING, image, MSG_LONGJMP);
  const ArrayDesc* a = image->value.s.arr;
  return Raster{a->data, a->dims[0], a->n_elts / a->dims[0]};
}

void report(GifStatus status) {
  switch (status) {
    case GifStatus::kOk: return;
    case GifStatus::kBadCodeSize: message_error(M_ROUTINE_GENERIC, 0, MSG_LONGJMP, "Unusable bit pattern size");
    case GifStatus::kOverflow: message_error(M_ROUTINE_GENERIC, 0, MSG_LONGJMP, "GIF file is corrupted");
    case GifStatus::kBadCodes: message_error(M_ROUTINE_GENERIC, 0, MSG_LONGJMP, "Errors in GIF encoding");
    case GifStatus::kShort: message(M_ROUTINE_GENERIC, 0, MSG_CONTINUE, "Image did not fill array."); return;
  }
}

// DECODE_GIF, Unit, Image: fills Image from the unit's compressed data. An image of
// another numeric type receives the pixel values converted.
void ur_decode_gif(int, Variable* argv[], KwNames) {
  const Raster r = check_arguments(argv[0], argv[1]);
  UnitTransfer unit(argv[0]);
  const int type = argv[1]->type;
  if (type == TYP_BYTE) {
    report(gif_decode(unit.io(), r.data, r.nx, r.ny));
    return;
  }
  // The pixels stored go into the image before any message, as they would in place:
  // the rows from the last one down, then the part of a row begun.
  std::vector<uint8_t> pixels(static_cast<size_t>(r.nx) * r.ny);
  size_t stored = 0;
  auto put_back = [&] {
    const size_t full = stored / r.nx, part = stored % r.nx, esize = static_cast<size_t>(type_size[type]);
    const size_t top = (static_cast<size_t>(r.ny) - full) * r.nx;
    convert(pixels.data() + top, r.data + top * esize, static_cast<int32_t>(full * r.nx), TYP_BYTE, type);
    if (part) {
      const size_t row = top - r.nx;
      convert(pixels.data() + row, r.data + row * esize, static_cast<int32_t>(part), TYP_BYTE, type);
    }
  };
  GifStatus status;
  try {
    status = gif_decode(unit.io(), pixels.data(), r.nx, r.ny, &stored);
  } catch (...) {
    put_back();
    throw;
  }
  put_back();
  report(status);
}

// ENCODE_GIF, Unit, Image: writes Image's compressed data, the block terminator and the
// file trailer. An image of another type is coded as its BYTE conversion.
void ur_encode_gif(int, Variable* argv[], KwNames) {
  const Raster r = check_arguments(argv[0], argv[1]);
  UnitTransfer unit(argv[0]);
  if (argv[1]->type == TYP_BYTE) {
    gif_encode(unit.io(), r.data, r.nx, r.ny);
    return;
  }
  std::vector<uint8_t> pixels(static_cast<size_t>(r.nx) * r.ny);
  convert(r.data, pixels.data(), static_cast<int32_t>(pixels.size()), argv[1]->type, TYP_BYTE);
  gif_encode(unit.io(), pixels.data(), r.nx, r.ny);
}

}  // namespace

extern const RoutineEntry gif_procedures[] = {
    {ur_decode_gif, "DECODE_GIF", 2, 2},
    {ur_encode_gif, "ENCODE_GIF", 2, 2},
};
extern const int n_gif_procedures = sizeof gif_procedures / sizeof gif_procedures[0];
