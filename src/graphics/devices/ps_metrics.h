// Character widths of the PostScript fonts for aligning device text: the font map
// ps/font.map under !DIR (font name to metric file) and the character metrics of the
// standard metric (.afm) files, read once per font and encoding. Relies on the message
// system and the graphics resource paths.
#pragma once

#include <string>

// Widths and the cap height are fractions of the font size (the metric files' thousandths
// of an em divided by 1000): multiply by the size in points.
struct PsFontMetrics {
  float width[256];
  float cap_height;  // the top of the digit "1"
};

// The metrics of a font by its PostScript name. With iso_latin1 the codes 128..255 carry
// the ISO Latin-1 characters (found by glyph name), else the codes of the metric file.
// A font missing from the map, or a metric file that cannot be read, is the error
// "Unable to find PostScript font metric file: %s." (-328).
const PsFontMetrics& ps_font_metrics(const std::string& font_name, bool iso_latin1);

// Forgets the map and every cached font (the next call reads the files anew).
void ps_metrics_reset();
