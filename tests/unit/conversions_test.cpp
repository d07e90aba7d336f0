#include <cstring>

#include "lib/conversions.h"
#include "test_support.h"
#include "value_builders.h"

namespace {

class ConversionsTest : public VekTest {};

// The formatted forms hand the values to the formatter and make one string per line.
TEST_F(ConversionsTest, FormattedFormsGoThroughTheFormatter) {
  static std::vector<std::string> lines_out;
  static std::string seen_format;
  static int seen_count;
  string_formatter = [](int n, Variable*[], const char* format, std::vector<std::string>& lines) {
    seen_count = n;
    seen_format = format ? format : "<free>";
    lines = lines_out;
  };
  Variable one{};
  one.type = TYP_LONG;
  one.value.l = 1;
  Variable fmt{};
  set_string(&fmt, "(I3)");
  auto call = [&](std::vector<Variable*> argv, KwNames names = nullptr) {
    return string(static_cast<int>(argv.size()), argv.data(), names);
  };

  lines_out = {"  1  1\n"};
  Variable* r = call({&one, &one});
  EXPECT_EQ(seen_format, "<free>");
  EXPECT_EQ(seen_count, 2);
  EXPECT_EQ(text_of(r), "  1  1");
  deltmp(r);
  r = call({&one, &fmt});  // a trailing format-like string is the format
  EXPECT_EQ(seen_format, "(I3)");
  EXPECT_EQ(seen_count, 1);
  deltmp(r);
  set_string(&fmt, "$(I3)");
  deltmp(call({&one, &fmt}));
  EXPECT_EQ(seen_format, "$(I3)");
  set_string(&fmt, "(I");  // too short to be a format
  deltmp(call({&one, &fmt}));
  EXPECT_EQ(seen_format, "<free>");
  EXPECT_EQ(seen_count, 2);

  const char* const print_kw[] = {"", "PRINT"};
  deltmp(call({&one, &one}, print_kw));
  EXPECT_EQ(seen_count, 1);
  EXPECT_EQ(seen_format, "<free>");
  set_string(&fmt, "(F5.1)");
  const char* const format_kw[] = {"", "FORMAT"};
  deltmp(call({&one, &fmt}, format_kw));
  EXPECT_EQ(seen_format, "(F5.1)");
  EXPECT_EQ(seen_count, 1);

  lines_out = {"a\r", "\n", "b"};
  r = call({&one, &one});
  ASSERT_TRUE(r->is_array());
  EXPECT_EQ(text_of(elements<StringDesc>(r)[0]), "a");
  EXPECT_EQ(text_of(elements<StringDesc>(r)[1]), "\n");  // one-character lines keep it
  EXPECT_EQ(text_of(elements<StringDesc>(r)[2]), "b");
  deltmp(r);
  lines_out.clear();
  r = call({&one, &one});
  EXPECT_FALSE(r->is_array());
  EXPECT_EQ(r->value.str.length, 0);
  deltmp(r);

  MessageCapture cap;
  lines_out.assign(1030, "x");
  r = call({&one, &one});
  EXPECT_EQ(r->value.s.arr->n_elts, 1024u);
  EXPECT_NE(cap.text.find("Explicitly formated output truncated at limit of 1024 lines."), std::string::npos);
  deltmp(r);

  string_formatter = nullptr;
  EXPECT_EQ(error_code_of([&] { call({&one, &one}); }), M_INTERNAL);
  delvar(&fmt);
}

}  // namespace
