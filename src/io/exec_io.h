// The one engine behind every text and binary transfer between variables and units:
// exec_io checks the unit, picks the mode's transfer (free format, explicit format,
// unformatted, XDR), moves the elements and keeps the unit's transfer count. Relies on
// the file units (io/files.h), the terminal writer (term/tout.h), the line reader
// and journal (term/rline.h), the format language (io/format.h) and message().
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "values/variable.h"

// Mode bits. The low three bits number the transfer: 0 unformatted input, 1 unformatted
// output, 2 XDR input, 3 XDR output, 4 free-format input, 5 free-format output,
// 6 formatted input, 7 formatted output.
constexpr int IO_INPUT = 0x100;         // the unit must be open for reading
constexpr int IO_OUTPUT = 0x200;        // the unit must be open for writing
constexpr int IO_UNFORMATTED = 0x400;   // READU, WRITEU
constexpr int IO_XDR = 0x800;           // READU, WRITEU on XDR units
constexpr int IO_FREE = 0x1000;         // free format
constexpr int IO_FORMAT = 0x2000;       // explicit format
constexpr int IO_INTERNAL = 0x10000;    // internal callers
constexpr int IO_STRING = 0x20000;      // records come from fill / go to output, no unit

constexpr int IO_PRINT = 0x1205;        // PRINT, PRINTF, journal data lines
constexpr int IO_READ = 0x1104;         // READ, READF
constexpr int IO_FORMAT_OUT = 0x2207;
constexpr int IO_FORMAT_IN = 0x2106;
constexpr int IO_READU = 0x500;
constexpr int IO_WRITEU = 0x601;
constexpr int IO_XDR_READU = 0x902;
constexpr int IO_XDR_WRITEU = 0xA03;

// String transfers (IO_STRING): fill supplies the input records (false when there are
// no more), output receives each output line (end_line false for the last line of a
// format ending in "$"). `ctx` is passed back to both.
using IoFillFn = bool (*)(void* ctx, std::string& record);
using IoOutputFn = void (*)(void* ctx, const char* text, size_t length, bool end_line);

// Transfers count values to or from unit (ignored for string transfers) in mode.
// format is the explicit format text (IO_FORMAT), prompt the text shown before reading
// a terminal (null: the default prompt); for string input, prompt instead names the
// source in the end-of-input message (-233). Returns the number of elements moved; errors
// unwind (action 3 for transfer errors, so that ON_IOERROR applies), and the compiled
// format and buffers are released on every path.
int32_t exec_io(int count, Variable* args[], int unit, int mode, const char* format, IoFillFn fill,
                IoOutputFn output, void* ctx, const char* prompt);

// True once the user quit the pager during the current transfer's output (polled with
// the interrupt request between elements).
bool io_output_quit();

// Width of free-format lines of string transfers (STRING).
constexpr int STRING_LINE_WIDTH = 80;
// Shown before reading a terminal when no PROMPT is given.
extern const char* const default_read_prompt;
