// The PostScript font map and metric files behind the alignment of device text.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "graphics/devices/ps_metrics.h"
#include "scratch_files.h"

namespace {

const std::string kUrw = "/usr/share/fonts/type1/urw-base35/";

// The WX and bounding box of a glyph, read straight from a metric file: the line with
// "C code ;" (code >= 0) or "N name ;".
bool afm_line(const std::string& file, int code, const std::string& name, float* wx, float* ury = nullptr) {
  std::ifstream in(kUrw + file);
  std::string line;
  const std::string want = code >= 0 ? "C " + std::to_string(code) + " ;" : "";
  while (std::getline(in, line)) {
    const bool hit = code >= 0 ? line.rfind(want, 0) == 0 : line.find("; N " + name + " ;") != std::string::npos;
    if (!hit) continue;
    std::istringstream words(line.substr(line.find("WX") + 2));
    words >> *wx;
    if (ury) {
      std::istringstream box(line.substr(line.find("; B ") + 4));
      float a, b, c;
      box >> a >> b >> c >> *ury;
    }
    return true;
  }
  return false;
}

class PsMetricsTest : public VekTest {
 protected:
  void SetUp() override {
    VekTest::SetUp();
    if (access((kUrw + "NimbusSans-Regular.afm").c_str(), R_OK) != 0) GTEST_SKIP() << "no URW font metrics";
    saved_ = message_hooks;
    message_hooks.write = [](int, const char*, bool) {};
    ps_metrics_reset();
  }
  void TearDown() override {
    message_hooks = saved_;
    ps_metrics_reset();
    VekTest::TearDown();
  }
  MessageHooks saved_;
};

TEST_F(PsMetricsTest, HelveticaWidthsAndCapHeightComeFromItsMetricFile) {
  const PsFontMetrics& m = ps_font_metrics("Helvetica", false);
  float wx = 0, ury = 0;
  ASSERT_TRUE(afm_line("NimbusSans-Regular.afm", 'A', "", &wx));
  EXPECT_FLOAT_EQ(m.width['A'], wx / 1000);
  ASSERT_TRUE(afm_line("NimbusSans-Regular.afm", ' ', "", &wx));
  EXPECT_FLOAT_EQ(m.width[' '], wx / 1000);
  ASSERT_TRUE(afm_line("NimbusSans-Regular.afm", -1, "one", &wx, &ury));
  EXPECT_FLOAT_EQ(m.cap_height, ury / 1000);
  // A different font has its own widths: Courier's are all alike.
  const PsFontMetrics& c = ps_font_metrics("Courier", false);
  EXPECT_FLOAT_EQ(c.width['i'], c.width['W']);
  EXPECT_NE(m.width['i'], m.width['W']);
}

TEST_F(PsMetricsTest, IsoLatin1TakesTheUpperHalfByGlyphName) {
  float eacute = 0, at233 = 0;
  ASSERT_TRUE(afm_line("NimbusRoman-Regular.afm", -1, "eacute", &eacute));
  ASSERT_TRUE(afm_line("NimbusRoman-Regular.afm", 233, "", &at233));  // the file's own code 233
  const PsFontMetrics& iso = ps_font_metrics("Times-Roman", true);
  const PsFontMetrics& plain = ps_font_metrics("Times-Roman", false);
  EXPECT_FLOAT_EQ(iso.width[233], eacute / 1000);
  EXPECT_FLOAT_EQ(plain.width[233], at233 / 1000);
  EXPECT_NE(iso.width[233], plain.width[233]);
  EXPECT_FLOAT_EQ(iso.width['e'], plain.width['e']);
  EXPECT_FLOAT_EQ(iso.width[128], 0);  // no character there
}

TEST_F(PsMetricsTest, EveryStandardFontIsMapped) {
  for (const char* name :
       {"NewCenturySchlbk-Italic", "Bookman-LightItalic", "Helvetica", "Courier-Bold", "Helvetica-Narrow-Bold",
        "Courier-BoldOblique", "Times-Italic", "Times-Bold", "NewCenturySchlbk-Roman", "Helvetica-Narrow-Oblique",
        "Bookman-DemiItalic", "Symbol", "Bookman-Demi", "Helvetica-BoldOblique", "Bookman-Light",
        "Helvetica-Oblique", "AvantGarde-Book", "AvantGarde-DemiOblique", "AvantGarde-BookOblique", "AvantGarde-Demi",
        "Helvetica-Narrow", "ZapfChancery-MediumItalic", "Courier-Oblique", "NewCenturySchlbk-BoldItalic",
        "Helvetica-Bold", "Times-Roman", "Times-BoldItalic", "Helvetica-Narrow-BoldOblique", "NewCenturySchlbk-Bold",
        "Palatino-Bold", "Courier", "Palatino-Italic", "Palatino-Roman", "Palatino-BoldItalic", "ZapfDingbats"}) {
    int code = 0;
    float space = 0;
    code = error_code_of([&] { space = ps_font_metrics(name, false).width[' ']; });
    EXPECT_EQ(code, 0) << name;
    EXPECT_GT(space, 0) << name;
  }
  // The narrow family is narrower than the plain one, as the map must say.
  EXPECT_LT(ps_font_metrics("Helvetica-Narrow", false).width['M'], ps_font_metrics("Helvetica", false).width['M']);
}

TEST_F(PsMetricsTest, MissingFontsAndFilesAreErrors) {
  EXPECT_EQ(error_code_of([] { ps_font_metrics("No-Such-Font", false); }), -328);
  EXPECT_NE(ur_err_string.find("Unable to find PostScript font metric file: No-Such-Font"), std::string::npos)
      << ur_err_string;

  ScratchFolder folder;
  folder.use_as_vek_dir();
  const std::string dir = folder.dir();
  ps_metrics_reset();
  EXPECT_EQ(error_code_of([] { ps_font_metrics("Helvetica", false); }), -328);  // no map
  ASSERT_EQ(system(("mkdir -p '" + dir + "/ps'").c_str()), 0);
  std::ofstream(dir + "/ps/font.map") << "% test map\nHelvetica Local\nTimes-Roman " << dir << "/gone.afm\n";
  // A metric file named without a folder is found beside the map; this one has no
  // character metrics at all.
  std::ofstream(dir + "/ps/Local.afm") << "StartFontMetrics 2.0\nFontName Local\nEndFontMetrics\n";
  ps_metrics_reset();
  EXPECT_EQ(error_code_of([] { ps_font_metrics("Helvetica", false); }), -328);
  EXPECT_EQ(error_code_of([] { ps_font_metrics("Times-Roman", false); }), -328);
  std::ofstream(dir + "/ps/Local.afm") << "StartCharMetrics 2\nC 65 ; WX 500 ; N A ; B 0 0 1 1 ;\n"
                                       << "C 49 ; WX 250 ; N one ; B 0 0 10 640 ;\nEndCharMetrics\n"
                                       << "C 66 ; WX 900 ; N B ;\n";
  ps_metrics_reset();
  const PsFontMetrics& m = ps_font_metrics("Helvetica", false);
  EXPECT_FLOAT_EQ(m.width['A'], 0.5f);
  EXPECT_FLOAT_EQ(m.cap_height, 0.64f);
  EXPECT_FLOAT_EQ(m.width['B'], 0);  // past EndCharMetrics
}

}  // namespace
