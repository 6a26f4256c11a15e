// Connection-manager control.
#include "hostenv/connection_manager.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/paths.h"

namespace flotilla::hostenv {

std::string BinDirectoryOf(const std::string& install_location) {
  std::string bin;
  for (char c : install_location) {
    bin += c;
    if (c == '\\') bin += '\\';
  }
  return bin + "\\\\Bin";
}

std::string StartScriptText(const std::string& install_location) {
  return "set\r\n"
         "set DBUS_STARTER_ADDRESS=\r\n"
         "set DBUS_STARTER_BUS_TYPE=\r\n"
         "set DBUS_SESSION_BUS_ADDRESS=\r\n"
         "set\r\n"
         "start \"start mcserver\" \"" + install_location + "\\Bin/mcserver.exe\"";
}

std::string StopScriptText() {
  static const std::array<const char*, 20> kLines = {
      "if \"%1\"==\"W2K\" goto kill_2k",
      "if \"%1\"==\"NT4\" goto kill_2k",
      "if NOT \"%1\"==\"W2K\" goto kill_xp",
      "",
      ":kill_2k",
      "Kill /f mcserver.exe",
      "Kill /f dbus-daemon.exe",
      "Kill /f db_daemon.exe",
      "Kill /f gconfd-2.exe",
      "Kill /f phoneserver.exe",
      "goto install_check",
      "",
      ":kill_xp",
      "taskkill /F /IM mcserver.exe",
      "taskkill /F /IM dbus-daemon.exe",
      "taskkill /F /IM db_daemon.exe",
      "taskkill /F /IM gconfd-2.exe",
      "taskkill /F /IM phoneserver.exe",
      "",
      "exit",
  };
  std::string text;
  for (size_t i = 0; i < kLines.size(); ++i) {
    if (i) text += "\r\n";
    text += kLines[i];
  }
  return text;
}

ConnectionManager::ConnectionManager(platform::Registry& registry, platform::FileSystem& files,
                                     platform::Processes& processes, std::string staging_directory)
    : registry_(registry), files_(files), processes_(processes),
      staging_directory_(std::move(staging_directory)) {}

bool ConnectionManager::ReadInstallLocation(uint32_t view, std::string& location) {
  // One byte more than the value may fill, so the text always ends inside the buffer.
  std::array<uint8_t, kInstallLocationCapacity + 1> buffer{};
  platform::RegistryHandle key = 0;
  if (registry_.OpenLocalMachineKey(kUninstallKey, platform::kKeyAllAccess | view, key) != platform::kRegistryOk)
    return false;
  uint32_t size = kInstallLocationCapacity;
  // A failed read (missing, or longer than 1024 bytes) leaves the buffer empty.
  if (registry_.QueryValue(key, kInstallLocationValue, buffer.data(), size) != platform::kRegistryOk)
    buffer.fill(0);
  registry_.CloseKey(key);
  location = reinterpret_cast<const char*>(buffer.data());
  return true;
}

int ConnectionManager::FindConnectionManager() {
  // The connection manager's installer is a 32-bit program, whose key a 64-bit program finds
  // only in the 32-bit view; that view first, then the program's own. The first location
  // whose Bin directory exists is taken.
  std::string read;  // stays empty when neither view has the key
  for (const uint32_t view : {platform::kKeyWow64_32Key, uint32_t{0}}) {
    std::string location;
    if (!ReadInstallLocation(view, location)) continue;
    install_location_ = read = location;
    if (platform::PathExists(files_, BinDirectoryOf(location))) break;
  }
  bin_directory_ = BinDirectoryOf(read);
  if (platform::PathExists(files_, bin_directory_)) found_ = 1;
  return 1;
}

std::string ConnectionManager::CommandInterpreterPath() {
  const std::string system = processes_.SystemDirectory();
  // Without the system directory there is no safe interpreter to name; the start then fails
  // as one that cannot be started does.
  return system.empty() ? std::string() : platform::JoinPath(system, kCommandInterpreter);
}

void ConnectionManager::RunScript(const std::string& script_name) {
  const std::string interpreter = CommandInterpreterPath();
  if (interpreter.empty()) return;
  bool finished = false;
  // The exit code is not examined; an interpreter that cannot start is not reported.
  if (processes_.StartAndWait(interpreter, "/c call " + script_name, staging_directory_,
                              kScriptWaitMs, finished) &&
      !finished) {
    std::lock_guard<std::mutex> lock(notes_mutex_);
    notes_.push_back(script_name + " did not end within " + std::to_string(kScriptWaitMs / 1000) +
                     " s; the program goes on without it");
  }
}

std::vector<std::string> ConnectionManager::TakeNotes() {
  std::lock_guard<std::mutex> lock(notes_mutex_);
  return std::exchange(notes_, {});
}

int ConnectionManager::StopConnectionManager() {
  RunScript(kStopScriptName);
  return 1;
}

int ConnectionManager::StartConnectionManager() {
  const std::string text = StartScriptText(install_location_);
  const std::string path = platform::JoinPath(staging_directory_, kStartScriptName);
  auto file = files_.CreateForWriting(path);
  if (!file) return 0;
  // A script cut short by a full disk would start who knows what: it counts as not written.
  const bool written = file->Write(text.data(), text.size());
  file.reset();
  if (!written) {
    files_.DeleteFile(path);
    return 0;
  }
  RunScript(kStartScriptName);
  return 1;
}

}  // namespace flotilla::hostenv
