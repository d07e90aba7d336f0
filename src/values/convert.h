// Type conversion: convert(), the one element-wise routine behind every change of type
// (numbers among themselves, the parsing of strings and the printing of numbers), the
// scalar extractors long_scalar / double_scalar, and basic_type_conversion, the shared
// body of the conversion built-ins. Relies on the value model, the string primitives and
// message(); the ON_IOERROR test and the traceback come through message_hooks.
#pragma once

#include <cstdint>

#include "values/variable.h"

// Converts n consecutive elements at src (of from_type) into n elements at dst (of
// to_type). src and dst may be the same buffer when the destination element is not
// larger than the source element. A STRING destination receives strings that own their
// characters; dst is treated as raw storage (nothing in it is freed). Converting STRING
// in place (src == dst, to a number) releases the source strings, so the caller must
// not free them again. A string that does not scan becomes 0 with message -69, which
// transfers to ON_IOERROR when the current frame has one and otherwise goes on.
void convert(const void* src, void* dst, int32_t n, int from_type, int to_type);

// Names non-finite values the way users read them: the C library's "nan", "-nan",
// "inf" and "-inf" (either case) become "NaN", "Inf" and "-Inf" in place, the text
// keeping its width.
void name_nonfinite(char* text, int len);
// One element of a numeric type (BYTE to COMPLEX) in its type's default output layout,
// non-finite values named as above; returns the text length.
int format_number(char* buf, size_t size, int type, const void* p);

// The value of any scalar as a LONG (truncating) or a DOUBLE; arrays, files and
// structures report -126, undefined -124.
int32_t long_scalar(const Variable* var);
double double_scalar(const Variable* var);

// BYTE, FIX, LONG, FLOAT, DOUBLE: one argument converts (returning argv[0] itself when it
// already has to_type), two or more reinterpret bytes at an offset (the rest being
// dimensions).
Variable* basic_type_conversion(int argc, Variable* argv[], int to_type);

// Exponent fix-up for scanning real numbers: "1.5D2" must read as 1.5E2 and a dangling
// exponent letter ("1.5E") must not spoil the number. flt_d_to_e patches text in place
// and records what it changed; flt_d_to_e_fixup puts the characters back.
struct DtoEFixup {
  char* where[2];
  char saved[2];
  int count;
};
void flt_d_to_e(char* text, bool two_numbers, DtoEFixup* fix);
void flt_d_to_e_fixup(DtoEFixup* fix);
