// The recall ring of previous lines, the key definitions with DEFINE_KEY, and the key
// and recall listings behind HELP.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "base/message.h"
#include "term/os.h"
#include "term/rline.h"
#include "term/rline_term.h"

std::vector<KeyDef> key_defs;

namespace {

// ---- recall ring ----

struct RecallRing {
  std::vector<std::string> lines;
  std::vector<char> used;
  int next = 0;       // slot written next (the oldest line once the ring is full)
  int cursor = 0;     // recall position
  int direction = 0;  // last step: -1 older, +1 newer, 0 none or failed
  int steps = 0;      // how far back from the newest the recall has gone
  int last_number = 1;
};
RecallRing ring;

int ring_size() {
  if (ring.lines.empty()) {
    int n = edit_input >= 2 ? edit_input : 20;
    ring.lines.resize(static_cast<size_t>(n));
    ring.used.assign(static_cast<size_t>(n), 0);
    ring.next = ring.cursor = 0;
  }
  return static_cast<int>(ring.lines.size());
}

int wrap(int slot) {
  int n = ring_size();
  return ((slot % n) + n) % n;
}

// ---- key definitions ----

struct PredefinedKey {
  const char* name;
  int action;
};
constexpr PredefinedKey kPredefinedKeys[13] = {
    {"^A", EA_START},
    {"^B", EA_BACK_WORD},
    {"^D", EA_EOF_OR_ENTER},
    {"^E", EA_END},
    {"^F", EA_FORWARD_WORD},
    {"^K", EA_DELETE_EOL},
    {"^N", EA_PREVIOUS},
    {"^R", EA_REDRAW},
    {"^U", EA_DELETE_TO_START},
    {"^W, ESC-Delete", EA_DELETE_WORD},
    {"^X", EA_DELETE_CURRENT},
    {"Backspace, Delete", EA_DELETE_CHAR},
    {"^text", EA_MATCH_TEXT},
};

std::vector<KeyDef> initial_keys() {
  return {
      {0, EA_LEFT, "\033[D", "LEFT ARROW", ""},
      {0, EA_RIGHT, "\033[C", "RIGHT ARROW", ""},
      {0, EA_PREVIOUS, "\033[A", "UP ARROW", ""},
      {0, EA_NEXT, "\033[B", "DOWN ARROW", ""},
      {0, EA_TOGGLE_INSERT, "\033i", "INSERT/OVERSTRIKE", ""},
      {0, EA_TOGGLE_INSERT, "\033I", "INSERT/OVERSTRIKE", ""},
      {0, EA_BACK_WORD, "\033[146q", "Keypad 1", ""},
      {0, EA_FORWARD_WORD, "\033[154q", "Keypad 3", ""},
  };
}

bool keys_ready = false;
void ensure_keys() {
  if (!keys_ready) {
    key_defs = initial_keys();
    keys_ready = true;
  }
}

std::string upper(const char* s) {
  std::string r(s ? s : "");
  for (char& c : r) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return r;
}

void put_line(const std::string& s) { term_write(TW_PAGED | TW_END, s.data(), static_cast<int>(s.size())); }

void list_definition(const KeyDef& k) {
  std::string s = "    " + k.name + " <";
  for (unsigned char c : k.sequence) {
    if (c < 32 || c > 126) {
      char oct[8];
      snprintf(oct, sizeof oct, "\\%03o", c);
      s += oct;
    } else {
      s += static_cast<char>(c);
    }
  }
  s += "> = ";
  if (s.size() < 26) s.append(26 - s.size(), ' ');
  if (k.action == EA_INSERT_STRING) {
    s += " " + k.value;
    if (k.flags & KEY_NOECHO)
      s += "  <Noecho>";
    else if (k.flags & KEY_TERMINATE)
      s += "  <Terminate>";
  } else {
    s += std::string(" ") + edit_action_name(k.action);
  }
  put_line(s);
}

}  // namespace

// ---- recall ring ----

int rbuf_size() { return ring_size(); }

int rbuf_count() {
  ring_size();
  return static_cast<int>(std::count(ring.used.begin(), ring.used.end(), 1));
}

void rbuf_forget() { ring = RecallRing{}; }

void rbuf_save(const char* line) {
  int n = ring_size();
  int newest = wrap(ring.next - 1);
  if (ring.used[static_cast<size_t>(newest)] && ring.lines[static_cast<size_t>(newest)] == line) return;
  ring.lines[static_cast<size_t>(ring.next)] = line;
  ring.used[static_cast<size_t>(ring.next)] = 1;
  ring.next = (ring.next + 1) % n;
}

void rbuf_reset() {
  ring_size();
  ring.cursor = ring.next;
  ring.direction = 0;
  ring.steps = 0;
}

const char* rbuf_recall(int direction) {
  int n = ring_size();
  if (direction < 0) {
    if (ring.direction == 1) {
      ring.cursor = wrap(ring.cursor - 1);
      ring.steps++;
    }
    if (ring.steps < n) {
      int p = wrap(ring.cursor - 1);
      if (ring.used[static_cast<size_t>(p)]) {
        ring.cursor = p;
        ring.steps++;
        ring.direction = -1;
        return ring.lines[static_cast<size_t>(p)].c_str();
      }
    }
  } else {
    if (ring.direction == -1) {
      ring.cursor = wrap(ring.cursor + 1);
      ring.steps--;
    }
    if (ring.steps > 0) {
      int p = ring.cursor;
      ring.cursor = wrap(p + 1);
      ring.steps--;
      ring.direction = 1;
      return ring.lines[static_cast<size_t>(p)].c_str();
    }
  }
  ring.direction = 0;
  return nullptr;
}

const char* rbuf_match(bool by_text, const char* text) {
  int n = ring_size();
  if (by_text) {
    for (int i = 1; i <= n; i++) {
      size_t p = static_cast<size_t>(wrap(ring.next - i));
      if (ring.used[p] && ring.lines[p].find(text) != std::string::npos) return ring.lines[p].c_str();
    }
    message(M_RECALL_NO_MATCH, 0, MSG_CONTINUE, text);
    return nullptr;
  }
  const char* s = text;
  while (*s == ' ' || *s == '\t') s++;
  long number = 0;
  bool have_number = false;
  while (isdigit(static_cast<unsigned char>(*s))) {
    have_number = true;
    if (number <= 1000000) number = number * 10 + (*s - '0');
    s++;
  }
  while (*s == ' ' || *s == '\t') s++;
  if (!have_number && !*s) number = ring.last_number;
  if (*s || number < 1 || number > n) {
    message(M_RECALL_NUMBER, 0, MSG_CONTINUE, n, text);
    return nullptr;
  }
  ring.last_number = static_cast<int>(number);
  size_t p = static_cast<size_t>(wrap(ring.next - static_cast<int>(number)));
  return ring.used[p] ? ring.lines[p].c_str() : nullptr;
}

void rbuf_help() {
  int n = ring_size();
  put_line("Recall buffer length: " + std::to_string(n));
  int k = 0;
  for (int i = 1; i <= n; i++) {
    size_t p = static_cast<size_t>(wrap(ring.next - i));
    if (ring.used[p]) put_line(std::to_string(++k) + "\t" + ring.lines[p]);
  }
  rline_state |= RL_NO_RECALL | RL_JOURNALLED;
}

// ---- key definitions ----

const KeyDef* find_key_by_sequence(const std::string& sequence) {
  ensure_keys();
  for (const KeyDef& k : key_defs)
    if (k.sequence == sequence) return &k;
  return nullptr;
}

void reset_key_defs() {
  key_defs = initial_keys();
  keys_ready = true;
}

void define_key(const char* name, const char* value, int action, int flags, const char* escape) {
  ensure_keys();
  rline_state |= RL_JOURNALLED;
  std::string key = upper(name);
  if (action == 0) action = value ? EA_INSERT_STRING : EA_UNDEFINED;
  KeyDef* def = nullptr;
  if (!escape) {
    for (KeyDef& k : key_defs)
      if (k.name == key) {
        def = &k;
        break;
      }
    if (!def) message(M_BAD_FKEY, 0, MSG_LONGJMP, key.c_str());
  } else {
    for (KeyDef& k : key_defs)
      if (k.sequence == escape) {
        def = &k;
        break;
      }
    if (!def) {
      key_defs.push_back(KeyDef{});
      def = &key_defs.back();
      def->sequence = escape;
    }
  }
  if (name) def->name = key;
  def->flags = flags;
  def->action = action;
  if (value) def->value = value;
}

void display_fkeys(int n, Variable* names[], bool all) {
  ensure_keys();
  rline_state |= RL_JOURNALLED;
  if (n <= 0 || !names) {
    put_line("Pre-defined Keys:");
    for (const PredefinedKey& p : kPredefinedKeys) {
      std::string s = std::string("    ") + p.name;
      if (s.size() < 28) s.append(28 - s.size(), ' ');
      put_line(s + edit_action_name(p.action));
    }
    put_line("Function keys:");
    for (const KeyDef& k : key_defs)
      if (all || k.action != EA_UNDEFINED) list_definition(k);
    return;
  }
  for (int i = 0; i < n; i++) {
    std::string key = upper(scalar_string(names[i]).c_str());
    bool found = false;
    for (const KeyDef& k : key_defs)
      if (k.name == key) {
        list_definition(k);
        found = true;
      }
    if (!found) message(M_BAD_FKEY, 0, MSG_LONGJMP, key.c_str());
  }
}
