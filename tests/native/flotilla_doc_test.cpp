// CFlotillaDoc: the eight lines' initial values, module paths and the port (re)opening.
#include "line/flotilla_doc.h"

#include <gtest/gtest.h>

#include "line/line_version.h"
#include "platform/virtual_clock.h"
#include "sim/transport/inprocess_stick.h"

namespace flotilla::line {
namespace {

class FlotillaDocTest : public ::testing::Test {
 protected:
  CFlotillaDoc MakeDoc(uint16_t language) {
    return CFlotillaDoc(DocEnvironment{stick_, clock_, language, "C:\\Tools\\flotilla.exe"});
  }
  platform::VirtualClock clock_;
  sim::InProcessStick stick_{clock_, sim::StickConfig{}};
};

TEST_F(FlotillaDocTest, StartsEveryLineAsTheWindowExpects) {
  const std::pair<uint16_t, const char*> languages[] = {{0x0407, "Kein Telefon"}, {0x0409, "NULL"}, {0x0807, "NULL"}};
  for (const auto& [language, text] : languages) {
    SCOPED_TRACE(language);
    CFlotillaDoc doc = MakeDoc(language);
    for (int i = 0; i < kLineCount; ++i) {
      SCOPED_TRACE(i);
      LineRecord& line = doc.Line(i);
      EXPECT_EQ(line.texts.VersionText(), text);
      EXPECT_EQ(line.diag_port, i == 0 ? 1 : 0);
      EXPECT_EQ(line.data_port, 0);
      EXPECT_EQ(line.running, 0);
      EXPECT_EQ(line.operation, LineOperation::Update);
      EXPECT_EQ(line.paths.flash_programmer, "C:\\Tools\\armprg.bin");
      EXPECT_EQ(line.paths.nv_directory, "C:\\Tools\\");
      EXPECT_EQ(line.paths.nv_backup_file, "C:\\Tools\\\\Channel" + std::to_string(i + 1) + ".nvm");
      EXPECT_TRUE(line.paths.image_directory.empty());
    }
    EXPECT_EQ(doc.nv_mode, NvMode::RestoreRfAndImei);
    EXPECT_EQ(doc.replug_enabled, 1);
    EXPECT_TRUE(doc.ModelCheckText().empty());
  }
}

TEST_F(FlotillaDocTest, AModulePathLongerThanItsFieldStaysEmpty) {
  struct Case {
    size_t directory;  // characters of the program's directory, its trailing backslash included
    bool programmer, nv_directory, backup_file;
  } cases[] = {
      {246, true, true, true},     // the backup file takes 259 characters, the most there is room for
      {247, true, true, false},
      {249, true, true, false},
      {250, false, true, false},   // "armprg.bin" makes 260
      {256, false, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.directory);
    const std::string directory = "C:\\" + std::string(c.directory - 4, 'd') + "\\";
    ASSERT_EQ(directory.size(), c.directory);
    CFlotillaDoc doc(DocEnvironment{stick_, clock_, 0x0409, directory + "flotilla.exe"});
    for (int i = 0; i < kLineCount; ++i) {
      const ImageSetPaths& paths = doc.Line(i).paths;
      EXPECT_EQ(paths.flash_programmer, c.programmer ? directory + "armprg.bin" : "");
      EXPECT_EQ(paths.nv_directory, c.nv_directory ? directory : "");
      EXPECT_EQ(paths.nv_backup_file,
                c.backup_file ? directory + "\\Channel" + std::to_string(i + 1) + ".nvm" : "");
    }
  }
}

TEST_F(FlotillaDocTest, ANumberOutsideTheLinesReachesNoStick) {
  CFlotillaDoc doc = MakeDoc(0x0409);
  for (int line : {-1, kLineCount, 1000}) {
    SCOPED_TRACE(line);
    LineRecord& none = doc.Line(line);
    for (int i = 0; i < kLineCount; ++i) EXPECT_NE(&none, &doc.Line(i));
    EXPECT_EQ(none.diag_port, 0);
    EXPECT_FALSE(doc.OpenDiagPort(line, 0, 115200));
  }
}

TEST_F(FlotillaDocTest, AVersionQueryKeepsTheNineStringsOrNone) {
  CFlotillaDoc doc = MakeDoc(0x0409);
  stick_.SetPortNumbers(5, 6);
  ASSERT_TRUE(doc.OpenDiagPort(0, 6, 115200));
  ASSERT_TRUE(QueryDeviceVersion(doc, 0));
  const sim::StickConfig config;
  const protocol::VersionSet strings = doc.Line(0).texts.VersionStrings();
  EXPECT_EQ(strings[0], config.version_texts[0]);
  EXPECT_EQ(doc.Line(0).texts.VersionString(3), config.version_texts[2]);  // what UPDATE needs
  EXPECT_EQ(doc.Line(0).texts.VersionString(9), config.version_texts[8]);  // the model tag
  EXPECT_FALSE(doc.Line(0).texts.VersionString(3).empty());

  doc.Line(0).diag_channel.Port().Close();  // the stick is gone
  EXPECT_FALSE(QueryDeviceVersion(doc, 0));
  EXPECT_EQ(doc.Line(0).texts.VersionStrings(), protocol::VersionSet{});
  EXPECT_EQ(doc.Line(0).texts.VersionText(), "NULL");
}

TEST_F(FlotillaDocTest, ReopeningAPortTakesTheNewNumberAtOnce) {
  CFlotillaDoc doc = MakeDoc(0x0409);
  stick_.SetPortNumbers(5, 6);
  EXPECT_FALSE(doc.OpenDiagPort(0, 0, 115200));  // port 0 means none
  ASSERT_TRUE(doc.OpenDiagPort(0, 6, 115200));
  // Reopening the same port works because the old handle was closed first.
  EXPECT_TRUE(doc.OpenDiagPort(0, 6, 115200));
  stick_.SetPortNumbers(5, 9);  // the stick came back under another number
  EXPECT_TRUE(doc.OpenDiagPort(0, 9, 115200));
  EXPECT_FALSE(doc.OpenDiagPort(0, 6, 115200));
  EXPECT_FALSE(doc.Line(0).diag_channel.Port().IsOpen());

  doc.Line(0).at_channel.SetReplyTimeout(5000);
  doc.Line(0).at_channel.SetAttempts(3);
  ASSERT_TRUE(doc.OpenAtPort(0, 5, 115200));
  EXPECT_EQ(doc.Line(0).at_channel.ReplyTimeout(), 1000u);
  EXPECT_EQ(doc.Line(0).at_channel.Attempts(), 2);
}

}  // namespace
}  // namespace flotilla::line
