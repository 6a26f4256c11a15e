// The form's texts: the version rule that enables UPDATE, the port and percent texts, and
// both languages complete.
#include "app/form_texts.h"

#include <gtest/gtest.h>

#include <string>

namespace flotilla::app {
namespace {

TEST(FormTexts, VersionsShownAndWhetherUpdateMayStart) {
  struct Case {
    const char* name;
    std::string text, string3, string5;
    bool german;
    VersionDisplay expected;
  };
  const Case cases[] = {
      {"answered", "BD_XV418V1.0.0B05", "WIN_V2.1.3", "MAC_V1.0.7", false,
       {"BD_XV418V1.0.0B05 (Firmware)", "WIN_V2.1.3 (Windows)", "MAC_V1.0.7 (Mac)",
        "Ready to start update.", true}},
      {"answered, German", "BD_XV418V1.0.0B05", "WIN_V2.1.3", "MAC_V1.0.7", true,
       {"BD_XV418V1.0.0B05 (Firmware)", "WIN_V2.1.3 (Windows)", "MAC_V1.0.7 (Mac)",
        "Fertig, bitte UPDATE drücken um den Prozess zu starten", true}},
      // A version text alone does not make the stick known: string 3 must be there.
      {"empty string 3", "BD_XV418V1.0.0B05", "", "MAC_V1.0.7", false,
       {"NULL", "NULL", "NULL", "Searching communication ports...", false}},
      {"start-up, German", "Kein Telefon", "", "", true,
       {"NULL", "NULL", "NULL", "Gerät wird gesucht...", false}},
      {"string 5 empty", "FW", "WIN", "", false,
       {"FW (Firmware)", "WIN (Windows)", " (Mac)", "Ready to start update.", true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const VersionDisplay shown = ComposeVersionDisplay(c.text, c.string3, c.string5, c.german);
    EXPECT_EQ(shown.firmware, c.expected.firmware);
    EXPECT_EQ(shown.windows, c.expected.windows);
    EXPECT_EQ(shown.mac, c.expected.mac);
    EXPECT_EQ(shown.status, c.expected.status);
    EXPECT_EQ(shown.ready, c.expected.ready);
  }
}

TEST(FormTexts, PortAndPercentTexts) {
  const std::pair<int, const char*> ports[] = {{0, "NULL"}, {1, "NULL"}, {2, "COM2"}, {12, "COM12"}};
  for (const auto& [port, text] : ports) EXPECT_EQ(PortText(port), text) << port;
  const std::pair<int, const char*> percents[] = {
      {0, "0%"}, {37, "37%"}, {100, "100%"}, {101, "100%"}, {250, "100%"}, {-5, "0%"}};
  for (const auto& [percent, text] : percents) EXPECT_EQ(PercentText(percent), text) << percent;
}

TEST(FormTexts, EveryTextInBothLanguagesAndTheGermanOnesInUtf8) {
  for (int i = 0; i < kFormTextCount; ++i) {
    SCOPED_TRACE(i);
    const std::string english = FormTextFor(static_cast<FormText>(i), false);
    const std::string german = FormTextFor(static_cast<FormText>(i), true);
    EXPECT_FALSE(english.empty());
    EXPECT_FALSE(german.empty());
  }
  // The umlauts are UTF-8 ("ü" is C3 BC, "ä" C3 A4), not a code page's single bytes.
  EXPECT_NE(std::string(FormTextFor(FormText::StepsHeading, true)).find("\xC3\xBC"), std::string::npos);
  EXPECT_NE(std::string(FormTextFor(FormText::Warning1, true)).find("w\xC3\xA4hrend"), std::string::npos);
  EXPECT_STREQ(FormTextFor(FormText::ProgressLabel, false), "Progress");
  EXPECT_STREQ(FormTextFor(FormText::ProgressLabel, true), "Fortschritt:");
}

}  // namespace
}  // namespace flotilla::app
