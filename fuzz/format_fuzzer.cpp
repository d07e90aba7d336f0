// Fuzz target: the format language and free-format transfers on in-memory records.
// Input: line 1 is a format text; each character of line 2 chooses a value's type and
// shape (undefined, BYTE ... STRING; scalar or an array of up to 8); the remaining lines
// are the input records, whose bytes also fill the output values (so every bit pattern,
// NaNs and denormals included, reaches the edit codes). The format is compiled, run for
// output over the values and for input into them; then the same values go through
// free-format output and input.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "base/message.h"
#include "io/format.h"
#include "io/free_format.h"
#include "values/strings.h"
#include "values/temps.h"
#include "values/variable.h"

namespace {

constexpr size_t kMaxValues = 8;

struct Records {
  std::vector<std::string> lines;
  size_t next = 0;
};

RecordIo sink() {
  RecordIo io;
  io.put = [](void*, const char*, size_t, bool) {};
  return io;
}

RecordIo source(Records* r) {
  RecordIo io;
  io.get = [](void* ctx, std::string& rec) {
    auto* s = static_cast<Records*>(ctx);
    if (s->next >= s->lines.size()) return false;
    rec = s->lines[s->next++];
    return true;
  };
  io.ctx = r;
  io.unit = 5;
  return io;
}

// The values a transfer works on, owned here (they are named variables, not temporaries).
struct Values {
  Variable vars[kMaxValues] = {};
  Variable* ptrs[kMaxValues] = {};
  int n = 0;
  ~Values() {
    for (int i = 0; i < n; i++) delvar(&vars[i]);
  }
};

void fill(Variable* v, const std::string& bytes, size_t* at) {
  if (v->type == TYP_UNDEF) return;
  uint32_t count = v->n_elts();
  if (v->type == TYP_STRING) {
    auto* s = static_cast<StringDesc*>(v->data_ptr());
    for (uint32_t i = 0; i < count; i++) {
      size_t len = bytes.empty() ? 0 : (*at + i) % (bytes.size() + 1);
      std::string text = bytes.substr(0, len);
      text = text.substr(0, strnlen(text.c_str(), text.size()));
      str_store(&s[i], text.c_str());
    }
    return;
  }
  auto* d = static_cast<uint8_t*>(v->data_ptr());
  size_t n = static_cast<size_t>(count) * static_cast<size_t>(type_size[v->type]);
  for (size_t i = 0; i < n; i++) d[i] = bytes.empty() ? 0 : static_cast<uint8_t>(bytes[(*at)++ % bytes.size()]);
}

// One value per character of spec: the low three bits give the type (0-7), bit 4 makes
// it an array, the top three bits give the array's length - 1.
void make_values(const std::string& spec, const std::string& bytes, Values* out) {
  size_t at = 0;
  for (char ch : spec) {
    if (out->n >= static_cast<int>(kMaxValues)) break;
    auto c = static_cast<uint8_t>(ch);
    int type = c & 7;
    Variable* v = &out->vars[out->n];
    out->ptrs[out->n] = v;
    out->n++;
    v->type = static_cast<uint8_t>(type);
    if (type != TYP_UNDEF && (c & 0x10)) {
      int32_t len = ((c >> 5) & 7) + 1;
      make_array(1, &len, v, type_size[type]);
      if (type == TYP_STRING) memset(v->value.s.arr->data, 0, v->value.s.arr->byte_len);
    } else if (type == TYP_STRING) {
      v->value.str = StringDesc{0, 0, nullptr};
      v->flags = FLAG_DYNAMIC;
    }
    fill(v, bytes, &at);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::init_session();
  std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= text.size() && lines.size() < 64) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  std::string format = lines.empty() ? "" : lines[0];
  format = format.substr(0, strnlen(format.c_str(), format.size()));
  std::string spec = lines.size() > 1 ? lines[1] : "";
  Records records;
  for (size_t i = 2; i < lines.size(); i++) records.lines.push_back(lines[i]);
  std::string bytes;
  for (const std::string& r : records.lines) bytes += r;

  {
    Values values;
    make_values(spec, bytes, &values);
    try {
      FormatScope scope;
      init_fmt(format.c_str());
      fmt_output(values.n, values.ptrs, sink());
      fmt_input(values.n, values.ptrs, source(&records));
    } catch (const VekJump&) {
    }
  }
  {
    Values values;
    make_values(spec, bytes, &values);
    records.next = 0;
    try {
      RecordIo out = sink();
      FreeOutput free_out(spec.empty() ? 80 : static_cast<uint8_t>(spec[0]), out);
      for (int i = 0; i < values.n; i++)
        if (values.vars[i].type != TYP_UNDEF) free_out.value(&values.vars[i]);
      free_out.finish();
      RecordIo in = source(&records);
      FreeInput free_in(in);
      for (int i = 0; i < values.n; i++) free_in.target(&values.vars[i]);
    } catch (const VekJump&) {
    }
  }
  fuzz::reset_session();
  return 0;
}
