// Unformatted transfers (READU, WRITEU): values move as they lie in memory, or on XDR
// units through the XDR primitives (big-endian, padded to 4 bytes; strings carry their
// length; byte data is one counted opaque block).
#include "io/unformatted.h"

#include <rpc/types.h>
#include <rpc/xdr.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/message.h"
#include "values/strings.h"
#include "values/struct.h"

namespace {

// The unit a transfer works on, with its low-level movers.
class UnitStream {
 public:
  UnitStream(int unit, FileRec* f, bool input)
      : unit_(unit), f_(f), stream_(!input && (f->attributes & FA_PIPE) && f->stream2 ? f->stream2 : f->stream) {}

  void write(const void* p, size_t n) {
    if (n == 0) return;
    size_t done;
    if (f_->attributes & FA_NOSTDIO)
      done = io_unix_nostdio_fwrite(p, 1, n, unit_);
    else if (f_->attributes & (FA_TTY | FA_PIPE))
      done = io_unix_special_fwrite(p, 1, n, stream_);
    else
      done = fwrite(p, 1, n, stream_);
    if (done != n) message(M_WRITE_ERROR, 0, MSG_IOERROR, unit_, f_->name);
  }

  // Reads n bytes; a short read reports end of file or the error after `partial` has
  // been told how many bytes did arrive.
  void read(void* p, size_t n, void (*partial)(void* ctx, size_t got) = nullptr, void* ctx = nullptr) {
    if (n == 0) return;
    size_t done;
    if (f_->attributes & FA_NOSTDIO)
      done = io_unix_nostdio_fread(p, 1, n, unit_);
    else if (f_->attributes & (FA_TTY | FA_PIPE))
      done = io_unix_special_fread(p, 1, n, stream_);
    else
      done = fread(p, 1, n, stream_);
    if (done == n) return;
    if (partial) partial(ctx, done);
    failed_read();
  }

  [[noreturn]] void failed_read() {
    const bool eof = (f_->attributes & FA_NOSTDIO) || feof(stream_);
    message(eof ? M_IO_EOF : M_READ_ERROR, 0, MSG_IOERROR, unit_, f_->name);
    throw VekJump{MSG_IOERROR, M_READ_ERROR};
  }
  [[noreturn]] void failed_write() {
    message(M_WRITE_ERROR, 0, MSG_IOERROR, unit_, f_->name);
    throw VekJump{MSG_IOERROR, M_WRITE_ERROR};
  }

  XDR* xdr() const { return f_->xdrs; }

 private:
  int unit_;
  FileRec* f_;
  FILE* stream_;
};

// ---- Native -------------------------------------------------------------------------

// The elements of a failing read that arrived whole still count as moved.
struct PartialCount {
  FileRec* f;
  int32_t before;
  size_t elem_size;
};
void count_partial(void* ctx, size_t got) {
  auto* pc = static_cast<PartialCount*>(ctx);
  pc->f->transfer_count = pc->before + static_cast<int32_t>(got / pc->elem_size);
}

// n elements of `type` (not structures) at p.
void native_block(UnitStream& s, bool input, int type, uint8_t* p, uint32_t n, PartialCount* pc) {
  if (type != TYP_STRING) {
    const size_t bytes = static_cast<size_t>(n) * static_cast<size_t>(type_size[type]);
    if (!input) {
      s.write(p, bytes);
    } else if (pc) {
      pc->elem_size = static_cast<size_t>(type_size[type]);
      s.read(p, bytes, count_partial, pc);
    } else {
      s.read(p, bytes);
    }
    return;
  }
  // A string moves its characters; on input it keeps its length and is refilled.
  auto* sd = reinterpret_cast<StringDesc*>(p);
  for (uint32_t i = 0; i < n; i++) {
    if (!sd[i].length) continue;
    if (input) {
      if (!sd[i].owned) {
        sd[i].owned = 1;
        dup_str(&sd[i], 1);
      }
      s.read(sd[i].chars, sd[i].length);
    } else {
      s.write(sd[i].chars, sd[i].length);
    }
  }
}

void native_records(UnitStream& s, bool input, const StructDef* sdef, uint8_t* data, uint32_t n) {
  for (uint32_t r = 0; r < n; r++) {
    uint8_t* rec = data + static_cast<size_t>(r) * static_cast<size_t>(sdef->length);
    for (int t = 0; t < sdef->n_tags; t++) {
      const TagEntry& tag = sdef->tags[t];
      const uint32_t count = tag.desc.has_desc() ? tag.desc.arr()->n_elts : 1;
      if (tag.desc.is_struct())
        native_records(s, input, tag.desc.sdef(), rec + tag.offset, count);
      else
        native_block(s, input, tag.desc.type, rec + tag.offset, count, nullptr);
    }
  }
}

// ---- XDR ----------------------------------------------------------------------------

bool xdr_vek_string(XDR* x, StringDesc* sd) {
  short len = static_cast<short>(sd->length);
  if (!xdr_short(x, &len)) return false;
  const uint16_t n = static_cast<uint16_t>(len);
  if (n == 0) {
    if (x->x_op == XDR_DECODE) del_str(sd, 1);
    return true;
  }
  u_int count = n;
  if (!xdr_u_int(x, &count) || count != n) return false;
  if (x->x_op == XDR_DECODE) str_ensure_length(sd, n);
  return xdr_opaque(x, sd->chars, n);
}

bool xdr_block(XDR* x, int type, uint8_t* p, uint32_t n) {
  switch (type) {
    case TYP_BYTE: {
      // One counted opaque block for all the bytes.
      u_int count = n;
      if (!xdr_u_int(x, &count) || count != n) return false;
      return xdr_opaque(x, reinterpret_cast<char*>(p), n);
    }
    case TYP_INT:
      for (uint32_t i = 0; i < n; i++)
        if (!xdr_short(x, reinterpret_cast<short*>(p) + i)) return false;
      return true;
    case TYP_LONG:
      for (uint32_t i = 0; i < n; i++)
        if (!xdr_int(x, reinterpret_cast<int*>(p) + i)) return false;
      return true;
    case TYP_FLOAT:
    case TYP_COMPLEX: {
      const uint32_t floats = type == TYP_COMPLEX ? 2 * n : n;
      for (uint32_t i = 0; i < floats; i++)
        if (!xdr_float(x, reinterpret_cast<float*>(p) + i)) return false;
      return true;
    }
    case TYP_DOUBLE:
      for (uint32_t i = 0; i < n; i++)
        if (!xdr_double(x, reinterpret_cast<double*>(p) + i)) return false;
      return true;
    case TYP_STRING:
      for (uint32_t i = 0; i < n; i++)
        if (!xdr_vek_string(x, reinterpret_cast<StringDesc*>(p) + i)) return false;
      return true;
    default: return false;
  }
}

bool xdr_records(XDR* x, const StructDef* sdef, uint8_t* data, uint32_t n) {
  for (uint32_t r = 0; r < n; r++) {
    uint8_t* rec = data + static_cast<size_t>(r) * static_cast<size_t>(sdef->length);
    for (int t = 0; t < sdef->n_tags; t++) {
      const TagEntry& tag = sdef->tags[t];
      const uint32_t count = tag.desc.has_desc() ? tag.desc.arr()->n_elts : 1;
      bool ok = tag.desc.is_struct() ? xdr_records(x, tag.desc.sdef(), rec + tag.offset, count)
                                     : xdr_block(x, tag.desc.type, rec + tag.offset, count);
      if (!ok) return false;
    }
  }
  return true;
}

}  // namespace

int32_t unformatted_transfer(int unit, FileRec* f, bool input, bool xdr, int n, Variable* args[]) {
  for (int i = 0; i < n; i++) {
    Variable* v = args[i];
    if (v->type == TYP_UNDEF) var_error(M_UNDEFINED, v, MSG_LONGJMP);
    if (v->is_file()) var_error(M_NO_FILE, v, MSG_LONGJMP);
  }
  if (xdr && !f->xdrs) message(M_INTERNAL, 0, MSG_LONGJMP, "XDR transfer on a unit without an XDR stream");
  UnitStream s(unit, f, input);
  int32_t moved = 0;
  for (int i = 0; i < n; i++) {
    Variable* v = args[i];
    auto* data = static_cast<uint8_t*>(v->data_ptr());
    const uint32_t count = v->n_elts();
    if (input && v->type == TYP_STRING) v->flags |= FLAG_DYNAMIC;
    if (xdr) {
      errno = 0;
      bool ok = v->is_struct() ? xdr_records(s.xdr(), v->sdef(), data, count) : xdr_block(s.xdr(), v->type, data, count);
      if (!ok) input ? s.failed_read() : s.failed_write();
    } else if (v->is_struct()) {
      native_records(s, input, v->sdef(), data, count);
    } else {
      PartialCount pc{f, moved, 1};
      native_block(s, input, v->type, data, count, &pc);
    }
    moved += static_cast<int32_t>(count);
    f->transfer_count = moved;  // kept up to date for a transfer that fails part way
  }
  return moved;
}
