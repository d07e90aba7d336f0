// Free-format text transfers: output lays values out by their types' default formats in
// lines no wider than the destination's width (arrays by rows, planes separated by an
// empty line); input reads values separated by blanks, tabs or commas from records.
// Relies on the value model, conversions and message(); the records come from and go
// to the caller (exec_io) through RecordIo (io/format.h).
#pragma once

#include <cstdint>
#include <string>

#include "io/format.h"
#include "values/variable.h"

// Longest string free-format output accepts (-231 beyond).
constexpr size_t MAX_FREE_STRING = 2047;

class FreeOutput {
 public:
  FreeOutput(int width, const RecordIo& io) : width_(width > 0 ? static_cast<size_t>(width) : 80), io_(io) {}
  // Lays out one value; false when an interrupt stopped it (the transfer should end).
  bool value(const Variable* v);
  // The statement's end: ends the current line.
  void finish() {
    if (!stopped_ && (!line_.empty() || lines_ == 0)) end_line();
  }
  int32_t moved() const { return moved_; }

 private:
  size_t width_;
  const RecordIo& io_;
  std::string line_;
  int32_t moved_ = 0;
  int32_t lines_ = 0;
  bool stopped_ = false;  // an interrupt came: nothing more is written

  void end_line();
  void place(const char* text, size_t length, size_t field_width);
  void place_string(const StringDesc& s, const Variable* owner);
  void place_element(int type, const void* p, const Variable* owner);
  bool array(const Variable* v);
  void structure(const Variable* v, bool top);
};

class FreeInput {
 public:
  explicit FreeInput(const RecordIo& io) : io_(io) {}
  // Reads every element of one target (a named variable; an undefined one becomes a
  // FLOAT). Returns false when an interrupt stopped the transfer.
  bool target(Variable* v);
  int32_t moved() const { return moved_; }

 private:
  const RecordIo& io_;
  std::string rec_;
  size_t pos_ = 0;
  bool have_ = false;
  int32_t moved_ = 0;

  void next_record();
  bool read_element(int type, void* p);
};
