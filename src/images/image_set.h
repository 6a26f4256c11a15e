// A line's image set: its paths, the check before an update, the software version directory
// the user picks, and the version record inside the application image.
#pragma once

#include <optional>
#include <string>

#include "line/flotilla_doc.h"
#include "line/line_context.h"
#include "platform/files.h"
#include "platform/host_services.h"
#include "platform/prompts.h"
#include "protocol/diag.h"

namespace flotilla::images {

// Line `line`'s image set from `directory`: the directory itself and the path of every file
// of the set, the flash programmer included. False, and the line unchanged, when a path would
// not fit its field.
bool FillImageSetPaths(line::CFlotillaDoc& doc, int line, const std::string& directory);

// Whether line `line`'s image set can be flashed: every file the update reads (the partition
// table, the boot loaders, the application and file-system images, the flash programmers)
// exists and holds at least 2 bytes, so that an update never stops halfway for a missing one.
// A missing or short partition table is shown; the other files fail silently, the caller's
// box tells the user. With `require_device`, a line whose stick has not answered fails too,
// silently.
bool CheckImageSet(line::CFlotillaDoc& doc, platform::FileSystem& files, platform::Prompts& prompts,
                   int line, bool require_device);
// The first file of the line's image set that is missing or shorter than 2 bytes, by its
// path (by its name when the line has no path for it); empty when every one is usable.
std::string FirstUnusableImageFile(line::CFlotillaDoc& doc, platform::FileSystem& files, int line);
// The box an update shows when the check fails.
std::string ImageSetFailureText(bool german);
// The check before an update starts on `line`: the stick must have answered, and a failure
// shows the box above as well.
bool CheckImageSetForUpdate(line::CFlotillaDoc& doc, platform::FileSystem& files,
                            platform::Prompts& prompts, int line);

// The "Software Version" command: the user picks the directory of an image set, which then
// serves all eight lines. The result is the text for the form's version-directory field, or
// nothing when the field keeps its text.
std::optional<std::string> ChooseVersionDirectory(line::CFlotillaDoc& doc, platform::FileSystem& files,
                                                  platform::FileDialogs& dialogs,
                                                  platform::Prompts& prompts);

// Finds the version record in the line's application image (see FindVersionRecord). When the
// image cannot be opened, the line's status says so.
bool LocateVersionRecord(line::LineContext& context, platform::FileSystem& files,
                         protocol::VersionRecord& record);

}  // namespace flotilla::images
