// Fuzz target: data files read through the language's READU and READF. The input is a
// short header and the file's contents:
//   byte 0   the transfer: READU on a native, XDR or F77_UNFORMATTED unit, READF with a
//            format, or READF in free format;
//   byte 1   the number of variables read (1-4), then one byte per variable: its type
//            (BYTE ... STRING) and its length (a scalar or an array of up to 5);
//   then, for READF with a format, the format text up to a line end;
//   the rest is written to a file that the statements open and read twice (the second
//   read meets the end of the file or what is left of it).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

// An expression making a variable of type 1-7 with n elements (0: a scalar). A scalar
// string gets `chars` characters, as many as READU reads into it.
std::string maker(int type, int n, int chars) {
  static const char* const scalars[] = {"", "0B", "0", "0L", "0.0", "0D", "COMPLEX(0,0)", ""};
  static const char* const arrays[] = {"", "BYTARR", "INTARR", "LONARR", "FLTARR", "DBLARR", "COMPLEXARR", "STRARR"};
  if (type == 7 && n == 0) return "'" + std::string(static_cast<size_t>(chars), 'x') + "'";
  if (n == 0) return scalars[type];
  return std::string(arrays[type]) + "(" + std::to_string(n) + ")";
}

// A text as a string constant of the language.
std::string quoted(const std::string& text) {
  std::string q = "'";
  for (char c : text) {
    if (c == '\'') q += '\'';
    q += c;
  }
  return q + "'";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::init_session();
  if (size < 3) return 0;
  size_t at = 0;
  int mode = data[at++] % 5;
  int count = 1 + data[at++] % 4;
  std::vector<std::string> names;
  std::vector<std::string> statements;
  for (int i = 0; i < count && at < size; i++) {
    uint8_t b = data[at++];
    std::string name = "v" + std::to_string(i);
    statements.push_back(name + " = " + maker(1 + b % 7, (b >> 3) % 6, 1 + (b >> 5)));
    names.push_back(name);
  }
  std::string format;
  if (mode == 3) {
    while (at < size && data[at] != '\n' && format.size() < 200) {
      if (data[at]) format += static_cast<char>(data[at]);
      at++;
    }
    if (at < size) at++;
  }
  fuzz::write_scratch_file("data.bin", std::string(reinterpret_cast<const char*>(data) + at, size - at));

  static const char* const opens[] = {"", ", /XDR", ", /F77_UNFORMATTED", "", ""};
  statements.insert(statements.begin(), std::string("OPENR, 1, 'data.bin'") + opens[mode]);
  std::string read = mode < 3 ? "READU, 1" : "READF, 1";
  for (const std::string& n : names) read += ", " + n;
  if (mode == 3) read += ", FORMAT=" + quoted(format);
  statements.push_back(read);
  statements.push_back(read);
  statements.push_back("CLOSE, 1");
  for (const std::string& s : statements) fuzz::run_statement(s);
  fuzz::reset_session();
  return 0;
}
