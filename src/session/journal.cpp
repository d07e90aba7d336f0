// The journal: a file on a logical unit into which the session's input lines, messages
// and output are copied as a replayable command file: input lines as typed, everything
// else as comments.
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>

#include "base/message.h"
#include "io/files.h"
#include "session/os.h"
#include "session/rline.h"
#include "session/startup.h"
#include "values/convert.h"
#include "values/strings.h"

int32_t journal_file = 0;
FILE* journal_pout = nullptr;

namespace {

constexpr size_t kJournalWidth = 254;

// Writes text as lines of at most 254 characters, each after `lead`.
void write_cut(const char* lead, const char* text) {
  if (!journal_pout) return;
  size_t n = strlen(text);
  size_t width = kJournalWidth - strlen(lead);
  size_t i = 0;
  do {
    size_t k = std::min(width, n - i);
    fputs(lead, journal_pout);
    fwrite(text + i, 1, k, journal_pout);
    fputc('\n', journal_pout);
    i += k;
  } while (i < n);
  fflush(journal_pout);
}

void journal_message_line(const char* line) { write_cut("", line); }

const char* version_field(const char* tag, const char* fallback) {
  const char* v = startup_hooks.version_field ? startup_hooks.version_field(tag) : nullptr;
  return v ? v : fallback;
}

void write_header() {
  const passwd* pw = getpwuid(getuid());
  char host[256] = "";
  gethostname(host, sizeof host - 1);
  char cwd[PATH_BUF + 1] = "";
  if (!getcwd(cwd, sizeof cwd)) cwd[0] = 0;
  time_t now = time(nullptr);
  char date[64];
  ctime_r(&now, date);
  date[strcspn(date, "\n")] = 0;
  fprintf(journal_pout, "; %s Version %s (%s %s)\n", "Vek", version_field("RELEASE", vek_release()),
          version_field("OS", vek_os()), version_field("ARCH", vek_arch()));
  fprintf(journal_pout, "; Journal File for %s@%s\n", pw ? pw->pw_name : "", host);
  fprintf(journal_pout, "; Working directory: %s\n", cwd);
  fprintf(journal_pout, "; Date: %s\n", date);
  fputs(" \n", journal_pout);
  fflush(journal_pout);
}

// A value as one data line: its elements in their default text form.
void write_value(Variable* v) {
  if (rline_hooks.journal_value) {
    rline_hooks.journal_value(journal_file, v);
    return;
  }
  if (v->type == TYP_UNDEF) var_error(M_UNDEFINED, v, MSG_LONGJMP);
  if (v->is_struct()) var_error(M_NO_FILE_STRUCT, v, MSG_LONGJMP);
  uint32_t n = v->n_elts();
  std::vector<StringDesc> text(n, StringDesc{0, 0, nullptr});
  convert(v->data_ptr(), text.data(), static_cast<int32_t>(n), v->type, TYP_STRING);
  std::string line;
  for (uint32_t i = 0; i < n; i++) {
    if (i) line += ' ';
    if (text[i].length) line.append(text[i].chars, text[i].length);
  }
  del_str(text.data(), n);
  logit(line.c_str());
}

}  // namespace

void logit(const char* text) { write_cut("", text); }
void logit_cmt(const char* text) { write_cut(";", text); }

void rline_flush_journal() {
  if (journal_file && !(rline_state & RL_JOURNALLED) && !(rblk.flags & RLF_NO_JOURNAL)) {
    if (ensure_file_status(MSG_CONTINUE, journal_file, FC_OPEN | FC_WRITE)) {
      write_cut((rblk.flags & RLF_JOURNAL_COMMENT) ? "; " : "", rblk.line);
    } else {
      // The unit went away under us: forget the journal.
      journal_file = 0;
      journal_pout = nullptr;
      message_hooks.journal = nullptr;
    }
  }
  rline_state |= RL_JOURNALLED;
}

void journal_close() {
  int unit = journal_file;
  journal_file = 0;
  journal_pout = nullptr;
  message_hooks.journal = nullptr;
  if (unit && file_table[unit]) {
    set_file_close(unit, true);
    free_lun_unit(unit, MSG_LONGJMP);
  }
}

// JOURNAL [, Arg]: opens the journal (Arg names the file), writes Arg to the open
// journal, or closes it.
void journal(int argc, Variable* argv[], KwNames) {
  if (journal_file && !file_table[journal_file]) journal_file = 0;
  if (!journal_file) {
    std::string name = argc ? scalar_string(argv[0]) : std::string("veksave.pro");
    OpenRequest req;
    req.name = name.c_str();
    req.access = ACC_WRITE | ACC_NEW;
    req.get_lun = true;
    int unit = open_file(req, MSG_LONGJMP);
    if (!unit) return;
    set_file_close(unit, false);
    journal_file = unit;
    journal_pout = file_table[unit]->stream;
    message_hooks.journal = journal_message_line;
    write_header();
    // The command that opened the journal is not part of it.
    rline_state |= RL_JOURNALLED;
    return;
  }
  if (argc)
    write_value(argv[0]);
  else
    journal_close();
}
