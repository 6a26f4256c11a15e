// Writes into the registry of a Wine prefix through Wine's own regedit.
#pragma once

#include <string>

namespace flotilla::sim {

// Imports `reg_text` (a regedit file) into the prefix with "wine regedit /S" and waits for it.
// The wineserver of the prefix may be running: Wine itself applies the change, nothing
// touches the prefix's files. False with `error` set when Wine could not be run or failed.
bool ImportIntoWine(const std::string& prefix, const std::string& reg_text, std::string& error);

}  // namespace flotilla::sim
