// Save and restore files: the XDR stream of a SAVE or RESTORE unit with its primitives
// (each one routine for both directions, as XDR filters are), the record chain, and the
// encodings of values (with structure definitions) and of compiled routines. The
// built-ins that walk the session's variables live in lib/save_restore. Relies on the
// file units (an XDR unit's stream), the value model, structures, the byte code and the
// routine tables; failures go through message().
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <rpc/types.h>
#include <rpc/xdr.h>

#include "compiler/bytecode.h"
#include "values/ident.h"
#include "values/struct.h"
#include "values/variable.h"

constexpr uint32_t SAVE_SIGNATURE = 0x53520004;       // "SR", 0, 4
constexpr uint32_t SAVE_SIGNATURE_VMS = 0x53520005;
constexpr uint32_t SAVE_SIGNATURE_V1 = 0x03003CD9;

enum SaveRecordType : int32_t {
  SR_COMMON = 1,
  SR_VARIABLE = 2,
  SR_SYSVAR = 3,
  SR_UNUSED = 4,
  SR_UNFINISHED = 5,
  SR_END = 6,
  SR_DATA_MARK = 7,    // inside values: the data follow
  SR_ARRAY_MARK = 8,   // inside values: an array descriptor follows
  SR_STRUCT_MARK = 9,  // inside values: a structure definition follows
  SR_TIMESTAMP = 10,
  SR_OLD_ROUTINE = 11,
  SR_ROUTINE = 12,
};

constexpr int SR_MAX_ID = 128;          // identifiers
constexpr int SR_MAX_TEXT = 255;        // timestamp strings
constexpr int SR_MAX_STRUCT_DEPTH = 32; // nesting of structure definitions in a file

// Structure definition flag bit 0: already written earlier in this file.
constexpr uint32_t SDEF_WRITTEN = 1;

struct BlockCodec;

// The stream of one open save unit. Reading checks every count against the bytes left
// in the file before anything is allocated for it.
class SaveStream {
 public:
  // unit: an open XDR unit (FA_XDR), for reading or for writing.
  explicit SaveStream(int unit);
  SaveStream(const SaveStream&) = delete;
  SaveStream& operator=(const SaveStream&) = delete;

  bool writing() const { return xdrs_->x_op == XDR_ENCODE; }
  int unit() const { return unit_; }

  // XDR primitives, in place: encode the argument or decode into it.
  void x_long(int32_t& v);
  void x_short(int16_t& v);
  void x_u_char(uint8_t& v);
  void x_float(float& v);
  void x_mips_double(double& v);  // high word, then low word
  void x_complex(Complex& v);
  void x_opaque(uint8_t* p, uint32_t n);  // count, bytes, padding
  // An identifier (empty: none). Decoding enters a non-empty name in the identifier table.
  void x_id(IdentEntry*& id);
  // A bounded XDR string (the timestamp texts).
  void x_text(std::string& s, uint32_t max);
  // A string value: length as a short, then (if not empty) the characters as an XDR
  // string. Decoding gives the descriptor freshly allocated characters.
  void x_vek_string(StringDesc& s);
  // n elements of a numeric or string type in memory order, encoded with the type's
  // primitive; numeric blocks are converted in bulk.
  void x_elements(int type, void* data, uint32_t n);

  // A long that must equal `want` when decoding (markers 7, 8, 9): -250 otherwise.
  void x_marker(int32_t want);

  long pos();
  void seek(long offset);
  long size() const { return size_; }
  long remaining();
  // Decoding: fails (-182, end of file) unless `bytes` more bytes are in the file.
  void need(uint64_t bytes);

  // Record framing: begin_record writes a type-5 header, end_record rewrites it with the
  // real type and the next offset and returns to the end.
  void begin_record();
  void end_record(int32_t type);
  // Reads a header; returns the type and sets next.
  int32_t read_header(int32_t* next);

  [[noreturn]] void fail_read();
  [[noreturn]] void fail_eof();
  [[noreturn]] void fail_write();

 private:
  // n elements between memory and the file, converted by the codec on the way.
  void bulk(const BlockCodec& c, uint8_t* mem, uint64_t n);

  int unit_;
  FILE* stream_;
  XDR* xdrs_;
  long size_ = 0;
  long record_start_ = -1;
  std::unique_ptr<uint8_t[]> chunk_;  // conversion buffer of bulk transfers
};

// ---- values -------------------------------------------------------------------------------
// Writes a value (type and flags, descriptor, structure definition, data).
void sr_write_value(SaveStream& s, Variable* v);
// Reads a value into a new temporary; nothing is left allocated when it fails.
Variable* sr_read_value(SaveStream& s);
// Clears the "written in this file" bit of every named structure definition.
void sr_reset_struct_flags();

// Restoring structure definitions reports conflicts with existing definitions through
// these codes (action 2) and tag-name differences with -261 (action 4).

// ---- routines ---------------------------------------------------------------------------
// Writes the contents of a routine record (type 12) for a compiled routine.
void sr_write_routine(SaveStream& s, CodeBlock* cb);
// Reads a routine record and installs the routine; returns its record. `active` tells
// whether a routine is executing (restoring it then fails with -266).
CodeBlock* sr_read_routine(SaveStream& s, bool (*active)(const CodeBlock*));

// Checks that code[0..len) is a well-formed instruction sequence for a unit with the
// given counts: every opcode known, every instruction aligned and inside the code, the
// last one END, frame slots, parameters, common entries and branch targets in range.
// Returns false at the first fault. Exposed for the tests.
bool sr_code_valid(const uint8_t* code, uint32_t len, uint32_t n_vars, uint32_t n_params, const uint8_t* data,
                   uint32_t data_len, uint32_t table_start);

// Checks that code[0..len) (well-formed, handles in place) keeps the operand stack
// balanced: no instruction takes more values than are there, every path reaches an
// instruction with the same number of values, and the unit ends and returns with
// none (a function's RETURN with its result).
bool sr_stack_balanced(const uint8_t* code, uint32_t len, bool is_function);
