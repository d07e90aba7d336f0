// Operating-system built-ins: GETENV, SETENV, CD, GET_KBRD, FINDFILE, SPAWN, and the
// line editor's DEFINE_KEY and JOURNAL.
#include "lib/os_routines.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/message.h"
#include "io/files.h"
#include "term/os.h"
#include "term/rline.h"
#include "term/rline_term.h"
#include "values/convert.h"
#include "values/temps.h"

namespace {

void store_long(Variable* dst, int32_t value) { store_scalar(dst, TYP_LONG, &value); }

// Output lines as a result value: an array of lines, or '' when there are none.
void store_lines(Variable* dst, const std::vector<std::string>& lines) {
  Variable* t = lines.empty() ? make_string_temp("") : make_string_array_temp(lines);
  var_copy(t, dst);
}

}  // namespace

// GETENV(Name): the variable's value, '' when unset.
Variable* ur_getenv(int, Variable* argv[], KwNames) {
  std::string name = scalar_string(argv[0]);
  const char* v = name.empty() ? nullptr : getenv(name.c_str());
  return make_string_temp(v ? v : "");
}

// SETENV, 'NAME=value'. The environment keeps pointing at the text, so it is permanent.
void ur_setenv(int, Variable* argv[], KwNames) {
  std::string text = scalar_string(argv[0]);
  if (text.empty()) return;
  auto* copy = static_cast<char*>(small_malloc(text.size() + 1));
  if (!copy) message(M_NO_MEMORY, errno, MSG_LONGJMP, "adding string to environment");
  memcpy(copy, text.c_str(), text.size() + 1);
  if (putenv(copy) != 0) message(M_NO_MEMORY, errno, MSG_CONTINUE, "to expand environment");
}

// CD [, Directory], CURRENT=old: the old directory is read before any change.
void ur_cd(int argc, Variable* argv[], KwNames argk) {
  static int32_t current_given;
  static Variable* current;
  static const KwEntry kKeywords[] = {
      {"CURRENT", 0, 1, KW_OUTPUT, &current_given, &current},
      {nullptr, 0, 0, 0, nullptr, nullptr},
  };
  Variable* pos[1] = {nullptr};
  int n = get_kw_params(argc, argv, argk, kKeywords, pos, 1);
  if (current_given) {
    if (current->flags & FLAG_UNNAMED) var_error(M_NOT_NAMED, current, MSG_LONGJMP);
    char buf[PATH_BUF + 1];
    if (!getcwd(buf, sizeof buf)) message(M_NO_CWD, errno, MSG_LONGJMP);
    store_string(current, buf);
  }
  if (n == 0) {
    if (current_given) return;
  } else {
    Variable* d = pos[0];
    if (d->type == TYP_UNDEF) var_error(M_UNDEFINED, d, MSG_LONGJMP);
    if (d->flags & FLAG_FILE) var_error(M_NO_FILE, d, MSG_LONGJMP);
  }
  std::string dir = n ? scalar_string(pos[0]) : std::string();
  if (dir.size() > PATH_BUF - 1) dir.resize(PATH_BUF - 1);
  if (dir.empty()) dir = "~";
  std::string path = expanded_path(dir);
  int r;
  do r = chdir(path.c_str());
  while (r < 0 && errno == EINTR);
  if (r < 0) message(M_CHDIR, errno, MSG_LONGJMP, path.c_str());
}

// GET_KBRD(Wait): one keystroke as a string ('' when none was waiting).
Variable* ur_get_kbrd(int, Variable* argv[], KwNames) {
  if (message_hooks.inter_exit) message_hooks.inter_exit(0);
  int c = get_kbrd(long_scalar(argv[0]));
  return make_string_temp(c > 0 ? std::string(1, static_cast<char>(c)) : std::string());
}

// FINDFILE([Spec], COUNT=n): the names matching Spec, one string per file.
Variable* ur_findfile(int argc, Variable* argv[], KwNames argk) {
  static int32_t count_given;
  static Variable* count;
  static const KwEntry kKeywords[] = {
      {"COUNT", 0, 1, KW_OUTPUT, &count_given, &count},
      {nullptr, 0, 0, 0, nullptr, nullptr},
  };
  Variable* pos[1] = {nullptr};
  int n = get_kw_params(argc, argv, argk, kKeywords, pos, 1);
  std::string spec = n ? scalar_string(pos[0]) : std::string();
  std::vector<std::string> names = find_files(spec);
  if (count_given) store_long(count, static_cast<int32_t>(names.size()));
  return names.empty() ? make_string_temp("") : make_string_array_temp(names);
}

// SPAWN [, Command [, Result]]: runs Command (an interactive shell without it).
void ur_spawn(int argc, Variable* argv[], KwNames argk) {
  static int32_t count_given, pid_given, unit_given;
  static Variable *count, *pid, *unit;
  static int32_t flags;
  static const KwEntry kKeywords[] = {
      {"COUNT", 0, 1, KW_OUTPUT, &count_given, &count},
      {"F77_UNFORMATTED", TYP_LONG, 1, KW_BITFLAG | KW_CLEAR | SPAWN_F77_UNFORMATTED, nullptr, &flags},
      {"NOSHELL", TYP_LONG, 1, KW_BITFLAG | SPAWN_NOSHELL, nullptr, &flags},
      {"NOTTYRESET", TYP_LONG, 1, KW_BITFLAG | SPAWN_NOTTYRESET, nullptr, &flags},
      {"PID", 0, 1, KW_OUTPUT, &pid_given, &pid},
      {"SH", TYP_LONG, 1, KW_BITFLAG | SPAWN_SH, nullptr, &flags},
      {"UNIT", 0, 1, KW_OUTPUT, &unit_given, &unit},
      {nullptr, 0, 0, 0, nullptr, nullptr},
  };
  Variable* pos[2] = {nullptr, nullptr};
  int n = get_kw_params(argc, argv, argk, kKeywords, pos, 1);
  ChildRequest req;
  req.flags = flags;
  if (req.flags & SPAWN_NOSHELL) req.flags &= ~SPAWN_SH;
  if (n >= 1) {
    Variable* c = pos[0];
    if ((req.flags & SPAWN_NOSHELL) && c->type == TYP_STRING && (c->flags & FLAG_ARRAY)) {
      // Without a shell an array gives the program and its arguments one by one.
      auto* s = reinterpret_cast<StringDesc*>(c->value.s.arr->data);
      for (uint32_t i = 0; i < c->value.s.arr->n_elts; i++)
        req.argv.emplace_back(s[i].chars ? s[i].chars : "", s[i].length);
    } else {
      req.command = scalar_string(c);
      if (req.flags & SPAWN_NOSHELL) {
        size_t i = 0;
        const std::string& t = req.command;
        while (i < t.size()) {
          while (i < t.size() && isspace(static_cast<unsigned char>(t[i]))) i++;
          size_t j = i;
          while (j < t.size() && !isspace(static_cast<unsigned char>(t[j]))) j++;
          if (j > i) req.argv.push_back(t.substr(i, j - i));
          i = j;
        }
      }
    }
    if ((req.flags & SPAWN_NOSHELL) && req.argv.empty()) req.flags &= ~SPAWN_NOSHELL;
  }
  if (unit_given) {
    // The child runs on, talking to the program through a unit.
    if (unit->flags & FLAG_UNNAMED) var_error(M_NOT_NAMED, unit, MSG_LONGJMP);
    FILE* stream = nullptr;
    pid_t child = vek_spawn_connected(req, &stream);
    uint32_t attrs = (req.flags & SPAWN_F77_UNFORMATTED) ? FA_F77 : 0;
    std::string name = !req.command.empty() ? req.command : !req.argv.empty() ? req.argv[0] : "<shell>";
    int u = enter_pipe_unit(name.c_str(), stream, child, attrs, MSG_CONTINUE);
    if (!u) {
      fclose(stream);
      kill(child, SIGKILL);
      while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
      }
      message(M_NO_LUNS, 0, MSG_LONGJMP | MSG_NOPRINT);
    }
    store_long(unit, u);
    if (pid_given) store_long(pid, static_cast<int32_t>(child));
    if (count_given) store_long(count, 0);
    return;
  }
  if (n >= 2 && (pos[1]->flags & FLAG_UNNAMED)) var_error(M_NOT_NAMED, pos[1], MSG_LONGJMP);
  bool widget = rline_hooks.widget_mode && rline_hooks.widget_mode();
  req.capture = n >= 2 || (widget && n == 1);
  ChildResult r = vek_exec_child(req);
  if (pid_given) store_long(pid, static_cast<int32_t>(r.pid));
  if (count_given) store_long(count, req.capture ? static_cast<int32_t>(r.lines.size()) : 0);
  if (n >= 2)
    store_lines(pos[1], r.lines);
  else if (req.capture)
    for (const std::string& line : r.lines) term_write_line(0, line.c_str());
}

// DEFINE_KEY, key [, value]: one action keyword at most; ESCAPE gives the key's sequence.
void set_fkey(int argc, Variable* argv[], KwNames argk) {
  static int32_t action_given[18];
  static int32_t dummy[18];
  static int32_t escape_given;
  static StringDesc escape;
  static int32_t key_flags;
  static const KwEntry kKeywords[] = {
      {"BACK_CHARACTER", TYP_LONG, 1, 0, &action_given[0], &dummy[0]},
      {"BACK_WORD", TYP_LONG, 1, 0, &action_given[1], &dummy[1]},
      {"DELETE_CHARACTER", TYP_LONG, 1, 0, &action_given[2], &dummy[2]},
      {"DELETE_CURRENT", TYP_LONG, 1, 0, &action_given[3], &dummy[3]},
      {"DELETE_EOL", TYP_LONG, 1, 0, &action_given[4], &dummy[4]},
      {"DELETE_LINE", TYP_LONG, 1, 0, &action_given[5], &dummy[5]},
      {"DELETE_WORD", TYP_LONG, 1, 0, &action_given[6], &dummy[6]},
      {"END_OF_LINE", TYP_LONG, 1, 0, &action_given[7], &dummy[7]},
      {"ENTER_LINE", TYP_LONG, 1, 0, &action_given[8], &dummy[8]},
      {"ESCAPE", TYP_STRING, 1, 0, &escape_given, &escape},
      {"FORWARD_CHARACTER", TYP_LONG, 1, 0, &action_given[9], &dummy[9]},
      {"FORWARD_WORD", TYP_LONG, 1, 0, &action_given[10], &dummy[10]},
      {"INSERT_OVERSTRIKE_TOGGLE", TYP_LONG, 1, 0, &action_given[11], &dummy[11]},
      {"MATCH_PREVIOUS", TYP_LONG, 1, 0, &action_given[12], &dummy[12]},
      {"NEXT_LINE", TYP_LONG, 1, 0, &action_given[13], &dummy[13]},
      {"NOECHO", TYP_LONG, 1, KW_BITFLAG | KW_CLEAR | KEY_NOECHO, nullptr, &key_flags},
      {"PREVIOUS_LINE", TYP_LONG, 1, 0, &action_given[14], &dummy[14]},
      {"RECALL", TYP_LONG, 1, 0, &action_given[15], &dummy[15]},
      {"REDRAW", TYP_LONG, 1, 0, &action_given[16], &dummy[16]},
      {"START_OF_LINE", TYP_LONG, 1, 0, &action_given[17], &dummy[17]},
      {"TERMINATE", TYP_LONG, 1, KW_BITFLAG | KEY_TERMINATE, nullptr, &key_flags},
      {nullptr, 0, 0, 0, nullptr, nullptr},
  };
  // Actions in the order of the action keywords above.
  static constexpr int kActions[18] = {EA_LEFT,         EA_BACK_WORD,    EA_DELETE_CHAR,     EA_DELETE_CURRENT,
                                       EA_DELETE_EOL,   EA_DELETE_TO_START, EA_DELETE_WORD,  EA_END,
                                       EA_ENTER,        EA_RIGHT,        EA_FORWARD_WORD,    EA_TOGGLE_INSERT,
                                       EA_MATCH_TEXT,   EA_NEXT,         EA_PREVIOUS,        EA_RECALL_NUMBER,
                                       EA_REDRAW,       EA_START};
  Variable* pos[2] = {nullptr, nullptr};
  int n = get_kw_params(argc, argv, argk, kKeywords, pos, 1);
  std::string name = scalar_string(pos[0]);
  std::string value;
  if (n > 1) value = scalar_string(pos[1]);
  int action = 0;
  for (int i = 0; i < 18 && !action; i++)
    if (action_given[i]) action = kActions[i];
  std::string esc;
  if (escape_given) esc.assign(escape.chars ? escape.chars : "", escape.length);
  define_key(name.c_str(), n > 1 ? value.c_str() : nullptr, action, key_flags, escape_given ? esc.c_str() : nullptr);
}

const RoutineEntry os_functions[] = {
    {ur_findfile, "FINDFILE", 0, 1, true},
    {ur_getenv, "GETENV", 1, 1},
    {ur_get_kbrd, "GET_KBRD", 1, 1},
};
const int n_os_functions = sizeof os_functions / sizeof os_functions[0];

const RoutineEntry os_procedures[] = {
    {ur_cd, "CD", 0, 1, true},
    {set_fkey, "DEFINE_KEY", 1, 2, true},
    {journal, "JOURNAL", 0, 1},
    {ur_setenv, "SETENV", 1, 1},
    {ur_spawn, "SPAWN", 0, 2, true},
};
const int n_os_procedures = sizeof os_procedures / sizeof os_procedures[0];
