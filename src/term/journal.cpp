// The journal's writer: the session's input lines, messages and output copied into the
// journal file as a replayable command file, input lines as typed, everything else as
// comments. JOURNAL itself (opening the file on a unit, the header) is a built-in.
#include <algorithm>
#include <cstring>
#include <string>

#include "base/message.h"
#include "term/rline.h"

int32_t journal_file = 0;
FILE* journal_pout = nullptr;

namespace {

constexpr size_t kJournalWidth = 254;
bool (*journal_unit_ok)(int unit) = nullptr;

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

}  // namespace

void logit(const char* text) { write_cut("", text); }
void logit_cmt(const char* text) { write_cut(";", text); }

void rline_flush_journal() {
  if (journal_file && !(rline_state & RL_JOURNALLED) && !(rblk.flags & RLF_NO_JOURNAL)) {
    // A report that the unit went away must not be written into its closed stream.
    void (*to_journal)(const char*) = message_hooks.journal;
    message_hooks.journal = nullptr;
    bool ok = !journal_unit_ok || journal_unit_ok(journal_file);
    message_hooks.journal = to_journal;
    if (ok)
      write_cut((rblk.flags & RLF_JOURNAL_COMMENT) ? "; " : "", rblk.line);
    else
      journal_stop();
  }
  rline_state |= RL_JOURNALLED;
}

void journal_start(int unit, FILE* stream, bool (*unit_ok)(int unit)) {
  journal_file = unit;
  journal_pout = stream;
  journal_unit_ok = unit_ok;
  message_hooks.journal = journal_message_line;
}

void journal_stop() {
  journal_file = 0;
  journal_pout = nullptr;
  journal_unit_ok = nullptr;
  message_hooks.journal = nullptr;
}
