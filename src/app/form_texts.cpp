// The form's texts in both languages and the composition of the version and port texts.
#include "app/form_texts.h"

#include <algorithm>

namespace flotilla::app {
namespace {

struct LanguagePair {
  const char* english;
  const char* german;
};

// In the order of FormText.
constexpr LanguagePair kTexts[kFormTextCount] = {
    {"This update tool is compatible with Windows XP (SP2/SP3), Windows Vista (SP1/SP2) and "
     "Windows 7.",
     "Dieses Update-Programm ist kompatibel mit Windows XP (SP2/SP3), Windows Vista (SP1/SP2) "
     "und Windows 7."},
    {"Follow these steps to update your USB Stick:",
     "Bitte führen Sie folgende Schritte zum aktualisieren des XV300 durch:"},
    {"1. Remove the SIM card from the stick then insert the stick.",
     "1. Bitte entnehmen Sie vor dem Update die SIM-Karte und stecken das XV300 erneut ein."},
    {"2. Wait until this tool automatically detects the stick and the \"UPDATE\" button becomes "
     "available.",
     "2. Bitte warten Sie bis das System den XV300 erkannt hat. Sobald das Gerät erkannt wurde, "
     "wird die Schaltfläche für die Aktualisierung aktiviert."},
    {"3. Click the UPDATE button to start the update.",
     "3. Durch klicken auf \"UPDATE\" wird die Aktualisierung gestartet."},
    {"Do not switch off your computer or start any other applications until the update is "
     "complete.",
     "Bitte schalten Sie während des Update-Prozesses den Computer nicht aus oder starten "
     "irgendwelche Anwendungen."},
    {"The update will fail if your computer goes to sleep, standby or hibernates during the "
     "update. Make sure it is connected to mains power.",
     "Bitte stellen Sie eine permanente Stromversorgung für den PC/Laptop sicher. Bitte "
     "deaktivieren Sie unbedingt den Standbybetrieb/Ruhemodus."},
    {"Do not insert or remove any USB devices until the update is complete.",
     "Stecken oder entfernen Sie bitte während des Updates keine Geräte."},
    {"The update should take approximately 15 minutes to complete.",
     "Im Durchschnitt benötigt der Update-Prozess ca. 15 Minuten. Dieses ist abhängig vom "
     "PC/Laptop."},
    {"Port information:", "Port Information:"},
    {"Current version:", "Bisherige Version:"},
    {"Progress", "Fortschritt:"},
    {"Update version:", "Neue Version:"},
};

// The build's own versions: the firmware it writes and the driver packages it belongs to.
constexpr const char* kNewFirmware = "BD_VELQ482B3F3V1.0.1B07";
constexpr const char* kNewWindowsPackage = "WIN_V1.0.1B07";
constexpr const char* kNewMacPackage = "MAC_V1.0.1B07";

constexpr const char* kNoValue = "NULL";

}  // namespace

const char* FormTextFor(FormText which, bool german) {
  const int index = static_cast<int>(which);
  if (index < 0 || index >= kFormTextCount) return "";
  return german ? kTexts[index].german : kTexts[index].english;
}

std::string NewFirmwareText() { return std::string(kNewFirmware) + " (Firmware)"; }
std::string NewWindowsText() { return std::string(kNewWindowsPackage) + " (Windows)"; }
std::string NewMacText() { return std::string(kNewMacPackage) + " (Mac)"; }

std::string PortText(int diag_port) {
  return diag_port == 0 || diag_port == 1 ? kNoValue : "COM" + std::to_string(diag_port);
}

std::string PercentText(int percent) {
  return std::to_string(std::clamp(percent, 0, 100)) + "%";
}

VersionDisplay ComposeVersionDisplay(const std::string& version_text, const std::string& string3,
                                     const std::string& string5, bool german) {
  VersionDisplay shown;
  if (!string3.empty()) {
    shown.firmware = version_text + " (Firmware)";
    shown.windows = string3 + " (Windows)";
    shown.mac = string5 + " (Mac)";
  } else {
    shown.firmware = shown.windows = shown.mac = kNoValue;
  }
  shown.ready = shown.firmware != kNoValue && shown.firmware != "No Phone";
  if (shown.ready) {
    shown.status = german ? "Fertig, bitte UPDATE drücken um den Prozess zu starten"
                          : "Ready to start update.";
  } else {
    shown.status = german ? "Gerät wird gesucht..." : "Searching communication ports...";
  }
  return shown;
}

}  // namespace flotilla::app
