// The PostScript driver: document-structured PostScript (language level 1), optionally
// encapsulated with a bitmap preview. Page bodies use the operators of the prolog file
// <!DIR>/ps/prolog.ps, which is copied into every document.
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "graphics/device.h"
#include "graphics/devices/drivers.h"
#include "graphics/devices/ps.h"
#include "graphics/devices/ps_metrics.h"
#include "graphics/hershey.h"
#include "base/message.h"
#include "base/process.h"
#include "io/files.h"
#include "term/tout.h"
#include "values/strings.h"
#include "lib/sysvars.h"

namespace {


constexpr int kMaxPathSegments = 750;
constexpr int kPreviewSize = 128;
constexpr int kPreviewRowBytes = 16;
constexpr int kPreviewLines = 41;
constexpr int kPreviewLineDigits = 100;
constexpr double kPointsPerUnit = 72.0 / 2540.0;  // device unit = 1/1000 cm

// ---- Font table -----------------------------------------------------------------------

struct PsFont {
  std::string name;
  bool used_page = false;
  bool used_doc = false;
  bool iso = true;  // re-encoded to ISO Latin-1
};

constexpr const char* kStandardFonts[35] = {
    "NewCenturySchlbk-Italic", "Bookman-LightItalic", "Helvetica", "Courier-Bold", "Helvetica-Narrow-Bold",
    "Courier-BoldOblique", "Times-Italic", "Times-Bold", "NewCenturySchlbk-Roman", "Helvetica-Narrow-Oblique",
    "Bookman-DemiItalic", "Symbol", "Bookman-Demi", "Helvetica-BoldOblique", "Bookman-Light", "Helvetica-Oblique",
    "AvantGarde-Book", "AvantGarde-DemiOblique", "AvantGarde-BookOblique", "AvantGarde-Demi", "Helvetica-Narrow",
    "ZapfChancery-MediumItalic", "Courier-Oblique", "NewCenturySchlbk-BoldItalic", "Helvetica-Bold", "Times-Roman",
    "Times-BoldItalic", "Helvetica-Narrow-BoldOblique", "NewCenturySchlbk-Bold", "Palatino-Bold", "Courier",
    "Palatino-Italic", "Palatino-Roman", "Palatino-BoldItalic", "ZapfDingbats"};

constexpr const char* kDefaultFontMap[18] = {
    "Helvetica", "Helvetica-Bold", "Helvetica-Narrow", "Helvetica-Narrow-BoldOblique", "Times-Roman",
    "Times-BoldItalic", "Symbol", "ZapfDingbats", "Courier", "Courier-Oblique", "Palatino-Roman", "Palatino-Italic",
    "Palatino-Bold", "Palatino-BoldItalic", "AvantGarde-Book", "NewCenturySchlbk-Roman", "NewCenturySchlbk-Bold",
    nullptr /* the user font */};

struct PsState {
  bool file_open = false, header_written = false, page_open = false, page_drawn = false, poly_warned = false;
  bool encapsulated = false, landscape = false, color = false, preview = false;
  int bits = 4;
  int xoffset = 54, yoffset = 360;  // points
  float scale = 1.0f;
  int page_count = 0;
  int path_len = -1;  // segments of the open path, -1 none
  DevPoint cur;
  float line_width = -1.0f;
  int line_style = -1;
  int color_index = -1;
  float font_size = 12.0f;  // points
  int font = 3;
  bool iso = true;
  std::vector<PsFont> fonts;
  int font_map[18];  // !3 .. !20 -> font table index
  std::string filename;
  PoutState out;
  std::vector<uint8_t> preview_bits;
  long preview_pos = -1;
};

PsState st;

int font_index_of(const std::string& name) {
  for (size_t i = 0; i < st.fonts.size(); i++)
    if (st.fonts[i].name == name) return static_cast<int>(i);
  return -1;
}

void init_fonts() {
  if (!st.fonts.empty()) return;
  st.fonts.push_back(PsFont{"<Undefined-User-Font>", false, false, false});
  for (const char* n : kStandardFonts) {
    PsFont f{n};
    f.iso = strcmp(n, "Symbol") != 0 && strcmp(n, "ZapfDingbats") != 0;
    st.fonts.push_back(f);
  }
  for (int i = 0; i < 18; i++) st.font_map[i] = kDefaultFontMap[i] ? font_index_of(kDefaultFontMap[i]) : 0;
}


DeviceRecord& dev() { return ps_device; }

// Device units of the font size (the scale factor enlarges the whole page).
double font_units(double points) { return points / kPointsPerUnit; }
double page_scale() { return st.scale * kPointsPerUnit; }

void line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void line(const char* fmt, ...) {
  char buf[2048];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  pout(st.out, POUT_NEWLINE_FIRST | POUT_END_LINE | POUT_NO_WRAP, "%s", buf);
}

// A word of the page body, wrapped with the others.
void word(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void word(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  pout(st.out, 0, "%s", buf);
}

// ---- Files ----------------------------------------------------------------------------

void finish_file();

void exit_handler() {
  try {
    if (st.file_open) finish_file();
  } catch (...) {
    // The session is ending; a failed write was reported already.
  }
}

void open_output(const char* name) {
  if (st.file_open) finish_file();
  OpenRequest req;
  req.name = name;
  req.access = ACC_READ | ACC_WRITE | ACC_NEW;
  req.get_lun = true;
  req.width = 255;
  int unit = open_file(req, MSG_LONGJMP);
  st.filename = file_table[unit]->name ? file_table[unit]->name : name;
  st.file_open = true;
  st.header_written = st.page_open = st.page_drawn = st.poly_warned = false;
  st.page_count = 0;
  st.out = PoutState{};
  st.out.unit = unit;
  st.out.soft_length = 78;
  st.out.hard_length = 255;
  dev().unit = unit;
  declare_exit_handler(exit_handler);
}

void ensure_file() {
  if (st.file_open) return;
  std::string name = std::string(program_name_lc) + ".ps";
  open_output(name.c_str());
}

void page_box(int box[4]) {
  double s = page_scale();
  int w = static_cast<int>(dev().x_size * s), h = static_cast<int>(dev().y_size * s);
  if (st.encapsulated) {
    box[0] = box[1] = 0;
    box[2] = st.landscape ? h : w;
    box[3] = st.landscape ? w : h;
  } else if (st.landscape) {
    box[0] = st.xoffset;
    box[1] = st.yoffset - w;
    box[2] = st.xoffset + h;
    box[3] = st.yoffset;
  } else {
    box[0] = st.xoffset;
    box[1] = st.yoffset;
    box[2] = st.xoffset + w;
    box[3] = st.yoffset + h;
  }
}

void copy_prolog() {
  char path[1100];
  const char* dirs[1] = {"ps"};
  vek_filepath(path, "prolog", "ps", 1, dirs);
  FILE* f = fopen(path, "r");
  if (!f) message(M_OPEN_FAILED, errno, MSG_LONGJMP, path);
  int version = -1;
  char buf[1026];
  try {
    while (fgets(buf, sizeof buf, f)) {
      buf[strcspn(buf, "\r\n")] = 0;
      if (buf[0] == '%') {
        if (buf[1] == '+') {
          line("%s", buf);
        } else if (buf[1] == 'v' && isdigit(static_cast<unsigned char>(buf[2]))) {
          line("%s", buf);
          version = atoi(buf + 2);
        }
        continue;
      }
      for (char* w = strtok(buf, " \t"); w; w = strtok(nullptr, " \t")) word("%s", w);
    }
  } catch (...) {
    fclose(f);
    throw;
  }
  fclose(f);
  if (version != 3) message(M_PROLOG_VERSION, 0, MSG_LONGJMP);
}

void write_header() {
  int box[4];
  page_box(box);
  line("%%!PS-Adobe-3.0%s", st.encapsulated ? " EPSF-3.0" : "");
  line("%%%%BoundingBox: %d %d %d %d", box[0], box[1], box[2], box[3]);
  line("%%%%Title: Graphics produced by %s", program_name);
  const passwd* pw = getpwuid(getuid());
  char host[256] = "";
  gethostname(host, sizeof host - 1);
  pout(st.out, POUT_NEWLINE_FIRST | POUT_NO_WRAP, "%%%%For: %s@%s,", pw ? pw->pw_name : "", host);
  // The full name follows; wrapped lines stay comments.
  if (pw && pw->pw_gecos) {
    std::string full = pw->pw_gecos;
    full = full.substr(0, full.find(','));
    st.out.prefix = "%      ";
    st.out.prefix_length = 7;
    for (size_t at = 0; at < full.size();) {
      size_t end = full.find(' ', at);
      std::string w = full.substr(at, end == std::string::npos ? std::string::npos : end - at);
      if (!w.empty()) pout(st.out, POUT_PREFIX, "%s", w.c_str());
      if (end == std::string::npos) break;
      at = end + 1;
    }
    st.out.prefix = "";
    st.out.prefix_length = 0;
  }
  pout(st.out, POUT_END_LINE, nullptr);
  SysVar* ver = find_sysvar("!VERSION");
  const VersionRec* v = ver ? static_cast<const VersionRec*>(ver->data) : nullptr;
  line("%%%%Creator: %s Version %s (%s %s)", program_name, v ? str_chars(v->release) : vek_release(),
       v ? str_chars(v->os) : vek_os(), v ? str_chars(v->arch) : vek_arch());
  time_t now = time(nullptr);
  char date[64];
  strftime(date, sizeof date, "%a %b %d %H:%M:%S %Y", localtime(&now));
  line("%%%%CreationDate: %s", date);
  line("%%%%DocumentData: Clean7bit");
  if (st.color) line("%%%%Requirements: color");
  line("%%%%LanguageLevel: 1");
  line("%%%%PageOrder: Ascend");
  line("%%%%Pages: (atend)");
  line("%%%%DocumentNeededResources: (atend)");
  line("%%%%EndComments");
  if (st.preview) {
    if (!st.encapsulated) message(-306, 0, MSG_INFO, "PostScript preview incompatible without encapsulated mode");
    try {
      st.preview_bits.assign(kPreviewSize * kPreviewRowBytes, 0);
    } catch (const std::bad_alloc&) {
      message(M_NO_MEMORY, 0, MSG_LONGJMP, "PostScript preview buffer");
    }
    line("%%%%BeginPreview: %d %d 1 %d", kPreviewSize, kPreviewSize, kPreviewLines);
    st.preview_pos = pout(st.out, POUT_GET_POS, nullptr);
    std::string zeros(kPreviewLineDigits, '0');
    for (int i = 0; i < kPreviewLines; i++) line("%%%s", zeros.c_str());
    line("%%%%EndPreview");
  }
  line("%%%%BeginProlog");
  copy_prolog();
  line("%%%%EndProlog");
  st.header_written = true;
}

void select_font(int index, double size_units) {
  PsFont& f = st.fonts[static_cast<size_t>(index)];
  line("%%%%IncludeResource: font %s", f.name.c_str());
  word("%g /%s %sFONT", size_units, f.name.c_str(), (f.iso && st.iso) ? "ISO" : "STD");
  f.used_page = f.used_doc = true;
}

void end_path() {
  if (st.path_len > 0)
    word("D");
  else if (st.path_len == 0)
    word("Z");
  st.path_len = -1;
}

void start_page() {
  int box[4];
  page_box(box);
  line("%%%%Page: %d %d", st.page_count, st.page_count + 1);
  if (st.color) line("%%%%PageRequirements: color");
  line("%%%%PageResources: (atend)");
  line("%%%%PageOrientation: %s", st.landscape ? "Landscape" : "Portrait");
  line("%%%%PageBoundingBox: %d %d %d %d", box[0], box[1], box[2], box[3]);
  line("%%%%BeginPageSetup");
  line("save $%s_DICT begin", program_name);
  if (!st.encapsulated)
    line("%d %d translate", st.xoffset, st.yoffset);
  else if (st.landscape)
    line("0 %d translate", box[3]);
  line("%g dup scale", page_scale());
  if (st.landscape) line("270 rotate");
  select_font(st.font, font_units(st.font_size));
  pout(st.out, POUT_END_LINE, nullptr);
  line("%%%%EndPageSetup");
  st.page_open = true;
  st.path_len = -1;
  st.line_width = -1.0f;
  st.line_style = -1;
  st.color_index = -1;
}

void ensure_page() {
  ensure_file();
  if (!st.header_written) write_header();
  if (!st.page_open) start_page();
  st.page_drawn = true;
}

void write_preview() {
  long here = pout(st.out, POUT_GET_POS, nullptr);
  pout_seek(st.out, st.preview_pos);
  static const char hex[] = "0123456789abcdef";
  std::string digits;
  for (int row = kPreviewSize - 1; row >= 0; row--)
    for (int b = 0; b < kPreviewRowBytes; b++) {
      uint8_t v = st.preview_bits[static_cast<size_t>(row * kPreviewRowBytes + b)];
      digits += hex[v >> 4];
      digits += hex[v & 15];
    }
  // Each placeholder line is overwritten by one of the same length.
  for (int i = 0; i < kPreviewLines; i++) {
    std::string part = digits.substr(std::min(digits.size(), static_cast<size_t>(i) * kPreviewLineDigits),
                                     kPreviewLineDigits);
    part.resize(kPreviewLineDigits, ' ');
    std::string l = "%" + part + "\n";
    pout_raw(st.out.unit, l.data(), l.size());
  }
  pout_seek(st.out, here);
}

void end_page() {
  end_path();
  if (st.page_open && st.page_drawn) {
    pout(st.out, POUT_END_LINE, nullptr);
    line("%%%%PageTrailer");
    if (!st.encapsulated) line("showpage");
    line("end restore");
    if (!st.preview_bits.empty() && st.preview_pos >= 0) {
      if (st.page_count > 0) message(-306, 0, MSG_INFO, "PostScript preview incompatible with multiple pages");
      write_preview();
    }
    line("%%%%PageResources:");
    for (PsFont& f : st.fonts)
      if (f.used_page) {
        line("%%%%+ font %s", f.name.c_str());
        f.used_page = false;
      }
    st.page_count++;
  }
  st.page_open = st.page_drawn = false;
  st.line_width = -1.0f;
  st.line_style = -1;
  st.color_index = -1;
}

void finish_file() {
  if (!st.file_open) return;
  int unit = st.out.unit;
  try {
    if (st.header_written) {
      end_page();
      line("%%%%Trailer");
      line("restore");
      line("%%%%Pages: %d", st.page_count);
      line("%%%%DocumentNeededResources:");
      for (PsFont& f : st.fonts)
        if (f.used_doc) line("%%%%+ font %s", f.name.c_str());
      line("%%%%EOF");
    }
  } catch (...) {
    st.file_open = false;
    for (PsFont& f : st.fonts) f.used_doc = f.used_page = false;
    dev().unit = 0;
    free_lun_unit(unit, MSG_CONTINUE);
    throw;
  }
  st.file_open = st.header_written = st.page_open = st.page_drawn = false;
  st.page_count = 0;
  st.preview_pos = -1;
  for (PsFont& f : st.fonts) f.used_doc = f.used_page = false;
  dev().unit = 0;
  free_lun_unit(unit, MSG_LONGJMP);
}

// ---- Preview bitmap --------------------------------------------------------------------

void preview_pixel(int x, int y) {
  if (x < 0 || y < 0 || x >= kPreviewSize || y >= kPreviewSize) return;
  st.preview_bits[static_cast<size_t>(y * kPreviewRowBytes + x / 8)] |= static_cast<uint8_t>(0x80 >> (x % 8));
}

void preview_line(const DevPoint& a, const DevPoint& b) {
  if (st.preview_bits.empty()) return;
  auto px = [](int32_t v, int32_t size) {
    return static_cast<int>(static_cast<int64_t>(v) * kPreviewSize / std::max<int32_t>(size, 1));
  };
  int x0 = px(a.x, dev().x_size), y0 = px(a.y, dev().y_size), x1 = px(b.x, dev().x_size), y1 = px(b.y, dev().y_size);
  x0 = std::clamp(x0, -1, kPreviewSize);
  x1 = std::clamp(x1, -1, kPreviewSize);
  y0 = std::clamp(y0, -1, kPreviewSize);
  y1 = std::clamp(y1, -1, kPreviewSize);
  int dx = std::abs(x1 - x0), dy = -std::abs(y1 - y0), sx = x0 < x1 ? 1 : -1, sy = y0 < y1 ? 1 : -1, err = dx + dy;
  for (;;) {
    preview_pixel(x0, y0);
    if (x0 == x1 && y0 == y1) break;
    int e2 = 2 * err;
    if (e2 >= dy) {
      err += dy;
      x0 += sx;
    }
    if (e2 <= dx) {
      err += dx;
      y0 += sy;
    }
  }
}

// ---- Drawing ----------------------------------------------------------------------------

void set_color(int index) {
  index = std::clamp(index, 0, 255);
  if (index == st.color_index) return;
  if (st.color)
    word("%.3f %.3f %.3f setrgbcolor", color_map[0][index] / 255.0, color_map[1][index] / 255.0,
         color_map[2][index] / 255.0);
  else
    word("%.3f K", index / 255.0);
  st.color_index = index;
}

void ps_draw(const DevPoint* p0, const DevPoint* p1, GraphAttr* attr) {
  ensure_page();
  float width = (attr->thick <= 0 ? 1.0f : attr->thick) * 10.0f;
  int color = std::clamp(attr->color, 0, 255);
  int style = (attr->linestyle < 0 || attr->linestyle > 5) ? 0 : attr->linestyle;
  if (st.path_len >= kMaxPathSegments || width != st.line_width || style != st.line_style ||
      color != st.color_index)
    end_path();
  if (width != st.line_width) {
    word("%g setlinewidth", width);
    st.line_width = width;
  }
  if (style != st.line_style) {
    word("L%d", style);
    st.line_style = style;
  }
  set_color(color);
  const DevPoint* from = p0;
  const DevPoint* to = p1;
  bool continues = false;
  if (st.path_len >= 0) {
    if (p0->x == st.cur.x && p0->y == st.cur.y) {
      continues = true;
    } else if (p1->x == st.cur.x && p1->y == st.cur.y) {
      continues = true;
      std::swap(from, to);
    }
  }
  if (!continues) {
    end_path();
    word("%d %d M", from->x, from->y);
    st.path_len = 0;
    st.cur = *from;
  }
  if (to->x != from->x || to->y != from->y) {
    word("%d %d R", to->x - from->x, to->y - from->y);
    st.path_len++;
  }
  st.cur = *to;
  preview_line(*p0, *p1);
}

void ps_polyfill(const int32_t* x, const int32_t* y, int n, FillRec* fill) {
  if (n < 3) return;
  if (fill && fill->style != FILL_SOLID) {
    polyfill_sfw(x, y, n, fill);
    return;
  }
  if (n > kMaxPathSegments && !st.poly_warned) {
    message(M_POLY_LIMIT, 0, MSG_INFO);
    st.poly_warned = true;
  }
  ensure_page();
  end_path();
  set_color(fill && fill->attr ? fill->attr->color : plot_com.color);
  word("%d %d M", x[0], y[0]);
  for (int i = 1; i < n; i++) word("%d %d R", x[i] - x[i - 1], y[i] - y[i - 1]);
  word("F");
  if (!st.preview_bits.empty())
    for (int i = 0; i < n; i++) {
      DevPoint a{x[i], y[i], 0}, b{x[(i + 1) % n], y[(i + 1) % n], 0};
      preview_line(a, b);
    }
}

void ps_erase(GraphAttr*) {
  if (st.file_open && st.header_written) end_page();
}

void ps_flush() {
  if (!st.file_open) return;
  pout(st.out, POUT_END_LINE, nullptr);
  flush_file_unit(st.out.unit);
}

void ps_load_color(int, int) {}

// ---- Text -------------------------------------------------------------------------------

// Width of a character as a fraction of the font size, from the font's metric file
// (a missing file is the error -328, raised before anything is written).
double char_width(int font, unsigned char c) {
  const PsFont& f = st.fonts[static_cast<size_t>(font)];
  return ps_font_metrics(f.name, f.iso && st.iso).width[c];
}

// A string of text as a PostScript string literal body.
std::string escape_text(const std::string& s, bool iso_font) {
  std::string out;
  for (unsigned char c : s) {
    if (c == '(' || c == ')' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == 149 && iso_font) {
      out += ") show ISOBULLET (";
    } else if (c < 32 || c > 126) {
      char oct[8];
      snprintf(oct, sizeof oct, "\\%03o", c);
      out += oct;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// One piece of text between commands.
struct TextRun {
  std::string text;
  int font;
  double size;      // relative to the base size
  double shift;     // baseline shift before the run, relative to the base size
  int save = 0;     // 1: save the position before the run, -1: restore it
};

// Base sizes per font unit of the level offsets: the vector fonts' cap height maps to
// the height of the digit "1" of the font the text starts in.
double level_unit() {
  const PsFont& f = st.fonts[static_cast<size_t>(st.font)];
  const double cap = ps_font_metrics(f.name, f.iso && st.iso).cap_height;
  return (cap > 0 ? cap : 0.718) / HERSH_CAP_HEIGHT;
}

// The text state a save keeps.
struct SavedLevel {
  int level, ei;
  double size, offset;
};

std::vector<TextRun> parse_text(const char* s, int length, bool report) {
  std::vector<TextRun> runs;
  int font = st.font, entry_font = st.font;
  double size = 1.0, offset = 0.0;
  const double unit = level_unit();
  int level = HERSH_LEVEL_NORMAL, ei = HERSH_EI_NORMAL;
  std::vector<SavedLevel> saves;
  TextRun cur{"", font, size, 0.0};
  int one_char_font = -1, before_one_char = -1;
  // Starts a new run; a baseline shift not yet used by any text carries into it.
  auto flush = [&]() {
    double pending = 0;
    if (!cur.text.empty() || cur.save)
      runs.push_back(cur);
    else
      pending = cur.shift;
    cur = TextRun{"", font, size, pending};
  };
  auto set_level = [&](double new_size, double new_offset) {
    flush();
    cur.shift += new_offset - offset;
    offset = new_offset;
    size = new_size;
    cur.size = size;
  };
  // A level command sets the level absolutely and ends E and I; E and I act on top of it.
  auto level_to = [&](int new_level, int new_ei) {
    level = new_level;
    ei = new_ei;
    set_level(HERSH_LEVEL_FACTOR[level] * HERSH_EI_FACTOR[ei],
              (HERSH_LEVEL_OFFSET[level] + HERSH_EI_OFFSET[ei] * HERSH_LEVEL_FACTOR[level]) * unit);
  };
  std::string all(s, static_cast<size_t>(length));
  for (int i = 0; i < length; i++) {
    char c = s[i];
    if (c != '!') {
      cur.text += c;
      if (one_char_font >= 0) {
        flush();
        font = before_one_char;
        cur.font = font;
        one_char_font = -1;
      }
      continue;
    }
    if (i + 1 >= length) {
      cur.text += c;
      continue;
    }
    char cmd = s[i + 1];
    if (cmd == '!') {
      cur.text += '!';
      i++;
      continue;
    }
    if (isdigit(static_cast<unsigned char>(cmd))) {
      int n = cmd - '0';
      int used = 1;
      if ((n == 1 || n == 2) && i + 2 < length && isdigit(static_cast<unsigned char>(s[i + 2]))) {
        n = n * 10 + (s[i + 2] - '0');
        used = 2;
      }
      if (n < 3 || n > 20) {
        if (report) message(M_BAD_GRAPHTEXT, 0, MSG_INFO, all.c_str() + i);
        cur.text.append(s + i, static_cast<size_t>(used + 1));
      } else {
        flush();
        font = st.font_map[n - 3];
        cur.font = font;
      }
      i += used;
      continue;
    }
    i++;
    switch (toupper(static_cast<unsigned char>(cmd))) {
      case 'A': level_to(0, HERSH_EI_NORMAL); break;
      case 'B': level_to(1, HERSH_EI_NORMAL); break;
      case 'D': level_to(2, HERSH_EI_NORMAL); break;
      case 'L': level_to(3, HERSH_EI_NORMAL); break;
      case 'N': level_to(4, HERSH_EI_NORMAL); break;
      case 'U': level_to(5, HERSH_EI_NORMAL); break;
      case 'E': level_to(level, 0); break;
      case 'I': level_to(level, 1); break;
      case 'C': break;  // line breaks are laid out before the driver is called
      case 'G':
        flush();
        font = st.font_map[8 - 3];
        cur.font = font;
        break;
      case 'M':
        flush();
        before_one_char = font;
        one_char_font = font = st.font_map[9 - 3];
        cur.font = font;
        break;
      case 'X':
        flush();
        font = entry_font;
        cur.font = font;
        break;
      case 'S':
        if (saves.size() >= 8) {  // as deep as the vector fonts' stack
          if (report) message(M_TOO_MANY_SAVES, 0, MSG_INFO, all.c_str());
          break;
        }
        flush();
        cur.save = 1;
        saves.push_back({level, ei, size, offset});
        flush();
        break;
      case 'R':
        if (saves.empty()) {
          if (report) message(M_NO_SAVE, 0, MSG_INFO, all.c_str() + i - 1);
          break;
        }
        flush();
        cur.save = -1;
        cur.shift = 0;  // the saved point has its own baseline
        // Back at the saved point: its level, size and baseline are current again.
        level = saves.back().level;
        ei = saves.back().ei;
        size = saves.back().size;
        offset = saves.back().offset;
        saves.pop_back();
        flush();
        break;
      default:
        cur.text += '!';
        cur.text += cmd;
        break;
    }
  }
  flush();
  return runs;
}

float ps_text(const DevPoint* p, GraphAttr* attr, TextAttr* text, const char* s, int length) {
  bool measure_only = text->size < 0;
  double size = std::fabs(text->size);
  if (size == 0) size = 1.0;
  std::vector<TextRun> runs = parse_text(s, length, !measure_only);
  double base = font_units(st.font_size);
  // The furthest the pen gets, in base-size units; a restore goes back to its save.
  double width = 0, pen = 0;
  std::vector<double> saved;
  for (const TextRun& r : runs) {
    if (r.save > 0) saved.push_back(pen);
    if (r.save < 0 && !saved.empty()) {
      pen = saved.back();
      saved.pop_back();
    }
    for (unsigned char c : r.text) pen += char_width(r.font, c) * r.size;
    width = std::max(width, pen);
  }
  width *= base;
  if (measure_only) return static_cast<float>(width * size);
  ensure_page();
  end_path();
  set_color(attr ? attr->color : plot_com.color);
  word("gsave %d %d translate 0 0 M", p->x, p->y);
  if (text->orientation != 0) word("%g rotate", text->orientation);
  word("%g dup scale", size);
  if (text->alignment != 0) word("%g 0 N", -text->alignment * width);
  int font = st.font;
  double cur_size = 1.0;
  for (const TextRun& r : runs) {
    if (r.shift != 0) word("0 %g N", r.shift * base);
    if (r.save > 0) {
      word("currentpoint");
      continue;
    }
    if (r.save < 0) {
      word("M");
      continue;
    }
    if (r.font != font || r.size != cur_size) {
      select_font(r.font, base * r.size);
      font = r.font;
      cur_size = r.size;
    }
    if (!r.text.empty()) {
      const PsFont& f = st.fonts[static_cast<size_t>(r.font)];
      word("(%s) show", escape_text(r.text, f.iso && st.iso).c_str());
    }
  }
  word("grestore");
  return static_cast<float>(width * size);
}

// ---- Images -----------------------------------------------------------------------------

// Packs one row of 8-bit values at the chosen bits per pixel and writes it in hexadecimal.
void hex_row(const uint8_t* values, int n, int bits) {
  static const char hex[] = "0123456789abcdef";
  std::string digits;
  int acc = 0, filled = 0;
  for (int i = 0; i < n; i++) {
    acc = (acc << bits) | (values[i] >> (8 - bits));
    filled += bits;
    if (filled == 8) {
      digits += hex[acc >> 4];
      digits += hex[acc & 15];
      acc = filled = 0;
    }
  }
  if (filled) {
    acc <<= 8 - filled;
    digits += hex[acc >> 4];
    digits += hex[acc & 15];
  }
  pout(st.out, POUT_END_LINE, nullptr);
  for (size_t at = 0; at < digits.size(); at += 72) {
    std::string l = digits.substr(at, 72) + "\n";
    pout_raw(st.out.unit, l.data(), l.size());
  }
}

void ps_image(uint8_t* pixels, int x, int y, int nx, int ny, int direction, ImageRec* rec) {
  if (direction == 0) message(-305, 0, MSG_LONGJMP, "PS");
  if (nx <= 0 || ny <= 0) return;
  if (rec->channel) message(-306, 0, MSG_INFO, "CHANNEL (use TRUE instead)");
  ensure_page();
  end_path();
  int bits = st.bits;
  int row_bytes = (nx * bits + 7) / 8;
  word("gsave");
  word("%d %d translate", x, y);
  word("%g %g scale", static_cast<double>(rec->xsize), static_cast<double>(rec->ysize));
  char matrix[96];
  if (rec->order)
    snprintf(matrix, sizeof matrix, "[%d 0 0 %d 0 %d]", nx, -ny, ny);
  else
    snprintf(matrix, sizeof matrix, "[%d 0 0 %d 0 %d]", nx, ny, 0);
  std::vector<uint8_t> row(static_cast<size_t>(nx));
  if (rec->true_color) {
    word("/rstr %d string def /gstr %d string def /bstr %d string def", row_bytes, row_bytes, row_bytes);
    word("%d %d %d %s", nx, ny, bits, matrix);
    word("{ currentfile rstr readhexstring pop} bind");
    word("{ currentfile gstr readhexstring pop} bind");
    word("{ currentfile bstr readhexstring pop} bind");
    word("true 3 colorimage");
    size_t nxs = static_cast<size_t>(nx), nys = static_cast<size_t>(ny);
    for (size_t j = 0; j < nys; j++)
      for (size_t c = 0; c < 3; c++) {
        for (size_t i = 0; i < nxs; i++) {
          size_t at;
          if (rec->true_color == 1)
            at = 3 * (j * nxs + i) + c;
          else if (rec->true_color == 2)
            at = (j * 3 + c) * nxs + i;
          else
            at = (c * nys + j) * nxs + i;
          row[i] = pixels[at];
        }
        hex_row(row.data(), nx, bits);
      }
  } else if (st.color) {
    word("/picstr 1 string def");
    word("%d %d 8 %s", nx, ny, matrix);
    pout(st.out, POUT_END_LINE, nullptr);
    std::string table = "/COLORTAB <";
    for (int i = 0; i < 256; i++) {
      char e[8];
      snprintf(e, sizeof e, "%02x%02x%02x", color_map[0][i], color_map[1][i], color_map[2][i]);
      table += e;
      if (i % 12 == 11) {
        pout_raw(st.out.unit, table.data(), table.size());
        pout_raw(st.out.unit, "\n", 1);
        table.clear();
      }
    }
    table += "> def\n";
    pout_raw(st.out.unit, table.data(), table.size());
    word("{COLORTAB currentfile picstr readhexstring pop 0 get");
    word("3 mul 3 getinterval } bind false 3 colorimage");
    for (int j = 0; j < ny; j++) hex_row(pixels + static_cast<size_t>(j) * nx, nx, 8);
  } else {
    word("/picstr %d string def", row_bytes);
    word("/J { currentfile picstr readhexstring pop} bdef");
    word("%d %d %d %s", nx, ny, bits, matrix);
    word("{J} image");
    for (int j = 0; j < ny; j++) hex_row(pixels + static_cast<size_t>(j) * nx, nx, bits);
  }
  word("grestore");
}

// ---- DEVICE -----------------------------------------------------------------------------

int32_t kw_flags, kw_family, kw_style;
int32_t kw_bits, kw_bits_given, kw_color, kw_color_given, kw_encaps, kw_encaps_given, kw_iso, kw_iso_given;
int32_t kw_preview, kw_preview_given, kw_font_index, kw_font_index_given;
float kw_font_size, kw_scale, kw_xoff, kw_yoff, kw_xsize, kw_ysize;
int32_t kw_font_size_given, kw_scale_given, kw_xoff_given, kw_yoff_given, kw_xsize_given, kw_ysize_given;
StringDesc kw_filename, kw_output, kw_user_font;
int32_t kw_filename_given, kw_output_given, kw_user_font_given;
int32_t kw_charsize_data[2];
int32_t kw_charsize_given;
KwArray kw_charsize{kw_charsize_data, 1, 2, 0};

constexpr int32_t kClose = 1, kInches = 2, kLandscape = 4, kPortrait = 8;
constexpr uint16_t kFlag = KW_BITFLAG | KW_CLEAR;

constexpr KwEntry kPsKeywords[] = {
    {"AVANTGARDE", 0, 1, kFlag | (1 << 7), nullptr, &kw_family},
    {"BITS_PER_PIXEL", TYP_LONG, 1, KW_CLEAR, &kw_bits_given, &kw_bits},
    {"BKMAN", 0, 1, kFlag | (1 << 5), nullptr, &kw_family},
    {"BOLD", 0, 1, kFlag | 4, nullptr, &kw_style},
    {"BOOK", 0, 1, kFlag | 64, nullptr, &kw_style},
    {"CLOSE_FILE", 0, 1, kFlag | kClose, nullptr, &kw_flags},
    {"COLOR", TYP_LONG, 1, KW_CLEAR, &kw_color_given, &kw_color},
    {"COURIER", 0, 1, kFlag | (1 << 1), nullptr, &kw_family},
    {"DEMI", 0, 1, kFlag | 32, nullptr, &kw_style},
    {"ENCAPSULATED", TYP_LONG, 1, KW_CLEAR, &kw_encaps_given, &kw_encaps},
    {"FILENAME", TYP_STRING, 1, KW_CLEAR, &kw_filename_given, &kw_filename},
    {"FONT_INDEX", TYP_LONG, 1, KW_CLEAR, &kw_font_index_given, &kw_font_index},
    {"FONT_SIZE", TYP_FLOAT, 1, KW_CLEAR, &kw_font_size_given, &kw_font_size},
    {"HELVETICA", 0, 1, kFlag | (1 << 2), nullptr, &kw_family},
    {"INCHES", 0, 1, kFlag | kInches, nullptr, &kw_flags},
    {"ISOLATIN1", TYP_LONG, 1, KW_CLEAR, &kw_iso_given, &kw_iso},
    {"ITALIC", 0, 1, kFlag | 2, nullptr, &kw_style},
    {"LANDSCAPE", 0, 1, kFlag | kLandscape, nullptr, &kw_flags},
    {"LIGHT", 0, 1, kFlag | 8, nullptr, &kw_style},
    {"MEDIUM", 0, 1, kFlag | 128, nullptr, &kw_style},
    {"NARROW", 0, 1, kFlag | 16, nullptr, &kw_style},
    {"OBLIQUE", 0, 1, kFlag | 1, nullptr, &kw_style},
    {"OUTPUT", TYP_STRING, 1, KW_CLEAR, &kw_output_given, &kw_output},
    {"PALATINO", 0, 1, kFlag | (1 << 9), nullptr, &kw_family},
    {"PORTRAIT", 0, 1, kFlag | kPortrait, nullptr, &kw_flags},
    {"PREVIEW", TYP_LONG, 1, KW_CLEAR, &kw_preview_given, &kw_preview},
    {"SCALE_FACTOR", TYP_FLOAT, 1, KW_CLEAR, &kw_scale_given, &kw_scale},
    {"SCHOOLBOOK", 0, 1, kFlag | (1 << 4), nullptr, &kw_family},
    {"SET_CHARACTER_SIZE", TYP_LONG, 1, KW_ARRAY, &kw_charsize_given, &kw_charsize},
    {"SYMBOL", 0, 1, kFlag | (1 << 6), nullptr, &kw_family},
    {"TIMES", 0, 1, kFlag | (1 << 3), nullptr, &kw_family},
    {"USER_FONT", TYP_STRING, 1, KW_CLEAR, &kw_user_font_given, &kw_user_font},
    {"XOFFSET", TYP_FLOAT, 1, KW_CLEAR, &kw_xoff_given, &kw_xoff},
    {"XSIZE", TYP_FLOAT, 1, KW_CLEAR, &kw_xsize_given, &kw_xsize},
    {"YOFFSET", TYP_FLOAT, 1, KW_CLEAR, &kw_yoff_given, &kw_yoff},
    {"YSIZE", TYP_FLOAT, 1, KW_CLEAR, &kw_ysize_given, &kw_ysize},
    {"ZAPFCHANCERY", 0, 1, kFlag | (1 << 8), nullptr, &kw_family},
    {"ZAPFDINGBATS", 0, 1, kFlag | (1 << 10), nullptr, &kw_family},
    {nullptr, 0, 0, 0, nullptr, nullptr},
};

// The font name of a family (1..10) with style bits.
std::string font_name_of(int family, int style) {
  bool bold = style & 4, italic = style & 3, narrow = style & 16, demi = style & 32, light = style & 8;
  switch (family) {
    case 1: {
      std::string n = "Courier";
      if (bold || italic) n += "-";
      if (bold) n += "Bold";
      if (italic) n += "Oblique";
      return n;
    }
    case 2: {
      std::string n = narrow ? "Helvetica-Narrow" : "Helvetica";
      if (bold || italic) n += "-";
      if (bold) n += "Bold";
      if (italic) n += "Oblique";
      return n;
    }
    case 3:
      return bold ? (italic ? "Times-BoldItalic" : "Times-Bold") : (italic ? "Times-Italic" : "Times-Roman");
    case 4:
      return bold ? (italic ? "NewCenturySchlbk-BoldItalic" : "NewCenturySchlbk-Bold")
                  : (italic ? "NewCenturySchlbk-Italic" : "NewCenturySchlbk-Roman");
    case 5: {
      std::string n = (bold || demi) && !light ? "Bookman-Demi" : "Bookman-Light";
      if (italic) n += "Italic";
      return n;
    }
    case 6: return "Symbol";
    case 7: {
      std::string n = (bold || demi) ? "AvantGarde-Demi" : "AvantGarde-Book";
      if (italic) n += "Oblique";
      return n;
    }
    case 8: return "ZapfChancery-MediumItalic";
    case 9:
      return bold ? (italic ? "Palatino-BoldItalic" : "Palatino-Bold") : (italic ? "Palatino-Italic" : "Palatino-Roman");
    case 10: return "ZapfDingbats";
    default: return "";
  }
}

void ps_device_proc(int argc, Variable* argv[], KwNames argk) {
  init_fonts();
  get_kw_params(argc, argv, argk, kPsKeywords, nullptr, 1);
  DeviceRecord& d = dev();
  if (kw_flags & kClose) {
    if (st.file_open) finish_file();
  }
  if (kw_filename_given) {
    std::string name = str_chars(kw_filename);
    if (st.file_open) finish_file();
    open_output(name.c_str());
  }
  if (kw_preview_given) {
    st.preview = kw_preview != 0;
    if (!st.preview) st.preview_bits.clear();
  }
  if (kw_encaps_given) st.encapsulated = kw_encaps != 0;
  if (kw_color_given) st.color = kw_color != 0;
  if (kw_flags & kPortrait) {
    st.landscape = false;
    st.xoffset = 54;
    st.yoffset = 360;
    d.x_size = d.x_vsize = 17780;
    d.y_size = d.y_vsize = 12700;
  }
  if (kw_flags & kLandscape) {
    st.landscape = true;
    st.xoffset = 54;
    st.yoffset = 738;
    d.x_size = d.x_vsize = 24130;
    d.y_size = d.y_vsize = 17780;
  }
  bool inches = kw_flags & kInches;
  double to_points = inches ? 72.0 : 28.346457;
  double to_units = inches ? 2540.0 : 1000.0;
  if (kw_xoff_given) st.xoffset = static_cast<int>(trunc_device(static_cast<float>(kw_xoff * to_points)));
  if (kw_yoff_given) st.yoffset = static_cast<int>(trunc_device(static_cast<float>(kw_yoff * to_points)));
  if (kw_xsize_given) {
    int v = static_cast<int>(trunc_device(static_cast<float>(kw_xsize * to_units)));
    if (v <= 0) message(M_VALUE_RANGE, 0, MSG_LONGJMP, "XSIZE");
    d.x_size = d.x_vsize = v;
  }
  if (kw_ysize_given) {
    int v = static_cast<int>(trunc_device(static_cast<float>(kw_ysize * to_units)));
    if (v <= 0) message(M_VALUE_RANGE, 0, MSG_LONGJMP, "YSIZE");
    d.y_size = d.y_vsize = v;
  }
  if (kw_scale_given && kw_scale != 0) {
    if (!std::isfinite(kw_scale) || kw_scale < 0) message(M_VALUE_RANGE, 0, MSG_LONGJMP, "SCALE_FACTOR");
    st.scale = kw_scale;
  }
  if (kw_font_size_given && kw_font_size != 0 && kw_font_size != st.font_size) {
    if (!std::isfinite(kw_font_size) || kw_font_size < 0 || kw_font_size > 1000)
      message(M_VALUE_RANGE, 0, MSG_LONGJMP, "FONT_SIZE");
    st.font_size = kw_font_size;
    d.x_ch_size = static_cast<int32_t>(st.font_size / 12.0 * 222.25);
    d.y_ch_size = static_cast<int32_t>(st.font_size / 12.0 * 352.7778);
  }
  if (kw_charsize_given && kw_charsize.count >= 1) {
    d.x_ch_size = kw_charsize_data[0];
    if (kw_charsize.count >= 2) d.y_ch_size = kw_charsize_data[1];
  }
  // Fonts.
  int chosen = -1;
  int family = 0;
  for (int f = 1; f <= 10; f++)
    if (kw_family & (1 << f)) family = f;
  if (!family && kw_style) family = 2;
  if (family) {
    int idx = font_index_of(font_name_of(family, kw_style));
    if (idx < 0)
      message(M_NO_FONT, 0, MSG_INFO, st.fonts[static_cast<size_t>(st.font)].name.c_str());
    else
      chosen = idx;
  }
  if (kw_user_font_given) {
    std::string name = str_chars(kw_user_font);
    if (!name.empty()) {
      st.fonts[0].name = name;
      chosen = 0;
    }
  }
  if (kw_font_index_given) {
    if (kw_font_index < 3 || kw_font_index > 20) message(M_FONT_INDEX, 0, MSG_LONGJMP);
    st.font_map[kw_font_index - 3] = chosen >= 0 ? chosen : st.font;
  }
  if (kw_iso_given) st.iso = kw_iso != 0;
  if (chosen >= 0 || kw_iso_given || (kw_font_size_given && st.page_open)) {
    if (chosen >= 0) st.font = chosen;
    if (st.page_open) {
      end_path();
      select_font(st.font, font_units(st.font_size));
    }
  }
  if (kw_bits_given) st.bits = kw_bits < 2 ? 1 : kw_bits == 2 ? 2 : kw_bits <= 4 ? 4 : 8;
  d.aspect = static_cast<float>(d.x_vsize) / static_cast<float>(d.y_vsize);
  if (kw_output_given) {
    ensure_page();
    end_path();
    line("%s", str_chars(kw_output));
  }
}

// ---- Show -------------------------------------------------------------------------------

void ps_show() {
  init_fonts();
  DeviceRecord& d = dev();
  toutf(TOUT_NL, "    File: %s", st.file_open ? st.filename.c_str() : "<none>");
  toutf(TOUT_NL, "    Mode: %s, %sEncapsulated, EPSI Preview %s, Color %s", st.landscape ? "Landscape" : "Portrait",
        st.encapsulated ? "" : "Non-", st.preview ? "Enabled" : "Disabled", st.color ? "Enabled" : "Disabled");
  double xo_cm = st.xoffset / 28.346457, yo_cm = st.yoffset / 28.346457;
  toutf(TOUT_NL, "    Offset (X,Y): (%g,%g) cm., (%g,%g) in.", xo_cm, yo_cm, st.xoffset / 72.0, st.yoffset / 72.0);
  toutf(TOUT_NL, "    Size (X,Y): (%g,%g) cm., (%g,%g) in.", d.x_size / 1000.0, d.y_size / 1000.0, d.x_size / 2540.0,
        d.y_size / 2540.0);
  toutf(TOUT_NL, "    Scale Factor: %g", st.scale);
  toutf(TOUT_NL, "    Font Size: %g", st.font_size);
  const PsFont& f = st.fonts[static_cast<size_t>(st.font)];
  toutf(TOUT_NL, "    Font Encoding: %s", !f.iso ? "FontSpecific" : st.iso ? "ISOLatin1" : "AdobeStandard");
  toutf(TOUT_NL, "    Font: %s", f.name.c_str());
  toutf(TOUT_NL, "    # bits per image pixel: %d", st.bits);
  toutf(TOUT_NL, "    Font Mapping:");
  for (int i = 0; i < 18; i += 2) {
    std::string a = st.fonts[static_cast<size_t>(st.font_map[i])].name;
    std::string b = st.fonts[static_cast<size_t>(st.font_map[i + 1])].name;
    toutf(TOUT_NL, "        %s(!%d) %-25s %s(!%d) %-25s", i + 3 < 10 ? " " : "", i + 3, a.c_str(),
          i + 4 < 10 ? " " : "", i + 4, b.c_str());
  }
}

void ps_init() {
  init_fonts();
}

}  // namespace

void ps_open_file(const char* name) {
  init_fonts();
  open_output(name);
}

void ps_close_file() { finish_file(); }

DeviceRecord ps_device = [] {
  DeviceRecord d = make_device_record("PS", 17780, 12700, 222, 352, 1000.0f, 256, 1, 4663);
  d.draw = ps_draw;
  d.text = ps_text;
  d.erase = ps_erase;
  d.polyfill = ps_polyfill;
  d.flush = ps_flush;
  d.load_color = ps_load_color;
  d.image = ps_image;
  d.device = ps_device_proc;
  d.show = ps_show;
  d.init = ps_init;
  return d;
}();
