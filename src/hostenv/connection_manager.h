// The stick's connection manager, stopped at start-up with "killsvr.bat" and started
// again with "mcserver.bat", both run by the command interpreter in the staging directory.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/host_services.h"
#include "platform/registry.h"

namespace flotilla::hostenv {

constexpr char kUninstallKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{6A1F0C52-93DE-4B7A-A2C4-5E8D17F0B396}";
constexpr char kInstallLocationValue[] = "InstallLocation";
constexpr size_t kInstallLocationCapacity = 1024;

constexpr char kStopScriptName[] = "killsvr.bat";
constexpr char kStartScriptName[] = "mcserver.bat";
constexpr char kCommandInterpreter[] = "cmd.exe";
// How long a script is waited for. A script that hangs (a service that will not stop, a
// prompt in its hidden window) must not hold the program before its window is up.
constexpr uint32_t kScriptWaitMs = 60000;

// The install location with every backslash doubled, then "\\Bin".
std::string BinDirectoryOf(const std::string& install_location);
// The six lines of "mcserver.bat" for an install location.
std::string StartScriptText(const std::string& install_location);
// The 415 bytes of "killsvr.bat" (staged from the resources; kept here for the tests and tools).
std::string StopScriptText();

// The state the main form window keeps: the two texts and the flag.
//
// Registry: read directly through platform::Registry, not through discovery's CRegistryKey:
// hostenv sits beside discovery in the layer order and may not include it. The key is opened,
// read and closed the same way (KEY_ALL_ACCESS, a zero-filled 1024-byte buffer).
class ConnectionManager {
 public:
  // `staging_directory`: where the scripts are and run (images::kStagingDirectory).
  ConnectionManager(platform::Registry& registry, platform::FileSystem& files,
                    platform::Processes& processes, std::string staging_directory);

  // Looks up the install location and the Bin directory; sets the flag when the Bin directory
  // exists. Always 1.
  int FindConnectionManager();
  // Runs "killsvr.bat". Always 1.
  int StopConnectionManager();
  // Writes "mcserver.bat" for the install location and runs it. 1 when it was written and run,
  // 0 (and no message) when it could not be written.
  int StartConnectionManager();
  // Each script is waited for kScriptWaitMs at most; one that is still running then is left
  // to itself and the program goes on. What was left that way, as texts for the line's status
  // history; taking them empties the list.
  std::vector<std::string> TakeNotes();

  const std::string& InstallLocation() const { return install_location_; }
  const std::string& BinDirectory() const { return bin_directory_; }
  // Set once found, never reset: the restart at the end of an update and at window
  // destruction are both asked for by it.
  bool Found() const { return found_ != 0; }

  // The command interpreter by its absolute path in the system directory (the mend: never
  // found through the search path or the staging directory, where anyone could put a cmd.exe).
  std::string CommandInterpreterPath();

 private:
  void RunScript(const std::string& script_name);
  // The install location from the uninstall key in one view of the registry; false when the
  // key is not there.
  bool ReadInstallLocation(uint32_t view, std::string& location);

  platform::Registry& registry_;
  platform::FileSystem& files_;
  platform::Processes& processes_;
  std::string staging_directory_;
  std::string install_location_;
  std::string bin_directory_;
  int found_ = 0;
  // The start-up, a worker and the window's end may each run a script.
  std::mutex notes_mutex_;
  std::vector<std::string> notes_;
};

}  // namespace flotilla::hostenv
