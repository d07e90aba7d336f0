#include <cstring>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "compiler/lexer.h"
#include "interp/routines.h"
#include "test_support.h"

namespace {

// The compiler-side services, played by the test: a queue of source lines, a user
// function table, the variables of the unit and the library contents.
std::deque<std::string> source_lines;
std::vector<std::string> user_functions, unit_variables, library_files;
std::vector<std::string> entered_functions;

CodeBlock* fake_record(int k) { return reinterpret_cast<CodeBlock*>(static_cast<uintptr_t>(0x1000 + 16 * k)); }

void test_getline(const char*) {
  cstate.line = cstate.line_buffer;
  if (source_lines.empty()) {
    strcpy(cstate.line_buffer, "\x04\x04");
    return;
  }
  snprintf(cstate.line_buffer, LINE_BUFFER_SIZE, "%s\n", source_lines.front().c_str());
  source_lines.pop_front();
}

int index_in(const std::vector<std::string>& v, const char* name) {
  for (size_t k = 0; k < v.size(); k++)
    if (v[k] == name) return static_cast<int>(k);
  return -1;
}

CodeBlock* test_find_user_function(const IdentEntry* id) {
  int k = index_in(user_functions, id->name);
  return k >= 0 ? fake_record(k) : nullptr;
}
bool test_is_program_variable(const IdentEntry* id) { return index_in(unit_variables, id->name) >= 0; }
bool test_is_in_library(const char* lower) { return index_in(library_files, lower) >= 0; }
CodeBlock* test_new_user_function(IdentEntry* id) {
  entered_functions.push_back(id->name);
  return fake_record(100);
}

Variable* no_fun(int, Variable*[], KwNames) { return nullptr; }
constexpr RoutineEntry kTestFunctions[] = {
    {no_fun, "FINDGEN", 1, 1},
    {no_fun, "RHO_FUNCTION", 1, 1},
    {no_fun, "SIN", 1, 1},
};

class LexerTest : public VekTest {
 protected:
  static void SetUpTestSuite() {
    // Names the library case interns; interned once so that tests start from a stable
    // allocator baseline.
    ident_hash("LIBFUN", 0, 0, MSG_LONGJMP);
    ident_hash("A", 0, 0, MSG_LONGJMP);
    ident_hash("MYFUN", 0, 0, MSG_LONGJMP);
  }
  void SetUp() override {
    saved_hooks_ = lexer_hooks;
    saved_table_ = sys_fun_table;
    sys_fun_table = nullptr;
    VekTest::SetUp();
    ASSERT_EQ(add_to_routine_table(&sys_fun_table, kTestFunctions, 3), 1);
    lexer_hooks = LexerHooks{};
    lexer_hooks.getline = test_getline;
    lexer_hooks.find_user_function = test_find_user_function;
    lexer_hooks.is_program_variable = test_is_program_variable;
    lexer_hooks.is_in_library = test_is_in_library;
    lexer_hooks.new_user_function = test_new_user_function;
    source_lines.clear();
    user_functions.clear();
    unit_variables.clear();
    library_files.clear();
    entered_functions.clear();
    cstate.cursor = nullptr;
    cstate.single_stmt = 0;
    cstate.dot_flag = 0;
  }
  void TearDown() override {
    counting_free(sys_fun_table);
    sys_fun_table = saved_table_;
    lexer_hooks = saved_hooks_;
    cstate.cursor = nullptr;
    VekTest::TearDown();
  }

  // Tokens of the given lines up to (not including) the first end of statement.
  std::vector<Token> statement(std::initializer_list<const char*> lines) {
    for (const char* l : lines) source_lines.push_back(l);
    std::vector<Token> out;
    for (;;) {
      Token t;
      gettok(&t);
      if (t.code == TOK_EOS || t.code == TOK_EOF) return out;
      out.push_back(t);
    }
  }
  Token first(const char* line) {
    source_lines.push_back(line);
    Token t;
    gettok(&t);
    return t;
  }
  // Error code raised while scanning the line to its end (0 when none).
  int scan_error(const char* line) {
    cstate.cursor = nullptr;
    source_lines = {line};
    int code = error_code_of([&] {
      Token t;
      do gettok(&t);
      while (t.code != TOK_EOS && t.code != TOK_EOF);
    });
    cstate.cursor = nullptr;  // as the compile driver does after an error
    return code;
  }
  std::vector<int> codes(std::initializer_list<const char*> lines) {
    std::vector<int> c;
    for (const Token& t : statement(lines)) c.push_back(t.code);
    return c;
  }

  LexerHooks saved_hooks_;
  RoutineTable* saved_table_ = nullptr;
};

TEST_F(LexerTest, IntegerConstantsTakeTypeFromValueAndSuffix) {
  struct Case {
    const char* text;
    int type;
    int64_t value;
  } cases[] = {
      {"32767", TYP_INT, 32767},         {"32768", TYP_LONG, 32768},      {"40000", TYP_LONG, 40000},
      {"12L", TYP_LONG, 12},             {"12l", TYP_LONG, 12},           {"255B", TYP_BYTE, 255},
      {"7b", TYP_BYTE, 7},               {"12LB", TYP_BYTE, 12},          {"'7FFF'X", TYP_INT, 0x7fff},
      {"'8000'X", TYP_LONG, 0x8000},     {"'ff'x", TYP_INT, 0xff},        {"'FF'XB", TYP_BYTE, 0xff},
      {"'FF'XL", TYP_LONG, 0xff},        {"\"17", TYP_INT, 017},          {"'17'O", TYP_INT, 017},
      {"\"777777", TYP_LONG, 0777777},   {"\"17L", TYP_LONG, 017},        {"0", TYP_INT, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Token t = first(c.text);
    ASSERT_EQ(t.code, TOK_CONST);
    ASSERT_EQ(t.type, c.type);
    int64_t v = c.type == TYP_BYTE ? t.value.c : c.type == TYP_INT ? t.value.i : t.value.l;
    EXPECT_EQ(v, c.value);
    Token after;
    gettok(&after);
    EXPECT_EQ(after.code, TOK_EOS) << "the whole constant, suffixes included, is one token";
    cstate.cursor = nullptr;
  }
}

TEST_F(LexerTest, FloatingConstants) {
  struct Case {
    const char* text;
    int type;
    double value;
  } cases[] = {
      {"1E", TYP_FLOAT, 1.0},     {"1D", TYP_DOUBLE, 1.0},     {"1.5D3", TYP_DOUBLE, 1500.0},
      {"1.5d-1", TYP_DOUBLE, 0.15}, {".25", TYP_FLOAT, 0.25},  {"2.", TYP_FLOAT, 2.0},
      {"3e+", TYP_FLOAT, 3.0},    {"2.5E2", TYP_FLOAT, 250.0}, {"0.1D0", TYP_DOUBLE, 0.1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Token t = first(c.text);
    ASSERT_EQ(t.code, TOK_CONST);
    ASSERT_EQ(t.type, c.type);
    if (c.type == TYP_FLOAT) EXPECT_EQ(t.value.f, static_cast<float>(c.value));
    else EXPECT_EQ(t.value.d, c.value);
    cstate.cursor = nullptr;
  }
  // The floating forms take no integer suffix: "L" starts a new name.
  EXPECT_EQ(codes({"1.5L"}), (std::vector<int>{TOK_CONST, TOK_IDENT}));
}

TEST_F(LexerTest, BadConstantsAreReported) {
  EXPECT_EQ(scan_error("256B"), M_BYTE_CONST);
  EXPECT_EQ(scan_error("'100'XB"), M_BYTE_CONST);
  EXPECT_EQ(scan_error("\"17.5"), M_BAD_HEX_OCTAL);
  EXPECT_EQ(scan_error("\"18"), M_BAD_HEX_OCTAL);
  EXPECT_EQ(scan_error("\"1E3"), M_BAD_HEX_OCTAL);
  EXPECT_EQ(scan_error("'1.5'X"), M_BAD_HEX_OCTAL);
  EXPECT_EQ(scan_error("'FG'X"), M_BAD_HEX_OCTAL);
  EXPECT_EQ(scan_error("'8'O"), M_BAD_HEX_OCTAL);
  EXPECT_EQ(scan_error("''X"), M_BAD_HEX_OCTAL);
  EXPECT_EQ(scan_error("x = 1 % 2"), M_ILLEGAL_CHAR);
  EXPECT_EQ(scan_error("?"), M_ILLEGAL_CHAR);
  EXPECT_EQ(scan_error("a ~ b"), M_ILLEGAL_CHAR);
  EXPECT_EQ(scan_error("255B + '7FFF'X + \"7 + 1.5D3"), 0);
}

TEST_F(LexerTest, HighBitCharactersScanAsTheirSevenBitForms) {
  // Each pair: a text with characters above 127, and its form with the top bits cleared.
  const std::pair<const char*, const char*> pairs[] = {
      {"\xae" "25", ".25"}, {"\xb1\xb2", "12"}, {"1\xae" "5", "1.5"}, {"2\xc5\xab" "1", "2E+1"}};
  for (const auto& [high, low] : pairs) {
    SCOPED_TRACE(low);
    Token h = first(high);
    cstate.cursor = nullptr;
    Token l = first(low);
    cstate.cursor = nullptr;
    ASSERT_EQ(h.code, TOK_CONST);
    ASSERT_EQ(h.type, l.type);
    EXPECT_EQ(memcmp(&h.value, &l.value, sizeof h.value), 0);
  }
  // A dot-class character before a digit used to leave the scan where it was, so that
  // error recovery read the same token for ever.
  EXPECT_EQ(codes({"x = \xae" "1, 2]"}), codes({"x = .1, 2]"}));
}

TEST_F(LexerTest, IllegalCharacterErrorPointsAtIt) {
  source_lines.push_back("abc | d");
  Token t;
  gettok(&t);
  EXPECT_EQ(error_code_of([&] { gettok(&t); }), M_ILLEGAL_CHAR);
  EXPECT_EQ(*cstate.cursor, '|');
  EXPECT_EQ(cstate.token_start, cstate.cursor);
}

TEST_F(LexerTest, StringConstants) {
  Token t = first("'It''s'");
  ASSERT_EQ(t.code, TOK_STRING);
  EXPECT_EQ(std::string(t.value.str, static_cast<size_t>(t.length)), "It's");
  cstate.cursor = nullptr;
  t = first("\"say \"\"hi\"\" it's\"");
  EXPECT_EQ(std::string(t.value.str, static_cast<size_t>(t.length)), "say \"hi\" it's");
  cstate.cursor = nullptr;
  t = first("'abc");  // unterminated: ends with the line, no error
  ASSERT_EQ(t.code, TOK_STRING);
  EXPECT_EQ(std::string(t.value.str, static_cast<size_t>(t.length)), "abc");
  gettok(&t);
  EXPECT_EQ(t.code, TOK_EOS);
  cstate.cursor = nullptr;
  t = first("''");
  EXPECT_EQ(t.code, TOK_STRING);
  EXPECT_EQ(t.length, 0);
  cstate.cursor = nullptr;
  // A double quote followed by a non-octal character starts a string.
  t = first("\"9 lives\"");
  ASSERT_EQ(t.code, TOK_STRING);
  EXPECT_EQ(std::string(t.value.str, static_cast<size_t>(t.length)), "9 lives");
}

TEST_F(LexerTest, StringSurvivesContinuationLine) {
  auto toks = statement({"x = 'abc' $", "  + 'de''f'"});
  ASSERT_EQ(toks.size(), 5u);
  EXPECT_EQ(std::string(toks[2].value.str, 3), "abc");
  EXPECT_EQ(std::string(toks[4].value.str, 4), "de'f");
}

TEST_F(LexerTest, ReservedWordsInAnyCase) {
  for (const char* w : {"while", "While", "WHILE"}) {
    Token t = first(w);
    EXPECT_EQ(t.code, TOK_WHILE) << w;
    EXPECT_STREQ(t.value.word, "WHILE");
    cstate.cursor = nullptr;
  }
  struct Case {
    const char* text;
    int code;
    const char* word;
  } cases[] = {{"endwhile", TOK_END, "ENDWHILE"}, {"EndIf", TOK_END, "ENDIF"},   {"mod", TOK_MULOP, "MOD"},
               {"not", TOK_ADDOP, "NOT"},          {"xor", TOK_LOGOP, "XOR"},    {"on_ioerror", TOK_JUMP, "ON_IOERROR"},
               {"goto", TOK_JUMP, "GOTO"},         {"function", TOK_DECL, "FUNCTION"}, {"ge", TOK_RELOP, "GE"},
               {"of", TOK_OF, "OF"},               {"begin", TOK_BEGIN, "BEGIN"}};
  for (const Case& c : cases) {
    Token t = first(c.text);
    EXPECT_EQ(t.code, c.code) << c.text;
    EXPECT_STREQ(t.value.word, c.word);
    cstate.cursor = nullptr;
  }
  // Near misses are names.
  EXPECT_EQ(codes({"ends endw iff"}), (std::vector<int>{TOK_IDENT, TOK_IDENT, TOK_IDENT}));
}

TEST_F(LexerTest, ReservedWordTableIsSortedForBinarySearch) {
  for (int k = 1; k < N_RESERVED; k++) EXPECT_LT(strcmp(reserved_words[k - 1], reserved_words[k]), 0);
  for (int k = 0; k < N_RESERVED; k++) EXPECT_EQ(binsrch(reserved_words[k], reserved_words, N_RESERVED), k);
}

TEST_F(LexerTest, OperatorsCarryTheirCharacter) {
  auto toks = statement({"a=b+c-d<e>f*g/h#i^j:k,[l]{m}(n)&"});
  std::string ops;
  for (const Token& t : toks)
    if (t.code != TOK_IDENT) {
      ops += t.value.word[0];
      EXPECT_EQ(t.type, 1);
    }
  EXPECT_EQ(ops, "=+-<>*/#^:,[]{}()");
  EXPECT_EQ(toks[3].code, TOK_ADDOP);
  EXPECT_EQ(toks[11].code, TOK_MULOP);
  EXPECT_EQ(toks[17].code, TOK_CARET);
}

TEST_F(LexerTest, IdentifiersAreFoldedAndCut) {
  source_lines.push_back("abc_1$x !p.title");
  Token a, b, c;
  gettok(&a);
  gettok(&b);
  // The previous identifier's text survives the next one (one token of lookahead).
  EXPECT_STREQ(a.text, "ABC_1$X");
  EXPECT_EQ(a.length, 7);
  EXPECT_STREQ(b.text, "!P");
  gettok(&c);
  EXPECT_EQ(c.code, TOK_DOT);
  gettok(&c);
  EXPECT_STREQ(c.text, "TITLE");
  EXPECT_STREQ(b.text, "!P");
  cstate.cursor = nullptr;

  std::string longname(200, 'q');
  auto toks = statement({(longname + " = 1").c_str()});
  ASSERT_EQ(toks.size(), 3u);
  EXPECT_EQ(toks[0].length, MAX_IDENT_CHARS);
  EXPECT_EQ(std::string(toks[0].text), std::string(MAX_IDENT_CHARS, 'Q'));
  EXPECT_EQ(toks[1].code, TOK_EQUALS);
}

TEST_F(LexerTest, NumbersAndNamesSplitWhereTheCharacterClassChanges) {
  auto toks = statement({"x.y 2b 1.5.5 a@"});
  std::vector<int> c;
  for (auto& t : toks) c.push_back(t.code);
  EXPECT_EQ(c, (std::vector<int>{TOK_IDENT, TOK_DOT, TOK_IDENT, TOK_CONST, TOK_CONST, TOK_CONST, TOK_IDENT,
                                 TOK_FUNC}));
  EXPECT_EQ(toks[3].type, TYP_BYTE);
}

TEST_F(LexerTest, SystemFunctionFollowedByParenthesisIsAFunctionToken) {
  auto toks = statement({"y = findgen  (3) + findgen + sin(x)"});
  ASSERT_GE(toks.size(), 8u);
  EXPECT_EQ(toks[2].code, TOK_FUNC);
  EXPECT_EQ(toks[2].length, 1);
  EXPECT_EQ(sys_fun_table->entries[toks[2].value.sysfun], is_sys_function("FINDGEN"));
  EXPECT_EQ(toks[7].code, TOK_IDENT) << "no parenthesis: a variable";
  EXPECT_EQ(toks[9].code, TOK_FUNC);
  EXPECT_EQ(sys_fun_table->entries[toks[9].value.sysfun], is_sys_function("SIN"));
}

TEST_F(LexerTest, MemberOperatorNeverCallsAFunction) {
  auto toks = statement({"z = x.findgen(3) + x.sin (1)"});
  ASSERT_EQ(toks.size(), 15u);
  EXPECT_EQ(toks[4].code, TOK_IDENT);
  EXPECT_EQ(toks[11].code, TOK_IDENT);
  // The dot flag lasts for one token only.
  toks = statement({"x.y + sin(1)"});
  EXPECT_EQ(toks[4].code, TOK_FUNC);
}

TEST_F(LexerTest, SystemVariableIsNeverAFunction) {
  auto toks = statement({"!findgen(1)"});
  EXPECT_EQ(toks[0].code, TOK_IDENT);
}

TEST_F(LexerTest, UserAndLibraryFunctions) {
  user_functions = {"MYFUN"};
  library_files = {"libfun", "a"};
  unit_variables = {"A", "SIN"};
  auto toks = statement({"q = myfun(1) + call_function('f') + libfun(2) + a(1) + sin(2) + nolib(3)"});
  ASSERT_EQ(toks.size(), 31u);
  EXPECT_EQ(toks[2].code, TOK_FUNC);
  EXPECT_EQ(toks[2].length, 0);
  EXPECT_EQ(toks[2].value.ufun, fake_record(0));
  EXPECT_EQ(toks[7].code, TOK_FUNC);
  EXPECT_EQ(toks[7].value.ufun, nullptr);
  EXPECT_EQ(toks[7].length, 0);
  EXPECT_EQ(toks[12].code, TOK_FUNC);
  EXPECT_EQ(toks[12].value.ufun, fake_record(100));
  EXPECT_EQ(toks[12].length, 0);
  EXPECT_EQ(entered_functions, std::vector<std::string>{"LIBFUN"});
  // A local variable named like a library routine is subscripted...
  EXPECT_EQ(toks[17].code, TOK_IDENT);
  // ...but a system function is found before the variables are looked at.
  EXPECT_EQ(toks[22].code, TOK_FUNC);
  EXPECT_EQ(toks[22].length, 1);
  EXPECT_EQ(toks[27].code, TOK_IDENT);
}

TEST_F(LexerTest, AtSignCallsRhoFunction) {
  auto toks = statement({"@x"});
  ASSERT_EQ(toks.size(), 2u);
  EXPECT_EQ(toks[0].code, TOK_FUNC);
  EXPECT_EQ(toks[0].length, 1);
  EXPECT_EQ(sys_fun_table->entries[toks[0].value.sysfun], is_sys_function("RHO_FUNCTION"));
}

TEST_F(LexerTest, ContinuationSkipsCommentsAndBlankLines) {
  EXPECT_EQ(codes({"x = 1 + $ ; the rest is ignored", "", "   ; only a comment", "\t 2 ; done"}),
            (std::vector<int>{TOK_IDENT, TOK_EQUALS, TOK_CONST, TOK_ADDOP, TOK_CONST}));
  // The comment ended the statement; the next call reads a new line.
  EXPECT_EQ(codes({"y"}), std::vector<int>{TOK_IDENT});
}

TEST_F(LexerTest, EmptyLinesAndCommentsBeforeAStatementAreSkipped) {
  EXPECT_EQ(codes({"", "   ", "; hello", "  a & b"}), std::vector<int>{TOK_IDENT});
  Token t;
  gettok(&t);
  EXPECT_EQ(t.code, TOK_IDENT);
  EXPECT_STREQ(t.text, "B");
}

TEST_F(LexerTest, SingleStatementModeAppendsEnd) {
  cstate.single_stmt = 1;
  strcpy(cstate.line_buffer, "print, 1");
  cstate.line = cstate.cursor = cstate.line_buffer;
  std::vector<int> c;
  Token t;
  for (int k = 0; k < 6; k++) {
    gettok(&t);
    c.push_back(t.code);
  }
  EXPECT_EQ(c, (std::vector<int>{TOK_IDENT, TOK_COMMA, TOK_CONST, TOK_EOS, TOK_EOS, TOK_END}));
  EXPECT_STREQ(t.value.word, "END");
  EXPECT_TRUE(source_lines.empty());
}

TEST_F(LexerTest, SingleStatementContinuationReadsTheNextLine) {
  cstate.single_stmt = 1;
  strcpy(cstate.line_buffer, "x = 1 + $");
  cstate.line = cstate.cursor = cstate.line_buffer;
  source_lines.push_back("2");
  std::vector<int> c;
  Token t;
  for (int k = 0; k < 7; k++) {
    gettok(&t);
    c.push_back(t.code);
  }
  EXPECT_EQ(c, (std::vector<int>{TOK_IDENT, TOK_EQUALS, TOK_CONST, TOK_ADDOP, TOK_CONST, TOK_EOS, TOK_EOS}));
}

TEST_F(LexerTest, EndOfInput) {
  Token t;
  gettok(&t);
  EXPECT_EQ(t.code, TOK_EOF);
  gettok(&t);
  EXPECT_EQ(t.code, TOK_EOF);
  lexer_hooks.getline = nullptr;  // no line source at all: also the end
  cstate.cursor = nullptr;
  gettok(&t);
  EXPECT_EQ(t.code, TOK_EOF);
}

int reported_code, reported_action;
void returning_scnerr(int code, int, int action, ...) {
  reported_code = code;
  reported_action = action;
}

TEST_F(LexerTest, ErrorGoesThroughTheCompilerReporter) {
  reported_code = reported_action = 0;
  lexer_hooks.scnerr = returning_scnerr;  // returns: the lexer must still not go on
  EXPECT_EQ(scan_error("256b"), M_BYTE_CONST);
  EXPECT_EQ(reported_code, M_BYTE_CONST);
  EXPECT_EQ(reported_action & 0xffff, MSG_LONGJMP);
}

}  // namespace
