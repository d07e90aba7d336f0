// exec_io: unit checks, the records of text transfers on units and strings, the journal
// copy of standard output, and the dispatch to the mode's transfer.
#include "io/exec_io.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "base/message.h"
#include "base/process.h"
#include "io/files.h"
#include "io/format.h"
#include "io/free_format.h"
#include "io/unformatted.h"
#include "term/rline.h"
#include "term/tout.h"

const char* const default_read_prompt = ": ";

namespace {

// What a text transfer needs to know about its records.
struct Transfer {
  int unit = 0;
  FileRec* file = nullptr;
  FILE* out_stream = nullptr;
  const char* prompt = nullptr;
  IoFillFn fill = nullptr;
  IoOutputFn output = nullptr;
  void* user = nullptr;
};

// ---- Records on units ---------------------------------------------------------------

void put_unit(void* ctx, const char* text, size_t length, bool end_line) {
  auto* t = static_cast<Transfer*>(ctx);
  if (t->unit == -1 || t->unit == -2) {
    const int flags = (t->unit == -2 ? TOUT_STDERR : 0) | TOUT_PAGED | (end_line ? TOUT_NL : 0);
    tout(flags, text, static_cast<int>(length));
    if (t->unit == -1 && journal_pout) logit_cmt(std::string(text, length).c_str());
    return;
  }
  FileRec* f = t->file;
  std::string line(text, length);
  if (end_line) line += '\n';
  size_t done;
  if (f->attributes & FA_NOSTDIO)
    done = io_unix_nostdio_fwrite(line.data(), 1, line.size(), t->unit);
  else if (f->attributes & (FA_TTY | FA_PIPE))
    done = io_unix_special_fwrite(line.data(), 1, line.size(), t->out_stream);
  else
    done = fwrite(line.data(), 1, line.size(), t->out_stream);
  if (done != line.size()) message(M_WRITE_ERROR, 0, MSG_IOERROR, t->unit, f->name);
}

// Drops the line end (and a carriage return before it).
void chop(std::string& s) {
  if (!s.empty() && s.back() == '\n') s.pop_back();
  if (!s.empty() && s.back() == '\r') s.pop_back();
}

bool get_unit(void* ctx, std::string& record) {
  auto* t = static_cast<Transfer*>(ctx);
  FileRec* f = t->file;
  if (t->unit == 0) {
    // The terminal goes through the line reader, which shows the prompt and journals
    // the data as a comment.
    char buffer[RL_LINE_SIZE];
    const char* prompt = t->prompt ? t->prompt : default_read_prompt;
    if (!vek_rline(buffer, sizeof buffer, 0, nullptr, prompt, RLF_JOURNAL_COMMENT)) return false;
    record = buffer;
    chop(record);
    return true;
  }
  if (f->attributes & FA_TTY) {
    const char* prompt = t->prompt ? t->prompt : default_read_prompt;
    tout(TOUT_NOW, prompt, static_cast<int>(strlen(prompt)));
  }
  char* line = nullptr;
  size_t cap = 0;
  errno = 0;
  ssize_t n;
  do {
    clearerr(f->stream);
    n = getline(&line, &cap, f->stream);
  } while (n < 0 && errno == EINTR && ferror(f->stream));
  std::unique_ptr<char, decltype(&free)> hold(line, free);
  if (n < 0) {
    if (ferror(f->stream)) message(M_READ_ERROR, 0, MSG_IOERROR, t->unit, f->name);
    return false;
  }
  record.assign(line, static_cast<size_t>(n));
  chop(record);
  return true;
}

void unit_at_end(void* ctx) {
  auto* t = static_cast<Transfer*>(ctx);
  message(M_IO_EOF, 0, MSG_IOERROR, t->unit, t->file->name);
}

// ---- Records of string transfers ----------------------------------------------------

void put_string(void* ctx, const char* text, size_t length, bool end_line) {
  auto* t = static_cast<Transfer*>(ctx);
  t->output(t->user, text, length, end_line);
}

bool get_string(void* ctx, std::string& record) {
  auto* t = static_cast<Transfer*>(ctx);
  return t->fill(t->user, record);
}

void string_at_end(void* ctx) {
  auto* t = static_cast<Transfer*>(ctx);
  message(M_END_OF_INPUT, 0, MSG_IOERROR, t->prompt ? t->prompt : "");
}

// Set when the user quit the pager during this transfer's output.
bool output_quit = false;

}  // namespace

int32_t exec_io(int count, Variable* args[], int unit, int mode, const char* format, IoFillFn fill,
                IoOutputFn output, void* ctx, const char* prompt) {
  const bool input = mode & IO_INPUT;
  Transfer t;
  t.prompt = prompt;
  RecordIo io;
  int width = STRING_LINE_WIDTH;
  if (mode & IO_STRING) {
    t.fill = fill;
    t.output = output;
    t.user = ctx;
    io.put = put_string;
    io.get = get_string;
    io.at_end = string_at_end;
  } else {
    ensure_file_status(MSG_IOERROR, unit, FC_OPEN | (input ? FC_READ : FC_WRITE));
    FileRec* f = file_table[unit];
    if ((mode & (IO_UNFORMATTED | IO_XDR)) && unit <= 0 && is_widget_mode())
      message(M_UNFORMATTED_NOT_ALLOWED, 0, MSG_IOERROR, "Vektool", unit, f->name);
    t.unit = unit;
    t.file = f;
    t.out_stream = (f->attributes & FA_PIPE) && f->stream2 ? f->stream2 : f->stream;
    width = f->width;
    f->transfer_count = 0;
    io.put = put_unit;
    io.get = get_unit;
    io.at_end = unit_at_end;
  }
  io.ctx = &t;
  io.unit = unit;
  output_quit = false;

  int32_t moved = 0;
  switch (mode & 7) {
    case 0:
    case 1:
    case 2:
    case 3: moved = unformatted_transfer(unit, t.file, input, mode & IO_XDR, count, args); break;
    case 4: {
      FreeInput in(io);
      for (int i = 0; i < count && in.target(args[i]); i++) {
      }
      moved = in.moved();
      break;
    }
    case 5: {
      // Nothing is written when a value cannot be.
      for (int i = 0; i < count; i++)
        if (args[i]->type == TYP_UNDEF) var_error(M_UNDEFINED, args[i], MSG_LONGJMP);
      FreeOutput out(width, io);
      bool go = true;
      for (int i = 0; i < count && go; i++) go = out.value(args[i]);
      if (go) out.finish();
      moved = out.moved();
      break;
    }
    case 6:
    case 7: {
      init_fmt(format);
      FormatScope scope;
      moved = input ? fmt_input(count, args, io) : fmt_output(count, args, io);
      break;
    }
  }
  if (t.file) t.file->transfer_count = moved;
  return moved;
}

bool io_output_quit() {
  if (tout_quit()) output_quit = true;
  return output_quit;
}
