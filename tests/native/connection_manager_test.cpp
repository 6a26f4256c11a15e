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
