#include "io/saverestore.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <map>
#include <set>

#include <fcntl.h>
#include <unistd.h>

#include "base/message.h"
#include "base/workers.h"
#include "compiler/compiler_input.h"
#include "compiler/program_areas.h"
#include "compiler/routine_table.h"
#include "interp/subscript.h"
#include "io/files.h"
#include "io/xdr_vek.h"
#include "values/simd.h"
#include "values/temps.h"

#if VEK_HAVE_SIMD_LEVELS
#include <immintrin.h>
#endif

namespace {

// Bytes per bulk transfer: numeric blocks are converted through a buffer of this size,
// small enough to stay in the cache between the conversion and the system call. Every
// transfer ends on a multiple of it in the file, so that the page cache can keep the
// file in large pages.
constexpr size_t kChunkBytes = size_t{1} << 21;

inline uint32_t host_to_be32(uint32_t v) {
  if constexpr (std::endian::native == std::endian::little) return __builtin_bswap32(v);
  return v;
}

// Byte order reversal of n words (dst may be src): the file's big-endian image of a
// numeric block. The loops run in the widest vector build the processor has.
#if VEK_HAVE_SIMD_LEVELS
VEK_TARGET_AVX2 void swap32_avx2(const uint32_t* src, uint32_t* dst, size_t n) {
  for (size_t i = 0; i < n; i++) dst[i] = __builtin_bswap32(src[i]);
}
VEK_TARGET_AVX2 void swap64_avx2(const uint64_t* src, uint64_t* dst, size_t n) {
  for (size_t i = 0; i < n; i++) dst[i] = __builtin_bswap64(src[i]);
}
// SSE2 has no byte shuffle: swap the 16-bit halves, then the bytes within them.
inline __m128i swap_bytes16(__m128i v) { return _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8)); }
void swap32_base(const uint32_t* src, uint32_t* dst, size_t n) {
  size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
    v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xB1), 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), swap_bytes16(v));
  }
  for (; i < n; i++) dst[i] = __builtin_bswap32(src[i]);
}
void swap64_base(const uint64_t* src, uint64_t* dst, size_t n) {
  size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
    v = _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0x1B), 0x1B);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), swap_bytes16(v));
  }
  for (; i < n; i++) dst[i] = __builtin_bswap64(src[i]);
}
void swap32(const uint32_t* src, uint32_t* dst, size_t n) {
  if (simd_level >= SIMD_AVX2) swap32_avx2(src, dst, n);
  else swap32_base(src, dst, n);
}
void swap64(const uint64_t* src, uint64_t* dst, size_t n) {
  if (simd_level >= SIMD_AVX2) swap64_avx2(src, dst, n);
  else swap64_base(src, dst, n);
}
#else
void swap32(const uint32_t* src, uint32_t* dst, size_t n) {
  for (size_t i = 0; i < n; i++) dst[i] = __builtin_bswap32(src[i]);
}
void swap64(const uint64_t* src, uint64_t* dst, size_t n) {
  for (size_t i = 0; i < n; i++) dst[i] = __builtin_bswap64(src[i]);
}
#endif

// Host order to file order and back (the same operation).
void to_file_order32(const uint32_t* src, uint32_t* dst, size_t n) {
  if constexpr (std::endian::native == std::endian::little) swap32(src, dst, n);
  else if (src != dst) std::memcpy(dst, src, n * 4);
}
void to_file_order64(const uint64_t* src, uint64_t* dst, size_t n) {
  if constexpr (std::endian::native == std::endian::little) swap64(src, dst, n);
  else if (src != dst) std::memcpy(dst, src, n * 8);
}

// 16-bit values travel as sign-extended 32-bit words.
void int_to_file(const void* mem, void* file, size_t n) {
  const auto* v = static_cast<const int16_t*>(mem);
  auto* w = static_cast<uint32_t*>(file);
  for (size_t i = 0; i < n; i++) w[i] = host_to_be32(static_cast<uint32_t>(static_cast<int32_t>(v[i])));
}
void int_from_file(const void* file, void* mem, size_t n) {
  const auto* w = static_cast<const uint32_t*>(file);
  auto* v = static_cast<int16_t*>(mem);
  for (size_t i = 0; i < n; i++) v[i] = static_cast<int16_t>(host_to_be32(w[i]));
}
void words_to_file(const void* mem, void* file, size_t n) {
  to_file_order32(static_cast<const uint32_t*>(mem), static_cast<uint32_t*>(file), n);
}
void words_from_file(const void* file, void* mem, size_t n) {
  to_file_order32(static_cast<const uint32_t*>(file), static_cast<uint32_t*>(mem), n);
}
void doubles_to_file(const void* mem, void* file, size_t n) {
  to_file_order64(static_cast<const uint64_t*>(mem), static_cast<uint64_t*>(file), n);
}
void doubles_from_file(const void* file, void* mem, size_t n) {
  to_file_order64(static_cast<const uint64_t*>(file), static_cast<uint64_t*>(mem), n);
}

// The smallest number of bytes one element of the type takes in a file.
uint64_t min_elem_bytes(int type) {
  switch (type) {
    case TYP_BYTE: return 1;
    case TYP_DOUBLE:
    case TYP_COMPLEX: return 8;
    default: return 4;
  }
}

uint64_t min_record_bytes(const StructDef* sd, int depth = 0) {
  if (depth > SR_MAX_STRUCT_DEPTH) return 4;
  uint64_t total = 0;
  for (int t = 0; t < sd->n_tags; t++) {
    const TagEntry& te = sd->tags[t];
    uint64_t n = (te.desc.flags & FLAG_HAS_DESC) ? te.desc.value.s.arr->n_elts : 1;
    if (te.desc.flags & FLAG_STRUCT)
      total += n * min_record_bytes(te.desc.value.s.sdef, depth + 1);
    else if (te.desc.type == TYP_BYTE)
      total += 4 + n;
    else
      total += n * min_elem_bytes(te.desc.type);
    if (total > (uint64_t{1} << 40)) break;
  }
  return total ? total : 4;
}

[[noreturn]] void unexpected_item() {
  message(M_SAVE_ITEM, 0, MSG_LONGJMP);
  throw VekJump{MSG_LONGJMP, M_SAVE_ITEM};  // not reached: the action transfers
}

}  // namespace

// Element sizes in memory and in the file, and the conversions between the two images
// (none: the images are the same).
struct BlockCodec {
  uint32_t mem_size, file_size;
  void (*to_file)(const void* mem, void* file, size_t n);
  void (*from_file)(const void* file, void* mem, size_t n);
};

namespace {
constexpr bool kBigEndianHost = std::endian::native == std::endian::big;
constexpr BlockCodec kByteCodec{1, 1, nullptr, nullptr};
constexpr BlockCodec kIntCodec{2, 4, int_to_file, int_from_file};
constexpr BlockCodec kWordCodec{4, 4, kBigEndianHost ? nullptr : words_to_file, kBigEndianHost ? nullptr : words_from_file};
constexpr BlockCodec kDoubleCodec{8, 8, kBigEndianHost ? nullptr : doubles_to_file,
                                  kBigEndianHost ? nullptr : doubles_from_file};
}  // namespace

// ---- the stream -----------------------------------------------------------------------------

SaveStream::SaveStream(int unit) : unit_(unit) {
  FileRec* f = file_table[unit];
  stream_ = f->stream;
  xdrs_ = f->xdrs;
  if (!writing()) {
    long here = ftell(stream_);
    if (fseek(stream_, 0, SEEK_END) == 0) size_ = ftell(stream_);
    fseek(stream_, here, SEEK_SET);
  }
}

void SaveStream::fail_read() {
  FileRec* f = file_table[unit_];
  message(M_READ_ERROR, errno, MSG_IOERROR, unit_, f ? f->name : "");
  throw VekJump{MSG_IOERROR, M_READ_ERROR};  // not reached: the action transfers
}
void SaveStream::fail_eof() {
  FileRec* f = file_table[unit_];
  message(M_IO_EOF, 0, MSG_IOERROR, unit_, f ? f->name : "");
  throw VekJump{MSG_IOERROR, M_IO_EOF};
}
void SaveStream::fail_write() {
  FileRec* f = file_table[unit_];
  message(M_WRITE_ERROR, errno, MSG_IOERROR, unit_, f ? f->name : "");
  throw VekJump{MSG_IOERROR, M_WRITE_ERROR};
}

long SaveStream::pos() { return ftell(stream_); }
void SaveStream::seek(long offset) {
  if (offset < 0 || fseek(stream_, offset, SEEK_SET) != 0) writing() ? fail_write() : fail_read();
}
long SaveStream::remaining() {
  long p = pos();
  return p < 0 || p > size_ ? 0 : size_ - p;
}
void SaveStream::need(uint64_t bytes) {
  if (!writing() && bytes > static_cast<uint64_t>(remaining())) fail_eof();
}

// Large blocks bypass the stream's buffer: the file descriptor is written or read at
// the stream's position, which is then moved past the block. Writes that need a
// conversion use two buffers, so that a helper converts the next chunk while the
// system call copies this one.
void SaveStream::bulk(const BlockCodec& c, uint8_t* mem, uint64_t n) {
  if (n == 0) return;
  const uint64_t total = n * c.file_size;
  const bool large = total >= 4 * kChunkBytes;
  if (!writing()) need(total);
  if (writing() && fflush(stream_) != 0) fail_write();
  const int fd = fileno(stream_);
  long at = pos();
  if (at < 0) writing() ? fail_write() : fail_read();
  const bool convert = writing() ? c.to_file != nullptr : c.from_file != nullptr;
  if (convert && !chunk_) chunk_.reset(new uint8_t[2 * (kChunkBytes + 8)]);
  // Reserving a large block's extent first spares the file system allocating it page by
  // page during the writes (several times faster on ext4); where that is not supported
  // the writes allocate as usual.
  if (writing() && large) (void)fallocate(fd, FALLOC_FL_KEEP_SIZE, at, static_cast<off_t>(total));

  // Chunk boundaries: every transfer but the last ends on a multiple of kChunkBytes.
  auto chunk_elems = [&](long offset, uint64_t left) {
    uint64_t room = kChunkBytes - static_cast<uint64_t>(offset) % kChunkBytes;
    if (room < c.file_size) room += kChunkBytes;
    return std::min<uint64_t>(left, room / c.file_size);
  };
  int failed_errno = 0;
  auto transfer = [&](uint8_t* f, size_t bytes, long offset) -> int {
    for (size_t moved = 0; moved < bytes;) {
      const ssize_t r = writing() ? pwrite(fd, f + moved, bytes - moved, offset + static_cast<long>(moved))
                                  : pread(fd, f + moved, bytes - moved, offset + static_cast<long>(moved));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) {
        failed_errno = errno;
        return writing() ? M_WRITE_ERROR : M_READ_ERROR;
      }
      if (r == 0) return writing() ? M_WRITE_ERROR : M_IO_EOF;
      moved += static_cast<size_t>(r);
    }
    return 0;
  };
  auto fail = [&](int code) {
    errno = failed_errno;  // the message reports the failed call's, not a later one's
    if (code == M_WRITE_ERROR) fail_write();
    if (code == M_IO_EOF) fail_eof();
    fail_read();
  };
  uint8_t* buf[2] = {chunk_.get(), convert ? chunk_.get() + kChunkBytes + 8 : nullptr};

  // Writes of converted data: a helper converts chunk i+1 while chunk i is written.
  // (Reads gain nothing from this: copying out of the page cache is the whole cost.)
  if (writing() && convert && large && worker_threads() > 1) {
    uint64_t first = 0, count = chunk_elems(at, n);
    c.to_file(mem, buf[0], static_cast<size_t>(count));
    int code = 0;
    for (int b = 0; !code && count; b ^= 1) {
      const size_t bytes = static_cast<size_t>(count * c.file_size);
      const uint64_t next = first + count;
      const uint64_t next_count = next < n ? chunk_elems(at + static_cast<long>(bytes), n - next) : 0;
      run_on_workers(2, [&](uint32_t t) {
        if (t == 0)
          code = transfer(buf[b], bytes, at);
        else if (next_count)
          c.to_file(mem + next * c.mem_size, buf[b ^ 1], static_cast<size_t>(next_count));
      });
      at += static_cast<long>(bytes);
      first = next;
      count = next_count;
    }
    if (code) fail(code);
    seek(at);
    return;
  }

  for (uint64_t done = 0; done < n;) {
    const uint64_t k = chunk_elems(at, n - done);
    uint8_t* m = mem + done * c.mem_size;
    uint8_t* f = convert ? buf[0] : m;
    const size_t bytes = static_cast<size_t>(k * c.file_size);
    if (writing() && convert) c.to_file(m, f, static_cast<size_t>(k));
    if (int code = transfer(f, bytes, at)) fail(code);
    if (!writing() && convert) c.from_file(f, m, static_cast<size_t>(k));
    at += static_cast<long>(bytes);
    done += k;
  }
  seek(at);
}

void SaveStream::x_long(int32_t& v) {
  int w = v;
  if (!writing()) need(4);
  if (!xdr_int(xdrs_, &w)) writing() ? fail_write() : fail_read();
  v = w;
}
void SaveStream::x_short(int16_t& v) {
  short w = v;
  if (!writing()) need(4);
  if (!xdr_short(xdrs_, &w)) writing() ? fail_write() : fail_read();
  v = w;
}
void SaveStream::x_u_char(uint8_t& v) {
  u_char w = v;
  if (!writing()) need(4);
  if (!xdr_u_char(xdrs_, &w)) writing() ? fail_write() : fail_read();
  v = w;
}
void SaveStream::x_float(float& v) {
  if (!writing()) need(4);
  if (!xdr_float(xdrs_, &v)) writing() ? fail_write() : fail_read();
}
void SaveStream::x_mips_double(double& v) {
  if (!writing()) need(8);
  if (!xdr_vek_mips_double(xdrs_, &v)) writing() ? fail_write() : fail_read();
}
void SaveStream::x_complex(Complex& v) {
  x_float(v.r);
  x_float(v.i);
}
void SaveStream::x_opaque(uint8_t* p, uint32_t n) {
  int32_t count = static_cast<int32_t>(n);
  x_long(count);
  if (!writing()) {
    if (static_cast<uint32_t>(count) != n) unexpected_item();
    need((uint64_t{n} + 3) & ~uint64_t{3});
  }
  // Large blocks go straight between memory and the file; the last bytes with the
  // padding through the stream.
  const uint32_t head = n >= kChunkBytes ? n & ~3u : 0;
  bulk(kByteCodec, p, head);
  if (!xdr_opaque(xdrs_, reinterpret_cast<caddr_t>(p + head), n - head)) writing() ? fail_write() : fail_read();
}

void SaveStream::x_id(IdentEntry*& id) {
  char buf[SR_MAX_ID + 1];
  int32_t len = 0;
  if (writing()) {
    const char* name = id ? id->name : "";
    len = static_cast<int32_t>(std::min<size_t>(strlen(name), SR_MAX_ID));
    std::memcpy(buf, name, static_cast<size_t>(len));
  }
  x_long(len);
  if (len < 0 || len > SR_MAX_ID) unexpected_item();
  if (!writing()) need((static_cast<uint32_t>(len) + 3) & ~3u);
  if (!xdr_opaque(xdrs_, buf, static_cast<u_int>(len))) writing() ? fail_write() : fail_read();
  if (writing()) return;
  buf[len] = 0;
  if (len == 0) {
    id = nullptr;
    return;
  }
  if (std::memchr(buf, 0, static_cast<size_t>(len))) unexpected_item();
  id = ident_hash(buf, len, 0, MSG_LONGJMP);
}

void SaveStream::x_text(std::string& s, uint32_t max) {
  int32_t len = static_cast<int32_t>(std::min<size_t>(s.size(), max));
  x_long(len);
  if (len < 0 || static_cast<uint32_t>(len) > max) unexpected_item();
  if (!writing()) {
    need((static_cast<uint32_t>(len) + 3) & ~3u);
    s.assign(static_cast<size_t>(len), '\0');
  }
  if (!xdr_opaque(xdrs_, s.data(), static_cast<u_int>(len))) writing() ? fail_write() : fail_read();
}

void SaveStream::x_vek_string(StringDesc& s) {
  int16_t len16 = static_cast<int16_t>(s.length);
  x_short(len16);
  uint32_t len = static_cast<uint16_t>(len16);
  if (len == 0) {
    if (!writing()) s = StringDesc{0, 0, nullptr};
    return;
  }
  int32_t again = static_cast<int32_t>(len);
  x_long(again);
  if (writing()) {
    if (!xdr_opaque(xdrs_, s.chars, len)) fail_write();
    return;
  }
  if (static_cast<uint32_t>(again) != len) unexpected_item();
  need((len + 3) & ~3u);
  auto* chars = static_cast<char*>(counting_malloc(len + 1));
  if (!chars) message(M_NO_MEMORY, errno, MSG_LONGJMP, "restoring array block");
  if (!xdr_opaque(xdrs_, chars, len)) {
    counting_free(chars);
    fail_read();
  }
  chars[len] = 0;
  s.length = static_cast<uint16_t>(len);
  s.owned = 1;
  s.chars = chars;
}

void SaveStream::x_elements(int type, void* data, uint32_t n) {
  auto* p = static_cast<uint8_t*>(data);
  switch (type) {
    case TYP_BYTE:
      x_opaque(p, n);
      return;
    case TYP_STRING: {
      if (!writing()) need(uint64_t{n} * 4);
      auto* s = static_cast<StringDesc*>(data);
      for (uint32_t i = 0; i < n; i++) x_vek_string(s[i]);
      return;
    }
    case TYP_INT:
      bulk(kIntCodec, p, n);
      return;
    case TYP_LONG:
    case TYP_FLOAT:
      bulk(kWordCodec, p, n);
      return;
    case TYP_COMPLEX:
      bulk(kWordCodec, p, uint64_t{n} * 2);  // real part first
      return;
    case TYP_DOUBLE:
      bulk(kDoubleCodec, p, n);  // high word first: the big-endian image of the pattern
      return;
    default:
      unexpected_item();
  }
}

void SaveStream::x_marker(int32_t want) {
  int32_t v = want;
  x_long(v);
  if (v != want) unexpected_item();
}

void SaveStream::begin_record() {
  record_start_ = pos();
  int32_t words[4] = {SR_UNFINISHED, 0, 0, 0};
  for (int32_t& w : words) x_long(w);
}

void SaveStream::end_record(int32_t type) {
  long end = pos();
  seek(record_start_);
  int32_t words[4] = {type, static_cast<int32_t>(end), 0, 0};
  for (int32_t& w : words) x_long(w);
  seek(end);
}

int32_t SaveStream::read_header(int32_t* next) {
  int32_t type = 0, reserved = 0;
  x_long(type);
  x_long(*next);
  x_long(reserved);
  x_long(reserved);
  return type;
}

// ---- values -----------------------------------------------------------------------------

namespace {

// Shape of a value as read from the file, checked before anything is made from it.
struct ArrayInfo {
  int32_t elem_size = 0, byte_len = 0, n_elts = 0;
  uint8_t n_dim = 0, flags = 0;
  int16_t unit = 0;
  int32_t dims[MAX_DIMS] = {};
};

void write_array_desc(SaveStream& s, const ArrayDesc* a) {
  int32_t elem = static_cast<int32_t>(a->elem_size), len = static_cast<int32_t>(a->byte_len),
          n = static_cast<int32_t>(a->n_elts);
  uint8_t nd = a->n_dim, fl = a->flags;
  int16_t unit = static_cast<int16_t>(a->unit);
  s.x_long(elem);
  s.x_long(len);
  s.x_long(n);
  s.x_u_char(nd);
  s.x_u_char(fl);
  s.x_short(unit);
  int32_t count = MAX_DIMS;
  s.x_long(count);
  for (int i = 0; i < MAX_DIMS; i++) {
    int32_t d = static_cast<int32_t>(a->dims[i]);
    s.x_long(d);
  }
}

ArrayInfo read_array_desc(SaveStream& s) {
  ArrayInfo a;
  s.x_long(a.elem_size);
  s.x_long(a.byte_len);
  s.x_long(a.n_elts);
  s.x_u_char(a.n_dim);
  s.x_u_char(a.flags);
  s.x_short(a.unit);
  int32_t count = 0;
  s.x_long(count);
  if (count < 1 || count > MAX_DIMS) unexpected_item();
  for (int i = 0; i < count; i++) s.x_long(a.dims[i]);
  if (a.n_dim < 1 || a.n_dim > MAX_DIMS || a.n_dim > count || a.n_elts < 1 || a.elem_size < 1) unexpected_item();
  int64_t n = 1;
  for (int i = 0; i < a.n_dim; i++) {
    if (a.dims[i] < 1) unexpected_item();
    n *= a.dims[i];
    if (n > INT32_MAX) unexpected_item();
  }
  if (n != a.n_elts || int64_t{a.n_elts} * a.elem_size != a.byte_len) unexpected_item();
  return a;
}

// Holds one reference of an anonymous definition (named ones need none).
struct DefRef {
  StructDef* sd = nullptr;
  DefRef() = default;
  DefRef(const DefRef&) = delete;
  DefRef& operator=(const DefRef&) = delete;
  DefRef(DefRef&& o) noexcept : sd(o.sd) { o.sd = nullptr; }
  DefRef& operator=(DefRef&& o) noexcept {
    std::swap(sd, o.sd);
    return *this;
  }
  ~DefRef() {
    if (sd && is_anonymous(sd)) del_anon_struct(sd);
  }
  StructDef* release() {
    StructDef* r = sd;
    sd = nullptr;
    return r;
  }
};

void write_struct_def(SaveStream& s, StructDef* sd) {
  IdentEntry* name = sd->name;
  s.x_id(name);
  uint8_t flags = (!is_anonymous(sd) && (sd->flags & SDEF_WRITTEN)) ? 1 : 0;
  s.x_u_char(flags);
  int32_t n = sd->n_tags, len = sd->length;
  s.x_long(n);
  s.x_long(len);
  if (flags) return;
  if (!is_anonymous(sd)) sd->flags |= SDEF_WRITTEN;
  for (int t = 0; t < sd->n_tags; t++) {
    TagEntry& te = sd->tags[t];
    int32_t off = static_cast<int32_t>(te.offset);
    uint8_t type = te.desc.type, fl = te.desc.flags;
    s.x_long(off);
    s.x_u_char(type);
    s.x_u_char(fl);
  }
  for (int t = 0; t < sd->n_tags; t++) {
    IdentEntry* tn = sd->tags[t].tag ? sd->tags[t].tag->ident : nullptr;
    s.x_id(tn);
  }
  for (int t = 0; t < sd->n_tags; t++) {
    if (!(sd->tags[t].desc.flags & FLAG_HAS_DESC)) continue;
    s.x_marker(SR_ARRAY_MARK);
    write_array_desc(s, sd->tags[t].desc.value.s.arr);
  }
  for (int t = 0; t < sd->n_tags; t++) {
    if (!(sd->tags[t].desc.flags & FLAG_STRUCT)) continue;
    s.x_marker(SR_STRUCT_MARK);
    write_struct_def(s, sd->tags[t].desc.value.s.sdef);
  }
}

void x_records(SaveStream& s, StructDef* sd, uint8_t* data, uint32_t n, int depth);

// The data of one field: n elements of its type, or n nested records.
void x_field(SaveStream& s, const TagEntry& te, uint8_t* p, int depth) {
  uint32_t n = (te.desc.flags & FLAG_HAS_DESC) ? te.desc.value.s.arr->n_elts : 1;
  if (te.desc.flags & FLAG_STRUCT)
    x_records(s, te.desc.value.s.sdef, p, n, depth + 1);
  else
    s.x_elements(te.desc.type, p, n);
}

void x_records(SaveStream& s, StructDef* sd, uint8_t* data, uint32_t n, int depth) {
  if (depth > SR_MAX_STRUCT_DEPTH) unexpected_item();
  for (uint32_t r = 0; r < n; r++) {
    uint8_t* rec = data + static_cast<size_t>(r) * static_cast<size_t>(sd->length);
    for (int t = 0; t < sd->n_tags; t++) x_field(s, sd->tags[t], rec + sd->tags[t].offset, depth);
  }
}

// A zeroed value of a field's type and shape, for building a definition with make_struc.
Variable* prototype(uint8_t type, uint8_t flags, const ArrayInfo* a, StructDef* nested) {
  if (flags & FLAG_STRUCT) {
    Variable* t = gettmp();
    t->type = TYP_STRUCT;
    int32_t one = 1;
    make_array(a ? a->n_dim : 1, a ? a->dims : &one, t, nested->length);
    std::memset(t->value.s.arr->data, 0, t->value.s.arr->byte_len);
    t->value.s.sdef = nested;
    if (is_anonymous(nested)) struct_add_ref(nested);
    t->flags |= FLAG_STRUCT;
    return t;
  }
  if (flags & FLAG_ARRAY) {
    Variable* t = make_temp_array_of(type, a->n_dim, a->dims);
    std::memset(t->value.s.arr->data, 0, t->value.s.arr->byte_len);
    return t;
  }
  Variable* t = gettmp();
  t->type = type;
  t->flags &= static_cast<uint8_t>(FLAG_TEMPORARY);
  std::memset(static_cast<void*>(&t->value), 0, sizeof t->value);  // every byte: Value{} may clear only the first member
  return t;
}

bool same_shape(const ArrayDesc* a, const ArrayInfo& b) {
  if (a->n_dim != b.n_dim || static_cast<int32_t>(a->n_elts) != b.n_elts) return false;
  for (int i = 0; i < a->n_dim; i++)
    if (static_cast<int32_t>(a->dims[i]) != b.dims[i]) return false;
  return true;
}

struct TagRead {
  int32_t offset = 0;
  uint8_t type = 0, flags = 0;
  IdentEntry* name = nullptr;
  ArrayInfo shape;
  DefRef nested;
};

DefRef read_struct_def(SaveStream& s, int depth) {
  if (depth > SR_MAX_STRUCT_DEPTH) unexpected_item();
  IdentEntry* name = nullptr;
  uint8_t flags = 0;
  int32_t n = 0, len = 0;
  s.x_id(name);
  s.x_u_char(flags);
  s.x_long(n);
  s.x_long(len);
  DefRef result;
  if (flags & 1) {
    // Written in full earlier in this file, so restored (or matched) already.
    StructDef* sd = name ? find_structure_def(name) : nullptr;
    if (!sd || sd->length == 0) message(M_STRUCT_UNDEFINED, 0, MSG_LONGJMP, name ? name->name : "Anonymous");
    result.sd = sd;
    return result;
  }
  if (n < 1 || n > 65535) unexpected_item();
  s.need(uint64_t(n) * 16);  // a tag definition and a tag name at least
  std::vector<TagRead> tags(static_cast<size_t>(n));
  for (TagRead& t : tags) {
    s.x_long(t.offset);
    s.x_u_char(t.type);
    s.x_u_char(t.flags);
    const bool is_struct = t.flags & FLAG_STRUCT;
    if (t.type == TYP_UNDEF || t.type >= N_TYPES || is_struct != (t.type == TYP_STRUCT) || (t.flags & FLAG_FILE))
      unexpected_item();
  }
  for (TagRead& t : tags) {
    s.x_id(t.name);
    if (!t.name) unexpected_item();
  }
  for (TagRead& t : tags) {
    if (!(t.flags & FLAG_HAS_DESC)) continue;
    s.x_marker(SR_ARRAY_MARK);
    t.shape = read_array_desc(s);
    if (!(t.flags & FLAG_STRUCT) && t.shape.elem_size != type_size[t.type]) unexpected_item();
  }
  for (TagRead& t : tags) {
    if (!(t.flags & FLAG_STRUCT)) continue;
    s.x_marker(SR_STRUCT_MARK);
    t.nested = read_struct_def(s, depth + 1);
    if (t.shape.elem_size != t.nested.sd->length) unexpected_item();
  }

  StructDef* existing = name ? find_structure_def(name) : nullptr;
  if (existing && existing->length) {
    if (existing->n_tags != n) {
      message(M_STRUCT_NTAGS, 0, MSG_CONTINUE, name->name);
      message(M_STRUCT_RESTORE_CONFLICT, 0, MSG_LONGJMP, name->name);
    }
    for (int i = 0; i < n; i++) {
      const TagEntry& te = existing->tags[i];
      const TagRead& t = tags[static_cast<size_t>(i)];
      bool same = te.desc.type == t.type && (te.desc.flags & FLAG_HAS_DESC) == (t.flags & FLAG_HAS_DESC);
      if (same && (t.flags & FLAG_HAS_DESC)) same = same_shape(te.desc.value.s.arr, t.shape);
      if (same && (t.flags & FLAG_STRUCT)) same = te.desc.value.s.sdef == t.nested.sd;
      if (!same) message(M_STRUCT_TAG_TYPE, 0, MSG_LONGJMP, name->name);
    }
    for (int i = 0; i < n; i++) {
      const TagEntry& te = existing->tags[i];
      IdentEntry* old = te.tag ? te.tag->ident : nullptr;
      if (old != tags[static_cast<size_t>(i)].name)
        message(M_STRUCT_TAG_NAMES, 0, MSG_INFO, tags[static_cast<size_t>(i)].name->name, old ? old->name : "");
    }
    result.sd = existing;
    return result;
  }

  // A new definition: built by make_struc from zeroed values of the tags' shapes.
  std::vector<TempGuard> protos(static_cast<size_t>(n));
  std::vector<Variable*> vals(static_cast<size_t>(n));
  std::vector<IdentEntry*> names(static_cast<size_t>(n));
  for (size_t i = 0; i < tags.size(); i++) {
    TagRead& t = tags[i];
    protos[i].v = prototype(t.type, t.flags, (t.flags & FLAG_HAS_DESC) ? &t.shape : nullptr, t.nested.sd);
    vals[i] = protos[i].v;
    names[i] = t.name;
  }
  TempGuard rec;
  rec.v = make_struc(&vals[static_cast<size_t>(n) - 1], n, name, names.data(), false, true);
  StructDef* sd = rec.v->sdef();
  if (is_anonymous(sd)) struct_add_ref(sd);
  result.sd = sd;
  return result;
}

}  // namespace

void sr_reset_struct_flags() {
  if (!global_struct_table) return;
  for (uint32_t i = 0; i < global_struct_table->count; i++)
    static_cast<StructDef*>(global_struct_table->entries[i])->flags &= ~SDEF_WRITTEN;
}

void sr_write_value(SaveStream& s, Variable* v) {
  uint8_t type = v->type, flags = static_cast<uint8_t>(v->flags & ~FLAG_TEMPORARY);
  s.x_u_char(type);
  s.x_u_char(flags);
  if (v->has_desc()) {
    s.x_marker(SR_ARRAY_MARK);
    write_array_desc(s, v->arr());
  }
  if (v->is_struct()) {
    s.x_marker(SR_STRUCT_MARK);
    write_struct_def(s, v->sdef());
  }
  if (v->is_file()) return;
  s.x_marker(SR_DATA_MARK);
  if (v->is_struct())
    x_records(s, v->sdef(), v->arr()->data, v->arr()->n_elts, 0);
  else
    s.x_elements(v->type, v->data_ptr(), v->n_elts());
}

Variable* sr_read_value(SaveStream& s) {
  uint8_t type = 0, flags = 0;
  s.x_u_char(type);
  s.x_u_char(flags);
  const bool is_struct = flags & FLAG_STRUCT;
  if (type == TYP_UNDEF || type >= N_TYPES || is_struct != (type == TYP_STRUCT) || (flags & FLAG_FILE))
    unexpected_item();
  ArrayInfo shape;
  const bool has_desc = flags & FLAG_HAS_DESC;
  if (has_desc) {
    s.x_marker(SR_ARRAY_MARK);
    shape = read_array_desc(s);
  }
  DefRef def;
  if (is_struct) {
    s.x_marker(SR_STRUCT_MARK);
    def = read_struct_def(s, 0);
    if (shape.elem_size != def.sd->length) unexpected_item();
  } else if (has_desc && shape.elem_size != type_size[type]) {
    unexpected_item();
  }
  s.x_marker(SR_DATA_MARK);

  TempGuard t;
  if (is_struct) {
    s.need(uint64_t(shape.n_elts) * min_record_bytes(def.sd));
    t.v = gettmp();
    t.v->type = TYP_STRUCT;
    make_array(shape.n_dim, shape.dims, t.v, def.sd->length);
    std::memset(t.v->value.s.arr->data, 0, t.v->value.s.arr->byte_len);
    t.v->value.s.sdef = def.release();
    t.v->flags |= FLAG_STRUCT;
    x_records(s, t.v->sdef(), t.v->arr()->data, t.v->arr()->n_elts, 0);
  } else if (has_desc) {
    s.need(uint64_t(shape.n_elts) * min_elem_bytes(type) + (type == TYP_BYTE ? 4 : 0));
    t.v = make_temp_array_of(type, shape.n_dim, shape.dims);
    s.x_elements(type, t.v->arr()->data, t.v->arr()->n_elts);
  } else {
    t.v = gettmp();
    t.v->type = type;
    std::memset(static_cast<void*>(&t.v->value), 0, sizeof t.v->value);
    s.x_elements(type, &t.v->value, 1);
    if (type == TYP_STRING && t.v->value.str.owned) t.v->flags |= FLAG_DYNAMIC;
  }
  return t.release();
}

// ---- routines ---------------------------------------------------------------------------

namespace {

// What a handle word in the code refers to; written with the name it resolves by.
enum RelocKind : int32_t {
  RK_SYSVAR = 1,
  RK_SYSFUN = 2,
  RK_SYSPRO = 3,
  RK_USERFUN = 4,
  RK_USERPRO = 5,
  RK_IDENT = 6,
  RK_STRUCT_TAG = 7,  // a tag name of the structure a MAKE_NAMED_STRUCT at `offset` builds
};

struct HandleSite {
  uint32_t offset;   // of the word
  int32_t kind;
  bool may_be_zero;  // user calls named at run time, TAG with the number on the stack
};

// The byte code holds operands in the writing host's byte order and constants as images
// of its Variable records; this word names that layout, so that a host of another one
// refuses the code rather than run it.
int32_t code_image_kind() {
  constexpr int32_t order = std::endian::native == std::endian::little ? 1 : 2;
  return order | static_cast<int32_t>(sizeof(Variable)) << 8 | static_cast<int32_t>(sizeof(void*)) << 16;
}

uint32_t table_start_for(uint32_t n_params) { return std::max<uint32_t>(DATA_RESERVE, n_params * 8u); }

// Walks code[0..len) (which has at least 16 readable bytes past len) and collects the
// handle words. Returns false when the code is not a well-formed sequence.
bool walk_code(const uint8_t* code, uint32_t len, uint32_t n_vars, uint32_t n_params, const uint8_t* data,
               uint32_t data_len, uint32_t table_start, std::vector<HandleSite>* sites) {
  std::set<uint32_t> starts, consts;
  std::vector<std::pair<uint32_t, uint32_t>> targets;  // (from, to): to must start an instruction
  std::vector<std::pair<uint32_t, uint32_t>> const_refs;
  std::vector<std::pair<uint32_t, uint32_t>> fors;     // FOR_INIT offset, FOR_NEXT offset
  uint32_t at = 0;
  bool ended = false;
  while (at < len) {
    const uint8_t* p = code + at;
    const uint8_t op = p[0];
    if (op == OP_INVALID || op >= OP_COUNT) return false;
    const InstDef& d = inst_def[op];
    if (at % d.align) return false;
    uint32_t size = op == OP_END ? 1 : inst_size(p);
    if (size == 0 || size > len - at) return false;
    starts.insert(at);
    const uint16_t u = inst_u16(p);
    switch (d.form) {
      case OperandForm::SLOT:
        if (u % VAR_SLOT_SIZE || u / VAR_SLOT_SIZE >= n_vars) return false;
        break;
      case OperandForm::COMMON: {
        if (u < table_start || (u - table_start) % sizeof(VarEntry) || u + sizeof(VarEntry) > data_len) return false;
        break;
      }
      case OperandForm::PARAM:
        if (p[1] >= n_params) return false;
        break;
      case OperandForm::SYSVAR:
      case OperandForm::SYSVAR_SUBSCR:
        if (sites) sites->push_back({at + 4, RK_SYSVAR, false});
        break;
      case OperandForm::CONST: {
        Variable img;
        std::memcpy(&img, p + 8, sizeof img);
        if (!is_numeric(img.type) || img.flags != FLAG_CONSTANT) return false;
        consts.insert(at + 8);
        break;
      }
      case OperandForm::STRING:
        if (3u + p[1] >= size || p[3 + p[1]] != 0) return false;
        break;
      case OperandForm::FORWARD:
        if (u) targets.push_back({at, at + u});
        break;
      case OperandForm::BACKWARD:
        if (u > at) return false;
        targets.push_back({at, at - u});
        break;
      case OperandForm::FOR: {
        const uint16_t prev = inst_u16(p, 4);
        if (prev && prev >= at) return false;
        fors.push_back({at, at + u});
        if (prev) targets.push_back({at, prev});
        break;
      }
      case OperandForm::CALL: {
        const int argc = p[1];
        const uint32_t desc_len = u;
        if (desc_len) {
          // argc position bytes, then argc NUL-terminated names, inside the descriptor.
          if (static_cast<uint32_t>(argc) > desc_len) return false;
          for (int i = 0; i < argc; i++)
            if (p[8 + i] >= argc) return false;
          uint32_t q = 8u + static_cast<uint32_t>(argc);
          for (int i = 0; i < argc; i++) {
            while (q < 8u + desc_len && p[q]) q++;
            if (q >= 8u + desc_len) return false;
            q++;
          }
        }
        int32_t kind = op == OP_CALL_SYSFUN ? RK_SYSFUN : op == OP_CALL_SYSPRO ? RK_SYSPRO
                       : op == OP_CALL_USERFUN ? RK_USERFUN : RK_USERPRO;
        if (sites) sites->push_back({at + 4, kind, kind == RK_USERFUN || kind == RK_USERPRO});
        break;
      }
      case OperandForm::TAG:
      case OperandForm::TAG_SUBSCR:
        if (sites) sites->push_back({at + 4, RK_IDENT, true});
        break;
      case OperandForm::NAMED_STRUCT:
        if (sites) sites->push_back({at + 4, RK_IDENT, false});
        break;
      case OperandForm::MAKE_STRUCT:
        for (uint32_t k = 0; k < p[1]; k++)
          if (sites) sites->push_back({at + 4 + 4 * k, RK_IDENT, false});
        break;
      case OperandForm::CONST_REF:
        if (u > at) return false;
        const_refs.push_back({at, at - u});
        break;
      case OperandForm::SOURCE:
        if (p[6] + 7u >= size || p[7 + p[6]] != 0) return false;
        break;
      default:
        break;
    }
    at += size;
    if (op == OP_END) {
      ended = true;
      break;
    }
  }
  if (!ended || at != len) return false;
  for (auto [from, to] : targets)
    if (!starts.count(to)) return false;
  for (auto [from, img] : const_refs)
    if (!consts.count(img)) return false;
  for (auto [init, next] : fors) {
    if (!starts.count(next)) return false;
    const uint8_t nop = code[next];
    if (nop != OP_FOR_NEXT && nop != OP_FOR_NEXT_STEP) return false;
  }
  (void)data;
  return true;
}

const char* handle_name(uint32_t handle, int32_t kind) {
  void* p = handle_ptr(handle);
  if (!p) return nullptr;
  switch (kind) {
    case RK_SYSVAR: return (*static_cast<IdentEntry**>(p))->name;  // records begin with their name
    case RK_SYSFUN:
    case RK_SYSPRO: return static_cast<const RoutineEntry*>(p)->name;
    case RK_USERFUN:
    case RK_USERPRO: return static_cast<CodeBlock*>(p)->name_str();
    default: return static_cast<IdentEntry*>(p)->name;
  }
}

struct RoutineHeader {
  IdentEntry* name = nullptr;
  int32_t code_cap = 0, n_vars = 0, n_params = 0, flags = 0;
  int16_t for_chain = 0;
  int32_t n_commons = 0, n_entries = 0, first_entry = -1;
};

}  // namespace

void sr_write_routine(SaveStream& s, CodeBlock* cb) {
  const uint32_t table_start = table_start_for(cb->n_params);
  const uint32_t n_entries = cb->data_used > table_start ? (cb->data_used - table_start) / sizeof(VarEntry) : 0;
  auto index_of = [&](uint32_t offset) -> int32_t {
    return offset ? static_cast<int32_t>((offset - table_start) / sizeof(VarEntry)) : -1;
  };
  std::vector<CommonBlock*> commons;
  for (uint32_t i = 0; i < n_entries; i++) {
    CommonBlock* c = var_entry(cb, table_start + i * sizeof(VarEntry))->common;
    if (c && std::find(commons.begin(), commons.end(), c) == commons.end()) commons.push_back(c);
  }
  RoutineHeader h;
  h.name = cb->name;
  h.code_cap = static_cast<int32_t>(cb->code_cap);
  h.n_vars = static_cast<int32_t>(cb->n_vars);
  h.n_params = static_cast<int32_t>(cb->n_params);
  h.flags = static_cast<int32_t>(cb->flags & ~CB_ACTIVE);
  h.for_chain = static_cast<int16_t>(cb->for_chain);
  h.n_commons = static_cast<int32_t>(commons.size());
  h.n_entries = static_cast<int32_t>(n_entries);
  h.first_entry = index_of(cb->var_head);
  s.x_id(h.name);
  s.x_long(h.code_cap);
  s.x_long(h.n_vars);
  s.x_long(h.n_params);
  s.x_long(h.flags);
  s.x_short(h.for_chain);
  s.x_long(h.n_commons);
  s.x_long(h.n_entries);
  s.x_long(h.first_entry);
  for (uint32_t i = 0; i < cb->n_params; i++) {
    IdentEntry* kw = cb->kw_formals()[i];
    s.x_id(kw);
  }
  for (CommonBlock* c : commons) {
    IdentEntry* n = c->name;
    int32_t count = c->count;
    s.x_id(n);
    s.x_long(count);
  }
  for (uint32_t i = 0; i < n_entries; i++) {
    VarEntry* e = var_entry(cb, table_start + i * sizeof(VarEntry));
    IdentEntry* n = e->ident;
    int32_t common = 0;
    if (e->common) common = static_cast<int32_t>(std::find(commons.begin(), commons.end(), e->common) - commons.begin()) + 1;
    int32_t next = index_of(e->next);
    int32_t slot = e->slot == SLOT_UNASSIGNED ? -1 : e->slot;
    s.x_id(n);
    s.x_long(common);
    s.x_long(next);
    s.x_long(slot);
  }

  // The code with its handle words cleared, breakpoints removed and FOR state zeroed;
  // the handles follow as (offset, kind, name).
  std::vector<uint8_t> code(cb->code, cb->code + cb->code_len);
  code.resize(cb->code_len + 16, 0);
  std::vector<HandleSite> sites;
  walk_code(code.data(), cb->code_len, cb->n_vars, cb->n_params, cb->data, cb->data_used, table_start, &sites);
  struct Reloc {
    int32_t offset, kind;
    IdentEntry* name;
  };
  std::vector<Reloc> relocs;
  for (const HandleSite& site : sites) {
    uint32_t handle = inst_word(code.data(), static_cast<int>(site.offset));
    if (!handle) continue;
    const char* n = handle_name(handle, site.kind);
    put_word(code.data(), 0, static_cast<int>(site.offset));
    if (!n || !*n) continue;
    relocs.push_back({static_cast<int32_t>(site.offset), site.kind, ident_hash(n, 0, 0, MSG_LONGJMP)});
  }
  for (uint32_t at = 0; at < cb->code_len;) {
    uint8_t* p = code.data() + at;
    if (*p == OP_END) break;
    uint32_t size = inst_size(p);
    if (!size) break;
    if (*p == OP_LINE_BREAK) *p = OP_LINE;
    if (*p == OP_SOURCE_BREAK) *p = OP_SOURCE;
    if (*p == OP_FOR_INIT || *p == OP_FOR_INIT_STEP) std::memset(p + 8, 0, size - 8);
    if (*p == OP_MAKE_NAMED_STRUCT && p[1]) {
      // Constructors with fields carry their tag names: the definition may not exist yet
      // where the routine is restored.
      auto* sname = static_cast<IdentEntry*>(handle_ptr(inst_word(cb->code + at)));
      const std::vector<IdentEntry*>* tags = sname ? compiled_struct_tags(sname) : nullptr;
      StructDef* sd = sname ? find_structure_def(sname) : nullptr;
      for (int k = 0; k < p[1]; k++) {
        IdentEntry* tn = nullptr;
        if (tags && static_cast<size_t>(k) < tags->size()) tn = (*tags)[static_cast<size_t>(k)];
        else if (sd && k < sd->n_tags && sd->tags[k].tag) tn = sd->tags[k].tag->ident;
        if (tn) relocs.push_back({static_cast<int32_t>(at), RK_STRUCT_TAG, tn});
      }
    }
    at += size;
  }
  int32_t n_relocs = static_cast<int32_t>(relocs.size());
  s.x_long(n_relocs);
  int32_t code_len = static_cast<int32_t>(cb->code_len);
  s.x_long(code_len);
  int32_t image = code_image_kind();
  s.x_long(image);
  s.x_opaque(code.data(), cb->code_len);
  for (Reloc& r : relocs) {
    s.x_long(r.offset);
    s.x_long(r.kind);
    s.x_id(r.name);
  }
}

CodeBlock* sr_read_routine(SaveStream& s, bool (*active)(const CodeBlock*)) {
  RoutineHeader h;
  s.x_id(h.name);
  s.x_long(h.code_cap);
  s.x_long(h.n_vars);
  s.x_long(h.n_params);
  s.x_long(h.flags);
  s.x_short(h.for_chain);
  s.x_long(h.n_commons);
  s.x_long(h.n_entries);
  s.x_long(h.first_entry);
  if (!h.name || h.n_params < 0 || h.n_params > 255 || h.n_vars < h.n_params || h.n_vars > 65535 / VAR_SLOT_SIZE ||
      h.n_commons < 0 || h.n_entries < 0 || h.code_cap < 1 || h.code_cap > 65536 ||
      (h.flags & ~static_cast<int32_t>(CB_FUNCTION | CB_KEYWORDS | CB_EXTRA)))
    unexpected_item();
  const bool is_function = h.flags & CB_FUNCTION;
  CodeBlock* existing = find_user_routine(h.name, is_function);
  if (existing && active && active(existing)) message(M_RESTORE_ACTIVE, 0, MSG_LONGJMP, h.name->name);
  const uint32_t table_start = table_start_for(static_cast<uint32_t>(h.n_params));
  const uint64_t data_len = table_start + uint64_t(h.n_entries) * sizeof(VarEntry);
  if (data_len > 65535 || h.first_entry < -1 || h.first_entry >= h.n_entries) unexpected_item();
  s.need(uint64_t(h.n_params) * 4 + uint64_t(h.n_commons) * 8 + uint64_t(h.n_entries) * 16);

  std::vector<IdentEntry*> kws(static_cast<size_t>(h.n_params));
  for (IdentEntry*& kw : kws) s.x_id(kw);
  std::vector<std::pair<IdentEntry*, int32_t>> commons(static_cast<size_t>(h.n_commons));
  for (auto& c : commons) {
    s.x_id(c.first);
    s.x_long(c.second);
    if (!c.first || c.second < 1 || c.second > 65535 / VAR_SLOT_SIZE) unexpected_item();
  }
  struct EntryRead {
    IdentEntry* name;
    int32_t common, next, slot;
  };
  std::vector<EntryRead> entries(static_cast<size_t>(h.n_entries));
  for (EntryRead& e : entries) {
    s.x_id(e.name);
    s.x_long(e.common);
    s.x_long(e.next);
    s.x_long(e.slot);
    if (e.common < 0 || e.common > h.n_commons || e.next < -1 || e.next >= h.n_entries || e.slot < -1 ||
        e.slot % VAR_SLOT_SIZE)
      unexpected_item();
    if (e.slot >= 0) {
      const int32_t limit = e.common ? commons[static_cast<size_t>(e.common) - 1].second : h.n_vars;
      if (e.slot / VAR_SLOT_SIZE >= limit || !e.name) unexpected_item();
    } else if (e.common) {
      unexpected_item();
    }
  }
  // The name-ordered list must end.
  int32_t steps = 0;
  for (int32_t i = h.first_entry; i >= 0; i = entries[static_cast<size_t>(i)].next)
    if (++steps > h.n_entries || !entries[static_cast<size_t>(i)].name) unexpected_item();

  int32_t n_relocs = 0, code_len = 0;
  s.x_long(n_relocs);
  s.x_long(code_len);
  int32_t image = 0;
  s.x_long(image);
  // Code written by a host of another byte order or value layout cannot be run here.
  if (code_len < 1 || code_len > h.code_cap || n_relocs < 0 || image != code_image_kind()) unexpected_item();
  s.need(uint64_t(code_len) + uint64_t(n_relocs) * 12);
  std::vector<uint8_t> code(static_cast<size_t>(code_len) + 16, 0);
  s.x_opaque(code.data(), static_cast<uint32_t>(code_len));
  struct RelocRead {
    int32_t offset, kind;
    IdentEntry* name;
  };
  std::vector<RelocRead> relocs(static_cast<size_t>(n_relocs));
  for (RelocRead& r : relocs) {
    s.x_long(r.offset);
    s.x_long(r.kind);
    s.x_id(r.name);
    if (!r.name || r.offset < 0 || r.offset >= code_len) unexpected_item();
  }

  // Rebuild the data area exactly as it was: PUSH_COMMON operands are entry offsets.
  std::vector<uint8_t> data(static_cast<size_t>(data_len), 0);
  std::vector<CommonBlock*> blocks;
  for (auto& c : commons) {
    CommonBlock* blk = enter_common(c.first, c.second, true);
    if (!blk) message(M_RESTORE_STOPPED, 0, MSG_LONGJMP);
    blocks.push_back(blk);
  }
  for (size_t i = 0; i < kws.size(); i++) std::memcpy(data.data() + i * 8, &kws[i], sizeof(IdentEntry*));
  uint16_t free_head = 0;
  for (size_t i = entries.size(); i-- > 0;) {
    const EntryRead& e = entries[i];
    VarEntry ve{};
    ve.ident = e.name;
    ve.common = e.common ? blocks[static_cast<size_t>(e.common) - 1] : nullptr;
    ve.slot = e.slot < 0 ? SLOT_UNASSIGNED : static_cast<uint16_t>(e.slot);
    const auto offset = static_cast<uint16_t>(table_start + i * sizeof(VarEntry));
    if (e.name) {
      ve.next = e.next < 0 ? 0 : static_cast<uint16_t>(table_start + static_cast<uint32_t>(e.next) * sizeof(VarEntry));
    } else {
      ve.next = free_head;
      free_head = offset;
    }
    std::memcpy(data.data() + offset, &ve, sizeof ve);
  }

  std::vector<HandleSite> sites;
  if (!walk_code(code.data(), static_cast<uint32_t>(code_len), static_cast<uint32_t>(h.n_vars),
                 static_cast<uint32_t>(h.n_params), data.data(), static_cast<uint32_t>(data_len), table_start, &sites))
    unexpected_item();
  // Common references must name entries that are in a block.
  for (uint32_t at = 0; at < static_cast<uint32_t>(code_len);) {
    const uint8_t* p = code.data() + at;
    if (*p == OP_END) break;
    if (inst_def[*p].form == OperandForm::COMMON) {
      VarEntry ve;
      std::memcpy(&ve, data.data() + inst_u16(p), sizeof ve);
      if (!ve.common || ve.slot == SLOT_UNASSIGNED) unexpected_item();
    }
    at += inst_size(p);
  }
  std::map<uint32_t, const HandleSite*> by_offset;
  for (const HandleSite& site : sites) by_offset[site.offset] = &site;
  std::set<uint32_t> patched;
  std::map<uint32_t, std::vector<IdentEntry*>> struct_tags;
  for (const RelocRead& r : relocs) {
    const auto off = static_cast<uint32_t>(r.offset);
    if (r.kind == RK_STRUCT_TAG) {
      if (code[off] != OP_MAKE_NAMED_STRUCT) unexpected_item();
      struct_tags[off].push_back(r.name);
      continue;
    }
    auto it = by_offset.find(off);
    if (it == by_offset.end() || it->second->kind != r.kind || !patched.insert(off).second) unexpected_item();
    uint32_t handle = 0;
    switch (r.kind) {
      case RK_SYSVAR: {
        void* sv = compiler_hooks.find_sysvar ? compiler_hooks.find_sysvar(r.name) : nullptr;
        if (!sv) message(M_BAD_SYSVAR_NAME, 0, MSG_LONGJMP, r.name->name);
        handle = code_handle(sv);
        break;
      }
      case RK_SYSFUN:
      case RK_SYSPRO: {
        const RoutineEntry* re = r.kind == RK_SYSFUN ? is_sys_function(r.name->name) : is_procedure(r.name->name);
        if (!re) message(M_SYSROUTINE_MISSING, 0, MSG_LONGJMP, r.name->name, h.name->name);
        handle = code_handle(re);
        break;
      }
      case RK_USERFUN:
      case RK_USERPRO:
        handle = code_handle(enter_proc_name(r.name, r.kind == RK_USERFUN ? &ufuntab : &uprotab));
        break;
      default:
        handle = code_handle(r.name);
        break;
    }
    put_word(code.data(), handle, static_cast<int>(off));
  }
  for (const HandleSite& site : sites)
    if (!site.may_be_zero && !patched.count(site.offset)) unexpected_item();
  for (auto& [off, tags] : struct_tags) {
    if (tags.size() != code[off + 1]) unexpected_item();
    auto* sname = static_cast<IdentEntry*>(handle_ptr(inst_word(code.data() + off)));
    if (!sname) unexpected_item();
    if (int code_msg = compile_named_struct(sname, static_cast<int>(tags.size()), tags.data()))
      message(code_msg, 0, MSG_LONGJMP, sname->name);
  }
  if (!sr_stack_balanced(code.data(), static_cast<uint32_t>(code_len), is_function)) unexpected_item();
  // FOR state saved on recursion: 2 words per FOR_INIT, 3 per FOR_INIT_STEP.
  uint32_t for_save = 0;
  for (uint32_t at = 0; at < static_cast<uint32_t>(code_len);) {
    const uint8_t* p = code.data() + at;
    if (*p == OP_END) break;
    if (*p == OP_FOR_INIT) for_save += 2;
    if (*p == OP_FOR_INIT_STEP) for_save += 3;
    at += inst_size(p);
  }
  const auto for_chain = static_cast<uint16_t>(h.for_chain);
  if (for_chain && (for_chain >= code_len || (code[for_chain] != OP_FOR_INIT && code[for_chain] != OP_FOR_INIT_STEP)))
    unexpected_item();

  std::unique_ptr<CodeBlock, void (*)(CodeBlock*)> area(
      new_program_area(h.name, static_cast<uint32_t>(h.code_cap), static_cast<uint32_t>(data_len)),
      free_program_area);
  std::memcpy(area->code, code.data(), static_cast<size_t>(code_len));
  std::memcpy(area->data, data.data(), data.size());
  area->code_len = static_cast<uint32_t>(code_len);
  area->data_used = static_cast<uint32_t>(data_len);
  area->n_vars = static_cast<uint32_t>(h.n_vars);
  area->n_params = static_cast<uint32_t>(h.n_params);
  area->flags = static_cast<uint32_t>(h.flags);
  area->var_head = h.first_entry < 0 ? 0 : static_cast<uint16_t>(table_start + static_cast<uint32_t>(h.first_entry) * sizeof(VarEntry));
  area->free_head = free_head;
  area->for_chain = for_chain;
  area->for_save = static_cast<uint16_t>(for_save);
  area->last_source = NO_SOURCE;
  return save_program(area.get());
}

namespace {

// What an instruction takes from and leaves on the operand stack (values below the
// ones it takes stay), and where control goes after it.
struct StackUse {
  int32_t need = 0, net = 0;
  bool falls_through = true;
  int64_t branch = -1, branch2 = -1;  // further successors
  int32_t branch2_depth = -1;          // >= 0: the stack depth the second one starts at
  int32_t branch_net = 0;              // the first branch leaves net + branch_net
};

StackUse stack_use(const uint8_t* code, uint32_t at, uint32_t len) {
  // The operands are read from a zero-padded copy: a short instruction at the end of the
  // code has no bytes where the longer forms keep theirs.
  uint8_t p[8] = {};
  std::memcpy(p, code + at, std::min<uint32_t>(sizeof p, len - at));
  const uint8_t op = p[0];
  const uint16_t u = inst_u16(p);
  const OperandForm form = inst_def[op].form;
  const bool subscripted =
      form == OperandForm::SUBSCR || form == OperandForm::SYSVAR_SUBSCR || form == OperandForm::TAG_SUBSCR;
  // At most one subscript per dimension; more can never be satisfied.
  const int32_t subs = !subscripted ? 0 : p[1] <= MAX_DIMS ? subscript_operand_count(p[1], u) : INT32_MAX / 2;
  const bool tag_on_stack = inst_word(p) == 0;
  StackUse s;
  auto take = [&](int32_t need, int32_t push) {
    s.need = need;
    s.net = push - need;
  };
  switch (op) {
    case OP_PUSH_LOCAL: case OP_PUSH_COMMON: case OP_PUSH_PARAM: case OP_LOAD_SYSVAR: case OP_PUSH_CONST:
    case OP_PUSH_CONST_REF: case OP_PUSH_STRING: case OP_FETCH_TAGS:
      take(0, 1); break;
    case OP_LOAD_SUBSCRIPTED: case OP_SUBSCRIPT_EXPR: take(subs + 1, 1); break;
    case OP_LOAD_SYSVAR_SUBSCRIPTED: take(subs, 1); break;
    case OP_STORE: take(2, 0); break;
    case OP_STORE_SYSVAR: case OP_POP: case OP_STORE_TAGS: case OP_STRUCT_BASE: take(1, 0); break;
    case OP_STORE_SUBSCRIPTED: take(subs + 2, 0); break;
    case OP_STORE_SYSVAR_SUBSCRIPTED: case OP_STRUCT_BASE_SUBSCRIPTED: take(subs + 1, 0); break;
    case OP_SYSVAR_STRUCT_BASE_SUBSCRIPTED: take(subs, 0); break;
    case OP_ADD: case OP_SUB: case OP_MUL: case OP_DIV: case OP_MIN: case OP_MAX: case OP_POWER: case OP_MOD:
    case OP_AND: case OP_OR: case OP_XOR: case OP_EQ: case OP_NE: case OP_LE: case OP_LT: case OP_GE: case OP_GT:
    case OP_MATRIX_MULTIPLY:
      take(2, 1); break;
    case OP_NEGATE: case OP_NOT: case OP_EXECUTE: take(1, 1); break;
    case OP_JUMP: s.falls_through = false; s.branch = at + u; break;
    case OP_JUMP_BACK: s.falls_through = false; s.branch = at - u; break;
    case OP_JUMP_IF_FALSE: take(1, 0); s.branch = at + u; break;
    case OP_JUMP_BACK_IF_FALSE: take(1, 0); s.branch = at - u; break;
    case OP_ASSIGN_EXPR: take(p[1] + 1, p[1] + 2); break;
    case OP_FOR_INIT: case OP_FOR_INIT_STEP:
      take(op == OP_FOR_INIT ? 3 : 4, 0);
      s.branch = at + u;  // the FOR_NEXT, when the loop runs no time
      break;
    case OP_FOR_NEXT: case OP_FOR_NEXT_STEP: s.branch = at - u + inst_size(code + at - u); break;
    case OP_CASE_TEST:
      take(2, 0);               // a match takes the selector and the label
      s.branch = at + u;        // no match: the selector stays
      s.branch_net = 1;
      break;
    case OP_CASE_NOMATCH: s.falls_through = false; break;
    case OP_CONCATENATE: take(p[2], 1); break;
    case OP_CALL_SYSFUN: case OP_CALL_USERFUN: take(p[1], 1); break;
    case OP_CALL_SYSPRO: case OP_CALL_USERPRO: take(p[1], 0); break;
    case OP_STOP: take(p[1], 0); break;
    case OP_TAG: take(tag_on_stack ? 1 : 0, 0); break;
    case OP_TAG_SUBSCRIPTED: take(subs + (tag_on_stack ? 1 : 0), 0); break;
    case OP_MAKE_STRUCT: case OP_MAKE_NAMED_STRUCT: take(p[1], 1); break;
    case OP_SET_IOERROR: case OP_SET_IOERROR_BACK:
      // An I/O error resumes at the target with the statement's stack.
      if (u) s.branch2 = op == OP_SET_IOERROR ? at + u : static_cast<int64_t>(at) - u;
      s.branch2_depth = 0;
      break;
    case OP_END: case OP_RETURN: case OP_IMPLICIT_RETURN: s.falls_through = false; break;
    default: break;  // statement markers, SYSVAR_STRUCT_BASE, RETALL, padding
  }
  return s;
}

}  // namespace

bool sr_stack_balanced(const uint8_t* code, uint32_t len, bool is_function) {
  std::vector<int32_t> depth(len, -1);
  std::vector<uint32_t> work;
  auto reach = [&](int64_t to, int32_t d) {
    if (to < 0 || to >= len || d < 0) return false;
    const auto i = static_cast<uint32_t>(to);
    if (depth[i] < 0) {
      depth[i] = d;
      work.push_back(i);
      return true;
    }
    return depth[i] == d;  // every path reaches an instruction with the same stack
  };
  // Code reached by no branch can still be entered at a statement boundary (skipping
  // statements), with the statement's stack.
  std::vector<uint32_t> starts;
  for (uint32_t at = 0; at < len;) {
    starts.push_back(at);
    const uint32_t size = code[at] == OP_END ? 1 : inst_size(code + at);
    if (!size) return false;
    at += size;
  }
  if (!reach(0, 0)) return false;
  for (size_t next_start = 0;;) {
    while (!work.empty()) {
      const uint32_t at = work.back();
      work.pop_back();
      const uint8_t op = code[at];
      const int32_t d = depth[at];
      const StackUse s = stack_use(code, at, len);
      if (d < s.need) return false;
      const int32_t after = d + s.net;
      if (op == OP_END || op == OP_IMPLICIT_RETURN) {
        if (d != 0) return false;
      } else if (op == OP_RETURN) {
        if (d != (is_function ? 1 : 0)) return false;
      }
      if (s.falls_through && !reach(at + (op == OP_END ? 1 : inst_size(code + at)), after)) return false;
      if (s.branch >= 0 && !reach(s.branch, after + s.branch_net)) return false;
      if (s.branch2 >= 0 && !reach(s.branch2, s.branch2_depth)) return false;
    }
    while (next_start < starts.size()) {
      const uint32_t at = starts[next_start++];
      const uint8_t op = code[at];
      if (depth[at] < 0 && (op == OP_LINE || op == OP_SOURCE)) {
        reach(at, 0);
        break;
      }
    }
    if (work.empty()) return true;
  }
}

bool sr_code_valid(const uint8_t* code, uint32_t len, uint32_t n_vars, uint32_t n_params, const uint8_t* data,
                   uint32_t data_len, uint32_t table_start) {
  std::vector<uint8_t> copy(code, code + len);
  copy.resize(len + 16, 0);
  return walk_code(copy.data(), len, n_vars, n_params, data, data_len, table_start, nullptr);
}
