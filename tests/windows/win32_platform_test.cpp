// The Win32 backends of the files and processes seams under Wine, with paths that need the wide
// functions, and ResetUSB.dll loaded from the staging directory and called.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "images/staging.h"
#include "platform/paths.h"
#include "platform/prompts.h"
#include "platform/win32/dialogs.h"
#include "platform/win32/files.h"
#include "platform/win32/processes.h"
#include "platform/win32/resources.h"
#include "platform/win32/wide_text.h"
#include "win32_test_paths.h"

namespace flotilla::platform {
namespace {

// "C:\Flotilla Tests\Grüße ÄÖÜ 中文" in UTF-8: no ANSI code page holds all of it.
const std::string kRoot = "C:\\Flotilla Tests";
const std::string kUnicodeDir = kRoot + "\\Gr\xC3\xBC\xC3\x9F" "e \xC3\x84\xC3\x96\xC3\x9C \xE4\xB8\xAD\xE6\x96\x87";

TEST(Win32Files, WidePathsWorkWhateverTheAnsiCodePage) {
  Win32FileSystem files;
  EnsureDirectory(files, kRoot);
  ASSERT_TRUE(EnsureDirectory(files, kUnicodeDir));
  EXPECT_FALSE(files.CreateDirectoryLevel(kUnicodeDir));  // it exists
  EXPECT_FALSE(files.CreateDirectoryLevel(kUnicodeDir + "\\a\\b"));  // no parents
  // The name reached the system whole, not as "?" of an ANSI conversion.
  const std::wstring wide = WideFromUtf8(kUnicodeDir);
  EXPECT_NE(GetFileAttributesW(wide.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(Utf8FromWide(wide), kUnicodeDir);

  const std::string file = kUnicodeDir + "\\Channel1.nvm";
  auto out = files.CreateForWriting(file);
  ASSERT_NE(out, nullptr);
  EXPECT_TRUE(out->Write("abcdef", 6));
  EXPECT_TRUE(out->Flush());
  out.reset();
  EXPECT_TRUE(files.Exists(file));
  auto in = files.OpenForReading(file);
  ASSERT_NE(in, nullptr);
  uint64_t length = 0;
  ASSERT_TRUE(in->Length(length));
  EXPECT_EQ(length, 6u);
  char buffer[8] = {};
  EXPECT_TRUE(in->Seek(2));
  EXPECT_EQ(in->Read(buffer, sizeof buffer), 4u);
  EXPECT_EQ(std::string(buffer, 4), "cdef");
  in.reset();

  // The replace: the new file takes the old one's place, replacing it.
  out = files.CreateForWriting(file + ".new");
  ASSERT_NE(out, nullptr);
  EXPECT_TRUE(out->Write("xyz", 3));
  out.reset();
  EXPECT_TRUE(files.ReplaceFile(file + ".new", file));
  EXPECT_FALSE(files.Exists(file + ".new"));
  std::vector<uint8_t> bytes;
  ASSERT_TRUE(test::ReadWhole(files, file, bytes));
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "xyz");
  EXPECT_FALSE(files.ReplaceFile(file + ".missing", file));

  EXPECT_TRUE(files.DeleteFile(file));
  EXPECT_FALSE(files.DeleteFile(file));
  EXPECT_FALSE(files.Exists(file));
  EXPECT_EQ(files.OpenForReading(file), nullptr);
}

TEST(Win32Files, TheDirectorySearchAndThePathRules) {
  Win32FileSystem files;
  EnsureDirectory(files, kRoot);
  ASSERT_TRUE(EnsureDirectory(files, kRoot + "\\CM"));
  ASSERT_TRUE(EnsureDirectory(files, kRoot + "\\CM\\Bin"));
  // The raw search finds nothing for a drive root or a trailing separator; the rules do.
  EXPECT_FALSE(files.Exists("C:\\"));
  EXPECT_TRUE(PathExists(files, "C:\\"));
  EXPECT_FALSE(files.Exists(kRoot + "\\CM\\"));
  EXPECT_TRUE(PathExists(files, kRoot + "\\CM\\"));
  EXPECT_FALSE(PathExists(files, kRoot + "\\none"));
  // doubled backslashes: the system takes a run of them as one separator.
  EXPECT_TRUE(PathExists(files, "C:\\\\Flotilla Tests\\\\CM\\\\\\\\Bin"));
  EXPECT_FALSE(PathExists(files, "C:\\\\Flotilla Tests\\\\none\\\\Bin"));
}

TEST(Win32Files, TheProgramsOwnFileAndTheCurrentDirectory) {
  Win32FileSystem files;
  const std::string module = files.ModuleFileName();
  EXPECT_NE(module.find("flotilla_windows_tests.exe"), std::string::npos) << module;
  wchar_t current[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, current);
  EXPECT_EQ(files.CurrentDirectory(), Utf8FromWide(current));
  EnsureDirectory(files, kRoot);
  ASSERT_TRUE(EnsureDirectory(files, kUnicodeDir));
  ASSERT_TRUE(SetCurrentDirectoryW(WideFromUtf8(kUnicodeDir).c_str()));
  EXPECT_EQ(files.CurrentDirectory(), kUnicodeDir);
  SetCurrentDirectoryW(current);
}

TEST(Win32Processes, StartsHiddenInItsWorkingDirectoryAndWaits) {
  Win32Processes processes;
  Win32FileSystem files;
  const std::string system = processes.SystemDirectory();
  ASSERT_FALSE(system.empty());
  const std::string cmd = JoinPath(system, "cmd.exe");
  EXPECT_TRUE(files.Exists(cmd)) << cmd;
  ASSERT_TRUE(EnsureDirectory(files, kUnicodeDir));
  files.DeleteFile(kUnicodeDir + "\\cwd.txt");
  bool finished = false;
  ASSERT_TRUE(processes.StartAndWait(cmd, "/c cd > cwd.txt", kUnicodeDir, kWaitForever, finished));
  EXPECT_TRUE(finished);
  // The interpreter ran in the directory and wrote its file there.
  EXPECT_TRUE(files.Exists(kUnicodeDir + "\\cwd.txt"));

  // A wait with a limit returns when the limit passes.
  finished = true;
  const DWORD start = GetTickCount();
  ASSERT_TRUE(processes.StartAndWait(cmd, "/c ping -n 4 127.0.0.1 >nul", kUnicodeDir, 200, finished));
  EXPECT_LT(GetTickCount() - start, 2500u);
  EXPECT_FALSE(finished);

  EXPECT_FALSE(processes.StartAndWait(kRoot + "\\no-such-program.exe", "", kRoot, kWaitForever, finished));
}

TEST(Win32Dialogs, TheFilterTakesTheDialogsForm) {
  const std::wstring filter = OpenDialogFilter("NV files (*.nvm)|*.nvm||");
  EXPECT_EQ(filter, std::wstring(L"NV files (*.nvm)\0*.nvm\0\0", 24));
  EXPECT_EQ(OpenDialogFilter("A|*.a"), std::wstring(L"A\0*.a\0\0", 7));
}

// ResetUSB.dll as the re-plug worker uses it: staged, loaded from the staging directory, Replug called
// through GetProcAddress with the stick's device text. No such device is attached: 0.
TEST(Win32ResetUsb, ReplugWithoutTheDeviceReturnsZero) {
  Win32FileSystem files;
  Win32ModuleResources resources;
  RecordingPrompts prompts;
  images::StagingContext context{files, resources, prompts};
  ASSERT_TRUE(images::CreateStagingDirectory(context));
  ASSERT_TRUE(images::StageEmbeddedFile(context, images::kResetUsbId));
  const std::wstring path = WideFromUtf8(std::string(images::kStagingDirectory) + "\\ResetUSB.dll");
  HMODULE library = LoadLibraryW(path.c_str());
  ASSERT_NE(library, nullptr) << GetLastError();
  using ReplugFunction = int(__cdecl*)(const char*);
  auto replug = reinterpret_cast<ReplugFunction>(reinterpret_cast<void*>(GetProcAddress(library, "Replug")));
  ASSERT_NE(replug, nullptr);
  EXPECT_EQ(replug("USB\\Vid_4A6D&Pid_2000"), 0);
  EXPECT_EQ(replug("usb\\vid_4a6d&pid_2000"), 0);
  EXPECT_EQ(replug(""), 0);
  EXPECT_EQ(replug(nullptr), 0);
  EXPECT_TRUE(FreeLibrary(library));
}

}  // namespace
}  // namespace flotilla::platform
