// NV item backup and restore over the line's diagnostics channel, with the backup file
// written so that the last good backup never goes before a new one is safely on the disk.
#include "nvdata/nv_backup.h"

#include <memory>
#include <vector>

#include "nvdata/nv_table.h"
#include "protocol/operation_text.h"

namespace flotilla::nvdata {
namespace {

// The framework's file exception causes (CFileException) that the seam's failures stand for,
// with the framework's standard message of each.
enum FileCause { kGenericError = 1, kFileNotFound = 2, kAccessDenied = 5, kDiskFull = 13 };

std::string FileErrorText(FileCause cause, const std::string& path) {
  switch (cause) {
    case kFileNotFound: return protocol::FormatText("%s was not found.", path.c_str());
    case kAccessDenied: return protocol::FormatText("Access to %s was denied.", path.c_str());
    case kDiskFull: return protocol::FormatText("Disk full while accessing %s.", path.c_str());
    default:
      return protocol::FormatText("An unknown error occurred while accessing %s.", path.c_str());
  }
}

constexpr int kBackupProgressBase = 10;
constexpr int kBackupProgressSpan = 10;
constexpr int kRestoreProgressBase = 82;
constexpr int kRestoreProgressSpan = 13;

int ProgressAt(int base, int span, size_t record) {
  return base + static_cast<int>(record * static_cast<size_t>(span) / kNvTableRecords);
}

// Step 1 of both operations: the download check with the image's version record, once more
// after 100 ms when it fails; its result is not looked at further.
void SendDownloadCheck(line::LineContext& context, NvEnvironment& environment) {
  protocol::VersionRecord record{};
  if (environment.locate_version_record) environment.locate_version_record(context, record);
  int result = -1;
  if (protocol::DownloadCheck(context.Diag(), record, result)) return;
  context.Sleep(100);
  protocol::DownloadCheck(context.Diag(), record, result);
}

// Up to `attempts` runs of `operation`, pausing `pause_ms` after each failed one.
bool Attempts(line::LineContext& context, int attempts, uint32_t pause_ms,
              const std::function<bool()>& operation) {
  for (int i = 0; i < attempts; ++i) {
    if (operation()) return true;
    context.Sleep(pause_ms);
  }
  return false;
}

// Reads every listed item into the table. False when the stick gave no valid answer to
// `silent_limit` items in a row, which stops the reads there.
bool ReadItems(line::LineContext& context, NvTable& table, unsigned silent_limit) {
  unsigned silent_run = 0;
  for (size_t i = 0; i < table.size() && table[i].id < kNvEndId; ++i) {
    context.Progress(ProgressAt(kBackupProgressBase, kBackupProgressSpan, i));
    NvRecord& record = table[i];
    Attempts(context, 3, 100, [&] {
      return protocol::ReadNvItem(context.Diag(), record.id, record.value, record.status);
    });
    silent_run = record.status == protocol::kNvStatusNoReply ? silent_run + 1 : 0;
    if (silent_limit != 0 && silent_run >= silent_limit) {
      context.Status(protocol::FormatText(
          "Line%d: no valid answer to %u NV items in a row, the NV backup was stopped",
          context.line + 1, silent_run));
      return false;
    }
  }
  return true;
}

bool AnyItemAnswered(const NvTable& table) {
  for (size_t i = 0; i < table.size() && table[i].id < kNvEndId; ++i)
    if (table[i].status != protocol::kNvStatusNoReply) return true;
  return false;
}

// Whether the record holds what the stick keeps of the item: its value, or the stick's word
// that it keeps none (not active, no such item, not valid for this stick). Any other status,
// and no valid answer at all, leaves the value unknown.
bool ItemAccountedFor(const NvRecord& record) {
  switch (record.status) {
    case 0: case 5: case 6: case 8: return true;
    default: return false;
  }
}

// The first item whose value the backup does not know; nullptr when it knows every one.
const NvRecord* FirstUnknownItem(const NvTable& table) {
  for (size_t i = 0; i < table.size() && table[i].id < kNvEndId; ++i)
    if (!ItemAccountedFor(table[i])) return &table[i];
  return nullptr;
}

// The framework's file-error box and the line's status "线路 %d 失败,保存数据到 %s (%d)".
bool ReportBackupFileError(line::LineContext& context, FileCause cause, const std::string& path) {
  context.prompts.ShowMessage(FileErrorText(cause, path));
  context.Status(protocol::FormatText(kBackupFileFailed, context.line + 1, path.c_str(),
                                      static_cast<int>(cause)));
  return false;
}

// Writes the file under a temporary name beside `path`, pushes it to the disk, closes it and
// only then puts it in the place of the old file. On any failure the temporary file is
// deleted and the old file is left as it was.
bool WriteBackupFile(line::LineContext& context, platform::FileSystem& files,
                     const std::string& path, const std::vector<uint8_t>& bytes) {
  const std::string temporary = path + ".tmp";
  std::unique_ptr<platform::FileHandle> file = files.CreateForWriting(temporary);
  if (!file) return ReportBackupFileError(context, kAccessDenied, path);
  FileCause cause = kGenericError;
  bool written = file->Write(bytes.data(), bytes.size());
  if (!written) cause = kDiskFull;
  written = written && file->Flush();
  file.reset();  // a file still open cannot be moved on Windows
  written = written && files.ReplaceFile(temporary, path);
  if (written) return true;
  files.DeleteFile(temporary);
  return ReportBackupFileError(context, cause, path);
}

// Step 2 and 3 of the restore: the whole file, refused unless it is a backup file.
bool ReadBackupFile(line::LineContext& context, platform::FileSystem& files,
                    const std::string& path, NvTable& table) {
  std::unique_ptr<platform::FileHandle> file = files.OpenForReading(path);
  if (!file) {
    context.prompts.ShowMessage(FileErrorText(kFileNotFound, path));
    return false;
  }
  auto destroyed = [&context] {
    context.Status(kNvFileDestroyed);
    context.prompts.ShowMessage(kNvFileDestroyed);
    return false;
  };
  uint64_t length = 0;
  if (!file->Length(length) || length != kNvFileBytes) return destroyed();
  std::vector<uint8_t> bytes(kNvFileBytes);
  size_t got = 0;
  while (got < bytes.size()) {
    const size_t n = file->Read(bytes.data() + got, bytes.size() - got);
    if (n == 0) break;
    got += n;
  }
  if (got != bytes.size() || DecodeNvFile(bytes.data(), got, table) != NvFileCheck::Ok)
    return destroyed();
  return true;
}

// One item of the restore: written at once, again at once, then twice more 100 ms apart;
// "not active" (5) and "read-only" (7) on the first write skip the item.
bool WriteItem(line::LineContext& context, const NvRecord& record) {
  uint16_t status = 0;
  auto write = [&] { return protocol::WriteNvItem(context.Diag(), record.id, record.value, status); };
  if (write()) return true;
  if (status == 5 || status == 7) return true;
  if (write()) return true;
  context.Sleep(100);
  if (write()) return true;
  context.Sleep(100);
  return write();
}

bool SkippedInMode(line::NvMode mode, uint16_t id) {
  return mode == line::NvMode::RestoreRf && (id == 550 || id == 4051);
}

}  // namespace

std::string NvBackupFilePath(const std::string& directory, int line_number) {
  return protocol::FormatText("%s\\Channel%d.nvm", directory.c_str(), line_number);
}

bool BackupNvItems(line::LineContext& context, NvEnvironment& environment, const std::string& path,
                   BackupNeed need) {
  SendDownloadCheck(context, environment);
  NvTable table = BuildNvTable();
  if (!ReadItems(context, table, environment.silent_items_limit)) return false;
  // A file of nothing but failed reads would "restore" nothing after the images are written
  // and lose the stick's calibration and IMEI; it must not replace a real backup.
  if (!AnyItemAnswered(table)) {
    context.Status(protocol::FormatText(
        "Line%d: the stick answered no NV read, the NV backup was not written", context.line + 1));
    return false;
  }
  if (need == BackupNeed::AnswerFromEvery) {
    if (const NvRecord* unknown = FirstUnknownItem(table)) {
      context.Status(protocol::FormatText(
          "Line%d: NV item %u could not be read (status %u), the NV backup was not written",
          context.line + 1, unsigned{unknown->id}, unsigned{unknown->status}));
      return false;
    }
  }
  return WriteBackupFile(context, environment.files, path, EncodeNvFile(table));
}

bool RestoreNvItems(line::LineContext& context, NvEnvironment& environment, const std::string& path) {
  SendDownloadCheck(context, environment);
  NvTable table{};
  if (!ReadBackupFile(context, environment.files, path, table)) return false;

  Attempts(context, 3, 200, [&] { return protocol::PutOffline(context.Diag()); });
  context.Sleep(1000);

  const line::NvMode mode = context.doc.nv_mode;
  for (size_t i = 0; i < table.size() && table[i].id < kNvEndId; ++i) {
    context.Progress(ProgressAt(kRestoreProgressBase, kRestoreProgressSpan, i));
    const NvRecord& record = table[i];
    if (SkippedInMode(mode, record.id) || record.status != 0) continue;
    if (!WriteItem(context, record)) return false;
  }

  Attempts(context, 3, 200, [&] { return protocol::ModeChange4(context.Diag()); });
  context.Sleep(1000);
  return true;
}

bool RequireNvDirectory(platform::FileSystem& files, platform::Prompts& prompts,
                        const std::string& directory) {
  // The path-exists rules : a trailing "\" goes, a bare drive root exists.
  std::string path = directory;
  if (!path.empty() && path.back() == '\\') {
    if (path.size() == 3 && path[1] == ':') return true;
    path.pop_back();
  }
  if (!path.empty() && files.Exists(path)) return true;
  prompts.ShowMessage(protocol::FormatText(kNvDirectoryMissing, directory.c_str()));
  return false;
}

std::string ChooseNvDirectory(line::CFlotillaDoc& doc, platform::FileDialogs& dialogs) {
  const std::optional<std::string> folder = dialogs.BrowseForFolder(kChooseNvDirectoryTitle);
  // A folder too long for the path fields is refused, as a cancel.
  if (folder && folder->size() < line::kPathWidth &&
      NvBackupFilePath(*folder, line::kLineCount).size() < line::kLongPathWidth) {
    for (int i = 0; i < line::kLineCount; ++i) {
      line::ImageSetPaths& paths = doc.Line(i).paths;
      paths.nv_directory = *folder;
      paths.nv_backup_file = NvBackupFilePath(*folder, i + 1);
    }
  }
  return doc.Line(0).paths.nv_directory;
}

std::optional<std::string> ChooseDefaultNvFile(line::CFlotillaDoc& doc, platform::FileDialogs& dialogs) {
  std::optional<std::string> file = dialogs.ChooseFileToOpen(kNvFileFilter);
  if (!file || file->size() >= line::kLongPathWidth) return std::nullopt;
  for (int i = 0; i < line::kLineCount; ++i) doc.Line(i).paths.default_nv_file = *file;
  return file;
}

}  // namespace flotilla::nvdata
