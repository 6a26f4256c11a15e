// The image set of a line: filling its paths, checking it before an update, choosing its
// directory, and locating the version record in its application image.
#include "images/image_set.h"

#include <cstdio>
#include <iterator>
#include <memory>

#include "images/path_exists.h"
#include "images/version_record.h"

namespace flotilla::images {
namespace {

using line::ImageSetPaths;

struct ImageFile {
  const char* name;
  std::string ImageSetPaths::*path;
  size_t width;
};

// The files of a set. The check opens all of them, the partition table first; the version
// directory command looks for the first eight; the set's directory names all of them.
constexpr ImageFile kImageFiles[] = {
    {"partition.mbn", &ImageSetPaths::partition_table, line::kPathWidth},
    {"qcsblhd_cfgdata.mbn", &ImageSetPaths::qcsbl_header, line::kPathWidth},
    {"qcsbl.mbn", &ImageSetPaths::qcsbl, line::kPathWidth},
    {"oemsblhd.mbn", &ImageSetPaths::oemsbl_header, line::kPathWidth},
    {"oemsbl.mbn", &ImageSetPaths::oemsbl, line::kPathWidth},
    {"amsshd.mbn", &ImageSetPaths::amss_header, line::kPathWidth},
    {"amss.mbn", &ImageSetPaths::amss, line::kPathWidth},
    {"efs.mbn", &ImageSetPaths::efs_image, line::kLongPathWidth},
    {"armprg.bin", &ImageSetPaths::flash_programmer, line::kLongPathWidth},
    {"nandprghd.mbn", &ImageSetPaths::nand_programmer_header, line::kLongPathWidth},
    {"nandprgcombined.mbn", &ImageSetPaths::nand_programmer, line::kLongPathWidth},
};
constexpr size_t kChosenFiles = 8;
constexpr size_t kEfsImage = 7;

// An image or header shorter than this cannot be flashed.
constexpr uint64_t kMinimumImageBytes = 2;

const char kGermanDownloadFailed[] = "Download fehlgeschlagen";
const char kVersionDirectoryTitle[] = "Please select R580K2 software version directory";

std::string FileIn(const std::string& directory, const char* name) { return directory + "\\" + name; }

std::string LineText(const char* format, int line) {
  char text[96];
  std::snprintf(text, sizeof text, format, line + 1);
  return text;
}

// Whether the directory and each of the first `count` files' paths in it fit their fields.
bool FitsFields(const std::string& directory, size_t count) {
  if (!line::FitsPathField(directory.size(), line::kPathWidth)) return false;
  for (size_t i = 0; i < count; ++i)
    if (!line::FitsPathField(FileIn(directory, kImageFiles[i].name).size(), kImageFiles[i].width))
      return false;
  return true;
}

enum class FileState { Missing, TooShort, Usable };

FileState ImageFileState(platform::FileSystem& files, const std::string& path) {
  std::unique_ptr<platform::FileHandle> file = files.OpenForReading(path);
  if (!file) return FileState::Missing;
  uint64_t length = 0;
  if (!file->Length(length) || length < kMinimumImageBytes) return FileState::TooShort;
  return FileState::Usable;
}

void SetInAllLines(line::CFlotillaDoc& doc, const ImageFile& file, const std::string& path) {
  for (int i = 0; i < line::kLineCount; ++i) line::SetPath(doc.Line(i).paths.*file.path, path, file.width);
}

}  // namespace

bool FillImageSetPaths(line::CFlotillaDoc& doc, int line, const std::string& directory) {
  if (!line::CFlotillaDoc::IsLine(line) || !FitsFields(directory, std::size(kImageFiles))) return false;
  ImageSetPaths& paths = doc.Line(line).paths;
  line::SetPath(paths.image_directory, directory, line::kPathWidth);
  for (const ImageFile& file : kImageFiles) line::SetPath(paths.*file.path, FileIn(directory, file.name), file.width);
  return true;
}

bool CheckImageSet(line::CFlotillaDoc& doc, platform::FileSystem& files, platform::Prompts& prompts,
                   int line, bool require_device) {
  const line::LineRecord& record = doc.Line(line);
  const std::string directory = record.paths.image_directory;
  if (directory.empty()) return false;
  if (require_device && record.device_state != line::DeviceState::Answered) return false;

  switch (ImageFileState(files, FileIn(directory, kImageFiles[0].name))) {
    case FileState::Missing:
      prompts.ShowMessage(doc.German() ? kGermanDownloadFailed
                                       : LineText("Line%d: can't open partition.mbn!", line));
      return false;
    case FileState::TooShort:
      prompts.ShowMessage(doc.German() ? kGermanDownloadFailed
                                       : LineText("Line%d: Open wrong partition.mbn! ", line));
      return false;
    case FileState::Usable:
      break;
  }
  return FirstUnusableImageFile(doc, files, line).empty();
}

std::string FirstUnusableImageFile(line::CFlotillaDoc& doc, platform::FileSystem& files, int line) {
  if (!line::CFlotillaDoc::IsLine(line)) return std::string();
  const line::ImageSetPaths& paths = doc.Line(line).paths;
  for (const ImageFile& file : kImageFiles) {
    const std::string& path = paths.*file.path;
    if (path.empty() || ImageFileState(files, path) != FileState::Usable) return path.empty() ? file.name : path;
  }
  return std::string();
}

std::string ImageSetFailureText(bool german) {
  return german ? kGermanDownloadFailed : "Download  fail, please check if   the config file is exist!";
}

bool CheckImageSetForUpdate(line::CFlotillaDoc& doc, platform::FileSystem& files,
                            platform::Prompts& prompts, int line) {
  if (CheckImageSet(doc, files, prompts, line, true)) return true;
  prompts.ShowMessage(ImageSetFailureText(doc.German()));
  return false;
}

std::optional<std::string> ChooseVersionDirectory(line::CFlotillaDoc& doc, platform::FileSystem& files,
                                                  platform::FileDialogs& dialogs,
                                                  platform::Prompts& prompts) {
  // A cancelled choice empties the field and leaves every line's image set as it was.
  std::string directory = dialogs.BrowseForFolder(kVersionDirectoryTitle).value_or(std::string());
  if (directory.empty()) return std::string();
  // "D:\Images\" is kept as "D:\Images", and a drive root "D:\" as "D:".
  if (directory.size() > 1 && directory.back() == '\\') directory.pop_back();
  if (!FitsFields(directory, kChosenFiles)) {
    prompts.ShowMessage(directory + " is too long，Please choose again!");
    return std::nullopt;
  }

  for (int i = 0; i < line::kLineCount; ++i)
    line::SetPath(doc.Line(i).paths.image_directory, directory, line::kPathWidth);
  // Each file found is taken at once; at the first one missing the user chooses again, and
  // the lines keep the paths taken so far.
  for (size_t i = 0; i < kChosenFiles; ++i) {
    const std::string path = FileIn(directory, kImageFiles[i].name);
    if (i == kEfsImage) SetInAllLines(doc, kImageFiles[i], path);
    if (!PathExists(files, path)) {
      prompts.ShowMessage(path + " is not exist，Please choose again!");
      return std::nullopt;
    }
    SetInAllLines(doc, kImageFiles[i], path);
  }
  if (!PathExists(files, directory)) prompts.ShowMessage(directory + " is not exist" + " is not exist!");
  return doc.Line(0).paths.image_directory;
}

bool LocateVersionRecord(line::LineContext& context, platform::FileSystem& files,
                         protocol::VersionRecord& record) {
  std::unique_ptr<platform::FileHandle> image = files.OpenForReading(context.Record().paths.amss);
  if (!image) {
    context.Status("open file fail");
    return false;
  }
  return FindVersionRecord(*image, record);
}

}  // namespace flotilla::images
