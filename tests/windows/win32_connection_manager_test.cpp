// Under Wine: the connection manager found through the uninstall key that
// connection_manager_test.sh wrote into the prefix, the stand-in mcserver.exe started by the
// test, ended by the staged "killsvr.bat" and started again by "mcserver.bat".
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "hostenv/connection_manager.h"
#include "images/staging.h"
#include "platform/prompts.h"
#include "platform/win32/files.h"
#include "platform/win32/processes.h"
#include "platform/win32/registry.h"
#include "platform/win32/resources.h"
#include "platform/win32/wide_text.h"
#include "win32_test_paths.h"

namespace flotilla::hostenv {
namespace {

using platform::WideFromUtf8;

// The process ids the stand-in noted, one per start.
std::vector<DWORD> Starts(platform::FileSystem& files, const std::string& log) {
  std::vector<uint8_t> bytes;
  std::vector<DWORD> ids;
  if (!test::ReadWhole(files, log, bytes)) return ids;
  std::istringstream lines(std::string(bytes.begin(), bytes.end()));
  for (unsigned long id; lines >> id;) ids.push_back(static_cast<DWORD>(id));
  return ids;
}

bool WaitForStarts(platform::FileSystem& files, const std::string& log, size_t count) {
  for (int i = 0; i < 300; ++i) {
    if (Starts(files, log).size() >= count) return true;
    Sleep(100);
  }
  return false;
}

TEST(Win32ConnectionManager, FoundStoppedByKillsvrAndStartedAgainByMcserver) {
  const char* location = std::getenv("FLOTILLA_CM_INSTALL");
  if (!location) GTEST_SKIP() << "needs connection_manager_test.sh";
  platform::Win32FileSystem files;
  platform::Win32ModuleResources resources;
  platform::Win32Registry registry;
  platform::Win32Processes processes;
  platform::RecordingPrompts prompts;
  images::StagingContext staging{files, resources, prompts};
  ConnectionManager manager(registry, files, processes, images::kStagingDirectory);

  const std::string bin = std::string(location) + "Bin";  // the location ends in "\"
  const std::string log = bin + "\\started.txt";
  files.DeleteFile(log);

  // The server runs, started by the test.
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION server = {};
  std::wstring command = L"\"" + WideFromUtf8(bin + "\\mcserver.exe") + L"\"";
  ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                             &server));
  CloseHandle(server.hThread);
  ASSERT_TRUE(WaitForStarts(files, log, 1));
  EXPECT_EQ(WaitForSingleObject(server.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  // Start-up: the staged stop script, the lookup, the stop.
  bool stop_ran = false;
  ASSERT_TRUE(images::StageImageFiles(staging, [&] {
    manager.FindConnectionManager();
    manager.StopConnectionManager();
    stop_ran = true;
  }));
  EXPECT_TRUE(stop_ran);
  EXPECT_TRUE(prompts.messages.empty());
  EXPECT_EQ(manager.InstallLocation(), location);
  EXPECT_EQ(manager.BinDirectory(), BinDirectoryOf(location));
  EXPECT_TRUE(manager.Found());
  // killsvr.bat ended it (taskkill /F /IM mcserver.exe).
  EXPECT_EQ(WaitForSingleObject(server.hProcess, 20000), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(server.hProcess);

  // The restart writes mcserver.bat and starts the server from the install location.
  EXPECT_EQ(manager.StartConnectionManager(), 1);
  std::vector<uint8_t> script;
  ASSERT_TRUE(test::ReadWhole(files, std::string(images::kStagingDirectory) + "\\mcserver.bat", script));
  EXPECT_EQ(std::string(script.begin(), script.end()), StartScriptText(location));
  ASSERT_TRUE(WaitForStarts(files, log, 2));
  const DWORD restarted_id = Starts(files, log).back();
  HANDLE restarted = OpenProcess(SYNCHRONIZE, FALSE, restarted_id);
  ASSERT_NE(restarted, nullptr);
  EXPECT_EQ(WaitForSingleObject(restarted, 0), static_cast<DWORD>(WAIT_TIMEOUT));

  // And the stop script ends that one too.
  EXPECT_EQ(manager.StopConnectionManager(), 1);
  EXPECT_EQ(WaitForSingleObject(restarted, 20000), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(restarted);
}

}  // namespace
}  // namespace flotilla::hostenv
