// The journal: a file on a logical unit into which the session's input lines, messages
// and output are copied, as a replayable command file (everything but input lines is
// written as a comment).
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "interp/message.h"
#include "session/rline.h"

int32_t journal_file = 0;
FILE* journal_pout = nullptr;

namespace {

constexpr size_t kJournalWidth = 254;

void journal_message_line(const char* line) {
  if (journal_pout) {
    fputs(line, journal_pout);
    fputc('\n', journal_pout);
  }
}

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
}

}  // namespace

void logit(const char* text) { write_cut("", text); }
void logit_cmt(const char* text) { write_cut(";", text); }

void rline_flush_journal() {
  if (journal_pout && !(rline_state & RL_JOURNALLED) && !(rblk.flags & RLF_NO_JOURNAL)) {
    if (rblk.flags & RLF_JOURNAL_COMMENT) fputs("; ", journal_pout);
    fputs(rblk.line, journal_pout);
    fputc('\n', journal_pout);
    fflush(journal_pout);
  }
  rline_state |= RL_JOURNALLED;
}

void journal_close() {
  if (journal_pout) fclose(journal_pout);
  journal_pout = nullptr;
  journal_file = 0;
  message_hooks.journal = nullptr;
}

bool journal_open_stream(FILE* f, int unit, const char* release, const char* os, const char* arch) {
  journal_pout = f;
  journal_file = unit;
  message_hooks.journal = journal_message_line;
  const passwd* pw = getpwuid(getuid());
  char host[256] = "";
  gethostname(host, sizeof host - 1);
  char cwd[1025] = "";
  if (!getcwd(cwd, sizeof cwd)) cwd[0] = 0;
  time_t now = time(nullptr);
  char date[64];
  ctime_r(&now, date);
  date[strcspn(date, "\n")] = 0;
  fprintf(f, "; %s Version %s (%s %s)\n", "Vek", release, os, arch);
  fprintf(f, "; Journal File for %s@%s\n", pw ? pw->pw_name : "", host);
  fprintf(f, "; Working directory: %s\n", cwd);
  fprintf(f, "; Date: %s\n", date);
  fputs(" \n", f);
  fflush(f);
  return true;
}
