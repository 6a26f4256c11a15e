// A line's image set: its paths, the check before an update, the version directory choice and
// the version record of its application image.
#include "images/image_set.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "images/path_exists.h"
#include "images/version_record.h"
#include "platform/memory_files.h"
#include "platform/memory_registry.h"
#include "platform/virtual_clock.h"
#include "protocol/version_record_layout.h"
#include "sim/transport/inprocess_stick.h"

namespace flotilla::images {
namespace {

using Messages = std::vector<std::string>;

const char kStaging[] = "C:\\Program Files\\Windows Service\\XV418newversion";
const char* const kCheckedFiles[] = {"partition.mbn", "qcsblhd_cfgdata.mbn", "qcsbl.mbn", "oemsblhd.mbn",
                                     "oemsbl.mbn",    "amsshd.mbn",          "amss.mbn"};
const char* const kOtherFiles[] = {"efs.mbn", "armprg.bin", "nandprghd.mbn", "nandprgcombined.mbn"};
const char kBox[] = "Download  fail, please check if   the config file is exist!";
const char kGerman[] = "Download fehlgeschlagen";

class RecordingDisplay : public line::LineDisplay {
 public:
  void AppendLineStatus(int, const std::string& text) override { statuses.push_back(text); }
  void SetLineProgress(int, int) override {}
  Messages statuses;
};

// The folder browser answers what the test chose, and remembers its title.
class ScriptedDialogs : public platform::FileDialogs {
 public:
  std::optional<std::string> BrowseForFolder(const std::string& title) override {
    titles.push_back(title);
    return answer;
  }
  std::optional<std::string> ChooseFileToOpen(const std::string&) override { return std::nullopt; }
  std::optional<std::string> answer;
  Messages titles;
};

class ImageSetTest : public ::testing::Test {
 protected:
  line::CFlotillaDoc MakeDoc(uint16_t language = 0x0409) {
    return line::CFlotillaDoc(line::DocEnvironment{stick_, clock_, language, "C:\\Tools\\flotilla.exe"});
  }
  // Every file of a set in `directory`, each of 100 bytes; the directory itself is left to
  // the test.
  void WriteSet(const std::string& directory) {
    for (const char* name : kCheckedFiles) files_.SetFile(directory + "\\" + name, Bytes(100));
    for (const char* name : kOtherFiles) files_.SetFile(directory + "\\" + name, Bytes(100));
  }
  using Bytes = platform::MemoryFileSystem::Bytes;

  platform::VirtualClock clock_;
  sim::InProcessStick stick_{clock_, sim::StickConfig{}};
  platform::MemoryFileSystem files_;
  platform::RecordingPrompts prompts_;
};

TEST_F(ImageSetTest, TheStagedSetServesLineOneOnly) {
  line::CFlotillaDoc doc = MakeDoc();
  ASSERT_TRUE(FillImageSetPaths(doc, 0, kStaging));
  const line::ImageSetPaths& paths = doc.Line(0).paths;
  const std::string in = std::string(kStaging) + "\\";
  EXPECT_EQ(paths.image_directory, kStaging);
  EXPECT_EQ(paths.partition_table, in + "partition.mbn");
  EXPECT_EQ(paths.qcsbl_header, in + "qcsblhd_cfgdata.mbn");
  EXPECT_EQ(paths.qcsbl, in + "qcsbl.mbn");
  EXPECT_EQ(paths.oemsbl_header, in + "oemsblhd.mbn");
  EXPECT_EQ(paths.oemsbl, in + "oemsbl.mbn");
  EXPECT_EQ(paths.amss_header, in + "amsshd.mbn");
  EXPECT_EQ(paths.amss, in + "amss.mbn");
  EXPECT_EQ(paths.efs_image, in + "efs.mbn");
  EXPECT_EQ(paths.flash_programmer, in + "armprg.bin");  // instead of the one beside the program
  EXPECT_EQ(paths.nand_programmer_header, in + "nandprghd.mbn");
  EXPECT_EQ(paths.nand_programmer, in + "nandprgcombined.mbn");
  EXPECT_EQ(paths.nv_directory, "C:\\Tools\\");  // the NV files stay beside the program
  for (int i = 1; i < line::kLineCount; ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(doc.Line(i).paths.image_directory.empty());
    EXPECT_EQ(doc.Line(i).paths.flash_programmer, "C:\\Tools\\armprg.bin");
  }
}

TEST_F(ImageSetTest, ADirectoryWhosePathsDoNotFitIsRefusedWhole) {
  line::CFlotillaDoc doc = MakeDoc();
  // 240 characters fit the directory's field, but not "\qcsblhd_cfgdata.mbn" after them.
  const std::string long_directory = "C:\\" + std::string(237, 'd');
  EXPECT_FALSE(FillImageSetPaths(doc, 0, long_directory));
  EXPECT_TRUE(doc.Line(0).paths.image_directory.empty());
  EXPECT_TRUE(doc.Line(0).paths.partition_table.empty());
  EXPECT_EQ(doc.Line(0).paths.flash_programmer, "C:\\Tools\\armprg.bin");
  EXPECT_FALSE(FillImageSetPaths(doc, line::kLineCount, kStaging));  // no such line
}

TEST_F(ImageSetTest, TheCheckNamesAMissingOrShortPartitionTableAndTheUpdateAddsItsBox) {
  enum class Change { None, Remove, Resize };
  struct Case {
    const char* name;
    std::string file;
    Change change;
    size_t size;
    bool usable;
    Messages english;  // of the check on line 3, then of the update's box
    Messages german;
  };
  std::vector<Case> cases = {
      {"complete", "", Change::None, 0, true, {}, {}},
      {"partition table missing", "partition.mbn", Change::Remove, 0, false,
       {"Line3: can't open partition.mbn!", kBox}, {kGerman, kGerman}},
      {"partition table of 1 byte", "partition.mbn", Change::Resize, 1, false,
       {"Line3: Open wrong partition.mbn! ", kBox}, {kGerman, kGerman}},
      {"partition table of 2 bytes", "partition.mbn", Change::Resize, 2, true, {}, {}},
  };
  for (const char* name : kCheckedFiles) {
    if (std::string(name) == "partition.mbn") continue;
    cases.push_back({"missing", name, Change::Remove, 0, false, {kBox}, {kGerman}});
    cases.push_back({"empty", name, Change::Resize, 0, false, {kBox}, {kGerman}});
    cases.push_back({"1 byte", name, Change::Resize, 1, false, {kBox}, {kGerman}});
  }
  // Mends: the file-system image and the programmers were left out, and their absence was
  // found only after the boot loaders and the application image had been written.
  for (const char* name : kOtherFiles) {
    cases.push_back({"missing", name, Change::Remove, 0, false, {kBox}, {kGerman}});
    cases.push_back({"empty", name, Change::Resize, 0, false, {kBox}, {kGerman}});
  }

  for (const auto& c : cases) {
    for (const bool german : {false, true}) {
      SCOPED_TRACE(c.file + " " + c.name + (german ? ", German" : ", English"));
      files_ = platform::MemoryFileSystem();
      prompts_.messages.clear();
      WriteSet("D:\\Set");
      if (c.change == Change::Remove) files_.DeleteFile("D:\\Set\\" + c.file);
      if (c.change == Change::Resize) files_.SetFile("D:\\Set\\" + c.file, Bytes(c.size));
      line::CFlotillaDoc doc = MakeDoc(german ? 0x0407 : 0x0409);
      ASSERT_TRUE(FillImageSetPaths(doc, 2, "D:\\Set"));
      doc.Line(2).device_state = line::DeviceState::Answered;

      EXPECT_EQ(CheckImageSetForUpdate(doc, files_, prompts_, 2), c.usable);
      EXPECT_EQ(prompts_.messages, german ? c.german : c.english);
    }
  }
}

TEST_F(ImageSetTest, TheFirstUnusableFileIsNamed) {
  struct Case {
    const char* name;
    std::vector<std::string> removed;
    std::string named;
  } cases[] = {
      {"complete", {}, ""},
      {"no file-system image", {"efs.mbn"}, "D:\\Set\\efs.mbn"},
      {"no programmers", {"nandprgcombined.mbn", "armprg.bin"}, "D:\\Set\\armprg.bin"},
      {"no application image", {"amss.mbn", "nandprghd.mbn"}, "D:\\Set\\amss.mbn"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    files_ = platform::MemoryFileSystem();
    WriteSet("D:\\Set");
    for (const std::string& name : c.removed) files_.DeleteFile("D:\\Set\\" + name);
    line::CFlotillaDoc doc = MakeDoc();
    ASSERT_TRUE(FillImageSetPaths(doc, 0, "D:\\Set"));
    EXPECT_EQ(FirstUnusableImageFile(doc, files_, 0), c.named);
  }
}

TEST_F(ImageSetTest, TheCheckFailsSilentlyWithoutASetOrAStick) {
  WriteSet(kStaging);
  line::CFlotillaDoc doc = MakeDoc();
  ASSERT_TRUE(FillImageSetPaths(doc, 0, kStaging));
  struct Case {
    const char* name;
    int line;
    line::DeviceState state;
    bool require_device;
    bool usable;
  } cases[] = {
      {"the stick answered", 0, line::DeviceState::Answered, true, true},
      {"no stick, and none required", 0, line::DeviceState::NoDevice, false, true},
      {"no stick", 0, line::DeviceState::NoDevice, true, false},
      {"not looked for yet", 0, line::DeviceState::Unknown, true, false},
      {"a line without an image set", 1, line::DeviceState::Answered, true, false},
      {"no such line", line::kLineCount, line::DeviceState::Answered, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    doc.Line(c.line).device_state = c.state;
    EXPECT_EQ(CheckImageSet(doc, files_, prompts_, c.line, c.require_device), c.usable);
    EXPECT_TRUE(prompts_.messages.empty());
  }
}

TEST_F(ImageSetTest, PathExistsDropsATrailingBackslashAndKnowsDriveRoots) {
  files_.AddDirectory("D:\\Images");
  files_.SetFile("D:\\Images\\amss.mbn", Bytes(4));
  const std::pair<const char*, bool> cases[] = {
      {"D:\\Images", true}, {"D:\\Images\\", true}, {"D:\\Images\\amss.mbn", true},
      {"D:\\Images\\efs.mbn", false}, {"D:\\Other\\", false}, {"E:\\", true}, {"", false},
  };
  for (const auto& [path, exists] : cases) {
    SCOPED_TRACE(path);
    EXPECT_EQ(PathExists(files_, path), exists);
  }
}

TEST_F(ImageSetTest, ChoosingTheVersionDirectory) {
  const std::string kChosen[] = {"partition.mbn", "qcsblhd_cfgdata.mbn", "qcsbl.mbn", "oemsblhd.mbn",
                                 "oemsbl.mbn",    "amsshd.mbn",          "amss.mbn",  "efs.mbn"};
  struct Case {
    const char* name;
    std::optional<std::string> answer;
    std::string set_in;       // where the files are; empty: nowhere
    const char* missing;      // a file taken out of the set
    bool directory_found;     // whether a search finds the directory itself
    std::optional<std::string> field;
    Messages messages;
    std::string directory;    // the lines' image directory afterwards
    size_t taken;             // files whose path now lies in the chosen directory
  } cases[] = {
      {"trailing backslash dropped", "D:\\Images\\", "D:\\Images", nullptr, true, "D:\\Images", {}, "D:\\Images", 8},
      {"no trailing backslash", "D:\\Images", "D:\\Images", nullptr, true, "D:\\Images", {}, "D:\\Images", 8},
      {"a drive root is kept as the bare drive", "D:\\", "D:", nullptr, true, "D:", {}, "D:", 8},
      {"a directory the search does not find is reported, and taken", "D:\\", "D:", nullptr, false, "D:",
       {"D: is not exist is not exist!"}, "D:", 8},
      {"stops at the first missing file", "D:\\Images", "D:\\Images", "oemsbl.mbn", true, std::nullopt,
       {"D:\\Images\\oemsbl.mbn is not exist，Please choose again!"}, "D:\\Images", 4},
      {"the file-system image is taken before its test", "D:\\Images", "D:\\Images", "efs.mbn", true, std::nullopt,
       {"D:\\Images\\efs.mbn is not exist，Please choose again!"}, "D:\\Images", 8},
      {"cancelled: the field is emptied and the lines keep their set", std::nullopt, "", nullptr, true, "", {},
       kStaging, 0},
      {"too long for the paths in it", "D:\\" + std::string(240, 'x'), "", nullptr, true, std::nullopt,
       {"D:\\" + std::string(240, 'x') + " is too long，Please choose again!"}, kStaging, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    files_ = platform::MemoryFileSystem();
    prompts_.messages.clear();
    if (!c.set_in.empty()) WriteSet(c.set_in);
    if (c.missing) files_.DeleteFile(c.set_in + "\\" + c.missing);
    if (c.directory_found && !c.set_in.empty()) files_.AddDirectory(c.set_in);
    line::CFlotillaDoc doc = MakeDoc();
    ASSERT_TRUE(FillImageSetPaths(doc, 0, kStaging));
    ScriptedDialogs dialogs;
    dialogs.answer = c.answer;

    EXPECT_EQ(ChooseVersionDirectory(doc, files_, dialogs, prompts_), c.field);
    EXPECT_EQ(dialogs.titles, Messages{"Please select R580K2 software version directory"});
    EXPECT_EQ(prompts_.messages, c.messages);
    for (int i = 0; i < line::kLineCount; ++i) {
      SCOPED_TRACE(i);
      const line::ImageSetPaths& paths = doc.Line(i).paths;
      EXPECT_EQ(paths.image_directory, i == 0 || c.directory != kStaging ? c.directory : "");
      const std::string taken[] = {paths.partition_table, paths.qcsbl_header, paths.qcsbl, paths.oemsbl_header,
                                   paths.oemsbl,          paths.amss_header,    paths.amss,  paths.efs_image};
      for (size_t f = 0; f < 8; ++f) {
        const std::string before = i == 0 ? std::string(kStaging) + "\\" + kChosen[f] : "";
        EXPECT_EQ(taken[f], f < c.taken ? c.set_in + "\\" + kChosen[f] : before) << kChosen[f];
      }
      // The programmers are not the command's business.
      EXPECT_EQ(paths.flash_programmer, i == 0 ? std::string(kStaging) + "\\armprg.bin" : "C:\\Tools\\armprg.bin");
    }
  }
}

TEST_F(ImageSetTest, LocatingTheVersionRecordOfALine) {
  line::CFlotillaDoc doc = MakeDoc();
  platform::MemoryRegistry registry;
  RecordingDisplay display;
  line::LineContext context{doc, registry, display, prompts_, 0};
  ASSERT_TRUE(FillImageSetPaths(doc, 0, kStaging));
  const protocol::VersionRecordBytes built = protocol::BuildVersionRecord("BD_XV418V1.0.0B09");
  Bytes image(3 * kVersionScanBlock, 0x55);
  std::copy(built.begin(), built.end(), image.begin() + kVersionScanBlock - 32);  // across two blocks
  files_.SetFile(std::string(kStaging) + "\\amss.mbn", image);

  protocol::VersionRecord record{};
  ASSERT_TRUE(LocateVersionRecord(context, files_, record));
  EXPECT_TRUE(std::equal(built.begin(), built.end(), record.begin()));
  EXPECT_TRUE(display.statuses.empty());

  // Without its image the line says so, and the record stays as the caller gave it.
  files_.DeleteFile(std::string(kStaging) + "\\amss.mbn");
  record.fill(0);
  EXPECT_FALSE(LocateVersionRecord(context, files_, record));
  EXPECT_EQ(record, protocol::VersionRecord{});
  EXPECT_EQ(display.statuses, Messages{"open file fail"});
}

}  // namespace
}  // namespace flotilla::images
