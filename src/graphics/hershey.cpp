#include "graphics/hershey.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "graphics/resource_files.h"
#include "base/message.h"

namespace {

// The whole font file, read once.
struct FontFile {
  bool loaded = false;
  std::string path;
  std::vector<uint8_t> bytes;
};
FontFile font_file;
HershFont current;
bool have_current = false;

uint32_t be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

[[noreturn]] void unreadable() {
  message_error(M_OPEN_FAILED, 0, MSG_LONGJMP, font_file.path.c_str());
}

void read_font_file() {
  font_file.path = graphics_resource_path(nullptr, "hersh1", "chr");
  FILE* f = fopen(font_file.path.c_str(), "rb");
  if (!f) message_error(M_OPEN_FAILED, errno, MSG_LONGJMP, font_file.path.c_str());
  std::vector<uint8_t> bytes;
  uint8_t buf[8192];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
  const bool bad = ferror(f);
  fclose(f);
  if (bad || bytes.size() < HERSH_FONT_SLOTS * 8) unreadable();
  font_file.bytes = std::move(bytes);
  font_file.loaded = true;
}

bool font_present(int n) { return static_cast<int32_t>(be32(&font_file.bytes[n * 8])) >= 0; }

// Decodes font n (present in the header) into `current`.
void decode_font(int n) {
  const std::vector<uint8_t>& b = font_file.bytes;
  const uint32_t offset = be32(&b[n * 8]);
  const uint32_t size_word = be32(&b[n * 8 + 4]);
  HershFont f;
  f.number = n;
  f.extended = (size_word & 0x80000000u) != 0;
  const size_t nchars = f.extended ? 224 : 96;
  size_t bytes = size_word & 0x0fffffffu;
  const size_t strokes_at = size_t{offset} + nchars * 4;
  if (strokes_at > b.size() || bytes > b.size() - strokes_at) unreadable();
  if (bytes > HERSH_MAX_STROKE_BYTES) {
    message(M_INTERNAL, 0, MSG_INFO, "Font file vectors larger than buffer");
    bytes = HERSH_MAX_STROKE_BYTES;
  }
  f.words.resize(bytes / 2);
  for (size_t i = 0; i < f.words.size(); i++)
    f.words[i] = static_cast<uint16_t>((b[strokes_at + 2 * i] << 8) | b[strokes_at + 2 * i + 1]);
  const uint32_t nwords = static_cast<uint32_t>(f.words.size());
  for (size_t c = 0; c < nchars; c++) {
    const uint8_t* e = &b[offset + 4 * c];
    f.width.push_back(e[0]);
    f.left.push_back(e[1]);
    f.first.push_back(std::min<uint32_t>((e[2] << 8) | e[3], nwords));
  }
  // A character's strokes run to the next character's first word in stroke order (a cut
  // font leaves the characters past the cut empty).
  std::vector<uint32_t> starts = f.first;
  std::sort(starts.begin(), starts.end());
  for (uint32_t s : f.first) {
    auto next = std::upper_bound(starts.begin(), starts.end(), s);
    f.end.push_back(next == starts.end() ? nwords : *next);
  }
  current = std::move(f);
  have_current = true;
}

// Seven-bit two's complement.
int coord7(unsigned v) { return (v & 0x40) ? static_cast<int>(v & 0x7f) - 128 : static_cast<int>(v & 0x7f); }

}  // namespace

int HershFont::char_index(unsigned char code) const {
  int c = extended ? code : (code & 127);
  if (c < 32) c = 32;
  return c - 32;
}

void hersh_load_font(int n) {
  if (n < HERSH_FIRST_FONT || n >= HERSH_FONT_SLOTS) n = HERSH_FIRST_FONT;
  if (!font_file.loaded) read_font_file();
  if (!font_present(n)) {
    message(M_NO_SUCH_FONT, 0, MSG_INFO, n);
    n = HERSH_FIRST_FONT;
    if (!font_present(n)) {  // a file without font 3: draw nothing rather than fail
      current = HershFont{};
      current.number = n;
      current.width.assign(96, 0);
      current.left.assign(96, 0);
      current.first.assign(96, 0);
      current.end.assign(96, 0);
      have_current = true;
      return;
    }
  }
  decode_font(n);
}

const HershFont& hersh_font() {
  if (!have_current) hersh_load_font(HERSH_FIRST_FONT);
  return current;
}

void hersh_reset() {
  font_file = FontFile{};
  current = HershFont{};
  have_current = false;
}

// ---- Commands ---------------------------------------------------------------------------

namespace {

// "..." followed by the rest of the text from the command (at most 60 characters).
std::string command_tail(const char* from, const char* end) {
  return std::string(from, static_cast<size_t>(std::min<std::ptrdiff_t>(end - from, 60)));
}

// Length of the command starting at p (p[0] is "!"): two characters, three for "!1x" and
// "!2x". Shared by the tokenizer, un_hersh and text_n_lines so that all three agree.
int command_length(const char* p, const char* end) {
  if (end - p < 2) return static_cast<int>(end - p);
  if ((p[1] == '1' || p[1] == '2') && end - p >= 3) return 3;
  return 2;
}

}  // namespace

const char* hersh_parse(const char* text, const char* end, HershToken& token, bool drawing) {
  token = HershToken{};
  if (text >= end) return end;
  token.text = text;
  if (*text != '!') {
    const char* q = static_cast<const char*>(memchr(text, '!', static_cast<size_t>(end - text)));
    if (!q) q = end;
    token.kind = HT_TEXT;
    token.length = static_cast<int>(q - text);
    return q;
  }
  const int len = command_length(text, end);
  token.length = len;
  if (len < 2) {  // a "!" at the very end is drawn as it stands
    token.kind = HT_TEXT;
    return end;
  }
  const char c = text[1];
  if (c >= '1' && c <= '9') {
    int n = c - '0';
    if (len == 3) n = isdigit(static_cast<unsigned char>(text[2])) ? n * 10 + (text[2] - '0') : -1;
    token.kind = HT_FONT;
    token.value = n;
    if (n < HERSH_FIRST_FONT || n > HERSH_LAST_FONT) {
      if (drawing) message(M_BAD_GRAPHTEXT, 0, MSG_INFO, command_tail(text, end).c_str());
      token.value = HERSH_FIRST_FONT;
    }
    return text + len;
  }
  switch (toupper(static_cast<unsigned char>(c))) {
    case 'A': token.kind = HT_LEVEL; token.value = 0; break;
    case 'B': token.kind = HT_LEVEL; token.value = 1; break;
    case 'D': token.kind = HT_LEVEL; token.value = 2; break;
    case 'L': token.kind = HT_LEVEL; token.value = 3; break;
    case 'N': token.kind = HT_LEVEL; token.value = 4; break;
    case 'U': token.kind = HT_LEVEL; token.value = 5; break;
    case 'C': token.kind = HT_NEWLINE; break;
    case 'E': token.kind = HT_EXP_INDEX; token.value = 0; break;
    case 'I': token.kind = HT_EXP_INDEX; token.value = 1; break;
    case 'G': token.kind = HT_FONT; token.value = 8; break;
    case 'M': token.kind = HT_FONT_ONCE; token.value = 9; break;
    case 'R': token.kind = HT_RESTORE; break;
    case 'S': token.kind = HT_SAVE; break;
    case 'X': token.kind = HT_ENTRY_FONT; break;
    case '!':
      token.kind = HT_TEXT;
      token.text = text + 1;
      token.length = 1;
      break;
    default:
      token.kind = HT_TEXT;  // drawn literally, "!" and the letter
      if (drawing) message(M_HERSHEY, 0, MSG_INFO, "Illegal Hershey command character");
      break;
  }
  return text + 2;
}

int un_hersh(const char* text, int length, char* out, int size) {
  const char* end = text + length;
  int n = 0;
  auto put = [&](char ch) {
    if (n + 1 >= size) return false;
    out[n++] = ch;
    return true;
  };
  for (const char* p = text; p < end;) {
    if (*p != '!') {
      if (!put(*p++)) return -1;
      continue;
    }
    if (end - p >= 2 && p[1] == '!') {
      if (!put('!')) return -1;
      p += 2;
      continue;
    }
    p += std::max(1, command_length(p, end));
  }
  if (size > 0) out[n] = 0;
  return size > 0 ? n : -1;
}

int text_n_lines(const char* text, int length, int* first) {
  const char* end = text + length;
  int count = 0;
  if (first) *first = -1;
  for (const char* p = text; p < end;) {
    if (*p != '!') {
      p++;
      continue;
    }
    if (end - p >= 2 && (p[1] == 'C' || p[1] == 'c')) {
      if (count++ == 0 && first) *first = static_cast<int>(p - text);
    }
    p += std::max(1, command_length(p, end));
  }
  return count;
}

// ---- Layout -----------------------------------------------------------------------------

namespace {

constexpr const float* kLevelOffset = HERSH_LEVEL_OFFSET;
constexpr const float* kLevelFactor = HERSH_LEVEL_FACTOR;
constexpr const float* kEIOffset = HERSH_EI_OFFSET;
constexpr const float* kEIFactor = HERSH_EI_FACTOR;
constexpr int kLevelNormal = HERSH_LEVEL_NORMAL;
constexpr int kEINormal = HERSH_EI_NORMAL;
constexpr int kMaxSaves = 8;

struct PenState {
  float x = 0;
  int level = kLevelNormal;
  int ei = kEINormal;
};

}  // namespace

float hersh_layout(const char* text, int length, float size, bool drawing, HershPen pen, void* data,
                   int entry_font) {
  const float s = size / HERSH_NOMINAL_HEIGHT;  // font units to nominal heights
  if (length < 0) length = 0;
  if (entry_font >= 0 && hersh_font().number != entry_font) hersh_load_font(entry_font);
  const int start_font = hersh_font().number;  // a missing entry font was reported once, as font 3
  PenState st;
  PenState saves[kMaxSaves];
  int nsaves = 0;
  bool once = false;  // !M: back to the entry font after one character
  float widest = 0;
  const bool emit = drawing && pen;
  const char* end = text + length;
  HershToken tok;
  for (const char* p = text; (p = hersh_parse(p, end, tok, drawing)), tok.kind != HT_END;) {
    switch (tok.kind) {
      case HT_TEXT: {
        for (int i = 0; i < tok.length; i++) {
          const HershFont& f = hersh_font();
          const float scale = s * kLevelFactor[st.level] * kEIFactor[st.ei];
          const float base = s * (kLevelOffset[st.level] + kEIOffset[st.ei] * kLevelFactor[st.level]);
          const int c = f.char_index(static_cast<unsigned char>(tok.text[i]));
          if (emit && f.first[c] < f.end[c] && !(f.words[f.first[c]] & 0x4000)) {
            const float x0 = st.x + f.left[c] * scale;
            for (uint32_t w = f.first[c]; w < f.end[c]; w++) {
              const uint16_t word = f.words[w];
              const float x = x0 + coord7(word >> 7) * scale;
              const float y = base + coord7(word) * scale;
              pen(data, x, y, w != f.first[c] && !(word & 0x4000));
            }
          }
          st.x += f.width[c] * scale;
          widest = std::max(widest, st.x);
          if (once) {
            once = false;
            hersh_load_font(start_font);
          }
        }
        break;
      }
      case HT_LEVEL:
        st.level = tok.value;
        st.ei = kEINormal;
        break;
      case HT_EXP_INDEX:
        st.ei = tok.value;
        break;
      case HT_FONT:
        once = false;
        hersh_load_font(tok.value);
        break;
      case HT_FONT_ONCE:
        once = true;
        hersh_load_font(tok.value);
        break;
      case HT_ENTRY_FONT:
        once = false;
        hersh_load_font(start_font);
        break;
      case HT_SAVE:
        if (nsaves == kMaxSaves) message_error(M_HERSHEY, 0, MSG_LONGJMP, "Too many saves");
        saves[nsaves++] = st;
        break;
      case HT_RESTORE:
        if (nsaves == 0) message_error(M_HERSHEY, 0, MSG_LONGJMP, "Restore without save");
        st = saves[--nsaves];
        break;
      case HT_NEWLINE:
        p = end;  // the caller breaks lines; nothing after a break belongs to this line
        break;
      case HT_END:
        break;
    }
  }
  if (once) hersh_load_font(start_font);
  return widest;
}
