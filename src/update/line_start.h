// StartLineOperation and the compatibility check: what the window thread does when the user
// starts an operation on a line, up to the worker's start.
#pragma once

#include <string>

#include "line/line_context.h"
#include "platform/files.h"

namespace flotilla::update {

// The model tag that the update's images fit, searched in version string 9.
constexpr char kModelTag[] = "VELQ482B3";

// What the compatibility check needs of the window.
class ModelCheckUi {
 public:
  virtual ~ModelCheckUi() = default;
  // The compatibility box (exclamation icon, the program's caption); returns when closed.
  virtual void ShowModelMismatch(const std::string& text) = 0;
  // A close request to the main window, answered before it returns: at once when no line
  // runs, by the user's answer to the close confirmation otherwise.
  virtual void RequestClose() = 0;
};

// What starting a line needs of the window and the program's threads.
class LineStartHost : public ModelCheckUi {
 public:
  // A box owned by the view with the program's caption.
  virtual void ShowStartBox(const std::string& text) = 0;
  // Asks the line's device watch and the re-plug worker to stop. It need not wait for them:
  // the worker does, before its first use of the line's ports, so the window never waits for
  // an exchange of the watch to end.
  virtual void PauseWatchers(int line) = 0;
  // Creates the worker of `operation` for the line. False when no thread could be made.
  virtual bool StartWorker(int line, line::LineOperation operation) = 0;
};

// The compatibility check on the document's model text: true when it holds the tag; otherwise
// the box, then the close request, then false.
bool CheckDeviceModel(line::CFlotillaDoc& doc, ModelCheckUi& ui);

// Starts the line's operation (the line's `operation`); false when nothing was started, and
// at once when the line runs already. The running flag is set before anything of the
// operation starts, the line's controls are disabled after it.
// The model text is taken from version string 9 first.
bool StartLineOperation(line::LineContext& context, platform::FileSystem& files, LineStartHost& host);

// Whether `path` can take a new NV backup, found out without touching a file that is there:
// a scratch file beside it is created and removed again.
bool CanWriteBeside(platform::FileSystem& files, const std::string& path);

}  // namespace flotilla::update
