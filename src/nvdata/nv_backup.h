// NV item backup and restore: the line's items read into a backup file before the
// images are written and written back from it afterwards, and the NV directory and default
// NV file commands.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/files.h"
#include "platform/host_services.h"
#include "platform/prompts.h"
#include "protocol/diag.h"
#include "line/flotilla_doc.h"
#include "line/line_context.h"
#include "nvdata/nv_table.h"

namespace flotilla::nvdata {

// LocateVersionRecord for the context's line: fills the 128-byte record and is
// true when the application image holds one. The record stays zero otherwise.
using VersionRecordLocator = std::function<bool(line::LineContext&, protocol::VersionRecord&)>;

// What the backup and the restore use besides the line.
struct NvEnvironment {
  platform::FileSystem& files;
  // Empty: there is no image to take a record from, and the download check sends 128 zeros.
  VersionRecordLocator locate_version_record;
  // A backup gives up after this many items in a row without a valid answer (status
  // 0xFFFF after all their reads): a stick that has stopped answering is not waited for
  // through the rest of the table. 0: never.
  unsigned silent_items_limit = 10;
  // A backup also gives up after this many silent items in all, so a stick that answers only
  // now and then ends it within minutes rather than hours. 0: never.
  unsigned silent_items_total_limit = 25;
  // A restore gives up after this many writes without a valid answer in all. 0: never.
  unsigned silent_writes_limit = 10;
};

// The texts .
constexpr char kNvFileDestroyed[] = "NVM file for backup NV doesn't exist or destroyed";
constexpr char kBackupFileFailed[] = "线路 %d 失败,保存数据到 %s (%d)";
constexpr char kNvDirectoryMissing[] = "Cannot create directory:%s";
constexpr char kChooseNvDirectoryTitle[] = "Please choose the NV directory";
constexpr char kNvFileFilter[] = "NVM Files(*.NVM) | *.NVM;||";

// "%s\Channel%d.nvm" for the directory and line n (1 to 8).
std::string NvBackupFilePath(const std::string& directory, int line_number);

// Where the backup at `path` goes when a new one replaces it: "Channel1.nvm" keeps its
// earlier generation as "Channel1.previous.nvm" beside it.
std::string PreviousGenerationPath(const std::string& path);

// What a new backup would lose against the backup already in the file.
struct BackupComparison {
  // Items the existing backup holds (status 0) that the new one lacks (any other status).
  size_t lost = 0;
  uint16_t first_lost_id = 0;
  // Item 0 read in both: equal (the same stick) or not (another stick). Neither when either
  // backup lacks it.
  bool same_stick = false;
  bool other_stick = false;
  // Items the new backup holds with status 0.
  size_t fresh_read = 0;
};
BackupComparison CompareBackups(const NvTable& existing, const NvTable& fresh);

// Whether the existing backup must stay the file: it holds items the new one lacks, and the
// new one is not proven to be of another stick that answered at least half of the items.
bool KeepsExistingBackup(const BackupComparison& comparison);

// Which items a backup must have read before it may replace the last one.
enum class BackupNeed {
  // The NV backup run: an item that could not be read is kept with its status (0xFFFF for
  // no valid answer) and skipped by a restore.
  AnswerFromSome,
  // Before the images are written: the value of every item must be known, or the stick's word
  // that it keeps none (status 5, 6 or 8). An item that could not be read would be lost with
  // the old file system, so it fails the backup before anything is written to the stick.
  AnswerFromEvery,
};

// Reads the table's items from the line's stick and writes them to `path`. The new file is
// written beside the old one under a temporary name, flushed, and only then put in its place,
// so the last good backup survives any failure; the file it replaces becomes the earlier
// generation (PreviousGenerationPath). A backup never replaces a better one: when the file
// holds items that the new backup lacks (KeepsExistingBackup), the file stays as it is and
// nothing is written. With AnswerFromEvery (the update) that is a success when the file is
// proven to be this stick's: its items are what the restore will bring back. False on a file
// error, when the stick gave no valid answer to any read (or too many, see NvEnvironment),
// when a better backup was kept (but for the case above), and with AnswerFromEvery when one
// item could not be read: then no file is written at all.
bool BackupNvItems(line::LineContext& context, NvEnvironment& environment, const std::string& path,
                   BackupNeed need = BackupNeed::AnswerFromSome);

// Checks the backup file at `path` whole and writes its items to the line's stick: only the
// items read successfully, without 550 and 4051 in NvMode 1. A write that the stick answers
// "not active" or "read-only" is read back, and the item is skipped only when the stick holds
// the backed-up value (from the default NV file, another stick's, a read-only item is skipped
// as it is). False on a bad file (before anything is written), an item that four writes could
// not write, or too many writes without an answer.
bool RestoreNvItems(line::LineContext& context, NvEnvironment& environment, const std::string& path);

// True when the directory exists; otherwise shows "Cannot create directory:%s". Creates
// nothing.
bool RequireNvDirectory(platform::FileSystem& files, platform::Prompts& prompts,
                        const std::string& directory);

// The "nv bakup path" command: a folder chosen in the browser becomes every line's NV
// directory, with the backup file paths rebuilt from it. Returns line 1's NV directory, which
// the form's field shows in every case.
std::string ChooseNvDirectory(line::CFlotillaDoc& doc, platform::FileDialogs& dialogs);

// The "default NV file" command: a file chosen in the open dialog becomes every line's
// default NV file. Returns the chosen path for the form's field, nothing when cancelled.
std::optional<std::string> ChooseDefaultNvFile(line::CFlotillaDoc& doc, platform::FileDialogs& dialogs);

}  // namespace flotilla::nvdata
