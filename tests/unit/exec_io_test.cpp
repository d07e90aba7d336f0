// The transfer engine on real file units: unformatted round trips (native and XDR, with
// the XDR byte layout checked), text transfers to and from files, end-of-file and unit
// errors, string transfers, the journal copy of standard output and STRING's formatter.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "io/exec_io.h"
#include "io/files.h"
#include "io/format.h"
#include "lib/conversions.h"
#include "lib/io.h"
#include "term/rline.h"
#include "term/tout.h"
#include "scratch_files.h"
#include "value_builders.h"

namespace {

std::vector<std::string> shown;
void capture(int, const char* text, int length) { shown.emplace_back(text, length); }

// A named variable (owning what a temporary held).
struct Named {
  Variable v{};
  explicit Named(Variable* temp = nullptr) {
    if (temp) var_copy(temp, &v);
  }
  ~Named() { delvar(&v); }
};

class ExecIoTest : public ScratchFilesTest {
 protected:
  ExecIoTest() : ScratchFilesTest(capture) {}
  void SetUp() override {
    ScratchFilesTest::SetUp();
    shown.clear();
  }
  std::string contents(const char* name) const {
    std::string s;
    FILE* f = fopen(path(name).c_str(), "rb");
    if (!f) return s;
    int c;
    while ((c = fgetc(f)) != EOF) s += static_cast<char>(c);
    fclose(f);
    return s;
  }
  int32_t io(int unit, int mode, std::vector<Variable*> args, const char* format = nullptr) {
    return exec_io(static_cast<int>(args.size()), args.data(), unit, mode, format, nullptr, nullptr, nullptr, nullptr);
  }
};

constexpr int kRead = ACC_READ;
constexpr int kWrite = ACC_READ | ACC_WRITE | ACC_NEW;

TEST_F(ExecIoTest, NativeRoundTripKeepsTheBytesInMemoryOrder) {
  Named longs(temp_array<int32_t>(TYP_LONG, {1, -2, 300000}));
  Named d(make_double_temp(2.5));
  Named s;
  set_string(&s.v, "hello");
  Complex c{1.5f, -3.0f};
  Named cx(make_scalar_temp(TYP_COMPLEX, &c));
  ASSERT_EQ(open(3, "n.dat", kWrite), 3);
  EXPECT_EQ(io(3, IO_WRITEU, {&longs.v, &d.v, &s.v, &cx.v}), 6);
  EXPECT_EQ(file_table[3]->transfer_count, 6);
  close_unit(3, false, MSG_IOERROR);

  const std::string bytes = contents("n.dat");
  ASSERT_EQ(bytes.size(), 3 * 4 + 8 + 5 + 8u);
  EXPECT_EQ(memcmp(bytes.data(), longs.v.arr()->data, 12), 0);
  EXPECT_EQ(bytes.substr(20, 5), "hello");

  Named longs2(temp_array<int32_t>(TYP_LONG, {0, 0, 0}));
  Named d2(make_double_temp(0));
  Named s2;
  set_string(&s2.v, "-----");
  Named cx2(make_scalar_temp(TYP_COMPLEX, &c));
  cx2.v.value.cmp.r = cx2.v.value.cmp.i = 0;
  ASSERT_EQ(open(3, "n.dat", kRead), 3);
  EXPECT_EQ(io(3, IO_READU, {&longs2.v, &d2.v, &s2.v, &cx2.v}), 6);
  close_unit(3, false, MSG_IOERROR);
  EXPECT_EQ(elements<int32_t>(&longs2.v)[2], 300000);
  EXPECT_EQ(d2.v.value.d, 2.5);
  EXPECT_EQ(text_of(&s2.v), "hello");
  EXPECT_EQ(cx2.v.value.cmp.i, -3.0f);
}

TEST_F(ExecIoTest, XdrLayoutIsBigEndianPaddedAndCounted) {
  Named bytes(temp_array<uint8_t>(TYP_BYTE, {7, 8, 9}));
  int16_t i = -2;
  Named in(make_scalar_temp(TYP_INT, &i));
  Named l(make_long_temp(258));
  Named s;
  set_string(&s.v, "ab");
  Named empty;
  set_string(&empty.v, "");
  Named dbl(make_double_temp(1.0));
  ASSERT_EQ(open(4, "x.dat", ACC_WRITE | ACC_NEW, FA_XDR), 4);
  EXPECT_EQ(io(4, IO_XDR_WRITEU, {&bytes.v, &in.v, &l.v, &s.v, &empty.v, &dbl.v}), 8);
  close_unit(4, false, MSG_IOERROR);

  // Bytes: a count and the data padded to 4; INT: 4 bytes sign-extended; LONG: 4;
  // strings: a short length, then (when not empty) a counted, padded string; DOUBLE: 8.
  const std::string expected = std::string("\0\0\0\3\7\10\11\0", 8) + std::string("\xff\xff\xff\xfe", 4) +
                               std::string("\0\0\1\2", 4) + std::string("\0\0\0\2\0\0\0\2ab\0\0", 12) +
                               std::string("\0\0\0\0", 4) + std::string("\x3f\xf0\0\0\0\0\0\0", 8);
  EXPECT_EQ(contents("x.dat"), expected);

  Named bytes2(temp_array<uint8_t>(TYP_BYTE, {0, 0, 0}));
  int16_t zero = 0;
  Named in2(make_scalar_temp(TYP_INT, &zero));
  Named l2(make_long_temp(0));
  Named s2, empty2;
  set_string(&s2.v, "longer text");
  set_string(&empty2.v, "x");
  Named dbl2(make_double_temp(0));
  ASSERT_EQ(open(4, "x.dat", kRead, FA_XDR), 4);
  EXPECT_EQ(io(4, IO_XDR_READU, {&bytes2.v, &in2.v, &l2.v, &s2.v, &empty2.v, &dbl2.v}), 8);
  close_unit(4, false, MSG_IOERROR);
  EXPECT_EQ(elements<uint8_t>(&bytes2.v)[2], 9);
  EXPECT_EQ(in2.v.value.i, -2);
  EXPECT_EQ(l2.v.value.l, 258);
  EXPECT_EQ(text_of(&s2.v), "ab");  // the stored length wins on XDR units
  EXPECT_EQ(empty2.v.value.str.length, 0);
  EXPECT_EQ(dbl2.v.value.d, 1.0);
}

TEST_F(ExecIoTest, ReadingPastTheEndReportsEndOfFile) {
  write_file("short.dat", std::string(6, 'z'));
  Named a(temp_array<int32_t>(TYP_LONG, {0, 0}));
  ASSERT_EQ(open(5, "short.dat", kRead), 5);
  {
    MessageCapture cap;
    EXPECT_EQ(error_code_of([&] { io(5, IO_READU, {&a.v}); }), M_IO_EOF);
    EXPECT_NE(cap.text.find("End of file encountered. Unit: 5"), std::string::npos) << cap.text;
  }
  close_unit(5, false, MSG_IOERROR);
  // Text input at the end of the file.
  write_file("t.txt", "1 2\n");
  Named b(temp_array<int32_t>(TYP_LONG, {0, 0, 0}));
  ASSERT_EQ(open(5, "t.txt", kRead), 5);
  {
    MessageCapture cap;
    EXPECT_EQ(error_code_of([&] { io(5, IO_READ, {&b.v}); }), M_IO_EOF);
  }
  close_unit(5, false, MSG_IOERROR);
  EXPECT_EQ(elements<int32_t>(&b.v)[1], 2);
}

TEST_F(ExecIoTest, UnitsMustBeOpenTheRightWay) {
  Named x(make_long_temp(1));
  MessageCapture cap;
  EXPECT_EQ(error_code_of([&] { io(9, IO_PRINT, {&x.v}); }), M_UNIT_NOT_OPEN);
  write_file("r.txt", "1\n");
  ASSERT_EQ(open(9, "r.txt", kRead), 9);
  EXPECT_EQ(error_code_of([&] { io(9, IO_PRINT, {&x.v}); }), M_NOT_OUTPUT);
  EXPECT_EQ(error_code_of([&] { io(-1, IO_READ, {&x.v}); }), M_NOT_INPUT);
  close_unit(9, false, MSG_IOERROR);
}

TEST_F(ExecIoTest, TextTransfersUseTheUnitsWidthAndReadBack) {
  ASSERT_EQ(open(6, "w.txt", kWrite, 0, 20), 6);
  Named a(temp_array<int16_t>(TYP_INT, {1, 2, 3, 4, 5}));
  Named f(make_float_temp(1.5f));
  EXPECT_EQ(io(6, IO_PRINT, {&a.v}), 5);
  EXPECT_EQ(io(6, IO_FORMAT_OUT, {&f.v, &a.v}, "(F4.1, 5I3)"), 6);
  close_unit(6, false, MSG_IOERROR);
  // Two INTs fill 16 of 20 columns; a third would reach the width.
  EXPECT_EQ(contents("w.txt"), "       1       2\n       3       4\n       5\n 1.5  1  2  3  4  5\n");

  Named b(temp_array<int16_t>(TYP_INT, {0, 0, 0, 0, 0}));
  Named g(make_float_temp(0));
  Named c(temp_array<int16_t>(TYP_INT, {0, 0, 0, 0, 0}));
  ASSERT_EQ(open(6, "w.txt", kRead), 6);
  EXPECT_EQ(io(6, IO_READ, {&b.v}), 5);
  EXPECT_EQ(io(6, IO_FORMAT_IN, {&g.v, &c.v}, "(F4.1, 5I3)"), 6);
  close_unit(6, false, MSG_IOERROR);
  EXPECT_EQ(elements<int16_t>(&b.v)[4], 5);
  EXPECT_EQ(g.v.value.f, 1.5f);
  EXPECT_EQ(elements<int16_t>(&c.v)[3], 4);
}

TEST_F(ExecIoTest, FormatErrorsLeaveNothingBehind) {
  Named x(make_long_temp(1));
  MessageCapture cap;
  uint32_t before = mem_counters.bytes_in_use;
  EXPECT_EQ(error_code_of([&] { io(-1, IO_FORMAT_OUT, {&x.v}, "(I5, F10)"); }), M_FMT_DOT);
  EXPECT_EQ(error_code_of([&] { io(-1, IO_FORMAT_OUT, {&x.v}, "('x')"); }), M_FMT_LOOP);
  EXPECT_EQ(mem_counters.bytes_in_use, before);
  EXPECT_EQ(fmt.nodes, nullptr);
}

// ---- String transfers, journal, STRING -----------------------------------------------

struct Records {
  std::vector<std::string> recs;
  size_t next = 0;
};
bool fill(void* ctx, std::string& r) {
  auto* s = static_cast<Records*>(ctx);
  if (s->next >= s->recs.size()) return false;
  r = s->recs[s->next++];
  return true;
}

TEST_F(ExecIoTest, StringInputRunsOutWithEndOfInputData) {
  Records recs{{"1 2", "3"}};
  Named a(temp_array<int32_t>(TYP_LONG, {0, 0, 0, 0}));
  Variable* args[] = {&a.v};
  MessageCapture cap;
  EXPECT_EQ(error_code_of([&] { exec_io(1, args, 0, IO_READ | IO_STRING, nullptr, fill, nullptr, &recs, "SRC"); }),
            M_END_OF_INPUT);
  EXPECT_NE(cap.text.find("End of input data encountered: SRC"), std::string::npos) << cap.text;
  EXPECT_EQ(elements<int32_t>(&a.v)[2], 3);
}

TEST_F(ExecIoTest, StandardOutputIsPagedAndJournalled) {
  FILE* journal = fopen(path("journal").c_str(), "w+");
  ASSERT_NE(journal, nullptr);
  FILE* saved = journal_pout;
  journal_pout = journal;
  Named s;
  set_string(&s.v, "hi");
  Named n(make_long_temp(3));
  io(-1, IO_PRINT, {&s.v, &n.v});
  fflush(journal_pout);
  rewind(journal_pout);
  char line[100] = "";
  ASSERT_NE(fgets(line, sizeof line, journal_pout), nullptr);
  fclose(journal_pout);
  journal_pout = saved;
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0], "hi" + std::string(11, ' ') + "3");
  EXPECT_EQ(std::string(line), ";hi" + std::string(11, ' ') + "3\n");
}

TEST_F(ExecIoTest, StringFormatterGivesOneLinePerRecord) {
  struct Restore {
    StringFormatter f = string_formatter;
    RlineHooks r = rline_hooks;
    bool (*i)() = io_interrupt_requested;
    ~Restore() {
      string_formatter = f;
      rline_hooks = r;
      io_interrupt_requested = i;
    }
  } restore;
  install_io_hooks();
  ASSERT_NE(string_formatter, nullptr);
  Named a(make_long_temp(1)), b(make_long_temp(22)), c(make_long_temp(333));
  Variable* vals[] = {&a.v, &b.v, &c.v};
  std::vector<std::string> lines;
  string_formatter(3, vals, "$(I3, '-', I3)", lines);
  EXPECT_EQ(lines, (std::vector<std::string>{"  1- 22", "333-"}));
  lines.clear();
  string_formatter(2, vals, nullptr, lines);
  EXPECT_EQ(lines, std::vector<std::string>{"           1          22"});
}

TEST_F(ExecIoTest, JournalDataLinesAreFreeFormatValues) {
  struct Restore {
    StringFormatter f = string_formatter;
    RlineHooks r = rline_hooks;
    bool (*i)() = io_interrupt_requested;
    FILE* pout = journal_pout;
    ~Restore() {
      string_formatter = f;
      rline_hooks = r;
      io_interrupt_requested = i;
      journal_pout = pout;
    }
  } restore;
  install_io_hooks();
  ASSERT_NE(rline_hooks.journal_value, nullptr);
  journal_pout = tmpfile();
  ASSERT_NE(journal_pout, nullptr);
  Named a(temp_array<int16_t>(TYP_INT, {1, 2}));
  rline_hooks.journal_value(100, &a.v);
  rewind(journal_pout);
  char line[100] = "";
  ASSERT_NE(fgets(line, sizeof line, journal_pout), nullptr);
  fclose(journal_pout);
  EXPECT_STREQ(line, "       1       2\n");  // a data line, not a comment
  EXPECT_TRUE(shown.empty()) << "nothing goes to the terminal";
}

}  // namespace
