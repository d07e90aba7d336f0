#include "io/files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/message.h"
#include "base/process.h"
#include "term/os.h"
#include "term/rline.h"
#include "term/tout.h"

namespace {
FileRec* table_storage[N_UNITS];
}  // namespace

FileRec** const file_table = table_storage - UNIT_MIN;
bool files_inited = false;
uint8_t lun_handed_out[N_LUNS];

const char* const file_attr_names[N_FILE_ATTRS] = {
    "Tty",       "Reserved",          "More",      "XDR",       "Delete On Close",   "Save/Restore", "Fortran",
    "Pipe",      "Nostdio",           "Device Special", "Fixed", "Variable",        "Segmented",    "Stream",
    "Strict",    "Block",             "Undefined", "Indexed",   "Print",             "Submit",       "Truncate On Close",
    "List CC",   "Fortran CC",        "Explicit CC", "Shared",  "Superceed Version", "Text",         "Binary",
};

const AccessRow access_table[16] = {
    {nullptr, nullptr}, {"r", "Read"},          {"w", "Write, New"},          {"r+", "Read, Write"},
    {nullptr, nullptr}, {"r", "Read"},          {"w", "Write, New"},          {"w+", "Read, Write, New"},
    {nullptr, nullptr}, {"r", "Read, Append"},  {"a", "Write, Append"},       {"a+", "Read, Write, Append"},
    {nullptr, nullptr}, {"r", "Read, Append"},  {"a", "Write, Append"},       {"a+", "Read, Write, Append"},
};

namespace {

bool in_range(int unit) { return unit >= UNIT_MIN && unit <= UNIT_MAX; }
bool is_lun(int unit) { return unit >= LUN_FIRST && unit <= LUN_LAST; }

FileRec* new_record(const char* name, int action) {
  auto* f = static_cast<FileRec*>(calloc(1, sizeof(FileRec)));
  if (!f) {
    message(M_NO_MEMORY, 0, action, "adding file to file table");
    return nullptr;
  }
  f->name = strdup(name);
  if (!f->name) {
    free(f);
    message(M_NO_MEMORY, 0, action, "putting file name into file descriptor");
    return nullptr;
  }
  f->width = DEFAULT_WIDTH;
  f->cached_size = -1;
  return f;
}

void free_record(FileRec* f) {
  free(f->name);
  free(f);
}

void make_standard_unit(int unit, const char* name, uint16_t access, FILE* stream) {
  FileRec* f = new_record(name, MSG_EXIT);
  f->access = access;
  f->stream = stream;
  f->attributes = FA_RESERVED;
  if (is_widget_mode())
    f->attributes |= FA_TTY;
  else
    f->attributes |= device_flags(fileno(stream), unit, name);
  file_table[unit] = f;
}

int first_free_lun() {
  for (int u = LUN_FIRST; u <= LUN_LAST; u++)
    if (!lun_handed_out[u - LUN_FIRST] && !file_table[u]) return u;
  return 0;
}

// Blocks the interval timer for the duration of a low-level transfer.
struct TimerBlock {
  TimerBlock() { timer_block(1); }
  ~TimerBlock() { timer_block(0); }
  TimerBlock(const TimerBlock&) = delete;
  TimerBlock& operator=(const TimerBlock&) = delete;
};

}  // namespace

uint32_t device_flags(int fd, int unit, const char* name) {
  uint32_t flags = 0;
  if (isatty(fd)) flags |= FA_TTY;
  struct stat st;
  if (fstat(fd, &st) < 0) {
    message(M_FSTAT_FAILED, 0, MSG_CONTINUE, unit, name);
    return flags;
  }
  mode_t type = st.st_mode & S_IFMT;
  if (type != S_IFREG && type != S_IFDIR && type != S_IFCHR && type != S_IFBLK) flags |= FA_DEVSPEC;
  return flags;
}

void init_files() {
  if (files_inited) return;
  const char* term_name = getenv("TERM");
  setvbuf(stdin, nullptr, _IONBF, 0);
  setvbuf(stdout, nullptr, _IONBF, 0);
  setvbuf(stderr, nullptr, _IONBF, 0);
  make_standard_unit(0, "<stdin>", ACC_READ, stdin);
  make_standard_unit(-1, "<stdout>", ACC_WRITE, stdout);
  make_standard_unit(-2, "<stderr>", ACC_WRITE, stderr);

  term.is_tty = (file_table[-1]->attributes & FA_TTY) && !is_widget_mode();
  if (term.is_tty) {
    // The size matters to the pager even when TERM is unset.
    if (term_name) snprintf(term.name, sizeof term.name, "%s", term_name);
    sigwinch_handler();
    if (term_name) init_tcinfo();
  }
  tout_more_reset();

  struct sigaction sa = {};
  sa.sa_handler = SIG_IGN;
  sigemptyset(&sa.sa_mask);
  if (sigaction(SIGPIPE, &sa, nullptr) < 0) message(M_SIGNAL_FAILED, errno, MSG_LONGJMP);
  files_inited = true;
  declare_exit_handler(files_exit_handler);
  tout_hooks.unit_is_tty = [](int unit) {
    const FileRec* f = file_table[unit];
    return f && (f->attributes & FA_TTY);
  };
  tout_install_message_hooks();
  message_hooks.error_width = []() -> int {
    if (!file_table[-2]) return DEFAULT_WIDTH;
    if (file_table[-2]->attributes & FA_TTY) return term.columns;
    return file_table[-2]->width;
  };
}

int ensure_file_status(int action, int unit, int checks) {
  if (!in_range(unit)) {
    message(M_UNIT_RANGE, 0, action, unit);
    return 0;
  }
  if (checks & FC_STANDARD) checks = (checks & ~FC_STANDARD) | 0x2E3;
  FileRec* f = file_table[unit];
  const char* name = f ? f->name : "";
  if ((checks & FC_POSITIVE) && unit <= 0) {
    message(M_UNIT_NOT_ALLOWED, 0, action, unit, name);
    return 0;
  }
  if ((checks & FC_OPEN) && !f) {
    message(M_UNIT_NOT_OPEN, 0, action, unit);
    return 0;
  }
  if (f) {
    int code = 0;
    if ((checks & FC_READ) && !(f->access & ACC_READ))
      code = M_NOT_INPUT;
    else if ((checks & FC_WRITE) && !(f->access & ACC_WRITE))
      code = M_NOT_OUTPUT;
    if (code) {
      message(code, 0, action, unit, name);
      return 0;
    }
    if ((checks & FC_NOT_TTY) && (f->attributes & FA_TTY))
      code = M_ON_TERMINAL;
    else if ((checks & FC_NOT_PIPE) && (f->attributes & FA_PIPE))
      code = M_ON_PIPE;
    else if ((checks & FC_NOT_XDR) && (f->attributes & FA_XDR))
      code = M_ON_XDR;
    else if ((checks & FC_STDIO) && (f->attributes & FA_NOSTDIO))
      code = M_NON_STDIO;
    if (code) {
      message(code, 0, action);
      return 0;
    }
    if (checks & FC_CLOSED) {
      message(M_UNIT_OPEN, 0, action, unit);
      return 0;
    }
  }
  return 1;
}

int open_file(const OpenRequest& req, int action) {
  int access = req.access;
  uint32_t attrs = req.attributes;
  if ((attrs & FA_XDR) && (access & ACC_WRITE)) {
    if ((access & ACC_READ) && !(access & ACC_NEW)) {
      message(M_XDR_BOTH, 0, action);
      return 0;
    }
    access &= ~ACC_READ;  // an XDR stream goes one way only
  }
  if (req.append) access |= ACC_APPEND;

  int unit;
  if (req.get_lun) {
    unit = first_free_lun();
    if (!unit) {
      message(M_NO_LUNS, 0, action);
      return 0;
    }
  } else {
    unit = req.unit;
    int checks = files_inited ? (FC_POSITIVE | FC_CLOSED) : FC_RANGE;
    if (!ensure_file_status(action, unit, checks)) return 0;
  }

  if (((attrs & FA_MORE) != 0) + ((attrs & FA_XDR) != 0) + ((attrs & FA_F77) != 0) > 1) {
    message(M_CONFLICTING_KW, 0, action);
    return 0;
  }

  char path[MAX_FILENAME + 1];
  snprintf(path, sizeof path, "%s", req.name ? req.name : "");
  expand_path(path);

  const char* mode = access_table[access & 15].mode;
  FILE* fp = nullptr;
  if (mode) {
    do fp = fopen(path, mode);
    while (!fp && errno == EINTR);
  } else {
    errno = EINVAL;
  }
  if (!fp) {
    message(M_OPEN_FAILED, errno, action, path);
    return 0;
  }
  int fd = fileno(fp);
  int rc;
  do rc = fcntl(fd, F_SETFD, FD_CLOEXEC);
  while (rc < 0 && errno == EINTR);
  if (rc < 0) message(M_SYSTEM_ERROR, errno, MSG_CONTINUE, "Unable to set file close-on-exec flag");

  uint32_t dev = device_flags(fd, unit, path);
  if ((dev & FA_TTY) || (attrs & FA_NOSTDIO)) setvbuf(fp, nullptr, _IONBF, 0);

  FileRec* f = nullptr;
  try {
    f = new_record(path, MSG_LONGJMP);
  } catch (...) {
    fclose(fp);
    throw;
  }
  f->access = static_cast<uint16_t>(access);
  f->attributes = attrs | dev;
  f->width = static_cast<uint16_t>(req.width >= 1 ? req.width : DEFAULT_WIDTH);
  f->stream = fp;
  if (attrs & FA_XDR) {
    xdrstdio_create(&f->xdr, fp, (access & ACC_READ) ? XDR_DECODE : XDR_ENCODE);
    f->xdrs = &f->xdr;
  }
  if (req.get_lun) lun_handed_out[unit - LUN_FIRST] = 1;
  file_table[unit] = f;
  if (attrs & FA_MORE) tout_more_reset();
  return unit;
}

void close_unit(int unit, bool quiet, int action) {
  if (!ensure_file_status(action, unit, FC_RANGE)) return;
  FileRec* f = file_table[unit];
  if (!f) {
    if (quiet && is_lun(unit)) lun_handed_out[unit - LUN_FIRST] = 0;
    return;
  }
  if (f->attributes & FA_RESERVED) {
    if (!quiet) message(M_RESERVED_CLOSE, 0, action, f->name);
    return;
  }
  // The record leaves the table first, so that a failure reported with a jumping action
  // cannot leave a half-closed unit behind.
  file_table[unit] = nullptr;
  std::string name = f->name;

  if (f->xdrs) xdr_destroy(f->xdrs);
  if (f->attributes & FA_DELETE) {
    int rc;
    do rc = unlink(f->name);
    while (rc < 0 && errno == EINTR);
    if (rc < 0) message(M_DELETE_FAILED, errno, MSG_CONTINUE, f->name);
  }
  int close_errno = 0;
  if (f->stream && fclose(f->stream) != 0) {
    int e = errno;
    if (!(e == EPERM || ((f->attributes & FA_TTY) && e == ENODEV))) close_errno = e ? e : EIO;
  }
  bool child_error = false;
  int child_errno = 0;
  if (f->attributes & FA_PIPE) {
    if (f->stream2) fclose(f->stream2);
    if (f->child_pid > 0) {
      kill(f->child_pid, SIGKILL);
      for (;;) {
        int status;
        pid_t r = waitpid(f->child_pid, &status, WNOHANG);
        if (r == f->child_pid) break;
        if (r < 0) {
          if (errno == EINTR) continue;
          if (errno != ECHILD) {
            child_error = true;
            child_errno = errno;
          }
          break;
        }
        usleep(1000);  // killed, not yet reaped
      }
    }
  }
  free_record(f);
  if (quiet && is_lun(unit)) lun_handed_out[unit - LUN_FIRST] = 0;

  if (child_error) message(M_CHILD_PROCESS, child_errno, action);
  if (close_errno) message(M_CLOSE_FILE, close_errno, action, name.c_str());
}

void close_all_units(bool include_luns) {
  int last = include_luns ? LUN_LAST : LUN_FIRST - 1;
  for (int u = 1; u <= last; u++) close_unit(u, true, MSG_IOERROR);
}

int enter_pipe_unit(const char* name, FILE* stream, pid_t child, uint32_t attributes, int action) {
  int unit = first_free_lun();
  if (!unit) {
    message(M_NO_LUNS, 0, action);
    return 0;
  }
  FileRec* f = new_record(name, action);
  if (!f) return 0;
  f->access = ACC_READ | ACC_WRITE;
  f->attributes = FA_PIPE | attributes;
  f->stream = stream;
  f->child_pid = child;
  lun_handed_out[unit - LUN_FIRST] = 1;
  file_table[unit] = f;
  return unit;
}

void free_lun_unit(int unit, int action) {
  if (is_lun(unit)) lun_handed_out[unit - LUN_FIRST] = 0;
  close_unit(unit, false, action);
}

int vek_next_lun_unit(int action, int* error_out) {
  int unit = first_free_lun();
  if (unit) {
    lun_handed_out[unit - LUN_FIRST] = 1;
    if (error_out) *error_out = 0;
    return unit;
  }
  if (error_out) *error_out = M_NO_LUNS;
  message(M_NO_LUNS, 0, action);
  return 0;
}

void set_file_close(int unit, bool closable) {
  if (!in_range(unit) || !file_table[unit]) return;
  if (closable)
    file_table[unit]->attributes &= ~FA_RESERVED;
  else
    file_table[unit]->attributes |= FA_RESERVED;
}

void files_exit_handler() {
  for (int u = 1; u <= UNIT_MAX; u++) {
    FileRec* f = file_table[u];
    if (f && !(f->attributes & FA_RESERVED) && (f->attributes & (FA_PIPE | FA_DELETE)))
      close_unit(u, true, MSG_CONTINUE);
  }
}

void flush_file_unit(int unit) {
  ensure_file_status(MSG_IOERROR, unit, FC_RANGE);
  FileRec* f = file_table[unit];
  if (!f || !(f->access & ACC_WRITE) || (f->attributes & FA_NOSTDIO) || !f->stream) return;
  if (fflush(f->stream) != 0 && !(f->attributes & FA_TTY)) message(M_FLUSH_FAILED, 0, MSG_IOERROR, f->name);
}

void set_file_ptr(int unit, long position) {
  if (position < 0) message(M_NEG_POSITION, 0, MSG_IOERROR, static_cast<int>(position));
  FileRec* f = file_table[unit];
  bool ok;
  errno = 0;
  if (f->xdrs)
    ok = xdr_setpos(f->xdrs, static_cast<u_int>(position));
  else
    ok = fseek(f->stream, position, SEEK_SET) == 0;
  clearerr(f->stream);
  if (!ok) message(M_SEEK_FAILED, 0, MSG_IOERROR, unit, position);
}

long vek_file_pos(int unit) {
  FileRec* f = file_table[unit];
  if (f->xdrs) return static_cast<long>(xdr_getpos(f->xdrs));
  return ftell(f->stream);
}

long vek_file_size(int unit) {
  FileRec* f = file_table[unit];
  bool writable = f->access & ACC_WRITE;
  if (!writable && f->cached_size >= 0) return f->cached_size;
  if (writable) fflush(f->stream);
  struct stat st;
  if (fstat(fileno(f->stream), &st) < 0) message(M_FSTAT_FAILED, 0, MSG_IOERROR, unit, f->name);
  long size = static_cast<long>(st.st_size);
  if (!writable) f->cached_size = size;
  return size;
}

int unit_eof(int unit) {
  ensure_file_status(MSG_IOERROR, unit, FC_OPEN | FC_STDIO);
  FileRec* f = file_table[unit];
  if (f->attributes & (FA_TTY | FA_PIPE)) return 0;
  if (feof(f->stream)) return 1;
  if (f->access & ACC_WRITE) return vek_file_pos(unit) >= vek_file_size(unit);
  int c = getc(f->stream);
  if (c == EOF) return 1;
  if (ungetc(c, f->stream) == EOF) message(M_PUSHBACK, 0, MSG_LONGJMP, unit, f->name);
  return 0;
}

void get_file_stat(int unit, FileStat* out) {
  ensure_file_status(MSG_IOERROR, unit, FC_RANGE);
  *out = FileStat{};
  out->unit = unit;
  out->name = "";
  FileRec* f = file_table[unit];
  if (!f) return;
  out->name = f->name;
  out->open = 1;
  out->isatty = (f->attributes & FA_TTY) ? 1 : 0;
  out->read = (f->access & ACC_READ) ? 1 : 0;
  out->write = (f->access & ACC_WRITE) ? 1 : 0;
  out->transfer_count = f->transfer_count;
  long pos = vek_file_pos(unit);
  out->cur_ptr = static_cast<int32_t>(pos < 0 ? 0 : pos);  // terminals and pipes have no position
  out->size = static_cast<int32_t>(vek_file_size(unit));
  out->rec_len = 0;
}

void helpfiles(int n, const int* units) {
  auto list_one = [](int u) {
    FileRec* f = in_range(u) ? file_table[u] : nullptr;
    if (!f) {
      toutf(TOUT_PAGED | TOUT_NL, "%-4d   <Closed>", u);
      return;
    }
    const char* desc = access_table[f->access & 15].description;
    char line[1024];
    int len = snprintf(line, sizeof line, "%-4d   %s", u, desc ? desc : "");
    for (int bit = 0; bit < N_FILE_ATTRS && len < static_cast<int>(sizeof line); bit++)
      if (f->attributes & (1u << bit)) len += snprintf(line + len, sizeof line - len, ", %s", file_attr_names[bit]);
    if (len >= static_cast<int>(sizeof line)) len = static_cast<int>(sizeof line) - 1;
    if (len < 45 && static_cast<int>(strlen(f->name)) < term.columns - 45) {
      toutf(TOUT_PAGED | TOUT_NL, "%s%*s%s", line, 45 - len, "", f->name);
    } else {
      tout(TOUT_PAGED | TOUT_NL, line, len);
      toutf(TOUT_PAGED | TOUT_NL, "          %s", f->name);
    }
  };
  if (n == 0) {
    for (int u = UNIT_MIN; u <= UNIT_MAX; u++)
      if (file_table[u]) list_one(u);
  } else {
    for (int i = 0; i < n && !tout_quit(); i++) list_one(units[i]);
  }
}

size_t io_unix_special_fread(void* buffer, size_t elem_size, size_t count, FILE* stream) {
  if (elem_size == 0) return 0;
  TimerBlock block;
  size_t total = elem_size * count, done = 0;
  auto* p = static_cast<char*>(buffer);
  while (done < total) {
    clearerr(stream);
    errno = 0;
    done += fread(p + done, 1, total - done, stream);
    if (done < total && !(ferror(stream) && errno == EINTR)) break;
  }
  return done / elem_size;
}

size_t io_unix_special_fwrite(const void* buffer, size_t elem_size, size_t count, FILE* stream) {
  if (elem_size == 0) return 0;
  TimerBlock block;
  size_t total = elem_size * count, done = 0;
  auto* p = static_cast<const char*>(buffer);
  while (done < total) {
    errno = 0;
    done += fwrite(p + done, 1, total - done, stream);
    if (done < total) {
      if (!(ferror(stream) && errno == EINTR)) break;
      clearerr(stream);
    }
  }
  return done / elem_size;
}

size_t io_unix_nostdio_fread(void* buffer, size_t elem_size, size_t count, int unit) {
  if (elem_size == 0) return 0;
  FileRec* f = file_table[unit];
  size_t total = elem_size * count, done = 0;
  auto* p = static_cast<char*>(buffer);
  int err = 0;
  {
    TimerBlock block;
    while (done < total) {
      ssize_t n = read(fileno(f->stream), p + done, total - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) err = errno;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
  }
  if (err) message(M_READ_ERROR, 0, MSG_IOERROR, unit, f->name);
  return done / elem_size;
}

size_t io_unix_nostdio_fwrite(const void* buffer, size_t elem_size, size_t count, int unit) {
  if (elem_size == 0) return 0;
  FileRec* f = file_table[unit];
  size_t total = elem_size * count, done = 0;
  auto* p = static_cast<const char*>(buffer);
  int err = 0;
  {
    TimerBlock block;
    while (done < total) {
      ssize_t n = write(fileno(f->stream), p + done, total - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        err = errno;
        break;
      }
      done += static_cast<size_t>(n);
    }
  }
  if (err) message(M_WRITE_ERROR, 0, MSG_IOERROR, unit, f->name);
  return done / elem_size;
}
