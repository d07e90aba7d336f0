// The format language of explicitly formatted transfers: init_fmt compiles a format
// text into FormatNodes (reporting errors with the format shown and the failing column
// marked), fmt_output and fmt_input walk the nodes over the caller's records, and
// cleanup_fmt releases the compiled format. Relies on the value model, conversions and
// message(); records come from and go to the caller (exec_io) through RecordIo.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "values/variable.h"

enum FormatKind : uint8_t {
  FK_TEXT = 0,  // "..." or '...'
  FK_OPEN,      // [n](
  FK_CLOSE,     // )
  FK_SLASH,     // /  end of record
  FK_COMMA,     // ,  (separator only; never compiled)
  FK_COLON,     // :  end of transfer when no data remain
  FK_DOLLAR,    // $  no end of record after the output
  FK_I,         // [n]I[w[.m]]
  FK_O,         // [n]O[w[.m]]
  FK_z,         // [n]z[w[.m]]  lower-case hexadecimal
  FK_Z,         // [n]Z[w[.m]]  upper-case hexadecimal
  FK_F,         // [n]F[w.d], also D
  FK_e,         // [n]e[w.d[Ee]]
  FK_E,         // [n]E[w.d[Ee]]
  FK_g,         // [n]g[w.d[Ee]]
  FK_G,         // [n]G[w.d[Ee]]
  FK_A,         // [n]A[w]
  FK_H,         // nH followed by n characters
  FK_X,         // [n]X  skip n columns
  FK_Q,         // Q     (input) characters left in the record
  FK_T,         // Tn    to column n
  FK_TL,        // TLn   n columns left
  FK_TR,        // TRn   n columns right
};
constexpr int N_FORMAT_KINDS = 23;
// Names of the kinds in messages.
extern const char* const format_kind_name[N_FORMAT_KINDS];

// True for the codes that consume a data element.
inline bool is_data_code(int kind) { return kind >= FK_I && kind <= FK_A; }

// One compiled element. Absent numbers are -1; repeat is 1 when none was written.
// Text and Hollerith nodes keep their characters at `pos` in the format text, with the
// character count in `width`.
struct FormatNode {
  uint8_t kind;
  uint8_t repeat_given;
  uint16_t spare;
  int32_t repeat;
  int32_t pos;
  int32_t width;
  int32_t digits;
  int32_t exp_width;
};
static_assert(sizeof(FormatNode) == 24);

constexpr int MAX_FORMAT_NODES = 200;
constexpr int MAX_REPEAT = 32767;
constexpr int MAX_FIELD = 255;
constexpr int MAX_HOLLERITH = 255;
// Longest record a formatted output may build (-227 beyond it).
constexpr size_t MAX_FORMAT_RECORD = 65535;

// The format being used. nodes[0] is the outer "(" and nodes[end - 1] its ")".
struct FormatState {
  std::string text;      // the format text
  size_t cursor = 0;     // compile position (the failing column after an error)
  std::unique_ptr<FormatNode[]> nodes;
  int end = 0;           // number of nodes
  int current = 0;       // node being executed
  int reversion = 0;     // where a format exhausted with data left starts again
  int n_dollar = 0;      // "$" codes seen
};
extern FormatState fmt;

// Compiles format_text into fmt. Errors show the format and unwind with action 3 (the
// compiled state is released first).
void init_fmt(const char* format_text);
// Releases the compiled format.
void cleanup_fmt();

// Releases the compiled format when the transfer's scope ends, however it ends.
struct FormatScope {
  FormatScope() = default;
  FormatScope(const FormatScope&) = delete;
  FormatScope& operator=(const FormatScope&) = delete;
  ~FormatScope() { cleanup_fmt(); }
};

// The records of a transfer. Output: put receives each finished record; end_line is
// false only for the last record of a format with "$". Input: get stores the next
// record (without its line end) and returns false, saying nothing, when there is none.
// When a record is needed and there is none, at_end reports it (it must unwind); when
// at_end is null, -229 names `unit`. A record that is not needed (a "/" after the last
// element) may be missing without error.
struct RecordIo {
  void (*put)(void* ctx, const char* text, size_t length, bool end_line) = nullptr;
  bool (*get)(void* ctx, std::string& record) = nullptr;
  void (*at_end)(void* ctx) = nullptr;
  void* ctx = nullptr;
  int unit = 0;
};
// Reports the end of the input of io (at_end, or -229); never returns.
[[noreturn]] void report_end_of_input(const RecordIo& io);

// Polled between elements: true when the user asked to interrupt (the transfer then
// stops quietly). Null: never.
extern bool (*io_interrupt_requested)();

// Walk the compiled format over n values (output) or n targets (input). Return the
// number of elements moved.
int32_t fmt_output(int n, Variable* const values[], const RecordIo& io);
int32_t fmt_input(int n, Variable* const targets[], const RecordIo& io);
