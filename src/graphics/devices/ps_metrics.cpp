#include "graphics/devices/ps_metrics.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <fstream>

#include "graphics/resource_files.h"
#include "base/message.h"

namespace {

// Glyph names of the ISO Latin-1 codes 128..255 (the PostScript ISOLatin1Encoding);
// null where the encoding has no character.
constexpr const char* kIsoLatin1High[128] = {
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,  // 128
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    "dotlessi", "grave", "acute", "circumflex", "tilde", "macron", "breve", "dotaccent",  // 144
    "dieresis", nullptr, "ring", "cedilla", nullptr, "hungarumlaut", "ogonek", "caron",
    "space", "exclamdown", "cent", "sterling", "currency", "yen", "brokenbar", "section",  // 160
    "dieresis", "copyright", "ordfeminine", "guillemotleft", "logicalnot", "hyphen", "registered", "macron",
    "degree", "plusminus", "twosuperior", "threesuperior", "acute", "mu", "paragraph", "periodcentered",
    "cedilla", "onesuperior", "ordmasculine", "guillemotright", "onequarter", "onehalf", "threequarters",
    "questiondown",
    "Agrave", "Aacute", "Acircumflex", "Atilde", "Adieresis", "Aring", "AE", "Ccedilla",  // 192
    "Egrave", "Eacute", "Ecircumflex", "Edieresis", "Igrave", "Iacute", "Icircumflex", "Idieresis",
    "Eth", "Ntilde", "Ograve", "Oacute", "Ocircumflex", "Otilde", "Odieresis", "multiply",
    "Oslash", "Ugrave", "Uacute", "Ucircumflex", "Udieresis", "Yacute", "Thorn", "germandbls",
    "agrave", "aacute", "acircumflex", "atilde", "adieresis", "aring", "ae", "ccedilla",  // 224
    "egrave", "eacute", "ecircumflex", "edieresis", "igrave", "iacute", "icircumflex", "idieresis",
    "eth", "ntilde", "ograve", "oacute", "ocircumflex", "otilde", "odieresis", "divide",
    "oslash", "ugrave", "uacute", "ucircumflex", "udieresis", "yacute", "thorn", "ydieresis",
};

struct Cache {
  bool map_read = false;
  std::map<std::string, std::string> metric_file;  // font name -> metric file
  std::map<std::pair<std::string, bool>, PsFontMetrics> fonts;
};
Cache cache;

[[noreturn]] void missing(const std::string& what) {
  message_error(M_NO_FONT_METRICS, 0, MSG_LONGJMP, what.c_str());
}

// "Name  file" lines; "%" and "#" start comments.
void read_map() {
  const std::string path = graphics_resource_path("ps", "font", "map");
  std::ifstream in(path);
  if (!in) missing(path);
  std::string line;
  while (std::getline(in, line)) {
    const size_t hash = line.find_first_of("%#");
    if (hash != std::string::npos) line.resize(hash);
    std::istringstream words(line);
    std::string name, file;
    if (words >> name >> file) cache.metric_file[name] = file;
  }
  cache.map_read = true;
}

// A name without a folder is <name>.afm in the ps folder; a path is taken as it stands.
std::string metric_path(const std::string& file) {
  if (file.find('/') != std::string::npos) return file;
  std::string name = file;
  if (name.size() > 4 && name.compare(name.size() - 4, 4, ".afm") == 0) name.resize(name.size() - 4);
  return graphics_resource_path("ps", name.c_str(), "afm");
}

// The value after `key` in a character-metric line ("C 65 ; WX 667 ; N A ; B ..."), whose
// fields are separated by semicolons.
bool field(const std::string& line, const char* key, std::string& value) {
  std::istringstream fields(line);
  std::string f;
  while (std::getline(fields, f, ';')) {
    std::istringstream words(f);
    std::string k;
    if (!(words >> k) || k != key) continue;
    std::getline(words, value);
    const size_t b = value.find_first_not_of(" \t");
    value = b == std::string::npos ? "" : value.substr(b);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r')) value.pop_back();
    return true;
  }
  return false;
}

PsFontMetrics read_metrics(const std::string& path, bool iso_latin1) {
  std::ifstream in(path);
  if (!in) missing(path);
  PsFontMetrics m{};
  std::map<std::string, float> by_name;
  std::string line;
  bool inside = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!inside) {
      inside = line.compare(0, 16, "StartCharMetrics") == 0;
      continue;
    }
    if (line.compare(0, 14, "EndCharMetrics") == 0) break;
    std::string code_text, wx_text, name, bbox;
    if (!field(line, "C", code_text) || !field(line, "WX", wx_text)) continue;
    const float wx = strtof(wx_text.c_str(), nullptr) / 1000.0f;
    const long code = strtol(code_text.c_str(), nullptr, 10);
    const bool has_name = field(line, "N", name);
    if (code >= 0 && code < 256 && !(iso_latin1 && code >= 128)) m.width[code] = wx;
    if (has_name) {
      by_name[name] = wx;
      if (name == "one" && field(line, "B", bbox)) {
        float llx, lly, urx, ury;
        if (sscanf(bbox.c_str(), "%f %f %f %f", &llx, &lly, &urx, &ury) == 4) m.cap_height = ury / 1000.0f;
      }
    }
  }
  if (!inside) missing(path);
  if (iso_latin1) {
    for (int c = 128; c < 256; c++) {
      const char* glyph = kIsoLatin1High[c - 128];
      auto it = glyph ? by_name.find(glyph) : by_name.end();
      m.width[c] = it == by_name.end() ? 0.0f : it->second;
    }
  }
  return m;
}

}  // namespace

const PsFontMetrics& ps_font_metrics(const std::string& font_name, bool iso_latin1) {
  const auto key = std::make_pair(font_name, iso_latin1);
  auto it = cache.fonts.find(key);
  if (it != cache.fonts.end()) return it->second;
  if (!cache.map_read) read_map();
  auto file = cache.metric_file.find(font_name);
  if (file == cache.metric_file.end()) missing(font_name + ".afm");
  PsFontMetrics m = read_metrics(metric_path(file->second), iso_latin1);
  return cache.fonts.emplace(key, m).first->second;
}

void ps_metrics_reset() { cache = Cache{}; }
