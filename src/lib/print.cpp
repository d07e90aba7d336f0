#include "lib/print.h"

#include <cstdio>
#include <string>

#include "interp/interpreter.h"
#include "interp/message.h"
#include "values/struct.h"

namespace {

constexpr size_t kWidth = 80;

std::string element_text(int type, const void* p) {
  char buf[80];
  switch (type) {
    case TYP_BYTE: snprintf(buf, sizeof buf, oform[1], *static_cast<const uint8_t*>(p)); break;
    case TYP_INT: snprintf(buf, sizeof buf, oform[2], *static_cast<const int16_t*>(p)); break;
    case TYP_LONG: snprintf(buf, sizeof buf, oform[3], static_cast<long>(*static_cast<const int32_t*>(p))); break;
    case TYP_FLOAT: snprintf(buf, sizeof buf, oform[4], static_cast<double>(*static_cast<const float*>(p))); break;
    case TYP_DOUBLE: snprintf(buf, sizeof buf, oform[5], *static_cast<const double*>(p)); break;
    case TYP_COMPLEX: {
      const float* c = static_cast<const float*>(p);
      snprintf(buf, sizeof buf, oform[6], static_cast<double>(c[0]), static_cast<double>(c[1]));
      break;
    }
    case TYP_STRING: {
      const auto* s = static_cast<const StringDesc*>(p);
      return s->length ? std::string(s->chars, s->length) : std::string();
    }
    default: return "";
  }
  return buf;
}

void flush_line(std::string& line) {
  fputs(line.c_str(), stdout);
  fputc('\n', stdout);
  line.clear();
}

void append(std::string& line, const std::string& piece) {
  if (!line.empty() && line.size() + piece.size() > kWidth) flush_line(line);
  line += piece;
}

}  // namespace

void print_values(int argc, Variable* argv[]) {
  std::string line;
  for (int i = 0; i < argc; i++) {
    Variable* v = argv[i];
    if (v->type == TYP_UNDEF) var_error(M_UNDEFINED, v, MSG_LONGJMP);
    if (v->flags & FLAG_STRUCT) {
      append(line, "{ " + std::string(struct_print_name(v->value.s.sdef)) + " }");
      continue;
    }
    if (!(v->flags & FLAG_ARRAY)) {
      append(line, element_text(v->type, &v->value));
      continue;
    }
    const ArrayDesc* a = v->value.s.arr;
    uint32_t row = a->dims[0];
    if (!line.empty()) flush_line(line);
    for (uint32_t k = 0; k < a->n_elts; k++) {
      // The interrupt key stops a long listing; the interpreter reports where.
      if (int_interrupt == IR_INTERRUPT) {
        line.clear();
        fflush(stdout);
        return;
      }
      std::string t = element_text(v->type, a->data + static_cast<size_t>(k) * a->elem_size);
      if (v->type == TYP_STRING && k % row) t = " " + t;
      append(line, t);
      if (a->n_dim > 1 && (k + 1) % row == 0) flush_line(line);
    }
    if (!line.empty() && i + 1 < argc) flush_line(line);
  }
  flush_line(line);
  fflush(stdout);
}

namespace {

void ur_print(int argc, Variable* argv[], KwNames) { print_values(argc, argv); }

}  // namespace

const RoutineEntry print_procedures[] = {RoutineEntry(ur_print, "PRINT", 0, 63)};
const int n_print_procedures = 1;
