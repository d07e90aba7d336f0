// The line editor driven through a pipe: editing keys, escape sequences, key
// definitions, recall, and the screen output chosen for the terminal's capabilities.
#include <unistd.h>

#include <cstring>
#include <string>

#include "term/rline.h"
#include "test_support.h"

namespace {

std::string screen;
std::string messages;

void capture_screen(const char* text, int len) { screen.append(text, static_cast<size_t>(len)); }
void capture_message(int, const char* text, bool end_line) {
  messages += text;
  if (end_line) messages += '\n';
}

class RlineTest : public VekTest {
 protected:
  void SetUp() override {
    VekTest::SetUp();
    rline_reset_session();
    saved_hooks_ = message_hooks;
    message_hooks.write = capture_message;
    rline_hooks.screen = capture_screen;
    screen.clear();
    messages.clear();
    edit_input = 1;
  }
  void TearDown() override {
    rline_hooks.screen = nullptr;
    message_hooks = saved_hooks_;
    rline_reset_session();
    VekTest::TearDown();
  }

  // Types `keys` into the editor (input ends after them) and returns the line.
  std::string edit(const std::string& keys, bool* entered = nullptr, int max_len = RL_MAX_LINE) {
    int p[2];
    EXPECT_EQ(pipe(p), 0);
    EXPECT_EQ(write(p[1], keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    close(p[1]);
    rblk.fd = p[0];
    rblk.prompt = "P> ";
    rblk.max_len = max_len;
    screen.clear();
    bool ok = rline_from_kbrd();
    close(p[0]);
    if (entered) *entered = ok;
    return std::string(rblk.line, static_cast<size_t>(rblk.len));
  }

  MessageHooks saved_hooks_;
};

const std::string LEFT = "\033[D", RIGHT = "\033[C", UP = "\033[A", DOWN = "\033[B";

TEST_F(RlineTest, ControlKeysEditTheLine) {
  bool entered = false;
  EXPECT_EQ(edit("hello\r", &entered), "hello");
  EXPECT_TRUE(entered);
  EXPECT_EQ(edit("world\x01hello \r"), "hello world");       // ^A start of line
  EXPECT_EQ(edit("ab\x01X\x05Y\n"), "XabY");                  // ^E end, ^J enters
  EXPECT_EQ(edit("abcd\x7f\x08\r"), "ab");                    // DEL and ^H delete back
  EXPECT_EQ(edit("hello world" + LEFT + LEFT + LEFT + LEFT + LEFT + "\x15\r"), "world");  // ^U
  EXPECT_EQ(edit("print, alpha\x17\r"), "print, ");            // ^W delete word
  EXPECT_EQ(edit("print, alpha\x1b\x7f\r"), "print, ");        // ESC DEL delete word
  EXPECT_EQ(edit("abc\x01\x18\r"), "bc");                      // ^X delete current
  EXPECT_EQ(edit("ab cd\x01\x06\x0b\r"), "ab");                // ^F end of word, ^K to end
  EXPECT_EQ(edit("ab cd\x02X\r"), "ab Xcd");                   // ^B start of word
  EXPECT_EQ(edit("a\x03\x13\x10\x19" "b\r"), "ab");           // ^C ^S ^P ^Y do nothing
  EXPECT_EQ(edit("a\x07\tb\r"), "a\a\tb");                    // ^G and ^I are characters
}

TEST_F(RlineTest, CursorKeysAndOverstrike) {
  EXPECT_EQ(edit("abc" + LEFT + LEFT + "X\r"), "aXbc");
  EXPECT_EQ(edit("abc" + LEFT + LEFT + LEFT + LEFT + RIGHT + "X\r"), "aXbc");
  EXPECT_EQ(edit("abc" + RIGHT + "X\r"), "abcX");
  // ESC i toggles overstrike for the rest of the session; the line grows only at its end.
  EXPECT_EQ(edit("abc\x01\033iXY\r"), "XYc");
  EXPECT_EQ(edit("ab" + LEFT + "XYZ\r"), "aXYZ");
  EXPECT_EQ(edit("ab" + LEFT + "\033IX\r"), "aXb");
}

TEST_F(RlineTest, EndOfInputOnlyOnEmptyLine) {
  bool entered = true;
  edit("\x04", &entered);
  EXPECT_FALSE(entered);
  EXPECT_EQ(edit("ab\x04", &entered), "ab");
  EXPECT_TRUE(entered);
  edit("abc", &entered);  // input ends without a terminator
  EXPECT_FALSE(entered);
}

TEST_F(RlineTest, LineNeverExceedsMaximum) {
  EXPECT_EQ(edit("abcdefg\r", nullptr, 5), "abcde");
  EXPECT_EQ(edit("abcde\x01XY\r", nullptr, 5), "abcde");
  EXPECT_EQ(edit("abcd\x01\033iXYZ\r", nullptr, 5), "XYZd");
}

TEST_F(RlineTest, EscapeSequenceDecoding) {
  auto decode = [](int first, const std::string& rest, std::string* seq, size_t* left = nullptr) {
    size_t i = 0;
    int r = read_escape_sequence(
        first, [&]() { return i < rest.size() ? static_cast<unsigned char>(rest[i++]) : -1; }, *seq);
    if (left) *left = rest.size() - i;
    return r;
  };
  std::string seq;
  EXPECT_EQ(decode(27, "[A", &seq), 0);
  EXPECT_EQ(seq, "\033[A");
  EXPECT_EQ(decode(0x9B, "146q", &seq), 0);
  EXPECT_EQ(seq, "\033[146q");
  EXPECT_EQ(decode(27, "[1;5 ~", &seq), 0);  // parameters, an intermediate, the final
  EXPECT_EQ(seq, "\033[1;5 ~");
  EXPECT_EQ(decode(27, "OP", &seq), 0);
  EXPECT_EQ(seq, "\033OP");
  EXPECT_EQ(decode(27, "i", &seq), 0);
  EXPECT_EQ(seq, "\033i");
  EXPECT_EQ(decode(27, "\x7f", &seq), EA_DELETE_WORD);
  EXPECT_EQ(decode(27, " ", &seq), EA_UNDEFINED);       // two-byte final out of range
  EXPECT_EQ(decode(27, "O1", &seq), EA_UNDEFINED);      // single shift final out of range
  EXPECT_EQ(decode(27, "[1 2A", &seq), EA_UNDEFINED);   // parameter after intermediate
  EXPECT_EQ(decode(27, "[\x01", &seq), EA_UNDEFINED);
  size_t left = 0;
  EXPECT_EQ(decode(27, "[" + std::string(30, '1') + "qZ", &seq, &left), EA_UNDEFINED);
  EXPECT_EQ(left, 1u) << "an over-long sequence is consumed up to its final byte";
  // In the editor: unknown sequences are ignored, 0x9B acts as ESC [.
  EXPECT_EQ(edit("ab\033[Zc\r"), "abc");
  EXPECT_EQ(edit("abc\x9b" "DX\r"), "abXc");
}

TEST_F(RlineTest, RecallWithArrowKeys) {
  rbuf_save("one");
  rbuf_save("two");
  rbuf_save("three");
  EXPECT_EQ(edit(UP + "\r"), "three");
  EXPECT_EQ(edit(UP + UP + "\r"), "two");
  EXPECT_EQ(edit(UP + UP + DOWN + "\r"), "three");
  EXPECT_EQ(edit(UP + DOWN + "\r"), "");
  EXPECT_EQ(edit("\x0e\x0e\r"), "two");  // ^N recalls the previous line too
  EXPECT_EQ(edit(UP + UP + UP + UP + "\r"), "") << "past the oldest line the line is empty";
  EXPECT_EQ(edit(UP + "X\r"), "threeX") << "the cursor ends after a recalled line";
}

TEST_F(RlineTest, RecallByTextAndNumber) {
  rbuf_save("print, alpha");
  rbuf_save("x = 2");
  rbuf_save("print, beta");
  // "^" on an empty line asks for a text; the cursor lands just after its first occurrence.
  EXPECT_EQ(edit("^alp\nX\r"), "print, alpXha");
  EXPECT_NE(screen.find("\rP> print, alpha"), std::string::npos) << "the recalled line is redrawn";
  EXPECT_EQ(edit("a^b\r"), "a^b") << "in a non-empty line ^ is a character";
  EXPECT_EQ(edit("^zzz\n\r"), "");
  EXPECT_EQ(error_code, M_RECALL_NO_MATCH);
  EXPECT_NE(messages.find("No commands containing 'zzz' exist in the command buffer."), std::string::npos);

  define_key("F5", nullptr, EA_RECALL_NUMBER, 0, "\033[15~");
  EXPECT_EQ(edit("\033[15~ 2 \n\r"), "x = 2");
  EXPECT_EQ(edit("\033[15~\n\r"), "x = 2") << "no number: the last one used";
  EXPECT_EQ(edit("\033[15~1\n\r"), "print, beta");
}

TEST_F(RlineTest, RecallRingRules) {
  edit_input = 3;
  EXPECT_EQ(rbuf_size(), 3);
  edit_input = 50;
  EXPECT_EQ(rbuf_size(), 3) << "the size is fixed on first use";
  rbuf_save("a");
  rbuf_save("a");
  EXPECT_EQ(rbuf_count(), 1) << "a repeated line is stored once";
  rbuf_save("b");
  rbuf_save("c");
  rbuf_save("d");
  EXPECT_EQ(rbuf_count(), 3);
  EXPECT_STREQ(rbuf_match(false, "1"), "d");
  EXPECT_STREQ(rbuf_match(false, "3"), "b");
  EXPECT_EQ(rbuf_match(true, "a"), nullptr) << "the oldest line was overwritten";

  error_code = 0;
  EXPECT_EQ(rbuf_match(false, "4"), nullptr);
  EXPECT_EQ(error_code, M_RECALL_NUMBER);
  EXPECT_NE(messages.find("Line number must lie between 1 and 3: '4'."), std::string::npos);
  error_code = 0;
  EXPECT_EQ(rbuf_match(false, "0"), nullptr);
  EXPECT_EQ(error_code, M_RECALL_NUMBER);
  EXPECT_EQ(rbuf_match(false, "2x"), nullptr);
  EXPECT_STREQ(rbuf_match(false, ""), "b") << "the last valid number was 3";

  rbuf_forget();
  edit_input = 1;
  EXPECT_EQ(rbuf_size(), 20);
  rbuf_forget();
  edit_input = 50;
  EXPECT_EQ(rbuf_size(), 50);
}

TEST_F(RlineTest, RecallStepsStopAtTheOldestLine) {
  for (const char* s : {"l1", "l2", "l3", "l4", "l5"}) rbuf_save(s);
  rbuf_reset();
  std::vector<std::string> got;
  for (int i = 0; i < 10; i++) {
    const char* s = rbuf_recall(-1);
    got.push_back(s ? s : "<null>");
  }
  std::vector<std::string> expect = {"l5", "l4", "l3", "l2", "l1"};
  expect.resize(10, "<null>");
  EXPECT_EQ(got, expect);
  // Going forward again from past the oldest gives the oldest first.
  EXPECT_STREQ(rbuf_recall(1), "l1");
  EXPECT_STREQ(rbuf_recall(1), "l2");
  EXPECT_STREQ(rbuf_recall(-1), "l1");
}

TEST_F(RlineTest, FullRingRecallsEachLineOnce) {
  edit_input = 3;
  for (const char* s : {"a", "b", "c", "d"}) rbuf_save(s);
  rbuf_reset();
  EXPECT_STREQ(rbuf_recall(-1), "d");
  EXPECT_STREQ(rbuf_recall(-1), "c");
  EXPECT_STREQ(rbuf_recall(-1), "b");
  EXPECT_EQ(rbuf_recall(-1), nullptr);
}

TEST_F(RlineTest, KeyDefinitions) {
  define_key("f2", "print, 1", 0, KEY_TERMINATE, "\033[12~");
  ASSERT_NE(find_key_by_sequence("\033[12~"), nullptr);
  EXPECT_EQ(find_key_by_sequence("\033[12~")->name, "F2");
  bool entered = false;
  EXPECT_EQ(edit("x=\033[12~", &entered), "x=print, 1");
  EXPECT_TRUE(entered);

  define_key("F3", "abc", 0, 0, "\033[13~");
  EXPECT_EQ(edit("\033[13~\033[13~\r"), "abcabc");

  define_key("F4", "secret", 0, KEY_NOECHO, "\033[14~");
  EXPECT_EQ(edit("typed\033[14~"), "secret");
  EXPECT_EQ(screen.find("secret"), std::string::npos) << "a no-echo value is not shown";
  EXPECT_EQ(rline_state & (RL_NO_RECALL | RL_JOURNALLED), RL_NO_RECALL | RL_JOURNALLED);

  // Redefining by name changes the existing definition.
  define_key("up arrow", "up!", 0, 0, nullptr);
  EXPECT_EQ(edit(UP + "\r"), "up!");
  EXPECT_EQ(error_code_of([] { define_key("NO SUCH KEY", "x", 0, 0, nullptr); }), M_BAD_FKEY);
  // A key defined without value or action does nothing.
  define_key("F3", nullptr, 0, 0, "\033[13~");
  EXPECT_EQ(find_key_by_sequence("\033[13~")->action, EA_UNDEFINED);
  EXPECT_EQ(edit("a\033[13~\r"), "a");
}

TEST_F(RlineTest, ScreenUsesCheapestUpdate) {
  // Without capabilities a deletion rewrites the rest and blanks the freed column.
  edit("abcdefghij" + LEFT + LEFT + LEFT + LEFT + LEFT + "\x7f\r");
  EXPECT_NE(screen.find("fghij \b\b\b\b\b\b"), std::string::npos) << screen;

  tcinfo[TC_DC].str = "\033[P";
  edit("abcdefghij" + LEFT + LEFT + LEFT + LEFT + LEFT + "\x7f\r");
  EXPECT_NE(screen.find("\b\033[P"), std::string::npos) << "one delete-character is cheaper";
  EXPECT_EQ(screen.find("fghij "), std::string::npos);

  // Inserting before a long rest uses insert-character when it is cheaper.
  tcinfo[TC_IC].str = "\033[@";
  edit("abcdefghij" + LEFT + LEFT + LEFT + LEFT + LEFT + "X\r");
  EXPECT_NE(screen.find("\033[@X"), std::string::npos);
  EXPECT_EQ(screen.find("Xfghij"), std::string::npos);
  // ...but not at the end of the line.
  edit("ab" + LEFT + "X\r");
  EXPECT_EQ(screen.find("\033[@"), std::string::npos);

  // Clearing five columns after ^K: clear-to-end beats five blanks and backspaces.
  tcinfo[TC_CE].str = "\033[K";
  edit("abcdefgh" + LEFT + LEFT + LEFT + LEFT + LEFT + "\x0b\r");
  EXPECT_NE(screen.find("\033[K"), std::string::npos);
  edit("abcdefgh" + LEFT + LEFT + "\x0b\r");
  EXPECT_EQ(screen.find("\033[K"), std::string::npos) << "two blanks are cheaper than \\033[K";
  EXPECT_NE(screen.find("  \b\b"), std::string::npos);
}

TEST_F(RlineTest, LongMovesLeftRedrawFromTheMargin) {
  // Moving from the end to the start of a long line: carriage return and prompt beat
  // thirty backspaces.
  edit(std::string(30, 'x') + "\x01Y\r");
  EXPECT_NE(screen.find("\rP> Y"), std::string::npos);
  edit("abc\x01Y\r");
  EXPECT_NE(screen.find("\b\b\bY"), std::string::npos);
}

TEST_F(RlineTest, TermcapPadding) {
  std::string cap = "20*\033[K";
  EXPECT_EQ(termcap_pad(cap, 10), 20);  // 20 ms at 1 ms a character (9600 baud)
  EXPECT_EQ(cap, "\033[K");
  cap = "3.5\033[P";
  EXPECT_EQ(termcap_pad(cap, 10), 4);  // 35 tenths rounded to characters of 10 tenths
  EXPECT_EQ(cap, "\033[P");
  cap = "\033[@";
  EXPECT_EQ(termcap_pad(cap, 10), 0);
  EXPECT_EQ(cap, "\033[@");
}

TEST_F(RlineTest, PlainReadOfAStream) {
  FILE* f = tmpfile();
  ASSERT_NE(f, nullptr);
  fputs("first line\n", f);
  fputs(std::string(40, 'z').c_str(), f);
  fputs("\n", f);
  rewind(f);
  char buf[32];
  ASSERT_EQ(vek_rline(buf, sizeof buf, RL_STREAM_UNIT, f, "P> ", 0), buf);
  EXPECT_STREQ(buf, "first line\n");
  EXPECT_STREQ(rblk.line, "first line");
  EXPECT_EQ(rblk.flags & (RLF_NO_RECALL | RLF_NO_JOURNAL), RLF_NO_RECALL | RLF_NO_JOURNAL);
  EXPECT_EQ(vek_rline(buf, sizeof buf, RL_STREAM_UNIT, f, "P> ", 0), nullptr);
  EXPECT_EQ(error_code, M_INPUT_TOO_LONG);
  EXPECT_NE(messages.find("Input line is too long for input buffer of 32 characters."), std::string::npos);
  fclose(f);
  EXPECT_EQ(rbuf_count(), 0) << "lines from a file are not recalled";
}

}  // namespace

namespace {

struct NamedString {
  Variable v{};
  explicit NamedString(const char* s) {
    StringDesc d{static_cast<uint16_t>(strlen(s)), 0, const_cast<char*>(s)};
    store_scalar(&v, TYP_STRING, &d);
  }
  ~NamedString() { delvar(&v); }
};

TEST_F(RlineTest, DefineKeyBuiltin) {
  NamedString name("f7"), esc("\033[18~"), value("print, 'hi'");
  Variable one{};
  int32_t l = 1;
  store_scalar(&one, TYP_LONG, &l);
  {
    Variable* argv[] = {&name.v, &one, &esc.v};
    const char* argk[] = {"", "BACK_W", "ESC"};
    set_fkey(3, argv, argk);
    const KeyDef* k = find_key_by_sequence("\033[18~");
    ASSERT_NE(k, nullptr);
    EXPECT_EQ(k->name, "F7");
    EXPECT_EQ(k->action, EA_BACK_WORD);
  }
  {
    Variable* argv[] = {&name.v, &value.v, &esc.v, &one, &one};
    const char* argk[] = {"", "", "ESCAPE", "NOECHO", "TERMINATE"};
    set_fkey(5, argv, argk);
    const KeyDef* k = find_key_by_sequence("\033[18~");
    EXPECT_EQ(k->action, EA_INSERT_STRING);
    EXPECT_EQ(k->value, "print, 'hi'");
    EXPECT_EQ(k->flags, KEY_NOECHO | KEY_TERMINATE);
  }
  {
    // Redefined by name alone; the flags are those of this call.
    Variable* argv[] = {&name.v, &value.v};
    set_fkey(2, argv, nullptr);
    EXPECT_EQ(find_key_by_sequence("\033[18~")->flags, 0);
  }
  NamedString unknown("F99");
  Variable* bad[] = {&unknown.v};
  EXPECT_EQ(error_code_of([&] { set_fkey(1, bad, nullptr); }), M_BAD_FKEY);
  EXPECT_NE(messages.find("Not a valid function key: F99."), std::string::npos);
  Variable* number[] = {&one};
  EXPECT_EQ(error_code_of([&] { set_fkey(1, number, nullptr); }), M_NEED_STRING);
}

}  // namespace

namespace {

// Runs f with standard output going to a temporary file and returns what it wrote.
template <typename F>
std::string stdout_of(F&& f) {
  struct Redirect {
    FILE* tmp = tmpfile();
    int saved = dup(1);
    Redirect() {
      fflush(stdout);
      dup2(fileno(tmp), 1);
    }
    ~Redirect() {
      fflush(stdout);
      dup2(saved, 1);
      close(saved);
      fclose(tmp);
    }
  } r;
  f();
  fflush(stdout);
  std::string out;
  rewind(r.tmp);
  for (int c; (c = fgetc(r.tmp)) != EOF;) out += static_cast<char>(c);
  return out;
}

TEST_F(RlineTest, KeyListing) {
  define_key("F2", "print, x", 0, KEY_TERMINATE, "\033[12~");
  define_key("F3", nullptr, 0, 0, "\033[13~");
  std::string out = stdout_of([] { display_fkeys(0, nullptr, false); });
  std::string start = "Pre-defined Keys:\n    ^A" + std::string(22, ' ') + "<Start Of Line>\n";
  EXPECT_EQ(out.substr(0, start.size()), start);
  EXPECT_NE(out.find("\n    ^W, ESC-Delete" + std::string(10, ' ') + "<Delete Word>\n"), std::string::npos);
  EXPECT_NE(out.find("\n    ^text" + std::string(19, ' ') + "<If Line Empty, Find Last Cmd Matching Text>\n"
                     "Function keys:\n    LEFT ARROW <\\033[D> =  <Cursor Left>\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\n    F2 <\\033[12~> = " + std::string(6, ' ') + " print, x  <Terminate>\n"), std::string::npos);
  EXPECT_EQ(out.find("F3"), std::string::npos) << "undefined keys are listed only on request";
  EXPECT_EQ(rline_state & RL_JOURNALLED, RL_JOURNALLED);

  out = stdout_of([] { display_fkeys(0, nullptr, true); });
  EXPECT_NE(out.find("    F3 <\\033[13~> = " + std::string(6, ' ') + " <Undefined>\n"), std::string::npos);

  NamedString f2("f2"), nope("F9");
  Variable* names[] = {&f2.v};
  out = stdout_of([&] { display_fkeys(1, names, false); });
  EXPECT_EQ(out, "    F2 <\\033[12~> = " + std::string(6, ' ') + " print, x  <Terminate>\n");
  Variable* bad[] = {&f2.v, &nope.v};
  EXPECT_EQ(error_code_of([&] { stdout_of([&] { display_fkeys(2, bad, false); }); }), M_BAD_FKEY);
}

TEST_F(RlineTest, RecallListing) {
  rbuf_save("first");
  rbuf_save("second");
  std::string out = stdout_of([] { rbuf_help(); });
  EXPECT_EQ(out, "Recall buffer length: 20\n1\tsecond\n2\tfirst\n");
  EXPECT_EQ(rline_state & (RL_NO_RECALL | RL_JOURNALLED), RL_NO_RECALL | RL_JOURNALLED);
}

}  // namespace
