// The format compiler (errors and their display, nodes, reversion), the edit codes on
// output and input, and the free-format layouts, all on in-memory records.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "io/format.h"
#include "io/free_format.h"
#include "test_support.h"
#include "value_builders.h"

namespace {

// Records written by a transfer; `open_end` is set when the last one kept its line open.
struct Sink {
  std::vector<std::string> lines;
  bool open_end = false;
  RecordIo io() {
    RecordIo r;
    r.put = [](void* ctx, const char* t, size_t n, bool end) {
      auto* s = static_cast<Sink*>(ctx);
      s->lines.emplace_back(t, n);
      s->open_end = !end;
    };
    r.ctx = this;
    return r;
  }
};

// Records read by a transfer.
struct Source {
  std::vector<std::string> records;
  size_t next = 0;
  RecordIo io() {
    RecordIo r;
    r.get = [](void* ctx, std::string& rec) {
      auto* s = static_cast<Source*>(ctx);
      if (s->next >= s->records.size()) return false;
      rec = s->records[s->next++];
      return true;
    };
    r.ctx = this;
    r.unit = 7;
    return r;
  }
};

// A named variable holding a temporary's value (the temporary goes back to the pool).
struct Named {
  Variable v{};
  explicit Named(Variable* temp = nullptr) {
    if (temp) var_copy(temp, &v);
  }
  ~Named() { delvar(&v); }
};

class FormatTest : public VekTest {
 protected:
  void TearDown() override {
    cleanup_fmt();
    VekTest::TearDown();
  }

  // Output of values (temporaries, released here) through format f.
  std::vector<std::string> out(const char* f, std::vector<Variable*> values, bool* open_end = nullptr) {
    Sink sink;
    RecordIo io = sink.io();
    init_fmt(f);
    FormatScope scope;
    struct Release {
      std::vector<Variable*>& v;
      ~Release() {
        for (Variable* t : v) release(t);
      }
    } rel{values};
    fmt_output(static_cast<int>(values.size()), values.data(), io);
    if (open_end) *open_end = sink.open_end;
    return sink.lines;
  }

  // Runs an input transfer of the records into the targets.
  int32_t in(const char* f, std::vector<std::string> records, std::vector<Variable*> targets) {
    Source src{std::move(records)};
    RecordIo io = src.io();
    init_fmt(f);
    FormatScope scope;
    return fmt_input(static_cast<int>(targets.size()), targets.data(), io);
  }

  // The error code of compiling f, with what was written to the error stream.
  int compile_error(const char* f, std::string* shown = nullptr) {
    MessageCapture cap;
    int code = error_code_of([&] { init_fmt(f); });
    if (shown) *shown = cap.text;
    EXPECT_EQ(fmt.nodes, nullptr) << "a failed compilation must release its nodes";
    return code;
  }
};

Variable* lng(int32_t v) { return make_long_temp(v); }
Variable* str(const char* s) { return ret_str_as_STRING(s); }

TEST_F(FormatTest, EveryCompileErrorHasItsCode) {
  std::string many = "(";
  for (int i = 0; i < 200; i++) many += "I1,";
  many.back() = ')';
  const struct {
    const char* format;
    int code;
  } cases[] = {
      {"I5", M_FMT_PAREN_EXPECTED},
      {"  ", M_FMT_PAREN_EXPECTED},
      {"(I5", M_FMT_UNEXPECTED_END},
      {"('abc)", M_FMT_UNEXPECTED_END},
      {"(I5,,I3)", M_FMT_EXTRA_COMMA},
      {"(,I5)", M_FMT_EXTRA_COMMA},
      {"(I5,)", M_FMT_EXTRA_COMMA},
      {"(I5 F10.2)", M_FMT_COMMA_OR_SLASH},
      {"(2(I3) I4)", M_FMT_COMMA},
      {"(I5, K3)", M_FMT_UNEXPECTED_TEXT},
      {"(I5) x", M_FMT_TEXT_AT_END},
      {"(0I5)", M_FMT_RANGE},
      {"(40000X)", M_FMT_RANGE},
      {"(I256)", M_FMT_RANGE},
      {"(0Habc)", M_FMT_RANGE},
      {"(T0)", M_FMT_RANGE},
      {"(3'abc')", M_FMT_REPEAT},
      {"2(I3)", M_FMT_REPEAT},
      {"(2/)", M_FMT_REPEAT},
      {"(2Q)", M_FMT_REPEAT},
      {"(T)", M_FMT_INTEGER},
      {"(E10.3E)", M_FMT_INTEGER},
      {"(I5, F10)", M_FMT_DOT},
      {"(F10.)", M_FMT_DOT},
      {"(5Habc)", M_FMT_HOLLERITH},
      {many.c_str(), M_FMT_TOO_MANY},
  };
  for (const auto& c : cases) EXPECT_EQ(compile_error(c.format), c.code) << c.format;
}

TEST_F(FormatTest, ErrorDisplayPutsTheMessageUnderTheFailingCharacter) {
  const struct {
    const char* format;
    const char* at;  // the failing text
    const char* names;  // a word the message must carry
  } cases[] = {
      {"(I5, F10)", ")", "Expected '.'"},
      {"(3'abc')", "'", "\"String Constant\""},
      {"2(I3)", "2", "\"open (\""},
      {"(I5, K3)", "K", "Unexpected text"},
      {"(I256)", "256", "(0 - 255)"},
  };
  for (const auto& c : cases) {
    std::string shown;
    compile_error(c.format, &shown);
    const std::string f = c.format;
    const std::string first = "% \"" + f + "\"\n";
    ASSERT_EQ(shown.substr(0, first.size()), first) << shown;
    std::string second = shown.substr(first.size());
    const size_t column = 3 + f.find(c.at);  // prefix, then the opening quote
    EXPECT_EQ(second.substr(0, 1), "%");
    EXPECT_EQ(second.find_first_not_of(' ', 1), column) << shown;
    EXPECT_NE(second.find(c.names), std::string::npos) << shown;
  }
}

TEST_F(FormatTest, ErrorDisplayIsSilentWhenTheErrorIsCaught) {
  MessageCapture cap;
  message_hooks.catch_active = [] { return true; };
  EXPECT_EQ(error_code_of([] { init_fmt("(I5"); }), M_FMT_UNEXPECTED_END);
  EXPECT_EQ(cap.text, "");
}

TEST_F(FormatTest, NodesCarryCountsWidthsAndCase) {
  init_fmt("(2I5.3, e12.4E3, z4, 3Hab), 2(A, T10), TL3, TR2, Q, :, $, \"q\"/X)");
  FormatScope scope;
  std::vector<int> kinds;
  for (int i = 0; i < fmt.end; i++) kinds.push_back(fmt.nodes[i].kind);
  const std::vector<int> expected = {FK_OPEN, FK_I,  FK_e,     FK_z,      FK_H,    FK_OPEN, FK_A,  FK_T,
                                     FK_CLOSE, FK_TL, FK_TR,   FK_Q,      FK_COLON, FK_DOLLAR, FK_TEXT, FK_SLASH,
                                     FK_X,    FK_CLOSE};
  EXPECT_EQ(kinds, expected);
  EXPECT_EQ(fmt.nodes[1].repeat, 2);
  EXPECT_EQ(fmt.nodes[1].width, 5);
  EXPECT_EQ(fmt.nodes[1].digits, 3);
  EXPECT_EQ(fmt.nodes[2].exp_width, 3);
  EXPECT_EQ(fmt.nodes[3].digits, -1);
  EXPECT_EQ(fmt.text.substr(static_cast<size_t>(fmt.nodes[4].pos), static_cast<size_t>(fmt.nodes[4].width)), "ab)");
  EXPECT_EQ(fmt.nodes[5].repeat, 2);
  EXPECT_EQ(fmt.nodes[7].width, 10);
  EXPECT_EQ(fmt.n_dollar, 1);
  EXPECT_EQ(fmt.reversion, 5);  // the last group at the outer level
}

TEST_F(FormatTest, ReversionRestartsAtTheLastOuterGroup) {
  auto lines = out("(A, 2(I3))", {str("ab"), lng(1), lng(2), lng(3), lng(4), lng(5)});
  EXPECT_EQ(lines, (std::vector<std::string>{"ab  1  2", "  3  4", "  5"}));
  // Without a group the whole format starts again.
  lines = out("(3I4)", {lng(1), lng(2), lng(3), lng(4), lng(5)});
  EXPECT_EQ(lines, (std::vector<std::string>{"   1   2   3", "   4   5"}));
  // A nested group repeats within the record.
  lines = out("(2('<', I1, '>'))", {lng(1), lng(2), lng(3)});
  // Output goes on to the next data code: the group's text comes before it.
  EXPECT_EQ(lines, (std::vector<std::string>{"<1><2>", "<3><"}));
}

TEST_F(FormatTest, TransferEndsAtTheFirstDataCodeWithoutData) {
  EXPECT_EQ(out("(I2, ' x')", {lng(1)}), std::vector<std::string>{" 1 x"});
  EXPECT_EQ(out("(I2, :, ' x')", {lng(1)}), std::vector<std::string>{" 1"});
  EXPECT_EQ(out("(I2, I2, ' x')", {lng(1)}), std::vector<std::string>{" 1"});
  EXPECT_EQ(out("('only text')", {}), std::vector<std::string>{"only text"});
  EXPECT_EQ(out("(I2/)", {lng(4)}), (std::vector<std::string>{" 4", ""}));
  bool open_end = false;
  EXPECT_EQ(out("('prompt: ', $)", {}, &open_end), std::vector<std::string>{"prompt: "});
  EXPECT_TRUE(open_end);
  out("('x')", {}, &open_end);
  EXPECT_FALSE(open_end);
}

TEST_F(FormatTest, FormatWithoutDataCodesLoopsForever) {
  MessageCapture cap;
  EXPECT_EQ(error_code_of([&] { out("('x')", {lng(1)}); }), M_FMT_LOOP);
  EXPECT_EQ(error_code_of([&] { out("(I3, ('x'))", {lng(1), lng(2)}); }), M_FMT_LOOP);
}

TEST_F(FormatTest, HollerithAndTextFields) {
  EXPECT_EQ(out("(5Hab,cd, I2)", {lng(7)}), std::vector<std::string>{"ab,cd 7"});
  EXPECT_EQ(out("(\"it's\", 1H\")", {}), std::vector<std::string>{"it's\""});
}

TEST_F(FormatTest, FieldsThatDoNotFitAreAsterisks) {
  EXPECT_EQ(out("(I3)", {lng(12345)}), std::vector<std::string>{"***"});
  EXPECT_EQ(out("(F5.2)", {make_double_temp(1234.5)}), std::vector<std::string>{"*****"});
  EXPECT_EQ(out("(E9.3E1)", {make_double_temp(1.5e20)}), std::vector<std::string>{"*********"});
  EXPECT_EQ(out("(I0, F0.2)", {lng(12345), make_double_temp(1234.5)}), std::vector<std::string>{"123451234.50"});
}

TEST_F(FormatTest, IntegerCodesOnOutput) {
  int16_t minus_one = -1;
  EXPECT_EQ(out("(I6.4, O6, Z4, z4, Z)", {lng(42), lng(8), lng(255), lng(255), make_scalar_temp(TYP_INT, &minus_one)}),
            std::vector<std::string>{"  0042    10  FF  ff   FFFF"});
  EXPECT_EQ(out("(Z)", {lng(-1)}), std::vector<std::string>{"    FFFFFFFF"});
  uint8_t b = 200;
  // Default widths: 7 for bytes and ints, 12 otherwise; reals are truncated.
  EXPECT_EQ(out("(I, I, I)", {make_scalar_temp(TYP_BYTE, &b), lng(-3), make_float_temp(-2.75f)}),
            std::vector<std::string>{"    200          -3          -2"});
}

TEST_F(FormatTest, RealCodesOnOutput) {
  EXPECT_EQ(out("(F8.3, e12.4, E12.4E3, G10.3, g10.3)",
                {make_double_temp(3.14159), make_double_temp(1234.5), make_double_temp(1234.5),
                 make_double_temp(0.5), make_double_temp(1e-7)}),
            std::vector<std::string>{"   3.142  1.2345e+03 1.2345E+003     0.500  1.00e-07"});
  // Defaults: 15 columns and 7 decimals for single precision, 25 and 16 for double.
  auto lines = out("(F, F)", {make_float_temp(1.5f), make_double_temp(0.25)});
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], std::string(6, ' ') + "1.5000000" + std::string(7, ' ') + "0.2500000000000000");
  // The decimal point is always written.
  EXPECT_EQ(out("(F4.0)", {lng(3)}), std::vector<std::string>{"  3."});
  // Complex values take one code per part.
  Complex c{1.0f, -2.0f};
  EXPECT_EQ(out("(2F5.1)", {make_scalar_temp(TYP_COMPLEX, &c)}), std::vector<std::string>{"  1.0 -2.0"});
}

TEST_F(FormatTest, TextCodeAndPositioning) {
  EXPECT_EQ(out("(A5, '|', A5, '|', A)", {str("abcdefg"), str("ab"), lng(3)}),
            std::vector<std::string>{"abcde|   ab|           3"});
  EXPECT_EQ(out("(I2, 3X, I2)", {lng(1), lng(2)}), std::vector<std::string>{" 1    2"});
  EXPECT_EQ(out("(T5, I2)", {lng(1)}), std::vector<std::string>{"     1"});
  EXPECT_EQ(out("(A4, TL2, A2, TR1, A1)", {str("abcd"), str("XY"), str("z")}),
            std::vector<std::string>{"abXY z"});
}

TEST_F(FormatTest, OutputRecordHasALimit) {
  std::string big(40000, 'x');
  MessageCapture cap;
  EXPECT_EQ(error_code_of([&] { out("(2A)", {str(big.c_str()), str(big.c_str())}); }), M_FMT_BUFFER_FULL);
}

TEST_F(FormatTest, UndefinedAndStructureValuesAreRefused) {
  MessageCapture cap;
  Named undef;
  Variable* vals[] = {&undef.v};
  Sink sink;
  init_fmt("(I3)");
  FormatScope scope;
  EXPECT_EQ(error_code_of([&] { fmt_output(1, vals, sink.io()); }), M_UNDEFINED);
  EXPECT_TRUE(sink.lines.empty());
}

TEST_F(FormatTest, IntegerAndRealCodesOnInput) {
  Named i, f, s, o, z, d;
  float zero = 0;
  store_scalar(&f.v, TYP_FLOAT, &zero);
  StringDesc empty{0, 0, nullptr};
  store_scalar(&s.v, TYP_STRING, &empty);
  int32_t l = 0;
  store_scalar(&i.v, TYP_LONG, &l);
  store_scalar(&o.v, TYP_LONG, &l);
  store_scalar(&z.v, TYP_LONG, &l);
  double dd = 0;
  store_scalar(&d.v, TYP_DOUBLE, &dd);
  EXPECT_EQ(in("(I3, F6.2, A5, O3, Z2, E10.2)", {" 12  3.50hello017ff  1.5D2   "},
               {&i.v, &f.v, &s.v, &o.v, &z.v, &d.v}),
            6);
  EXPECT_EQ(i.v.value.l, 12);
  EXPECT_FLOAT_EQ(f.v.value.f, 3.5f);
  EXPECT_EQ(text_of(&s.v), "hello");
  EXPECT_EQ(o.v.value.l, 017);
  EXPECT_EQ(z.v.value.l, 0xff);
  EXPECT_DOUBLE_EQ(d.v.value.d, 150.0);
}

TEST_F(FormatTest, FreeFieldsQAndSlashOnInput) {
  Named a(temp_array<int32_t>(TYP_LONG, {0, 0})), n, rest, b;
  EXPECT_EQ(in("(I0, I0)", {"  12, 34"}, {&a.v}), 2);
  EXPECT_EQ(elements<int32_t>(&a.v)[0], 12);
  EXPECT_EQ(elements<int32_t>(&a.v)[1], 34);
  // Q counts what is left; an undefined target of A becomes a string.
  in("(X, Q, A)", {"-hello"}, {&n.v, &rest.v});
  EXPECT_EQ(n.v.type, TYP_FLOAT);
  EXPECT_FLOAT_EQ(n.v.value.f, 5.0f);
  ASSERT_EQ(rest.v.type, TYP_STRING);
  EXPECT_EQ(text_of(&rest.v), "hello");
  // "/" and reversion read new records.
  Named c(temp_array<int16_t>(TYP_INT, {0, 0, 0}));
  // A "/" after the last element may find no record.
  EXPECT_EQ(in("(I2/I2)", {"1", "2", "3"}, {&c.v}), 3);
  EXPECT_EQ(elements<int16_t>(&c.v)[0], 1);
  EXPECT_EQ(elements<int16_t>(&c.v)[1], 2);
  EXPECT_EQ(elements<int16_t>(&c.v)[2], 3);
}

TEST_F(FormatTest, InputThatDoesNotConvertZeroesTheRest) {
  Named a(temp_array<int32_t>(TYP_LONG, {9, 9, 9}));
  MessageCapture cap;
  EXPECT_EQ(error_code_of([&] { in("(3I3)", {"  1abc  3"}, {&a.v}); }), M_FMT_INPUT);
  EXPECT_EQ(elements<int32_t>(&a.v)[0], 1);
  EXPECT_EQ(elements<int32_t>(&a.v)[1], 0);
  EXPECT_EQ(elements<int32_t>(&a.v)[2], 0);
  EXPECT_NE(cap.text.find("format code I to input: \"abc\""), std::string::npos) << cap.text;
  EXPECT_EQ(error_code_of([&] { in("(I3/I3)", {"  1"}, {&a.v}); }), M_FMT_END_RECORD);
  EXPECT_NE(cap.text.find("file unit: 7."), std::string::npos) << cap.text;
}

// ---- Free format ----------------------------------------------------------------------

std::vector<std::string> free_out(std::vector<Variable*> values, int width = 80) {
  Sink sink;
  RecordIo io = sink.io();
  FreeOutput fo(width, io);
  for (Variable* v : values) {
    fo.value(v);
    release(v);
  }
  fo.finish();
  return sink.lines;
}

class FreeFormatTest : public VekTest {};

TEST_F(FreeFormatTest, ScalarsUseTheirTypesWidths) {
  auto lines = free_out({make_float_temp(1.0f)});
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].size(), 13u);
  EXPECT_EQ(lines[0], std::string(6, ' ') + "1.00000");
  lines = free_out({make_double_temp(1.0 / 3.0)});
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].size(), 16u);
  EXPECT_EQ(lines[0], "      0.33333333");
  int16_t i = -5;
  uint8_t b = 7;
  lines = free_out({make_scalar_temp(TYP_INT, &i), make_scalar_temp(TYP_BYTE, &b), lng(12)});
  EXPECT_EQ(lines, std::vector<std::string>{"      -5   7          12"});
}

TEST_F(FreeFormatTest, StringsAreSeparatedByOneBlank) {
  EXPECT_EQ(free_out({str("a"), str("b"), lng(1), str("c")}), std::vector<std::string>{"a b           1 c"});
  EXPECT_EQ(free_out({}), std::vector<std::string>{""});
}

TEST_F(FreeFormatTest, ByteArrayWrapsAtNineteenPerLine) {
  int32_t n = 100;
  Variable* t = make_temp_array_of(TYP_BYTE, 1, &n);
  for (int k = 0; k < n; k++) t->value.s.arr->data[k] = static_cast<uint8_t>(k);
  auto lines = free_out({t});
  ASSERT_EQ(lines.size(), 6u);
  for (size_t k = 0; k < 5; k++) EXPECT_EQ(lines[k].size(), 19u * 4) << k;
  EXPECT_EQ(lines[5].size(), 5u * 4);
  EXPECT_EQ(lines[1].substr(0, 4), "  19");
}

TEST_F(FreeFormatTest, ArraysGoByRowsAndPlanes) {
  const std::string pad(11, ' ');
  auto lines = free_out({lng(0), temp_array<int16_t>(TYP_INT, {1, 2, 3, 4, 5, 6}, {3, 2}), lng(9)});
  EXPECT_EQ(lines, (std::vector<std::string>{pad + "0", "       1       2       3", "       4       5       6",
                                             pad + "9"}));
  lines = free_out({temp_array<uint8_t>(TYP_BYTE, {1, 2, 3, 4, 5, 6, 7, 8}, {2, 2, 2})});
  EXPECT_EQ(lines, (std::vector<std::string>{"   1   2", "   3   4", "", "   5   6", "   7   8"}));
}

TEST_F(FreeFormatTest, LongStringsAreRefused) {
  std::string big(MAX_FREE_STRING + 1, 'x');
  MessageCapture cap;
  Variable* s = str(big.c_str());
  EXPECT_EQ(error_code_of([&] { free_out({s}); }), M_STRING_TOO_LONG);
  release(s);  // free_out stopped before releasing it
}

int32_t free_in(std::vector<std::string> records, std::vector<Variable*> targets) {
  Source src{std::move(records)};
  RecordIo io = src.io();
  FreeInput fi(io);
  for (Variable* v : targets) fi.target(v);
  return fi.moved();
}

TEST_F(FreeFormatTest, InputSkipsSeparatorsAndRecords) {
  Named a(temp_array<int16_t>(TYP_INT, {0, 0, 0})), x, s;
  set_string(&s.v, "old");
  EXPECT_EQ(free_in({"1 2,", "", "  3 4.5d1 rest of it"}, {&a.v, &x.v, &s.v}), 5);
  EXPECT_EQ(elements<int16_t>(&a.v)[2], 3);
  EXPECT_EQ(x.v.type, TYP_FLOAT);
  EXPECT_FLOAT_EQ(x.v.value.f, 45.0f);
  EXPECT_EQ(text_of(&s.v), " rest of it");
}

TEST_F(FreeFormatTest, ComplexInputTakesPairsOrRealParts) {
  Named c(temp_array<Complex>(TYP_COMPLEX, {Complex{}, Complex{}}));
  free_in({"(1.5, -2) 3"}, {&c.v});
  const Complex* e = elements<Complex>(&c.v);
  EXPECT_EQ(e[0], Complex(1.5f, -2.0f));
  EXPECT_EQ(e[1], Complex(3.0f, 0.0f));
}

TEST_F(FreeFormatTest, ConversionErrorZeroesTheRest) {
  Named a(temp_array<double>(TYP_DOUBLE, {7, 7, 7}));
  MessageCapture cap;
  EXPECT_EQ(error_code_of([&] { free_in({"1 x 3"}, {&a.v}); }), M_INPUT_CONVERSION);
  EXPECT_EQ(elements<double>(&a.v)[0], 1.0);
  EXPECT_EQ(elements<double>(&a.v)[1], 0.0);
  EXPECT_EQ(elements<double>(&a.v)[2], 0.0);
}

}  // namespace

namespace {

bool interrupt_now = false;

TEST_F(FreeFormatTest, InterruptStopsAnArrayAtTheNextLine) {
  auto saved = io_interrupt_requested;
  io_interrupt_requested = [] { return interrupt_now; };
  int32_t n = 1000;
  Variable* t = make_temp_array_of(TYP_LONG, 1, &n);
  memset(t->value.s.arr->data, 0, 4000);
  Sink sink;
  RecordIo io = sink.io();
  io.put = [](void* ctx, const char* text, size_t len, bool) {
    static_cast<Sink*>(ctx)->lines.emplace_back(text, len);
    interrupt_now = true;  // the key is pressed while the first line goes out
  };
  FreeOutput fo(80, io);
  EXPECT_FALSE(fo.value(t));
  fo.finish();
  release(t);
  io_interrupt_requested = saved;
  interrupt_now = false;
  EXPECT_EQ(sink.lines.size(), 1u);
  EXPECT_LT(fo.moved(), 10);
}

}  // namespace

namespace {

// A string variable assigned from an empty constant owns nothing; after a read it owns
// the text (the fixture's memory check fails if it is not freed with the variable).
TEST_F(FreeFormatTest, EmptyStringTargetsOwnWhatTheyRead) {
  Named a, b;
  a.v.type = b.v.type = TYP_STRING;
  free_in({"free text"}, {&a.v});
  EXPECT_EQ(text_of(&a.v), "free text");
  Source src{{"formatted"}};
  init_fmt("(A4)");
  FormatScope scope;
  Variable* targets[] = {&b.v};
  fmt_input(1, targets, src.io());
  EXPECT_EQ(text_of(&b.v), "form");
}

}  // namespace
