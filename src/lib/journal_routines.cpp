// JOURNAL: opens the journal file on a logical unit with its header, writes data lines
// to it, and closes it. The line editor and message() write into it through the journal's
// writer (term/journal.cpp).
#include <pwd.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "base/message.h"
#include "base/process.h"
#include "io/files.h"
#include "lib/os_routines.h"
#include "term/os.h"
#include "term/rline.h"
#include "values/convert.h"
#include "values/strings.h"

namespace {

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
  fprintf(journal_pout, "; %s Version %s (%s %s)\n", "Vek", version_field_or("RELEASE", vek_release()),
          version_field_or("OS", vek_os()), version_field_or("ARCH", vek_arch()));
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

// Before each journalled input line: a unit closed under the journal is reported and
// the journal forgotten.
bool unit_still_open(int unit) { return ensure_file_status(MSG_CONTINUE, unit, FC_OPEN | FC_WRITE) != 0; }

}  // namespace

void journal_close() {
  int unit = journal_file;
  journal_stop();
  if (unit && file_table[unit]) {
    set_file_close(unit, true);
    free_lun_unit(unit, MSG_LONGJMP);
  }
}

// JOURNAL [, Arg]: opens the journal (Arg names the file), writes Arg to the open
// journal, or closes it.
void journal(int argc, Variable* argv[], KwNames) {
  if (journal_file && !file_table[journal_file]) journal_stop();
  if (!journal_file) {
    std::string name = argc ? scalar_string(argv[0]) : std::string("veksave.pro");
    OpenRequest req;
    req.name = name.c_str();
    req.access = ACC_WRITE | ACC_NEW;
    req.get_lun = true;
    int unit = open_file(req, MSG_LONGJMP);
    if (!unit) return;
    set_file_close(unit, false);
    journal_start(unit, file_table[unit]->stream, unit_still_open);
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
