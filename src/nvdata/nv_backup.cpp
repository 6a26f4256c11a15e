// NV item backup and restore over the line's diagnostics channel, with the backup file
// written so that the last good backup never goes before a new one is safely on the disk.
#include "nvdata/nv_backup.h"

#include <memory>
#include <optional>
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
// `silent_limit` items in a row, or to `total_limit` items in all, which stops the reads there.
bool ReadItems(line::LineContext& context, NvTable& table, unsigned silent_limit,
               unsigned total_limit) {
  unsigned silent_run = 0;
  unsigned silent_total = 0;
  for (size_t i = 0; i < table.size() && table[i].id < kNvEndId; ++i) {
    context.Progress(ProgressAt(kBackupProgressBase, kBackupProgressSpan, i));
    NvRecord& record = table[i];
    Attempts(context, 3, 100, [&] {
      return protocol::ReadNvItem(context.Diag(), record.id, record.value, record.status);
    });
    const bool silent = record.status == protocol::kNvStatusNoReply;
    silent_run = silent ? silent_run + 1 : 0;
    silent_total += silent ? 1 : 0;
    if (silent_limit != 0 && silent_run >= silent_limit) {
      context.Status(protocol::FormatText(
          "Line%d: no valid answer to %u NV items in a row, the NV backup was stopped",
          context.line + 1, silent_run));
      return false;
    }
    if (total_limit != 0 && silent_total >= total_limit) {
      context.Status(protocol::FormatText(
          "Line%d: no valid answer to %u NV items, the NV backup was stopped", context.line + 1,
          silent_total));
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

// Writes `bytes` under a temporary name beside `path`, pushes them to the disk, closes the file
// and only then puts it in the place of `path`. On any failure the temporary file is deleted,
// whatever was at `path` is left as it was, and the cause is given.
bool WriteFileSafely(platform::FileSystem& files, const std::string& path,
                     const std::vector<uint8_t>& bytes, FileCause& cause) {
  const std::string temporary = path + ".tmp";
  std::unique_ptr<platform::FileHandle> file = files.CreateForWriting(temporary);
  if (!file) {
    cause = kAccessDenied;
    return false;
  }
  cause = kGenericError;
  bool written = file->Write(bytes.data(), bytes.size());
  if (!written) cause = kDiskFull;
  written = written && file->Flush();
  file.reset();  // a file still open cannot be moved on Windows
  written = written && files.ReplaceFile(temporary, path);
  if (!written) files.DeleteFile(temporary);
  return written;
}

// The new backup replaces the file at `path`. What the file held (`previous`, when there was a
// file) is first written as the earlier generation beside it, so no backup is ever destroyed
// outright, and `path` itself is never missing.
bool WriteBackupFile(line::LineContext& context, platform::FileSystem& files,
                     const std::string& path, const std::vector<uint8_t>& bytes,
                     const std::optional<std::vector<uint8_t>>& previous) {
  FileCause cause = kGenericError;
  if (previous) {
    const std::string earlier = PreviousGenerationPath(path);
    if (!WriteFileSafely(files, earlier, *previous, cause))
      return ReportBackupFileError(context, cause, earlier);
  }
  if (WriteFileSafely(files, path, bytes, cause)) return true;
  return ReportBackupFileError(context, cause, path);
}

// The whole file at `path`, when there is one that can be read.
std::optional<std::vector<uint8_t>> ReadWholeFile(platform::FileSystem& files,
                                                  const std::string& path) {
  std::unique_ptr<platform::FileHandle> file = files.OpenForReading(path);
  uint64_t length = 0;
  // Far larger than any backup: not one, and not to be held in memory.
  if (!file || !file->Length(length) || length > 16 * kNvFileBytes) return std::nullopt;
  std::vector<uint8_t> bytes(static_cast<size_t>(length));
  size_t got = 0;
  while (got < bytes.size()) {
    const size_t n = file->Read(bytes.data() + got, bytes.size() - got);
    if (n == 0) return std::nullopt;
    got += n;
  }
  return bytes;
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

// Whether the stick holds the record's value: read back after a write it refused.
bool StickHolds(line::LineContext& context, const NvRecord& record) {
  protocol::NvData value{};
  uint16_t status = 0;
  return protocol::ReadNvItem(context.Diag(), record.id, value, status) && value == record.value;
}

// One item of the restore: written at once, again at once, then twice more 100 ms apart. An
// answer "not active" (5) or "read-only" (7) skips the item only when a read shows that the
// stick holds the backed-up value already; the default NV file comes from another stick, so
// there a read-only item is skipped as it is. `silent_writes` counts the writes that got no
// valid answer; the restore gives up once it reaches `silent_limit`.
bool WriteItem(line::LineContext& context, const NvRecord& record, line::NvMode mode,
               unsigned& silent_writes, unsigned silent_limit) {
  auto settled = [&] {
    uint16_t status = 0;
    if (protocol::WriteNvItem(context.Diag(), record.id, record.value, status)) return true;
    if (status == protocol::kNvStatusNoReply) ++silent_writes;
    if (status == 7 && mode == line::NvMode::LoadDefault) return true;
    return (status == 5 || status == 7) && StickHolds(context, record);
  };
  // The pause before each of the four writes.
  static constexpr uint32_t kPausesMs[] = {0, 0, 100, 100};
  for (uint32_t pause_ms : kPausesMs) {
    if (pause_ms) context.Sleep(pause_ms);
    if (settled()) return true;
    if (silent_limit != 0 && silent_writes >= silent_limit) return false;
  }
  return false;
}

bool SkippedInMode(line::NvMode mode, uint16_t id) {
  return mode == line::NvMode::RestoreRf && (id == 550 || id == 4051);
}

}  // namespace

std::string NvBackupFilePath(const std::string& directory, int line_number) {
  return protocol::FormatText("%s\\Channel%d.nvm", directory.c_str(), line_number);
}

std::string PreviousGenerationPath(const std::string& path) {
  const size_t dot = path.rfind('.');
  const size_t separator = path.find_last_of("\\/");
  if (dot == std::string::npos || (separator != std::string::npos && dot < separator))
    return path + ".previous";
  return path.substr(0, dot) + ".previous" + path.substr(dot);
}

BackupComparison CompareBackups(const NvTable& existing, const NvTable& fresh) {
  BackupComparison comparison;
  for (size_t i = 0; i < fresh.size() && fresh[i].id < kNvEndId; ++i) {
    if (fresh[i].status == 0) ++comparison.fresh_read;
    if (existing[i].status == 0 && fresh[i].status != 0) {
      if (comparison.lost++ == 0) comparison.first_lost_id = fresh[i].id;
    }
  }
  // Item 0, the first of the table, holds the stick's own number.
  if (existing[0].status == 0 && fresh[0].status == 0) {
    comparison.same_stick = existing[0].value == fresh[0].value;
    comparison.other_stick = !comparison.same_stick;
  }
  return comparison;
}

bool KeepsExistingBackup(const BackupComparison& comparison) {
  if (comparison.lost == 0) return false;
  return !(comparison.other_stick && comparison.fresh_read * 2 >= kNvListedItems);
}

bool BackupNvItems(line::LineContext& context, NvEnvironment& environment, const std::string& path,
                   BackupNeed need) {
  SendDownloadCheck(context, environment);
  NvTable table = BuildNvTable();
  if (!ReadItems(context, table, environment.silent_items_limit,
                 environment.silent_items_total_limit))
    return false;
  // A file of nothing but failed reads would "restore" nothing after the images are written
  // and lose the stick's calibration and IMEI; it must not replace a real backup.
  if (!AnyItemAnswered(table)) {
    context.Status(protocol::FormatText(
        "Line%d: the stick answered no NV read, the NV backup was not written", context.line + 1));
    return false;
  }

  // The file may hold what this stick no longer gives: after an update whose restore failed,
  // the new file system has wiped the items, and the file is all that is left of them.
  const std::optional<std::vector<uint8_t>> old_bytes = ReadWholeFile(environment.files, path);
  NvTable existing{};
  if (old_bytes && DecodeNvFile(old_bytes->data(), old_bytes->size(), existing) == NvFileCheck::Ok) {
    const BackupComparison comparison = CompareBackups(existing, table);
    if (KeepsExistingBackup(comparison)) {
      const int line = context.line + 1;
      const unsigned lost = static_cast<unsigned>(comparison.lost);
      const unsigned first = comparison.first_lost_id;
      if (need == BackupNeed::AnswerFromEvery && comparison.same_stick) {
        context.Status(protocol::FormatText(
            "Line%d: the stick no longer gives %u NV items that its backup %s holds (the first is "
            "item %u); the backup is kept, and the update brings the items back from it",
            line, lost, path.c_str(), first));
        return true;
      }
      const std::string text =
          comparison.same_stick
              ? protocol::FormatText(
                    "Line%d: the stick no longer gives %u NV items that its backup %s holds (the "
                    "first is item %u); that backup is kept as it was and no new one was written",
                    line, lost, path.c_str(), first)
              : protocol::FormatText(
                    "Line%d: the stick does not give %u NV items that the backup %s holds (the "
                    "first is item %u), and that backup cannot be told to be another stick's; it "
                    "is kept as it was, no new one was written and nothing was written to the stick",
                    line, lost, path.c_str(), first);
      context.Status(text);
      context.Diag().SetErrorText(text);
      return false;
    }
  }

  if (need == BackupNeed::AnswerFromEvery) {
    if (const NvRecord* unknown = FirstUnknownItem(table)) {
      context.Status(protocol::FormatText(
          "Line%d: NV item %u could not be read (status %u), the NV backup was not written",
          context.line + 1, unsigned{unknown->id}, unsigned{unknown->status}));
      return false;
    }
  }
  return WriteBackupFile(context, environment.files, path, EncodeNvFile(table), old_bytes);
}

bool RestoreNvItems(line::LineContext& context, NvEnvironment& environment, const std::string& path) {
  SendDownloadCheck(context, environment);
  NvTable table{};
  if (!ReadBackupFile(context, environment.files, path, table)) return false;

  Attempts(context, 3, 200, [&] { return protocol::PutOffline(context.Diag()); });
  context.Sleep(1000);

  const line::NvMode mode = context.doc.nv_mode;
  unsigned silent_writes = 0;
  for (size_t i = 0; i < table.size() && table[i].id < kNvEndId; ++i) {
    context.Progress(ProgressAt(kRestoreProgressBase, kRestoreProgressSpan, i));
    const NvRecord& record = table[i];
    if (SkippedInMode(mode, record.id) || record.status != 0) continue;
    if (!WriteItem(context, record, mode, silent_writes, environment.silent_writes_limit)) {
      context.Status(protocol::FormatText("Line%d: NV item %u could not be written back: %s",
                                          context.line + 1, unsigned{record.id},
                                          context.Diag().ErrorText().c_str()));
      return false;
    }
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
