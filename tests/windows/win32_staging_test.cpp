// Under Wine with the Win32 backends: this test program embeds the same resources as
// flotilla.exe and stages them into the prefix's real staging directory
// (C:/Program Files/Windows Service/XV418newversion), byte for byte against the embedded files.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "images/staging.h"
#include "platform/prompts.h"
#include "platform/win32/files.h"
#include "platform/win32/resources.h"
#include "win32_test_paths.h"

namespace flotilla::images {
namespace {

using test::EmbeddedSources;

std::string Staged(const std::string& name) { return std::string(kStagingDirectory) + "\\" + name; }

class Win32StagingTest : public ::testing::Test {
 protected:
  platform::Win32FileSystem files;
  platform::Win32ModuleResources resources;
  platform::RecordingPrompts prompts;
  StagingContext context{files, resources, prompts};
  std::vector<std::string> events;

  void ExpectStagedByteForByte() {
    ASSERT_EQ(EmbeddedSources().size(), kEmbeddedFiles.size());
    for (const test::EmbeddedSource& source : EmbeddedSources()) {
      SCOPED_TRACE(source.name);
      std::vector<uint8_t> expected, staged;
      ASSERT_TRUE(test::ReadWhole(files, test::WinePath(source.source), expected));
      ASSERT_TRUE(test::ReadWhole(files, Staged(source.name), staged));
      EXPECT_EQ(staged.size(), expected.size());
      EXPECT_TRUE(staged == expected);
    }
  }
};

TEST_F(Win32StagingTest, EveryEmbeddedFileCarriesItsIdAndLanguage2052) {
  for (const EmbeddedFile& file : kEmbeddedFiles) {
    SCOPED_TRACE(file.file_name);
    EXPECT_NE(FindResourceExW(nullptr, L"SOURCEMBN", MAKEINTRESOURCEW(file.resource_id),
                              static_cast<WORD>(kEmbeddedFileLanguage)),
              nullptr);
  }
  std::vector<uint8_t> bytes;
  EXPECT_FALSE(resources.Load(kEmbeddedFileType, 170, bytes));
  ASSERT_TRUE(resources.Load(kEmbeddedFileType, kStopScriptId, bytes));
  EXPECT_EQ(bytes.size(), 415u);
}

TEST_F(Win32StagingTest, StagesEveryEmbeddedFileByteForByteAndOverwritesOlderOnes) {
  ASSERT_TRUE(StageImageFiles(context, [this] { events.push_back("connection manager"); }));
  EXPECT_TRUE(prompts.messages.empty());
  ExpectStagedByteForByte();
  EXPECT_EQ(events.size(), 1u);

  // An older, longer file of each name (an aborted run) is replaced by the embedded content.
  for (const EmbeddedFile& file : kEmbeddedFiles) {
    auto out = files.CreateForWriting(Staged(file.file_name));
    ASSERT_NE(out, nullptr);
    const std::vector<uint8_t> junk(200000, 0x5A);
    ASSERT_TRUE(out->Write(junk.data(), junk.size()));
  }
  ASSERT_TRUE(StageImageFiles(context));
  EXPECT_TRUE(prompts.messages.empty());
  ExpectStagedByteForByte();
}

TEST_F(Win32StagingTest, TheDeletionsLeaveWhatTheSpecKeeps) {
  ASSERT_TRUE(StageImageFiles(context));
  DeleteStagedImages(context);
  for (const char* name : kStagedImageNames) EXPECT_FALSE(files.Exists(Staged(name))) << name;
  for (const char* kept : {"nandprghd.mbn", "nandprgcombined.mbn", "NVApp.ini", "killsvr.bat", "ResetUSB.dll"})
    EXPECT_TRUE(files.Exists(Staged(kept))) << kept;
  CleanUpStaging(context, [this] { events.push_back("release"); });
  EXPECT_FALSE(files.Exists(Staged("ResetUSB.dll")));
  EXPECT_TRUE(files.Exists(Staged("killsvr.bat")));
  EXPECT_TRUE(PathExists(files, std::string(kStagingDirectory) + "\\"));
  EXPECT_EQ(events, std::vector<std::string>{"release"});
}

// Run by readonly_staging_test.sh, which makes the (empty) staging directory immutable first:
// no file can be created there, not even by root.
TEST_F(Win32StagingTest, AReadOnlyStagingDirectoryGivesTheMessagesInTableOrder) {
  if (!std::getenv("FLOTILLA_READONLY_STAGING")) GTEST_SKIP() << "needs readonly_staging_test.sh";
  ASSERT_TRUE(StageImageFiles(context, [this] { prompts.messages.push_back("(connection manager)"); }));
  const std::vector<std::string> expected = {
      "read amss.mbn fail!", "read partition.mbn fail!", "read qcsblhd_cfgdata.mbn fail!",
      "read qcsbl.mbn fail!", "read oemsblhd.mbn fail!", "read oemsbl.mbn fail!", "read amsshd.mbn fail!",
      "read efs.mbn fail!", "read armprg.bin fail!", "read nandprghd.mbn fail!",
      "read nandprgcombined.mbn fail!", "read NVApp.ini fail!", "read killsvr.bat fail!",
      "(connection manager)", "read ResetUSB.dll fail!"};
  EXPECT_EQ(prompts.messages, expected);
  for (const EmbeddedFile& file : kEmbeddedFiles) EXPECT_FALSE(files.Exists(Staged(file.file_name)));
}

}  // namespace
}  // namespace flotilla::images
