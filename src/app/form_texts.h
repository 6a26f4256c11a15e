// The texts of the update form in English and German, and what the display operations show.
#pragma once

#include <string>

namespace flotilla::app {

inline constexpr const char* kWindowCaption = "XV300 Skylarke Updater";

// The box of a second copy of the program, started while one runs; it ends after the box.
inline constexpr const char* kSecondInstanceEnglish =
    "Another update is in progress. Please complete this one and try again!";
inline constexpr const char* kSecondInstanceGerman =
    "Ein anderes Update wird gerade durchgeführt. Bitte warten Sie bis der Vorgang beendet "
    "wird und versuchen Sie es anschließend erneut!";

// The controls whose text depends on the language.
enum class FormText {
  Compatibility,
  StepsHeading,
  Step1,
  Step2,
  Step3,
  Warning1,
  Warning2,
  Warning3,
  Duration,
  PortLabel,
  CurrentVersionLabel,
  ProgressLabel,
  UpdateVersionLabel,
};
inline constexpr int kFormTextCount = 13;

// The text of `which` in German or English; UTF-8.
const char* FormTextFor(FormText which, bool german);

// The versions this build brings, shown under "Update version:".
std::string NewFirmwareText();
std::string NewWindowsText();
std::string NewMacText();

// "COM6" for port 6; "NULL" for 0 (no port) and 1 (the document's placeholder before the
// first search).
std::string PortText(int diag_port);

// "37%"; above 100 the text stops at "100%", below 0 at "0%".
std::string PercentText(int percent);

// What ShowLineVersions puts into line 0's controls.
struct VersionDisplay {
  std::string firmware;
  std::string windows;
  std::string mac;
  std::string status;
  // The stick answered with a version: UPDATE may be enabled (unless the line runs).
  bool ready = false;
};

// From the line's version text and its version strings 3 and 5: the three texts with their
// suffixes, or "NULL" for all three while string 3 is empty, and the ready or searching
// status.
VersionDisplay ComposeVersionDisplay(const std::string& version_text, const std::string& string3,
                                     const std::string& string5, bool german);

}  // namespace flotilla::app
