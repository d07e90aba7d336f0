// The lexer: turns the current compiler input line (cstate, cstate.h) into tokens for
// the parser, one per gettok call, reading further lines through the line-source hook.
// It owns the character classes, the reserved words, numeric constant conversion and
// the function-name decision. The compile drivers plug in the line source, the error
// reporter and the user-routine lookups through LexerHooks.
#pragma once

#include <cstdint>

#include "compiler/cstate.h"
#include "values/ident.h"

struct CodeBlock;  // a compiled program unit; a user routine's record

// Token codes. The numbers are shared with the parse tables and must not change.
enum TokenCode : int32_t {
  TOK_LPAREN = 1,     // "("
  TOK_RPAREN = 2,     // ")"
  TOK_COMMA = 3,      // ","
  TOK_DOT = 4,        // "." not followed by a digit: member operator
  TOK_COLON = 5,      // ":"
  TOK_EQUALS = 6,     // "="
  TOK_LBRACKET = 7,   // "["
  TOK_RBRACKET = 8,   // "]"
  TOK_CARET = 9,      // "^"
  TOK_LBRACE = 10,    // "{"
  TOK_RBRACE = 11,    // "}"
  TOK_ADDOP = 12,     // "+", "-", "<", ">", NOT
  TOK_BEGIN = 13,     // BEGIN
  TOK_LOGOP = 14,     // AND, OR, XOR
  TOK_CASE = 15,      // CASE
  TOK_CONST = 16,     // numeric constant (type and value set)
  TOK_DO = 17,        // DO
  TOK_ELSE = 18,      // ELSE
  TOK_END = 19,       // END, ENDCASE, ENDELSE, ENDFOR, ENDIF, ENDREP, ENDWHILE (word in value)
  TOK_EOS = 20,       // end of line, ";" comment, "&"
  TOK_FOR = 21,       // FOR
  TOK_FUNC = 22,      // function name followed by "(", or "@"
  TOK_JUMP = 23,      // GOTO, ON_IOERROR
  TOK_IDENT = 24,     // any other name, including "!" names
  TOK_IF = 25,        // IF
  TOK_MULOP = 26,     // "*", "/", "#", MOD
  TOK_OF = 27,        // OF
  TOK_DECL = 28,      // COMMON, FUNCTION, PRO
  TOK_RELOP = 29,     // EQ, NE, LE, LT, GE, GT
  TOK_REPEAT = 30,    // REPEAT
  TOK_STRING = 31,    // string constant (value.str, length)
  TOK_THEN = 32,      // THEN
  TOK_UNTIL = 33,     // UNTIL
  TOK_WHILE = 34,     // WHILE
  TOK_EOF = 100,      // control-D: end of input
};

constexpr int MAX_IDENT_CHARS = 128;   // longer names are cut, not refused
constexpr int MAX_NUMBER_CHARS = 128;

// The value of a token. Operator and keyword tokens hold their text (an operator's
// character followed by NUL, or the reserved word itself, at most 10 characters).
union TokenValue {
  char word[16];
  uint8_t c;         // BYTE constant
  int16_t i;         // INT constant
  int32_t l;         // LONG constant
  float f;           // FLOAT constant
  double d;          // DOUBLE constant
  const char* str;   // string constant: its characters (length in Token::length)
  int32_t sysfun;    // function token naming a system function: index in sys_fun_table
  CodeBlock* ufun;   // function token naming a user function (null for CALL_FUNCTION)
};

// The record gettok fills; cleared at every call.
struct Token {
  int32_t code;       // TokenCode
  int32_t type;       // TypeCode of a numeric constant; 1 for a single-character token
  // String constant: its character count. Identifier: characters kept. Function token:
  // 1 for a system function, 0 for a user function.
  int32_t length;
  TokenValue value;
  const char* text;   // identifiers and reserved words: the upper-case, NUL-terminated name
};

// Services of the compile drivers. Every hook may be null; the defaults make the lexer
// usable on its own (for tests and before the compiler is installed).
struct LexerHooks {
  // comp_getline(0): reads the next source line into cstate.line (normally
  // cstate.line_buffer), NUL-terminated. Null: the input is at its end (the lexer
  // supplies the two control-D characters itself).
  void (*getline)(const char* at) = nullptr;
  // scnerr(code, syserr, action, ...): reports a compile error at cstate.cursor. The
  // lexer passes MSG_LONGJMP and expects no return; if the hook returns anyway the lexer
  // throws VekJump itself. Null: message() is called directly.
  void (*scnerr)(int code, int syserr, int action, ...) = nullptr;
  // The user function of this name in ufuntab, or null. Null hook: none.
  CodeBlock* (*find_user_function)(const IdentEntry* name) = nullptr;
  // True when the name is a variable of the program area being compiled (looksym in
  // c_prog). Null hook: no variables.
  bool (*is_program_variable)(const IdentEntry* name) = nullptr;
  // is_in_library: true when name".pro" (or ".sav") exists along the search path. The
  // name is in lower case. Null hook: no library.
  bool (*is_in_library)(const char* lower_name) = nullptr;
  // Enters an empty user-function record of this name in ufuntab (compiled on its first
  // call) and returns it. Needed only when is_in_library can answer true.
  CodeBlock* (*new_user_function)(IdentEntry* name) = nullptr;
};
extern LexerHooks lexer_hooks;

// Fills tok with the next token. Errors (-39, -40, -41) go through the scnerr hook and
// end the statement's compilation; the driver then sets cstate.cursor to null so the
// rest of the faulty line is dropped.
void gettok(Token* tok);

// Character classes (indexed by the character masked to 7 bits): negative entries are
// single-character tokens (code = -class).
enum CharClass : int8_t {
  CC_ILLEGAL = 0,
  CC_BLANK = 1,
  CC_BANG = 2,       // "!": system-variable names
  CC_DQUOTE = 3,
  CC_DOLLAR = 4,     // continuation
  CC_QUOTE = 5,
  CC_DOT = 6,
  CC_DIGIT = 7,
  CC_COMMENT = 8,    // ";"
  CC_UPPER = 9,      // A-Z and "_"
  CC_LOWER = 10,
  CC_EOL = 11,       // NUL, LF, CR
  CC_AT = 12,        // "@": RHO_FUNCTION
};
extern const int8_t char_class[128];

// The 34 reserved words in byte order, with the token code of each.
constexpr int N_RESERVED = 34;
extern const char* const reserved_words[N_RESERVED];
extern const uint8_t reserved_codes[N_RESERVED];
