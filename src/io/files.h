// Logical file units: the table of units -2..128 with their records, opening, closing,
// positioning, end-of-file and status inquiries, the validity checks every I/O routine
// makes, the low-level transfers for terminals, pipes and unbuffered units, and the
// exit-time clean-up. Relies on message() for failures, on the terminal writer
// (term/tout.h) for paged units and for blocking the interval timer, on path expansion
// (term/os.h), and on the exit-handler list and widget-mode flag (base/process.h).
#pragma once

#include <rpc/types.h>
#include <rpc/xdr.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>

constexpr int UNIT_MIN = -2;
constexpr int UNIT_MAX = 128;
constexpr int N_UNITS = UNIT_MAX - UNIT_MIN + 1;  // 131
constexpr int LUN_FIRST = 100;                     // GET_LUN range
constexpr int LUN_LAST = 128;
constexpr int N_LUNS = LUN_LAST - LUN_FIRST + 1;   // 29
constexpr int MAX_FILENAME = 1024;
constexpr int DEFAULT_WIDTH = 80;

// Access bits; they also index access_table.
constexpr uint16_t ACC_READ = 1;
constexpr uint16_t ACC_WRITE = 2;
constexpr uint16_t ACC_NEW = 4;  // create or truncate
constexpr uint16_t ACC_APPEND = 8;

// Attribute bits, listed by HELP, /FILES under the names in file_attr_names.
constexpr uint32_t FA_TTY = 0x1;
constexpr uint32_t FA_RESERVED = 0x2;
constexpr uint32_t FA_MORE = 0x4;
constexpr uint32_t FA_XDR = 0x8;
constexpr uint32_t FA_DELETE = 0x10;
constexpr uint32_t FA_SAVRES = 0x20;
constexpr uint32_t FA_F77 = 0x40;
constexpr uint32_t FA_PIPE = 0x80;
constexpr uint32_t FA_NOSTDIO = 0x100;
constexpr uint32_t FA_DEVSPEC = 0x200;
constexpr int N_FILE_ATTRS = 28;
extern const char* const file_attr_names[N_FILE_ATTRS];

// One open unit.
struct FileRec {
  char* name;               // as opened (owned copy)
  uint16_t access;          // ACC_ bits
  uint32_t attributes;      // FA_ bits
  FILE* stream;
  int32_t transfer_count;   // elements moved by the last transfer
  XDR* xdrs;                // &xdr for XDR units, else null
  uint16_t width;           // output line width
  long cached_size;         // -1 until computed (units not open for writing)
  pid_t child_pid;          // pipes to a child process
  FILE* stream2;            // the pipe's second stream
  XDR xdr;
};

// file_table[u] for u in -2..128; null means closed.
extern FileRec** const file_table;
extern bool files_inited;
// GET_LUN pool: lun_handed_out[u - 100] is set while unit u is handed out.
extern uint8_t lun_handed_out[N_LUNS];

struct AccessRow {
  const char* mode;         // fopen mode, null for the empty rows
  const char* description;  // "Read, Write, New" and the like
};
extern const AccessRow access_table[16];

// Validity checks (ensure_file_status), tested in this order after the range check.
constexpr int FC_RANGE = 0;        // unit within -2..128 only
constexpr int FC_POSITIVE = 1;     // above 0
constexpr int FC_OPEN = 2;
constexpr int FC_CLOSED = 4;       // must not be open
constexpr int FC_READ = 8;
constexpr int FC_WRITE = 16;
constexpr int FC_NOT_TTY = 32;
constexpr int FC_NOT_PIPE = 64;
constexpr int FC_NOT_XDR = 128;
constexpr int FC_STANDARD = 0x100;  // shorthand for 0x2E3
constexpr int FC_STDIO = 0x200;


void init_files();
// Attribute bits of an open descriptor: FA_TTY for a terminal, FA_DEVSPEC for a FIFO or
// socket. fstat failure: message -191 with action 0.
uint32_t device_flags(int fd, int unit, const char* name);
int ensure_file_status(int action, int unit, int checks);

// Opening. `unit` is ignored with get_lun. Returns the unit, or 0 after a failure
// reported with a non-jumping action.
struct OpenRequest {
  int unit = 0;
  const char* name = nullptr;
  int access = ACC_READ;    // 1 OPENR, 7 OPENW, 3 OPENU
  uint32_t attributes = 0;  // FA_MORE, FA_XDR, FA_DELETE, FA_F77, FA_NOSTDIO and caller bits
  bool append = false;
  bool get_lun = false;
  int width = 0;            // below 1: DEFAULT_WIDTH
};
int open_file(const OpenRequest& req, int action);

// Enters a stream connected to a child process as a GET_LUN unit open for reading and
// writing (SPAWN, UNIT=); closing the unit kills the child. Returns the unit, or 0 after
// a failure reported with `action` (the caller still owns the stream and the child).
int enter_pipe_unit(const char* name, FILE* stream, pid_t child, uint32_t attributes, int action);

// Closing one unit; quiet skips reserved units silently and frees GET_LUN units.
void close_unit(int unit, bool quiet, int action);
void close_all_units(bool include_luns);  // CLOSE, /FILES (1..99) or /ALL (1..128)
void free_lun_unit(int unit, int action);
int vek_next_lun_unit(int action, int* error_out);
void set_file_close(int unit, bool closable);
void files_exit_handler();

void flush_file_unit(int unit);
void set_file_ptr(int unit, long position);
long vek_file_pos(int unit);
long vek_file_size(int unit);
int unit_eof(int unit);

struct FileStat {
  int32_t unit;
  const char* name;  // "" for a closed unit
  uint8_t open, isatty, read, write;
  int32_t transfer_count, cur_ptr, size, rec_len;
};
void get_file_stat(int unit, FileStat* out);

// HELP, /FILES: all open units when n is 0, else the listed ones.
void helpfiles(int n, const int* units);

// Transfers of whole elements for terminal and pipe units (stdio streams, retried after
// interrupts) and for NOSTDIO units (system calls on the unit's descriptor).
size_t io_unix_special_fread(void* buffer, size_t elem_size, size_t count, FILE* stream);
size_t io_unix_special_fwrite(const void* buffer, size_t elem_size, size_t count, FILE* stream);
size_t io_unix_nostdio_fread(void* buffer, size_t elem_size, size_t count, int unit);
size_t io_unix_nostdio_fwrite(const void* buffer, size_t elem_size, size_t count, int unit);
