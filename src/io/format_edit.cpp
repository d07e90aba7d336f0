// Walking a compiled format: the data codes' output and input editing, the positioning
// and record codes, repeat counts, groups and reversion.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/message.h"
#include "io/format.h"
#include "values/convert.h"
#include "values/strings.h"

bool (*io_interrupt_requested)() = nullptr;

void report_end_of_input(const RecordIo& io) {
  if (io.at_end) io.at_end(io.ctx);
  message(M_FMT_END_RECORD, 0, MSG_IOERROR, io.unit);
  throw VekJump{MSG_IOERROR, M_FMT_END_RECORD};
}

namespace {

// One element of a transfer. The parts of a complex value are FLOAT elements.
struct Item {
  int type;
  void* p;
};

// The elements of the transfer's variables, in order.
class Elements {
 public:
  Elements(int n, Variable* const* vars) : n_(n), vars_(vars) {}
  bool more() const { return vi_ < n_; }
  Variable* var() const { return vars_[vi_]; }
  uint32_t index() const { return ei_; }

  Item take() {
    Variable* v = vars_[vi_];
    auto* base = static_cast<uint8_t*>(v->data_ptr());
    Item it;
    if (v->type == TYP_COMPLEX) {
      it = {TYP_FLOAT, base + ei_ * 8 + static_cast<uint32_t>(part_) * 4};
      if (++part_ < 2) return it;
      part_ = 0;
    } else {
      it = {v->type, base + static_cast<size_t>(ei_) * static_cast<size_t>(type_size[v->type])};
    }
    if (++ei_ >= v->n_elts()) {
      ei_ = 0;
      vi_++;
    }
    return it;
  }

 private:
  int n_;
  Variable* const* vars_;
  int vi_ = 0;
  uint32_t ei_ = 0;
  int part_ = 0;
};

// Elements [from, n) of v become zero or empty.
void zero_from(Variable* v, uint32_t from) {
  const uint32_t n = v->n_elts();
  if (from >= n) return;
  auto* base = static_cast<uint8_t*>(v->data_ptr());
  if (v->type == TYP_STRING) {
    del_str(reinterpret_cast<StringDesc*>(base) + from, n - from);
  } else {
    const size_t size = static_cast<size_t>(type_size[v->type]);
    memset(base + from * size, 0, (n - from) * size);
  }
}

// The text of any element: a string's characters, other types through STRING's rules.
std::string item_text(const Item& it) {
  if (it.type == TYP_STRING) {
    auto* sd = static_cast<const StringDesc*>(it.p);
    return std::string(str_chars(*sd), sd->length);
  }
  StringDesc sd{0, 0, nullptr};
  convert(it.p, &sd, 1, it.type, TYP_STRING);
  std::string s(str_chars(sd), sd.length);
  del_str(&sd, 1);
  return s;
}

// Right-justifies text in w columns; w 0 keeps its natural width; text that does not
// fit becomes w asterisks.
std::string fit(std::string s, int w) {
  if (w <= 0) return s;
  const size_t width = static_cast<size_t>(w);
  if (s.size() > width) return std::string(width, '*');
  return std::string(width - s.size(), ' ') + s;
}

// ---- Output editing -----------------------------------------------------------------

std::string edit_integer(const FormatNode& nd, const Item& it) {
  int64_t v;
  uint64_t mask = 0xffffffffu;
  int default_width = 12;
  switch (it.type) {
    case TYP_BYTE:
      v = *static_cast<const uint8_t*>(it.p);
      mask = 0xff;
      default_width = 7;
      break;
    case TYP_INT:
      v = *static_cast<const int16_t*>(it.p);
      mask = 0xffff;
      default_width = 7;
      break;
    case TYP_LONG: v = *static_cast<const int32_t*>(it.p); break;
    default: {
      int32_t l = 0;
      convert(it.p, &l, 1, it.type, TYP_LONG);
      v = l;
      break;
    }
  }
  char buf[64];
  const int m = nd.digits < 0 ? 1 : nd.digits;
  if (nd.kind == FK_I) {
    snprintf(buf, sizeof buf, "%.*lld", m, static_cast<long long>(v));
  } else {
    const char* conversion = nd.kind == FK_O ? "%.*llo" : nd.kind == FK_Z ? "%.*llX" : "%.*llx";
    snprintf(buf, sizeof buf, conversion, m, static_cast<unsigned long long>(static_cast<uint64_t>(v) & mask));
  }
  return fit(buf, nd.width < 0 ? default_width : nd.width);
}

double item_double(const Item& it) {
  switch (it.type) {
    case TYP_FLOAT: return *static_cast<const float*>(it.p);
    case TYP_DOUBLE: return *static_cast<const double*>(it.p);
    default: {
      double d = 0;
      convert(it.p, &d, 1, it.type, TYP_DOUBLE);
      return d;
    }
  }
}

// Rewrites the exponent of an edited real with exactly `digits` digits; false when the
// exponent needs more.
bool set_exponent_width(std::string& s, int digits) {
  size_t e = s.find_first_of("eE");
  if (e == std::string::npos || e + 1 >= s.size()) return true;
  size_t d = e + 2;  // after the sign
  std::string exp = s.substr(d);
  size_t nz = exp.find_first_not_of('0');
  std::string sig = nz == std::string::npos ? std::string("0") : exp.substr(nz);
  if (sig.size() > static_cast<size_t>(digits)) return false;
  s = s.substr(0, d) + std::string(static_cast<size_t>(digits) - sig.size(), '0') + sig;
  return true;
}

std::string edit_real(const FormatNode& nd, const Item& it) {
  const bool single = it.type == TYP_FLOAT;
  const double x = item_double(it);
  int w = nd.width, d = nd.digits;
  if (w < 0) {
    w = single ? 15 : 25;
    d = single ? 7 : 16;
  }
  char conv = 'f';
  switch (nd.kind) {
    case FK_e: conv = 'e'; break;
    case FK_E: conv = 'E'; break;
    case FK_g: conv = 'g'; break;
    case FK_G: conv = 'G'; break;
    default: break;
  }
  const char conversion[] = {'%', '#', '.', '*', conv, '\0'};
  std::vector<char> buf(static_cast<size_t>(d) + 400);
  int n = snprintf(buf.data(), buf.size(), conversion, d, x);
  if (!std::isfinite(x)) name_nonfinite(buf.data(), n);
  std::string s = buf.data();
  if (nd.exp_width > 0 && conv != 'f' && !set_exponent_width(s, nd.exp_width))
    return std::string(static_cast<size_t>(std::max(w, 1)), '*');
  return fit(s, w);
}

std::string edit_text(const FormatNode& nd, const Item& it) {
  std::string s = item_text(it);
  if (nd.width <= 0) return s;
  const size_t w = static_cast<size_t>(nd.width);
  if (s.size() >= w) return s.substr(0, w);
  return std::string(w - s.size(), ' ') + s;
}

// ---- Records ------------------------------------------------------------------------

// The output record being built, with its column.
struct OutRecord {
  std::string text;
  size_t pos = 0;

  void write(const char* s, size_t n) {
    if (pos + n > MAX_FORMAT_RECORD) message(M_FMT_BUFFER_FULL, 0, MSG_IOERROR);
    if (pos > text.size()) text.resize(pos, ' ');
    text.replace(pos, std::min(n, text.size() - pos), s, n);
    pos += n;
  }
};

// The input record being read, with its column.
struct InRecord {
  std::string text;
  size_t pos = 0;

  size_t left() const { return pos < text.size() ? text.size() - pos : 0; }
  // The next w characters (fewer at the end), or with w 0 the text after blanks, tabs
  // and commas up to the next of them.
  std::string field(int w) {
    if (w > 0) {
      std::string f = pos < text.size() ? text.substr(pos, static_cast<size_t>(w)) : std::string();
      pos += static_cast<size_t>(w);
      return f;
    }
    auto sep = [](char c) { return c == ' ' || c == '\t' || c == ','; };
    pos = std::min(pos, text.size());  // a wide field may have run past the end
    while (pos < text.size() && sep(text[pos])) pos++;
    size_t start = pos;
    while (pos < text.size() && !sep(text[pos])) pos++;
    return text.substr(start, pos - start);
  }
};

// ---- Input editing ------------------------------------------------------------------

// Stores a LONG or DOUBLE into an element of another type.
void store_converted(const Item& it, const void* value, int from_type) {
  if (it.type == TYP_STRING) {
    auto* sd = static_cast<StringDesc*>(it.p);
    del_str(sd, 1);
  }
  convert(value, it.p, 1, from_type, it.type);
}

// Edits one input field into it; false when the field does not convert.
bool edit_input(const FormatNode& nd, const Item& it, InRecord& rec, std::string& field) {
  const bool narrow_int = it.type == TYP_BYTE || it.type == TYP_INT;
  switch (nd.kind) {
    case FK_I:
    case FK_O:
    case FK_z:
    case FK_Z: {
      field = rec.field(nd.width < 0 ? (narrow_int ? 7 : 12) : nd.width);
      int32_t v = 0;
      int got;
      if (nd.kind == FK_I) {
        got = sscanf(field.c_str(), "%d", &v);
      } else {
        unsigned u = 0;
        got = sscanf(field.c_str(), nd.kind == FK_O ? "%o" : "%x", &u);
        v = static_cast<int32_t>(u);
      }
      if (got != 1) return false;
      store_converted(it, &v, TYP_LONG);
      return true;
    }
    case FK_F:
    case FK_e:
    case FK_E:
    case FK_g:
    case FK_G: {
      field = rec.field(nd.width < 0 ? (it.type == TYP_FLOAT ? 15 : 25) : nd.width);
      std::string scan = field;
      DtoEFixup fix;
      flt_d_to_e(scan.data(), false, &fix);
      double d = 0;
      if (sscanf(scan.c_str(), "%lf", &d) != 1) return false;
      store_converted(it, &d, TYP_DOUBLE);
      return true;
    }
    case FK_A: {
      if (nd.width < 0) {
        field = rec.pos < rec.text.size() ? rec.text.substr(rec.pos) : std::string();
        rec.pos = std::max(rec.pos, rec.text.size());
      } else {
        field = rec.field(nd.width);
      }
      if (it.type == TYP_STRING) {
        auto* sd = static_cast<StringDesc*>(it.p);
        del_str(sd, 1);
        str_store_n(sd, field.data(), static_cast<uint32_t>(std::min<size_t>(field.size(), MAX_STRING_LENGTH)));
      } else {
        StringDesc sd{0, 0, nullptr};
        str_store_n(&sd, field.data(), static_cast<uint32_t>(std::min<size_t>(field.size(), MAX_STRING_LENGTH)));
        struct Free {
          StringDesc* s;
          ~Free() { del_str(s, 1); }
        } guard{&sd};
        convert(&sd, it.p, 1, TYP_STRING, it.type);
      }
      return true;
    }
    case FK_Q: {
      int32_t left = static_cast<int32_t>(rec.left());
      store_converted(it, &left, TYP_LONG);
      return true;
    }
    default: message(M_INTERNAL, 0, MSG_LONGJMP, "Unexpected format code in fmt_input");
  }
  return false;
}

// ---- The walk -----------------------------------------------------------------------

void check_values(int n, Variable* const values[]) {
  for (int i = 0; i < n; i++) {
    const Variable* v = values[i];
    if (v->type == TYP_UNDEF) var_error(M_UNDEFINED, v, MSG_LONGJMP);
    if (v->is_struct()) var_error(M_NO_STRUCT_EXPR, v, MSG_LONGJMP);
    if (v->is_file()) var_error(M_NO_FILE, v, MSG_LONGJMP);
  }
}

bool interrupted() { return io_interrupt_requested && io_interrupt_requested(); }

// The format's control flow, shared by output and input: groups with their repeat
// counts, data-code repeats, reversion and the end of the transfer. The record work is
// the caller's (the three callbacks).
class FormatWalk {
 public:
  explicit FormatWalk(FormatState& f) : f_(f) { groups_.push_back({0, 1}); }

  // Moves to the next data code and returns it, performing the other codes through
  // `control`; returns null when the transfer ends (no data left at a data code, a
  // ":" or the end of the format, or end_record returning false). `is_data` tells
  // whether a node consumes data.
  template <typename Control, typename EndRecord, typename IsData>
  const FormatNode* next(bool data_left, Control control, EndRecord end_record, IsData is_data) {
    for (;;) {
      FormatNode& nd = f_.nodes[static_cast<size_t>(cur_)];
      if (is_data(nd.kind)) {
        if (!data_left) return nullptr;
        if (rep_left_ == 0) rep_left_ = nd.repeat;
        consumed_ = true;
        if (--rep_left_ == 0) cur_++;
        return &nd;
      }
      switch (nd.kind) {
        case FK_OPEN:
          groups_.push_back({cur_, nd.repeat});
          cur_++;
          break;
        case FK_CLOSE:
          if (groups_.size() == 1) {
            if (!data_left) return nullptr;
            if (!consumed_) message(M_FMT_LOOP, 0, MSG_IOERROR);
            consumed_ = false;
            if (!end_record(data_left)) return nullptr;
            cur_ = f_.reversion == 0 ? 1 : f_.reversion;
            break;
          }
          if (--groups_.back().left > 0) {
            cur_ = groups_.back().open + 1;
          } else {
            groups_.pop_back();
            cur_++;
          }
          break;
        case FK_SLASH:
          if (!end_record(data_left)) return nullptr;
          cur_++;
          break;
        case FK_COLON:
          if (!data_left) return nullptr;
          cur_++;
          break;
        default:
          control(nd);
          cur_++;
          break;
      }
    }
  }

 private:
  struct Group {
    int open;
    int left;
  };
  FormatState& f_;
  std::vector<Group> groups_;
  int cur_ = 1;
  int rep_left_ = 0;
  bool consumed_ = false;
};

// Column moves shared by both directions.
void move_column(const FormatNode& nd, size_t& pos) {
  switch (nd.kind) {
    case FK_X: pos += static_cast<size_t>(nd.repeat); break;
    case FK_T: pos = static_cast<size_t>(nd.width - 1); break;
    case FK_TL: pos = pos > static_cast<size_t>(nd.width) ? pos - static_cast<size_t>(nd.width) : 0; break;
    case FK_TR: pos += static_cast<size_t>(nd.width); break;
    default: break;
  }
}

}  // namespace

int32_t fmt_output(int n, Variable* const values[], const RecordIo& io) {
  check_values(n, values);
  Elements items(n, values);
  OutRecord rec;
  FormatWalk walk(fmt);
  int32_t moved = 0;
  auto control = [&](const FormatNode& nd) {
    if (nd.kind == FK_TEXT || nd.kind == FK_H)
      rec.write(fmt.text.data() + nd.pos, static_cast<size_t>(nd.width));
    else
      move_column(nd, rec.pos);
  };
  auto end_record = [&](bool) {
    io.put(io.ctx, rec.text.data(), rec.text.size(), true);
    rec.text.clear();
    rec.pos = 0;
    return true;
  };
  auto is_data = [](int kind) { return is_data_code(kind); };
  while (const FormatNode* nd = walk.next(items.more(), control, end_record, is_data)) {
    const Item it = items.take();
    std::string s;
    switch (nd->kind) {
      case FK_I:
      case FK_O:
      case FK_z:
      case FK_Z: s = edit_integer(*nd, it); break;
      case FK_F:
      case FK_e:
      case FK_E:
      case FK_g:
      case FK_G: s = edit_real(*nd, it); break;
      case FK_A: s = edit_text(*nd, it); break;
      default: message(M_INTERNAL, 0, MSG_LONGJMP, "Unexpected format code in fmt_output");
    }
    rec.write(s.data(), s.size());
    moved++;
    if (interrupted()) break;
  }
  io.put(io.ctx, rec.text.data(), rec.text.size(), fmt.n_dollar == 0);
  return moved;
}

int32_t fmt_input(int n, Variable* const targets[], const RecordIo& io) {
  for (int i = 0; i < n; i++) {
    Variable* v = targets[i];
    if (v->is_struct()) var_error(M_NO_STRUCT_EXPR, v, MSG_LONGJMP);
    if (v->is_file()) var_error(M_NO_FILE, v, MSG_LONGJMP);
  }
  Elements items(n, targets);
  InRecord rec;
  // A missing record is an error only while data remain to be read.
  auto read_record = [&](bool needed) {
    rec.text.clear();
    rec.pos = 0;
    if (io.get(io.ctx, rec.text)) return true;
    if (needed) report_end_of_input(io);
    return false;
  };
  if (!read_record(items.more())) return 0;
  FormatWalk walk(fmt);
  int32_t moved = 0;
  auto control = [&](const FormatNode& nd) {
    if (nd.kind == FK_TEXT || nd.kind == FK_H)
      rec.pos += static_cast<size_t>(nd.width);
    else
      move_column(nd, rec.pos);
  };
  auto is_data = [](int kind) { return is_data_code(kind) || kind == FK_Q; };
  while (const FormatNode* nd = walk.next(items.more(), control, read_record, is_data)) {
    Variable* v = items.var();
    if (v->type == TYP_UNDEF) {
      // A target without a value becomes a FLOAT, or a STRING for an A code.
      if (nd->kind == FK_A) {
        StringDesc empty{0, 0, nullptr};
        store_scalar(v, TYP_STRING, &empty);
      } else {
        float zero = 0;
        store_scalar(v, TYP_FLOAT, &zero);
      }
    }
    if (v->type == TYP_STRING) v->flags |= FLAG_DYNAMIC;  // it will own what is read
    const uint32_t index = items.index();
    const Item it = items.take();
    std::string field;
    if (!edit_input(*nd, it, rec, field)) {
      zero_from(v, index);
      message(M_FMT_INPUT, 0, MSG_IOERROR, format_kind_name[nd->kind], field.c_str());
    }
    moved++;
    if (interrupted()) break;
  }
  return moved;
}
