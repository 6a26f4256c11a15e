// The update worker: one firmware update of one stick, from the running firmware through the
// boot downloader, the flash programmer and the images to the restored NV items.
#pragma once

#include <string>

#include "line/line_context.h"
#include "protocol/diag.h"
#include "update/line_completion.h"

namespace flotilla::update {

// What an update needs beyond its line: the NV data, the image set, the staging and the
// connection manager, and the window's boxes and requests. The program wires the real ones;
// tests give doubles.
class UpdateHost {
 public:
  virtual ~UpdateHost() = default;
  virtual bool RequireNvDirectory(line::LineContext& context) = 0;
  // Backs the stick's items up into the line's NV file; false (the file as it was) when one
  // of them could not be read, since the images that follow would wipe it.
  virtual bool BackupNvItems(line::LineContext& context) = 0;
  virtual bool RestoreNvItems(line::LineContext& context, const std::string& file) = 0;
  // The version record of the line's application image; zeroed when it has none.
  virtual protocol::VersionRecord LocateVersionRecord(line::LineContext& context) = 0;
  virtual void DeleteStagedImages() = 0;
  // Starts the connection manager again when it was found at start-up; returns when its
  // script has run.
  virtual void RestartConnectionManager() = 0;
  // The compatibility check on the model text taken at the start, with its box and the close
  // request; false when the device does not fit (and the user chose to carry on).
  virtual bool CheckDeviceModel(line::LineContext& context) = 0;
  // Modal boxes of the main window; each returns when the user closed it.
  virtual void ShowErrorBox(const std::string& text) = 0;
  virtual void ShowSuccessBox(const std::string& text) = 0;
  // After the success box: the program ends with exit code 0.
  virtual void EndProgram() = 0;
};

// How the worker ended, for the caller and the tests.
enum class UpdateEnd {
  Succeeded,          // success box shown, the program ends
  Finished,           // through FinishLineAction with a failure
  StatusOnly,         // a failure told by a status line or a box alone
};

UpdateEnd UpdateThreadProc(line::LineContext& context, LineCompletion& completion, UpdateHost& host);

// The texts of the reinsert box, which a worker shows while it waits for the stick.
std::string ReinsertText(bool german);

}  // namespace flotilla::update
