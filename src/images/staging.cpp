// Staging the embedded files and deleting them again.
#include "images/staging.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace flotilla::images {
namespace {

enum class WriteOutcome { kWritten, kNotCreated, kIncomplete };

// A resource is written in one piece, as the original does; its outcome is checked to the end.
WriteOutcome WriteWhole(platform::FileSystem& files, const std::string& path,
                        const std::vector<uint8_t>& bytes) {
  auto file = files.CreateForWriting(path);
  if (!file) return WriteOutcome::kNotCreated;
  bool ok = bytes.empty() || file->Write(bytes.data(), bytes.size());
  // A full disk often shows only when the data go out; a file not on the disk is not staged.
  ok = file->Flush() && ok;
  uint64_t length = 0;
  ok = ok && file->Length(length) && length == bytes.size();
  return ok ? WriteOutcome::kWritten : WriteOutcome::kIncomplete;
}

}  // namespace

const char* EmbeddedFileName(int resource_id) {
  for (const EmbeddedFile& file : kEmbeddedFiles)
    if (file.resource_id == resource_id) return file.file_name;
  return nullptr;
}

std::string StagingFailureMessage(const std::string& file_name) { return "read " + file_name + " fail!"; }

std::string FirstUnstagedImageFile(const StagingContext& context) {
  for (const std::string& name : context.failed) {
    if (name == "nandprghd.mbn" || name == "nandprgcombined.mbn") return name;
    for (const char* image : kStagedImageNames)
      if (name == image) return name;
  }
  return std::string();
}

namespace {

// Loads one resource and writes it whole; false, after the row's message, when it is not
// staged.
bool StageNamedFile(StagingContext& context, int resource_id, const char* name) {
  const std::string path = platform::JoinPath(context.directory, name);
  std::vector<uint8_t> bytes;
  if (!context.resources.Load(kEmbeddedFileType, resource_id, bytes)) {
    // A program without this file: an older file of that name must not stand in for it.
    context.prompts.ShowMessage(StagingFailureMessage(name));
    if (PathExists(context.files, path)) context.files.DeleteFile(path);
    return false;
  }
  const WriteOutcome outcome = WriteWhole(context.files, path, bytes);
  if (outcome == WriteOutcome::kWritten) return true;
  context.prompts.ShowMessage(StagingFailureMessage(name));
  // The mend: a part of an image must never be flashed, so what was written goes again.
  if (outcome == WriteOutcome::kIncomplete) context.files.DeleteFile(path);
  return false;
}

// Keeps the context's list of failed files up to date with one file's result.
bool NoteStaged(StagingContext& context, const char* name, bool staged) {
  auto& failed = context.failed;
  failed.erase(std::remove(failed.begin(), failed.end(), name), failed.end());
  if (!staged) failed.push_back(name);
  return staged;
}

}  // namespace

bool StageEmbeddedFile(StagingContext& context, int resource_id) {
  const char* name = EmbeddedFileName(resource_id);
  if (!name) return false;
  return NoteStaged(context, name, StageNamedFile(context, resource_id, name));
}

bool CreateStagingDirectory(StagingContext& context) {
  for (const char* level : kStagingDirectoryChain) {
    if (!EnsureDirectory(context.files, level)) {
      context.prompts.ShowMessage(kDirectoryFailedMessage);
      return false;
    }
  }
  return true;
}

bool StageImageFiles(StagingContext& context, const std::function<void()>& after_stop_script) {
  if (!CreateStagingDirectory(context)) return false;
  for (int id : kStartupStagingOrder) StageEmbeddedFile(context, id);
  if (after_stop_script) after_stop_script();
  StageEmbeddedFile(context, kResetUsbId);
  return true;
}

bool StagedFileExists(platform::FileSystem& files, std::string& buffer, const std::string& name) {
  buffer = platform::JoinPath(buffer, name);
  return files.Exists(buffer);
}

void DeleteStagedImages(StagingContext& context) {
  for (const char* name : kStagedImageNames) {
    std::string buffer = context.directory;
    if (StagedFileExists(context.files, buffer, name)) context.files.DeleteFile(buffer);
  }
}

void CleanUpStaging(StagingContext& context, const std::function<void()>& release_replug_library,
                    const std::function<void()>& restart_connection_manager) {
  DeleteStagedImages(context);
  if (release_replug_library) release_replug_library();
  std::string buffer = context.directory;
  if (StagedFileExists(context.files, buffer, EmbeddedFileName(kResetUsbId))) context.files.DeleteFile(buffer);
  if (restart_connection_manager) restart_connection_manager();
}

}  // namespace flotilla::images
