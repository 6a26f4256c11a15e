// The files seam: the POSIX backend and the in-memory double answer the same operations the
// same way, and the double's faults behave as a disk's do.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "platform/memory_files.h"
#include "platform/posix/files.h"

namespace flotilla::platform {
namespace {

struct Backend {
  const char* name;
  std::function<std::unique_ptr<FileSystem>()> make;
  std::string root;
};

void ExpectFileOperations(FileSystem& files, const std::string& root) {
  const std::string dir = root + "\\Windows Service";
  EXPECT_TRUE(files.CreateDirectoryLevel(dir));
  EXPECT_FALSE(files.CreateDirectoryLevel(dir));  // it exists
  EXPECT_FALSE(files.CreateDirectoryLevel(dir + "\\a\\b"));  // no parents are made
  EXPECT_TRUE(files.Exists(dir));

  const std::string file = dir + "\\Channel1.nvm";
  auto out = files.CreateForWriting(file);
  ASSERT_NE(out, nullptr);
  EXPECT_TRUE(out->Write("abcdef", 6));
  EXPECT_TRUE(out->Flush());
  out.reset();

  auto in = files.OpenForReading(file);
  ASSERT_NE(in, nullptr);
  uint64_t length = 0;
  ASSERT_TRUE(in->Length(length));
  EXPECT_EQ(length, 6u);
  char buffer[8] = {};
  EXPECT_TRUE(in->Seek(2));
  EXPECT_EQ(in->Read(buffer, sizeof buffer), 4u);
  EXPECT_EQ(std::string(buffer, 4), "cdef");
  EXPECT_EQ(in->Read(buffer, sizeof buffer), 0u);
  in.reset();

  // A new file takes the old one's place in one step.
  auto next = files.CreateForWriting(file + ".new");
  ASSERT_NE(next, nullptr);
  EXPECT_TRUE(next->Write("xyz", 3));
  next.reset();
  EXPECT_TRUE(files.ReplaceFile(file + ".new", file));
  EXPECT_FALSE(files.Exists(file + ".new"));
  in = files.OpenForReading(file);
  ASSERT_NE(in, nullptr);
  ASSERT_TRUE(in->Length(length));
  EXPECT_EQ(length, 3u);
  in.reset();

  EXPECT_TRUE(files.DeleteFile(file));
  EXPECT_FALSE(files.DeleteFile(file));
  EXPECT_FALSE(files.Exists(file));
  EXPECT_EQ(files.OpenForReading(file), nullptr);
}

TEST(Files, BothBackendsKeepFilesAlike) {
  const auto temp = std::filesystem::path(::testing::TempDir()) /
                    ("flotilla_files_" + std::to_string(::getpid()));
  std::filesystem::remove_all(temp);
  std::filesystem::create_directories(temp);
  {
    SCOPED_TRACE("posix");
    PosixFileSystem posix;
    ExpectFileOperations(posix, temp.string());
  }
  {
    SCOPED_TRACE("memory");
    MemoryFileSystem memory;
    memory.AddDirectory("C:\\Program Files");
    ExpectFileOperations(memory, "C:\\Program Files");
  }
  std::filesystem::remove_all(temp);
}

TEST(MemoryFiles, FaultsActAsADisksDo) {
  MemoryFileSystem files;
  EXPECT_TRUE(files.CreateDirectoryLevel("C:\\Program Files"));  // a drive always exists
  files.space_left = 4;
  auto out = files.CreateForWriting("C:\\Program Files\\amss.mbn");
  ASSERT_NE(out, nullptr);
  EXPECT_FALSE(out->Write("abcdef", 6));  // the disk filled up after four bytes
  EXPECT_EQ(files.File("c:\\program files\\AMSS.MBN")->size(), 4u);

  files.read_only_directories.insert("c:\\program files");
  EXPECT_EQ(files.CreateForWriting("C:\\Program Files\\efs.mbn"), nullptr);
  EXPECT_FALSE(files.CreateDirectoryLevel("C:\\Program Files\\Logs"));

  files.fail_replace = true;
  EXPECT_FALSE(files.ReplaceFile("C:\\Program Files\\amss.mbn", "C:\\x.mbn"));
  EXPECT_NE(files.File("C:\\Program Files\\amss.mbn"), nullptr);
}

}  // namespace
}  // namespace flotilla::platform
