#include <cstring>

#include "lib/conversions.h"
#include "test_support.h"
#include "value_builders.h"

namespace {

class ConversionsTest : public VekTest {};

TEST_F(ConversionsTest, ByteOfStringsGivesPaddedCharacters) {
  Variable* s = string_array({"ab", "c"});
  Variable* argv[] = {s};
  Variable* b = byte(1, argv, nullptr);
  ASSERT_TRUE(b->is_array());
  EXPECT_EQ(b->value.s.arr->n_dim, 2);
  EXPECT_EQ(b->value.s.arr->dims[0], 2u);
  EXPECT_EQ(b->value.s.arr->dims[1], 2u);
  const uint8_t want[] = {'a', 'b', 'c', 0};
  EXPECT_EQ(memcmp(elements<uint8_t>(b), want, 4), 0);
  deltmp(b);
  deltmp(s);

  Variable e{};
  set_string(&e, "");
  Variable* eargv[] = {&e};
  b = byte(1, eargv, nullptr);
  EXPECT_EQ(b->value.s.arr->n_elts, 1u);
  EXPECT_EQ(elements<uint8_t>(b)[0], 0);
  deltmp(b);
  delvar(&e);

  Variable* deep = string_array({"x"}, {1, 1, 1, 1, 1, 1, 1, 2});
  Variable* dargv[] = {deep};
  EXPECT_EQ(error_code_of([&] { byte(1, dargv, nullptr); }), M_STR_TO_BYTE_DIMS);
  deltmp(deep);
}

TEST_F(ConversionsTest, StringOfBytesMakesOneStringPerRow) {
  Variable* b = temp_array<uint8_t>(TYP_BYTE, {'h', 'i', 0, 'x', 'y', 'z', 0, 0, 0}, {3, 3});
  Variable* argv[] = {b};
  Variable* s = string(1, argv, nullptr);
  ASSERT_TRUE(s->is_array());
  EXPECT_EQ(s->value.s.arr->n_elts, 3u);
  EXPECT_EQ(text_of(elements<StringDesc>(s)[0]), "hi");
  EXPECT_EQ(text_of(elements<StringDesc>(s)[1]), "xyz");
  EXPECT_EQ(elements<StringDesc>(s)[2].length, 0);
  deltmp(s);
  deltmp(b);

  Variable* v = temp_array<uint8_t>(TYP_BYTE, {'o', 'k'});
  Variable* vargv[] = {v};
  s = string(1, vargv, nullptr);
  EXPECT_FALSE(s->is_array());
  EXPECT_EQ(text_of(s), "ok");
  deltmp(s);
  deltmp(v);

  Variable c{};
  c.type = TYP_BYTE;
  c.value.c = 'A';
  Variable* cargv[] = {&c};
  s = string(1, cargv, nullptr);
  EXPECT_EQ(text_of(s), "A");
  deltmp(s);
  c.value.c = 0;
  s = string(1, cargv, nullptr);
  EXPECT_EQ(s->value.str.length, 0);
  deltmp(s);

  int32_t n = 70000;
  Variable* big = make_temp_array_of(TYP_BYTE, 1, &n);
  memset(big->value.s.arr->data, 'q', 70000);
  Variable* bargv[] = {big};
  EXPECT_EQ(error_code_of([&] { string(1, bargv, nullptr); }), M_STRING_TOO_LONG);
  EXPECT_EQ(temp_list_handler(3), 1);
  deltmp(big);
}

TEST_F(ConversionsTest, ComplexShapes) {
  Variable* re = temp_array<int32_t>(TYP_LONG, {1, 2, 3});
  Variable* im = temp_array<float>(TYP_FLOAT, {4, 5});
  Variable* argv[] = {re, im};
  Variable* c = ur_complex(2, argv, nullptr);
  ASSERT_TRUE(c->is_array());
  EXPECT_EQ(c->type, TYP_COMPLEX);
  EXPECT_EQ(c->value.s.arr->n_elts, 2u);
  EXPECT_EQ(elements<float>(c)[2], 2.0f);
  EXPECT_EQ(elements<float>(c)[3], 5.0f);
  deltmp(c);
  EXPECT_EQ(temp_list_handler(3), 2);  // the FLOAT copy of re was released

  Variable two{};
  two.type = TYP_DOUBLE;
  two.value.d = 2.0;
  Variable* sargv[] = {&two, im};
  c = ur_complex(2, sargv, nullptr);
  EXPECT_EQ(c->value.s.arr->n_elts, 2u);
  EXPECT_EQ(elements<float>(c)[0], 2.0f);
  EXPECT_EQ(elements<float>(c)[2], 2.0f);
  EXPECT_EQ(elements<float>(c)[3], 5.0f);
  deltmp(c);

  Variable* one[] = {&two};
  c = ur_complex(1, one, nullptr);
  EXPECT_FALSE(c->is_array());
  EXPECT_EQ(c->value.cmp.r, 2.0f);
  EXPECT_EQ(c->value.cmp.i, 0.0f);
  Variable* same[] = {c};
  EXPECT_EQ(ur_complex(1, same, nullptr), c);
  deltmp(c);

  Variable u{};
  Variable* bad[] = {re, &u};
  EXPECT_EQ(error_code_of([&] { ur_complex(2, bad, nullptr); }), M_UNDEFINED);
  EXPECT_EQ(temp_list_handler(3), 2);
  deltmp(re);
  deltmp(im);
}

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
