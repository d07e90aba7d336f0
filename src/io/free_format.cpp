// Free-format output (default layouts, wrapping, rows and planes) and input (values
// separated by blanks, tabs and commas).
#include "io/free_format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/message.h"
#include "values/convert.h"
#include "values/strings.h"
#include "values/struct.h"

namespace {

bool interrupted() { return io_interrupt_requested && io_interrupt_requested(); }

bool is_separator(char c) { return c == ' ' || c == '\t' || c == ',' || c == '\n' || c == '\r'; }

}  // namespace

// ---- Output -------------------------------------------------------------------------

// Every finished line polls the interrupt request, so that a long listing stops soon.
void FreeOutput::end_line() {
  io_.put(io_.ctx, line_.data(), line_.size(), true);
  line_.clear();
  lines_++;
  if (interrupted()) stopped_ = true;
}

// An element is placed after ending the line when the line already holds something
// and the element would reach the width.
void FreeOutput::place(const char* text, size_t length, size_t field_width) {
  if (!line_.empty() && line_.size() + field_width >= width_) end_line();
  line_.append(text, length);
}

void FreeOutput::place_string(const StringDesc& s, const Variable* owner) {
  if (s.length > MAX_FREE_STRING) var_error(M_STRING_TOO_LONG, owner, MSG_IOERROR);
  if (!line_.empty() && line_.size() + s.length >= width_) end_line();
  if (!line_.empty()) line_ += ' ';
  line_.append(str_chars(s), s.length);
}

void FreeOutput::place_element(int type, const void* p, const Variable* owner) {
  if (type == TYP_STRING) {
    place_string(*static_cast<const StringDesc*>(p), owner);
  } else {
    char buf[128];
    int n = format_number(buf, sizeof buf, type, p);
    size_t len = static_cast<size_t>(std::clamp(n, 0, static_cast<int>(sizeof buf) - 1));
    place(buf, len, std::max(len, static_cast<size_t>(oform_len[type])));
  }
  moved_++;
}

// Arrays start on a new line, end a line after each run of the first dimension, and
// leave an empty line between planes of the first two dimensions.
bool FreeOutput::array(const Variable* v) {
  const ArrayDesc* a = v->arr();
  if (!line_.empty()) end_line();
  const uint32_t row = a->dims[0];
  const uint32_t plane = a->n_dim > 1 ? row * a->dims[1] : a->n_elts;
  const size_t size = static_cast<size_t>(type_size[v->type]);
  for (uint32_t i = 0; i < a->n_elts && !stopped_; i++) {
    place_element(v->type, a->data + i * size, v);
    if ((i + 1) % row == 0) {
      end_line();
      if ((i + 1) % plane == 0 && i + 1 < a->n_elts && !stopped_) end_line();
    }
  }
  return !stopped_;
}

// A structure: each record's fields in braces, on the current line.
void FreeOutput::structure(const Variable* v, bool top) {
  const StructDef* sd = v->sdef();
  const ArrayDesc* a = v->arr();
  if (top && a->n_elts > 1 && !line_.empty()) end_line();
  for (uint32_t r = 0; r < a->n_elts; r++) {
    const uint8_t* rec = a->data + static_cast<size_t>(r) * a->elem_size;
    place("{", 1, 1);
    for (int t = 0; t < sd->n_tags; t++) {
      const TagEntry& tag = sd->tags[t];
      Variable field = tag.desc;
      const uint8_t* p = rec + tag.offset;
      if (field.is_struct()) {
        ArrayDesc copy = *field.arr();
        copy.data = const_cast<uint8_t*>(p);
        field.value.s.arr = &copy;
        structure(&field, false);
      } else if (field.has_desc()) {
        const size_t size = static_cast<size_t>(type_size[field.type]);
        for (uint32_t i = 0; i < field.arr()->n_elts; i++) place_element(field.type, p + i * size, v);
      } else {
        place_element(field.type, p, v);
      }
    }
    place("}", 1, 1);
    if (top && a->n_elts > 1) end_line();
  }
}

bool FreeOutput::value(const Variable* v) {
  if (v->type == TYP_UNDEF) var_error(M_UNDEFINED, v, MSG_LONGJMP);
  if (v->is_file()) var_error(M_NO_FILE, v, MSG_LONGJMP);
  if (v->is_struct()) {
    structure(v, true);
    return !stopped_;
  }
  if (v->is_array()) return array(v);
  place_element(v->type, &v->value, v);
  return true;
}

// ---- Input --------------------------------------------------------------------------

void FreeInput::next_record() {
  rec_.clear();
  pos_ = 0;
  if (!io_.get(io_.ctx, rec_)) report_end_of_input(io_);
  have_ = true;
}

// Reads one element of `type` at p from the records; false when the text does not
// convert.
bool FreeInput::read_element(int type, void* p) {
  if (type == TYP_STRING) {
    if (!have_ || pos_ >= rec_.size()) next_record();
    auto* sd = static_cast<StringDesc*>(p);
    del_str(sd, 1);
    const size_t n = std::min(rec_.size() - pos_, static_cast<size_t>(MAX_STRING_LENGTH));
    str_store_n(sd, rec_.data() + pos_, static_cast<uint32_t>(n));
    pos_ = rec_.size();
    return true;
  }
  // Numbers: skip separators, reading records until a value appears.
  for (;;) {
    if (have_) {
      while (pos_ < rec_.size() && is_separator(rec_[pos_])) pos_++;
      if (pos_ < rec_.size()) break;
    }
    next_record();
  }
  size_t end = pos_;
  while (end < rec_.size() && !is_separator(rec_[end])) end++;
  std::string token = rec_.substr(pos_, end - pos_);
  bool ok = false;
  switch (type) {
    case TYP_BYTE:
    case TYP_INT:
    case TYP_LONG: {
      int v = 0;
      ok = sscanf(token.c_str(), "%d", &v) == 1;
      if (ok) convert(&v, p, 1, TYP_LONG, type);
      break;
    }
    case TYP_FLOAT:
    case TYP_DOUBLE: {
      DtoEFixup fix;
      flt_d_to_e(token.data(), false, &fix);
      double d = 0;
      ok = sscanf(token.c_str(), "%lf", &d) == 1;
      if (ok) convert(&d, p, 1, TYP_DOUBLE, type);
      break;
    }
    case TYP_COMPLEX: {
      auto* c = static_cast<float*>(p);
      if (rec_[pos_] == '(') {
        // The pair may hold separators: scan it from the record itself.
        std::string rest = rec_.substr(pos_);
        DtoEFixup fix;
        flt_d_to_e(rest.data(), true, &fix);
        float r = 0, i = 0;
        int used = 0;
        ok = sscanf(rest.c_str(), "( %f , %f )%n", &r, &i, &used) == 2 && used > 0;
        if (ok) {
          c[0] = r;
          c[1] = i;
          end = pos_ + static_cast<size_t>(used);
          while (end < rec_.size() && !is_separator(rec_[end])) end++;
        }
      } else {
        DtoEFixup fix;
        flt_d_to_e(token.data(), false, &fix);
        float r = 0;
        ok = sscanf(token.c_str(), "%f", &r) == 1;
        if (ok) {
          c[0] = r;
          c[1] = 0;
        }
      }
      break;
    }
    default: break;
  }
  pos_ = end;
  return ok;
}

bool FreeInput::target(Variable* v) {
  if (v->is_struct()) var_error(M_NO_STRUCT_EXPR, v, MSG_LONGJMP);
  if (v->is_file()) var_error(M_NO_FILE, v, MSG_LONGJMP);
  if (v->type == TYP_UNDEF) {
    float zero = 0;
    store_scalar(v, TYP_FLOAT, &zero);
  }
  if (v->type == TYP_STRING) v->flags |= FLAG_DYNAMIC;  // it will own what is read
  const uint32_t n = v->n_elts();
  auto* base = static_cast<uint8_t*>(v->data_ptr());
  const size_t size = static_cast<size_t>(type_size[v->type]);
  for (uint32_t i = 0; i < n; i++) {
    if (!read_element(v->type, base + i * size)) {
      if (v->type == TYP_STRING)
        del_str(reinterpret_cast<StringDesc*>(base) + i, n - i);
      else
        memset(base + i * size, 0, (n - i) * size);
      message(M_INPUT_CONVERSION, 0, MSG_IOERROR);
    }
    moved_++;
    if (interrupted()) return false;
  }
  return true;
}
