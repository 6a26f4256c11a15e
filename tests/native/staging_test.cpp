// Staging the embedded files over the in-memory file system and a test double of the
// program's resources: the order, the messages, overwriting, the deletions and the mends.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "hostenv/connection_manager.h"
#include "images/staging.h"
#include "platform/memory_files.h"
#include "platform/prompts.h"

namespace flotilla::images {
namespace {

using platform::MemoryFileSystem;

// Every call of the files seam, in order, as "exists PATH", "delete PATH", "create PATH".
class RecordingFileSystem : public platform::FileSystem {
 public:
  explicit RecordingFileSystem(MemoryFileSystem& files, std::vector<std::string>& log) : files_(files), log_(log) {}
  bool Exists(const std::string& path) override {
    log_.push_back("exists " + path);
    return files_.Exists(path);
  }
  bool CreateDirectoryLevel(const std::string& path) override {
    log_.push_back("mkdir " + path);
    return files_.CreateDirectoryLevel(path);
  }
  bool DeleteFile(const std::string& path) override {
    log_.push_back("delete " + path);
    return files_.DeleteFile(path);
  }
  std::unique_ptr<platform::FileHandle> OpenForReading(const std::string& path) override {
    return files_.OpenForReading(path);
  }
  std::unique_ptr<platform::FileHandle> CreateForWriting(const std::string& path) override {
    log_.push_back("create " + path);
    return files_.CreateForWriting(path);
  }
  bool ReplaceFile(const std::string& from, const std::string& to) override { return files_.ReplaceFile(from, to); }
  std::string ModuleFileName() override { return files_.ModuleFileName(); }
  std::string CurrentDirectory() override { return files_.CurrentDirectory(); }

 private:
  MemoryFileSystem& files_;
  std::vector<std::string>& log_;
};

// The program's resources: each id of the table with bytes of its own; every load is logged.
class FakeResources : public platform::ModuleResources {
 public:
  explicit FakeResources(std::vector<std::string>& log) : log_(log) {
    for (const EmbeddedFile& file : kEmbeddedFiles) {
      std::vector<uint8_t> bytes(100 + static_cast<size_t>(file.resource_id));
      for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(file.resource_id + i);
      resources[file.resource_id] = bytes;
    }
  }
  bool Load(const std::string& type, int id, std::vector<uint8_t>& bytes) override {
    log_.push_back("load " + type + " " + std::to_string(id));
    auto it = resources.find(id);
    if (type != kEmbeddedFileType || it == resources.end()) return false;
    bytes = it->second;
    return true;
  }
  std::map<int, std::vector<uint8_t>> resources;

 private:
  std::vector<std::string>& log_;
};

class LoggingPrompts : public platform::Prompts {
 public:
  explicit LoggingPrompts(std::vector<std::string>& log) : log_(log) {}
  void ShowMessage(const std::string& text) override {
    messages.push_back(text);
    log_.push_back("message " + text);
  }
  std::vector<std::string> messages;

 private:
  std::vector<std::string>& log_;
};

const std::string kDir = kStagingDirectory;

std::string Staged(const char* name) { return kDir + "\\" + name; }

// The staged names in the start-up order, ResetUSB.dll last.
std::vector<std::string> StartupNames() {
  std::vector<std::string> names;
  for (int id : kStartupStagingOrder) names.push_back(EmbeddedFileName(id));
  names.push_back("ResetUSB.dll");
  return names;
}

class StagingTest : public ::testing::Test {
 protected:
  std::vector<std::string> log;
  MemoryFileSystem memory;
  RecordingFileSystem files{memory, log};
  FakeResources resources{log};
  LoggingPrompts prompts{log};
  StagingContext context{files, resources, prompts};

  // Only the lines that start with `kind`.
  std::vector<std::string> Log(const std::string& kind) const {
    std::vector<std::string> lines;
    for (const std::string& line : log)
      if (line.rfind(kind, 0) == 0) lines.push_back(line.substr(kind.size() + 1));
    return lines;
  }
  void ExpectStagedWhole(const EmbeddedFile& file) {
    SCOPED_TRACE(file.file_name);
    const auto* bytes = memory.File(Staged(file.file_name));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(*bytes, resources.resources[file.resource_id]);
  }
  void StageAll() {
    ASSERT_TRUE(StageImageFiles(context, [this] { log.push_back("connection manager"); }));
  }
};

TEST_F(StagingTest, TheTableHasItsIdsAndNames) {
  const std::vector<std::pair<int, std::string>> expected = {
      {163, "amsshd.mbn"}, {164, "amss.mbn"}, {165, "armprg.bin"}, {166, "efs.mbn"},
      {167, "oemsblhd.mbn"}, {168, "oemsbl.mbn"}, {169, "partition.mbn"},
      {171, "qcsblhd_cfgdata.mbn"}, {172, "qcsbl.mbn"}, {173, "ResetUSB.dll"},
      {179, "nandprghd.mbn"}, {180, "nandprgcombined.mbn"}, {181, "NVApp.ini"}, {185, "killsvr.bat"}};
  ASSERT_EQ(kEmbeddedFiles.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(kEmbeddedFiles[i].resource_id, expected[i].first);
    EXPECT_EQ(kEmbeddedFiles[i].file_name, expected[i].second);
  }
  EXPECT_EQ(std::string(kEmbeddedFileType), "SOURCEMBN");
  EXPECT_EQ(kEmbeddedFileLanguage, 2052);
  EXPECT_EQ(StagingFailureMessage("amss.mbn"), "read amss.mbn fail!");
  EXPECT_EQ(EmbeddedFileName(170), nullptr);
}

TEST_F(StagingTest, StagesEveryFileInTheStartupOrderWithTheConnectionManagerBeforeTheLibrary) {
  StageAll();
  EXPECT_EQ(Log("mkdir"), (std::vector<std::string>{"C:\\Program Files", "C:\\Program Files\\Windows Service",
                                                    kDir}));
  std::vector<std::string> loads_and_hook;
  for (const std::string& line : log)
    if (line.rfind("load ", 0) == 0 || line == "connection manager") loads_and_hook.push_back(line);
  const std::vector<std::string> expected = {
      "load SOURCEMBN 164", "load SOURCEMBN 169", "load SOURCEMBN 171", "load SOURCEMBN 172",
      "load SOURCEMBN 167", "load SOURCEMBN 168", "load SOURCEMBN 163", "load SOURCEMBN 166",
      "load SOURCEMBN 165", "load SOURCEMBN 179", "load SOURCEMBN 180", "load SOURCEMBN 181",
      "load SOURCEMBN 185", "connection manager", "load SOURCEMBN 173"};
  EXPECT_EQ(loads_and_hook, expected);
  std::vector<std::string> created;
  for (const std::string& name : StartupNames()) created.push_back(Staged(name.c_str()));
  EXPECT_EQ(Log("create"), created);
  for (const EmbeddedFile& file : kEmbeddedFiles) ExpectStagedWhole(file);
  EXPECT_TRUE(prompts.messages.empty());
  EXPECT_TRUE(context.failed.empty());
}

TEST_F(StagingTest, AnExistingChainIsKeptAndExistingFilesAreOverwritten) {
  memory.AddDirectory("C:\\Program Files");
  memory.AddDirectory("C:\\Program Files\\Windows Service");
  memory.AddDirectory(kDir);
  for (const EmbeddedFile& file : kEmbeddedFiles)
    memory.SetFile(Staged(file.file_name), std::vector<uint8_t>(5000, 0xEE));  // longer than ours
  StageAll();
  EXPECT_TRUE(Log("mkdir").empty());
  for (const EmbeddedFile& file : kEmbeddedFiles) ExpectStagedWhole(file);
  EXPECT_TRUE(prompts.messages.empty());
  EXPECT_TRUE(context.failed.empty());
}

TEST_F(StagingTest, AReadOnlyStagingDirectoryGivesEveryMessageInTheTableOrder) {
  memory.AddDirectory("C:\\Program Files");
  memory.AddDirectory("C:\\Program Files\\Windows Service");
  memory.AddDirectory(kDir);
  memory.read_only_directories.insert("c:\\program files\\windows service\\xv418newversion");
  StageAll();  // the start-up still completes
  std::vector<std::string> expected;
  for (const std::string& name : StartupNames()) expected.push_back("read " + name + " fail!");
  EXPECT_EQ(prompts.messages, expected);
  // The connection manager's step still comes between killsvr.bat and ResetUSB.dll.
  std::vector<std::string> order;
  for (const std::string& line : log)
    if (line == "connection manager" || line.rfind("message ", 0) == 0) order.push_back(line);
  EXPECT_EQ(order[13], "connection manager");
  EXPECT_EQ(order[14], "message read ResetUSB.dll fail!");
  EXPECT_TRUE(memory.FileNames().empty());
}

// Mends: a staged file that could not be re-created left the previous run's copy, and the
// update took it. Every failure is kept, so the update can be refused by it.
TEST_F(StagingTest, EveryFileThatCouldNotBeStagedIsKept) {
  memory.AddDirectory("C:\\Program Files");
  memory.AddDirectory("C:\\Program Files\\Windows Service");
  memory.AddDirectory(kDir);
  memory.SetFile(Staged("efs.mbn"), std::vector<uint8_t>(5000, 0xEE));  // an earlier run's copy
  memory.read_only_directories.insert("c:\\program files\\windows service\\xv418newversion");
  StageAll();
  EXPECT_EQ(context.failed, StartupNames());
  EXPECT_EQ(FirstUnstagedImageFile(context), "amss.mbn");
  EXPECT_NE(memory.File(Staged("efs.mbn")), nullptr);  // still there, and must not be used

  // Staged on a later try: no longer kept. The rest that the update reads still is.
  memory.read_only_directories.clear();
  for (const char* name : {"amss.mbn", "partition.mbn", "qcsblhd_cfgdata.mbn", "qcsbl.mbn", "oemsblhd.mbn",
                           "oemsbl.mbn", "amsshd.mbn", "efs.mbn", "armprg.bin", "nandprghd.mbn"})
    for (const EmbeddedFile& file : kEmbeddedFiles)
      if (std::string(file.file_name) == name) StageEmbeddedFile(context, file.resource_id);
  EXPECT_EQ(FirstUnstagedImageFile(context), "nandprgcombined.mbn");
  StageEmbeddedFile(context, kNandProgrammerId);
  // The rest is not read by an update.
  EXPECT_EQ(context.failed, (std::vector<std::string>{"NVApp.ini", "killsvr.bat", "ResetUSB.dll"}));
  EXPECT_EQ(FirstUnstagedImageFile(context), "");
}

TEST_F(StagingTest, ADirectoryLevelThatCannotBeMadeEndsTheSequenceWithItsMessage) {
  memory.read_only_directories.insert("c:");
  EXPECT_FALSE(StageImageFiles(context, [this] { log.push_back("connection manager"); }));
  EXPECT_EQ(prompts.messages, std::vector<std::string>{"source file path error!"});
  EXPECT_EQ(Log("mkdir"), std::vector<std::string>{"C:\\Program Files"});
  EXPECT_TRUE(Log("load").empty());
  EXPECT_TRUE(Log("connection").empty());
}

// The mend: a staged file cut short by a full disk is reported with its table message and
// deleted, so that the image set check fails instead of half an image being flashed.
TEST_F(StagingTest, AFileCutShortByAFullDiskIsReportedAndDeleted) {
  const size_t amss = resources.resources[kAmssId].size();
  const size_t partition = resources.resources[kPartitionId].size();
  memory.space_left = amss + partition + 10;  // qcsblhd_cfgdata.mbn gets 10 bytes, then none
  StageAll();
  ExpectStagedWhole({kAmssId, "amss.mbn"});
  ExpectStagedWhole({kPartitionId, "partition.mbn"});
  std::vector<std::string> expected;
  const std::vector<std::string> names = StartupNames();
  for (size_t i = 2; i < names.size(); ++i) {
    expected.push_back("read " + names[i] + " fail!");
    EXPECT_EQ(memory.File(Staged(names[i].c_str())), nullptr) << names[i];
  }
  EXPECT_EQ(prompts.messages, expected);
}

// A file system whose writes fail at once (a write error, not a full disk).
class FailingWrites : public platform::FileHandle {
 public:
  explicit FailingWrites(std::unique_ptr<platform::FileHandle> inner) : inner_(std::move(inner)) {}
  bool Write(const void* data, size_t count) override {
    inner_->Write(data, count / 2);
    return false;
  }
  size_t Read(void* buffer, size_t count) override { return inner_->Read(buffer, count); }
  bool Seek(uint64_t offset) override { return inner_->Seek(offset); }
  bool Length(uint64_t& length) override { return inner_->Length(length); }
  bool Flush() override { return inner_->Flush(); }

 private:
  std::unique_ptr<platform::FileHandle> inner_;
};

class WriteErrorFileSystem : public RecordingFileSystem {
 public:
  using RecordingFileSystem::RecordingFileSystem;
  std::string failing;
  std::unique_ptr<platform::FileHandle> CreateForWriting(const std::string& path) override {
    auto file = RecordingFileSystem::CreateForWriting(path);
    if (file && path == failing) return std::make_unique<FailingWrites>(std::move(file));
    return file;
  }
};

TEST_F(StagingTest, AWriteErrorIsReportedAndTheFileDeleted) {
  WriteErrorFileSystem failing_files(memory, log);
  failing_files.failing = Staged("efs.mbn");
  memory.SetFile(Staged("efs.mbn"), {1, 2, 3});  // from an earlier run
  StagingContext failing_context{failing_files, resources, prompts};
  ASSERT_TRUE(StageImageFiles(failing_context));
  EXPECT_EQ(prompts.messages, std::vector<std::string>{"read efs.mbn fail!"});
  EXPECT_EQ(memory.File(Staged("efs.mbn")), nullptr);
  ExpectStagedWhole({kFlashProgrammerId, "armprg.bin"});
}

TEST_F(StagingTest, AMissingResourceIsReportedAndLeavesNoOlderFileBehind) {
  resources.resources.erase(kQcsblId);
  memory.AddDirectory("C:\\Program Files");
  memory.AddDirectory("C:\\Program Files\\Windows Service");
  memory.AddDirectory(kDir);
  memory.SetFile(Staged("qcsbl.mbn"), {9, 9, 9});
  StageAll();
  EXPECT_EQ(prompts.messages, std::vector<std::string>{"read qcsbl.mbn fail!"});
  EXPECT_EQ(memory.File(Staged("qcsbl.mbn")), nullptr);
}

TEST_F(StagingTest, TheDeletionRemovesTheNineImagesInItsOrderAndNothingElse) {
  StageAll();
  memory.SetFile(Staged("mcserver.bat"), {'s', 'e', 't'});
  memory.DeleteFile(Staged("oemsbl.mbn"));  // one missing image is only looked for
  log.clear();
  DeleteStagedImages(context);
  const std::vector<std::string> expected = {
      "exists " + Staged("amss.mbn"),          "delete " + Staged("amss.mbn"),
      "exists " + Staged("armprg.bin"),        "delete " + Staged("armprg.bin"),
      "exists " + Staged("partition.mbn"),     "delete " + Staged("partition.mbn"),
      "exists " + Staged("qcsblhd_cfgdata.mbn"), "delete " + Staged("qcsblhd_cfgdata.mbn"),
      "exists " + Staged("qcsbl.mbn"),         "delete " + Staged("qcsbl.mbn"),
      "exists " + Staged("oemsblhd.mbn"),      "delete " + Staged("oemsblhd.mbn"),
      "exists " + Staged("oemsbl.mbn"),
      "exists " + Staged("amsshd.mbn"),        "delete " + Staged("amsshd.mbn"),
      "exists " + Staged("efs.mbn"),           "delete " + Staged("efs.mbn")};
  EXPECT_EQ(log, expected);
  for (const char* kept : {"nandprghd.mbn", "nandprgcombined.mbn", "NVApp.ini", "killsvr.bat", "ResetUSB.dll",
                           "mcserver.bat"})
    EXPECT_NE(memory.File(Staged(kept)), nullptr) << kept;
  EXPECT_EQ(memory.FileNames().size(), 6u);
  EXPECT_TRUE(memory.HasDirectory(kDir));
}

TEST_F(StagingTest, TheCleanUpDeletesTheImagesReleasesTheLibraryThenDeletesItAndRestarts) {
  StageAll();
  log.clear();
  CleanUpStaging(context, [this] { log.push_back("release library"); },
                 [this] { log.push_back("restart connection manager"); });
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log[log.size() - 4], "release library");
  EXPECT_EQ(log[log.size() - 3], "exists " + Staged("ResetUSB.dll"));
  EXPECT_EQ(log[log.size() - 2], "delete " + Staged("ResetUSB.dll"));
  EXPECT_EQ(log[log.size() - 1], "restart connection manager");
  EXPECT_EQ(Log("delete").size(), 10u);
  EXPECT_EQ(memory.FileNames().size(), 4u);  // nandprghd, nandprgcombined, NVApp.ini, killsvr.bat
  // Without the hooks (nothing loaded, the connection manager not found) it deletes alike.
  CleanUpStaging(context);
}

TEST(PathRules, PathExistsDropsOneTrailingSeparatorAndTakesADriveRoot) {
  MemoryFileSystem files;
  files.AddDirectory("C:\\Program Files");
  files.SetFile("C:\\Program Files\\amss.mbn", {1});
  struct Row {
    const char* path;
    bool exists;
  };
  const Row rows[] = {
      {"C:\\", true},           {"d:\\", true},        {"E:/", true},
      {"C:\\Program Files", true}, {"C:\\Program Files\\", true}, {"c:\\program files\\AMSS.MBN", true},
      {"C:\\Program Files\\amss.mbn\\", true},  // a file too: the rule does not look
      {"C:\\Program Files\\\\", false},  // only one separator is dropped
      {"C:\\Program Files\\efs.mbn", false}, {"", false}, {"\\", false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(PathExists(files, row.path), row.exists);
  }
}

TEST(PathRules, EnsureDirectoryMakesOneLevel) {
  MemoryFileSystem files;
  EXPECT_TRUE(EnsureDirectory(files, "C:\\Program Files"));
  EXPECT_TRUE(EnsureDirectory(files, "C:\\Program Files\\"));  // exists
  EXPECT_FALSE(EnsureDirectory(files, "C:\\Program Files\\a\\b"));  // no parents
  EXPECT_FALSE(files.HasDirectory("C:\\Program Files\\a"));
  EXPECT_TRUE(EnsureDirectory(files, "C:\\"));
  EXPECT_EQ(platform::JoinPath("C:\\", "x.txt"), "C:\\x.txt");
  EXPECT_EQ(platform::JoinPath("C:\\a", "x.txt"), "C:\\a\\x.txt");
}

TEST(EmbeddedFiles, TheStopScriptIsTheExact415BytesOfPart71) {
  std::ifstream in(FLOTILLA_SOURCE_DIR "/src/resources/killsvr.bat", std::ios::binary);
  ASSERT_TRUE(in);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes.size(), 415u);
  EXPECT_EQ(bytes, hostenv::StopScriptText());
  EXPECT_EQ(bytes.substr(0, 31), "if \"%1\"==\"W2K\" goto kill_2k\r\nif");
  EXPECT_EQ(bytes.substr(bytes.size() - 6), "\r\nexit");  // the last line has no line end
}

}  // namespace
}  // namespace flotilla::images
