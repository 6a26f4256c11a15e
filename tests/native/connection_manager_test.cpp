// The connection manager found through the uninstall key, stopped and started by the
// two scripts, with the command interpreter named by its absolute path.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hostenv/connection_manager.h"
#include "platform/memory_files.h"
#include "platform/memory_registry.h"

namespace flotilla::hostenv {
namespace {

const std::string kDir = "C:\\Program Files\\Windows Service\\XV418newversion";

struct Start {
  std::string file, parameters, directory;
  uint32_t wait_ms;
};

class FakeProcesses : public platform::Processes {
 public:
  bool StartAndWait(const std::string& file, const std::string& parameters, const std::string& directory,
                    uint32_t wait_ms, bool& finished) override {
    starts.push_back({file, parameters, directory, wait_ms});
    finished = startable && !hangs;
    return startable;
  }
  std::string SystemDirectory() override { return system_directory; }
  std::vector<Start> starts;
  bool startable = true;
  bool hangs = false;  // still running when the wait ends
  std::string system_directory = "C:\\windows\\system32";
};

class ConnectionManagerTest : public ::testing::Test {
 protected:
  platform::MemoryRegistry registry;
  platform::MemoryFileSystem files;
  FakeProcesses processes;
  ConnectionManager manager{registry, files, processes, kDir};

  void Install(const std::string& location) { registry.SetString(kUninstallKey, "InstallLocation", location); }
  std::string StagedText(const std::string& name) {
    const auto* bytes = files.File(kDir + "\\" + name);
    return bytes ? std::string(bytes->begin(), bytes->end()) : std::string("<none>");
  }
};

TEST(ConnectionManagerTexts, TheBinDirectoryDoublesEveryBackslash) {
  EXPECT_EQ(BinDirectoryOf("C:\\Program Files\\CM\\"), "C:\\\\Program Files\\\\CM\\\\\\\\Bin");
  EXPECT_EQ(BinDirectoryOf("C:\\CM"), "C:\\\\CM\\\\Bin");
  EXPECT_EQ(BinDirectoryOf(""), "\\\\Bin");
}

TEST(ConnectionManagerTexts, TheStartScriptIsItsSixLines) {
  EXPECT_EQ(StartScriptText("C:\\Program Files\\CM\\"),
            "set\r\nset DBUS_STARTER_ADDRESS=\r\nset DBUS_STARTER_BUS_TYPE=\r\n"
            "set DBUS_SESSION_BUS_ADDRESS=\r\nset\r\n"
            "start \"start mcserver\" \"C:\\Program Files\\CM\\\\Bin/mcserver.exe\"");
  const std::string no_slash = StartScriptText("C:\\CM");
  EXPECT_EQ(no_slash.substr(no_slash.rfind("\r\n") + 2), "start \"start mcserver\" \"C:\\CM\\Bin/mcserver.exe\"");
}

TEST_F(ConnectionManagerTest, FoundWhenTheBinDirectoryExists) {
  Install("C:\\Program Files\\CM\\");
  files.AddDirectory("C:\\Program Files");
  files.AddDirectory("C:\\Program Files\\CM");
  files.AddDirectory("C:\\Program Files\\CM\\Bin");
  // The memory double knows no runs of backslashes; the directory search is asked for the
  // doubled text as it is (the Windows test shows the system finds it).
  files.AddDirectory("C:\\\\Program Files\\\\CM\\\\\\\\Bin");
  EXPECT_EQ(manager.FindConnectionManager(), 1);
  EXPECT_EQ(manager.InstallLocation(), "C:\\Program Files\\CM\\");
  EXPECT_EQ(manager.BinDirectory(), "C:\\\\Program Files\\\\CM\\\\\\\\Bin");
  EXPECT_TRUE(manager.Found());
  EXPECT_EQ(registry.OpenKeyCount(), 0u);
}

TEST_F(ConnectionManagerTest, NotFoundWithoutTheKeyTheValueOrTheBinDirectory) {
  EXPECT_EQ(manager.FindConnectionManager(), 1);
  EXPECT_EQ(manager.InstallLocation(), "");
  EXPECT_EQ(manager.BinDirectory(), "\\\\Bin");
  EXPECT_FALSE(manager.Found());

  registry.CreateKey(kUninstallKey);  // the key without its value
  EXPECT_EQ(manager.FindConnectionManager(), 1);
  EXPECT_FALSE(manager.Found());

  Install("C:\\CM");  // no Bin directory there
  EXPECT_EQ(manager.FindConnectionManager(), 1);
  EXPECT_EQ(manager.InstallLocation(), "C:\\CM");
  EXPECT_FALSE(manager.Found());
  EXPECT_EQ(registry.OpenKeyCount(), 0u);
}

// The hive as a 64-bit program sees it: its own view, and the 32-bit programs' view that an
// access with KEY_WOW64_32KEY opens.
class TwoViewRegistry : public platform::Registry {
 public:
  long OpenLocalMachineKey(const std::string& path, uint32_t access, platform::RegistryHandle& key) override {
    const size_t view = (access & platform::kKeyWow64_32Key) ? 1 : 0;
    const long rc = views[view].OpenLocalMachineKey(path, access, key);
    if (rc == platform::kRegistryOk) key = key * 2 + view;
    return rc;
  }
  long QueryValue(platform::RegistryHandle key, const std::string& name, uint8_t* data, uint32_t& size) override {
    return views[key % 2].QueryValue(key / 2, name, data, size);
  }
  long CloseKey(platform::RegistryHandle key) override { return views[key % 2].CloseKey(key / 2); }
  platform::MemoryRegistry views[2];  // native, 32-bit
};

// Mends: a connection manager installed by a 32-bit installer, whose key only the 32-bit view
// holds, was never found by the 64-bit program, and so never started again.
TEST(ConnectionManagerViews, The32BitViewIsReadFirstThenTheNativeOne) {
  struct Case {
    const char* name;
    const char* native;  // install locations; "" for no key in that view
    const char* wow32;
    const char* found;   // "" for not found
  } cases[] = {
      {"32-bit installer", "", "C:\\CM32", "C:\\CM32"},
      {"64-bit installer", "C:\\CM64", "", "C:\\CM64"},
      {"both, the 32-bit one first", "C:\\CM64", "C:\\CM32", "C:\\CM32"},
      {"both, only the native one installed", "C:\\CM64", "C:\\Gone", "C:\\CM64"},
      {"neither", "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TwoViewRegistry registry;
    platform::MemoryFileSystem files;
    FakeProcesses processes;
    if (*c.native) registry.views[0].SetString(kUninstallKey, "InstallLocation", c.native);
    if (*c.wow32) registry.views[1].SetString(kUninstallKey, "InstallLocation", c.wow32);
    for (const char* location : {"C:\\CM32", "C:\\CM64"}) files.AddDirectory(BinDirectoryOf(location));
    ConnectionManager manager(registry, files, processes, kDir);
    manager.FindConnectionManager();
    EXPECT_EQ(manager.Found(), *c.found != 0);
    if (*c.found) {
      EXPECT_EQ(manager.InstallLocation(), c.found);
    }
    EXPECT_EQ(registry.views[0].OpenKeyCount() + registry.views[1].OpenKeyCount(), 0u);
  }
}

TEST_F(ConnectionManagerTest, AValueLongerThan1024BytesLeavesTheLocationEmpty) {
  Install("C:\\" + std::string(1100, 'x'));
  EXPECT_EQ(manager.FindConnectionManager(), 1);
  EXPECT_EQ(manager.InstallLocation(), "");
  EXPECT_EQ(manager.BinDirectory(), "\\\\Bin");
  EXPECT_FALSE(manager.Found());
}

TEST_F(ConnectionManagerTest, AKeyThatNoLongerOpensKeepsTheEarlierLocationAndTheFlag) {
  Install("C:\\CM");
  files.AddDirectory("C:\\\\CM\\\\Bin");
  manager.FindConnectionManager();
  ASSERT_TRUE(manager.Found());
  registry.DeleteKey(kUninstallKey);
  manager.FindConnectionManager();
  EXPECT_EQ(manager.InstallLocation(), "C:\\CM");
  EXPECT_EQ(manager.BinDirectory(), "\\\\Bin");
  EXPECT_TRUE(manager.Found());  // never reset
}

// The mend: the interpreter by its absolute path in the system directory, never "cmd" looked
// up along the search path (or in the staging directory, the working directory).
TEST_F(ConnectionManagerTest, TheStopScriptRunsInTheStagingDirectoryThroughTheSystemsInterpreter) {
  EXPECT_EQ(manager.StopConnectionManager(), 1);
  ASSERT_EQ(processes.starts.size(), 1u);
  EXPECT_EQ(processes.starts[0].file, "C:\\windows\\system32\\cmd.exe");
  EXPECT_EQ(processes.starts[0].parameters, "/c call killsvr.bat");
  EXPECT_EQ(processes.starts[0].directory, kDir);
  EXPECT_EQ(processes.starts[0].wait_ms, 60000u);
  EXPECT_TRUE(manager.TakeNotes().empty());

  processes.startable = false;  // an interpreter that cannot start is not reported
  EXPECT_EQ(manager.StopConnectionManager(), 1);
  EXPECT_TRUE(manager.TakeNotes().empty());

  processes.system_directory = "";  // no system directory: nothing is started by a bare name
  EXPECT_EQ(manager.StopConnectionManager(), 1);
  EXPECT_EQ(processes.starts.size(), 2u);
}

// A script that hangs is left to itself after a minute, so the window still comes up; the
// line's status history says so.
TEST_F(ConnectionManagerTest, AScriptThatHangsIsLeftAfterAMinuteAndNoted) {
  processes.hangs = true;
  EXPECT_EQ(manager.StopConnectionManager(), 1);
  ASSERT_EQ(processes.starts.size(), 1u);
  EXPECT_EQ(processes.starts[0].wait_ms, 60000u);
  EXPECT_EQ(manager.TakeNotes(),
            std::vector<std::string>{"killsvr.bat did not end within 60 s; the program goes on without it"});
  EXPECT_TRUE(manager.TakeNotes().empty());  // taken once
}

TEST_F(ConnectionManagerTest, TheStartWritesMcserverBatAndRunsIt) {
  Install("C:\\Program Files\\CM\\");
  files.AddDirectory("C:\\Program Files");
  files.AddDirectory("C:\\Program Files\\Windows Service");
  files.AddDirectory(kDir);
  files.SetFile(kDir + "\\mcserver.bat", std::vector<uint8_t>(2000, 'x'));  // replaced whole
  manager.FindConnectionManager();
  EXPECT_EQ(manager.StartConnectionManager(), 1);
  EXPECT_EQ(StagedText("mcserver.bat"), StartScriptText("C:\\Program Files\\CM\\"));
  ASSERT_EQ(processes.starts.size(), 1u);
  EXPECT_EQ(processes.starts[0].file, "C:\\windows\\system32\\cmd.exe");
  EXPECT_EQ(processes.starts[0].parameters, "/c call mcserver.bat");
  EXPECT_EQ(processes.starts[0].directory, kDir);

  processes.startable = false;
  EXPECT_EQ(manager.StartConnectionManager(), 1);  // written; the start is not examined
}

TEST_F(ConnectionManagerTest, AStartScriptThatCannotBeWrittenIsNotRun) {
  files.AddDirectory("C:\\Program Files");
  files.AddDirectory("C:\\Program Files\\Windows Service");
  files.AddDirectory(kDir);
  files.read_only_directories.insert("c:\\program files\\windows service\\xv418newversion");
  EXPECT_EQ(manager.StartConnectionManager(), 0);
  files.read_only_directories.clear();
  files.space_left = 20;  // cut short: not run, not left behind
  EXPECT_EQ(manager.StartConnectionManager(), 0);
  EXPECT_EQ(StagedText("mcserver.bat"), "<none>");
  EXPECT_TRUE(processes.starts.empty());
}

}  // namespace
}  // namespace flotilla::hostenv
