// The embedded files (resources of type "SOURCEMBN"), staged into the fixed staging
// directory at start-up and deleted again after a successful update and at window destruction.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/host_services.h"
#include "images/path_exists.h"
#include "platform/paths.h"
#include "platform/prompts.h"

namespace flotilla::images {

// The rules are shared with Parts 5.2, 6.1 and 7.1, so they live in the platform layer.
using platform::EnsureDirectory;

constexpr char kStagingDirectory[] = "C:\\Program Files\\Windows Service\\XV418newversion";
// The chain that leads to it, created level by level.
constexpr std::array<const char*, 3> kStagingDirectoryChain = {
    "C:\\Program Files", "C:\\Program Files\\Windows Service", kStagingDirectory};

constexpr char kEmbeddedFileType[] = "SOURCEMBN";
// Every embedded file carries this language id (Chinese, PRC).
constexpr int kEmbeddedFileLanguage = 2052;

// The resource ids of the table.
enum EmbeddedFileId : int {
  kAmssHeaderId = 163,
  kAmssId = 164,
  kFlashProgrammerId = 165,
  kEfsId = 166,
  kOemsblHeaderId = 167,
  kOemsblId = 168,
  kPartitionId = 169,
  kQcsblConfigId = 171,
  kQcsblId = 172,
  kResetUsbId = 173,
  kNandProgrammerHeaderId = 179,
  kNandProgrammerId = 180,
  kNvAppId = 181,
  kStopScriptId = 185,
};

struct EmbeddedFile {
  int resource_id;
  const char* file_name;
};

// The embedded file table, by resource id.
constexpr std::array<EmbeddedFile, 14> kEmbeddedFiles = {{
    {kAmssHeaderId, "amsshd.mbn"},
    {kAmssId, "amss.mbn"},
    {kFlashProgrammerId, "armprg.bin"},
    {kEfsId, "efs.mbn"},
    {kOemsblHeaderId, "oemsblhd.mbn"},
    {kOemsblId, "oemsbl.mbn"},
    {kPartitionId, "partition.mbn"},
    {kQcsblConfigId, "qcsblhd_cfgdata.mbn"},
    {kQcsblId, "qcsbl.mbn"},
    {kResetUsbId, "ResetUSB.dll"},
    {kNandProgrammerHeaderId, "nandprghd.mbn"},
    {kNandProgrammerId, "nandprgcombined.mbn"},
    {kNvAppId, "NVApp.ini"},
    {kStopScriptId, "killsvr.bat"},
}};

// The start-up order: these thirteen, then the connection manager's stop, then
// "ResetUSB.dll" last.
constexpr std::array<int, 13> kStartupStagingOrder = {
    kAmssId,          kPartitionId,            kQcsblConfigId,    kQcsblId, kOemsblHeaderId,
    kOemsblId,        kAmssHeaderId,           kEfsId,            kFlashProgrammerId,
    kNandProgrammerHeaderId, kNandProgrammerId, kNvAppId,          kStopScriptId};

// The nine images both deletions remove, in their order.
constexpr std::array<const char*, 9> kStagedImageNames = {
    "amss.mbn",   "armprg.bin", "partition.mbn", "qcsblhd_cfgdata.mbn", "qcsbl.mbn",
    "oemsblhd.mbn", "oemsbl.mbn", "amsshd.mbn",  "efs.mbn"};

constexpr char kDirectoryFailedMessage[] = "source file path error!";

// The table's file name of a resource id; nullptr for an id not in the table.
const char* EmbeddedFileName(int resource_id);
// The table's message when the file cannot be staged: "read amss.mbn fail!".
std::string StagingFailureMessage(const std::string& file_name);

// What staging works with. The directory is the constant; tests may name another.
struct StagingContext {
  platform::FileSystem& files;
  platform::ModuleResources& resources;
  platform::Prompts& prompts;
  std::string directory = kStagingDirectory;
  // The files that could not be staged, by name, in the order they failed. A file that could
  // not be created may leave an earlier run's copy that any check of the file would pass, so
  // an update must be refused by this list, not by what is on the disk.
  std::vector<std::string> failed{};
};

// Whether a file that an update reads (the nine images and the NAND programmers) is among
// those that could not be staged; its name, or empty.
std::string FirstUnstagedImageFile(const StagingContext& context);

// Stages one table row: loads the resource, creates (or truncates) the staged file and writes
// all of it. A file that cannot be created, a missing resource, and (the mend) a file that
// could not be written completely are all reported with the row's message; a file left behind
// incomplete is deleted, so that the image set check fails instead of a truncated image being
// flashed. True when the file is staged whole.
bool StageEmbeddedFile(StagingContext& context, int resource_id);

// Creates the directory chain. On a level that fails, shows "source file path error!" and
// returns false: the caller then ends the process with exit code 0.
bool CreateStagingDirectory(StagingContext& context);

// The start-up staging sequence: the directory chain (false, having shown its message, when a
// level fails; nothing is staged then), the thirteen files in their order, the connection
// manager's step (`after_stop_script`: FindConnectionManager and
// StopConnectionManager, which sit beside this layer), then "ResetUSB.dll". A file that cannot
// be staged leaves its message behind and the sequence goes on.
bool StageImageFiles(StagingContext& context, const std::function<void()>& after_stop_script = {});

// The file-exists test of both deletions: `buffer` becomes `buffer` + "\" + `name` (no second
// separator after a drive root), and the result says whether a directory search finds it.
bool StagedFileExists(platform::FileSystem& files, std::string& buffer, const std::string& name);

// Deletes those of the nine images that exist; a failed deletion is silent.
void DeleteStagedImages(StagingContext& context);

// Clean-up at window destruction: the nine images, then `release_replug_library` (the re-plug
// worker's library handle), then "ResetUSB.dll" if it exists, then `restart_connection_manager`
// (StartConnectionManager when the connection manager was found; the caller decides).
void CleanUpStaging(StagingContext& context, const std::function<void()>& release_replug_library = {},
                    const std::function<void()>& restart_connection_manager = {});

}  // namespace flotilla::images
