// The update's host as the program has it: the NV data, the image set, the staged files and
// the connection manager, with the window's boxes and requests behind one small interface.
#pragma once

#include <string>

#include "images/staging.h"
#include "hostenv/connection_manager.h"
#include "nvdata/nv_backup.h"
#include "platform/files.h"
#include "update/line_start.h"
#include "update/update_worker.h"

namespace flotilla::update {

// The window's part: modal boxes owned by the main window and the program's end. The window
// shows them on its own thread; a worker waits for the answer.
class WorkerUi : public ModelCheckUi {
 public:
  // Caption "Error", error icon.
  virtual void ShowErrorBox(const std::string& text) = 0;
  // The program's caption, information icon.
  virtual void ShowSuccessBox(const std::string& text) = 0;
  virtual void EndProgram() = 0;
};

struct ProgramParts {
  platform::FileSystem& files;
  // What was staged at start-up; null when nothing was (the command-line tool).
  images::StagingContext* staging = nullptr;
  // The connection manager found at start-up; null when there is none to restart.
  hostenv::ConnectionManager* connection_manager = nullptr;
};

class ProgramUpdateHost : public UpdateHost {
 public:
  ProgramUpdateHost(ProgramParts parts, WorkerUi& ui);

  bool RequireNvDirectory(line::LineContext& context) override;
  bool BackupNvItems(line::LineContext& context) override;
  bool RestoreNvItems(line::LineContext& context, const std::string& file) override;
  protocol::VersionRecord LocateVersionRecord(line::LineContext& context) override;
  void DeleteStagedImages() override;
  void RestartConnectionManager() override;
  bool CheckDeviceModel(line::LineContext& context) override;
  void ShowErrorBox(const std::string& text) override { ui_.ShowErrorBox(text); }
  void ShowSuccessBox(const std::string& text) override { ui_.ShowSuccessBox(text); }
  void EndProgram() override { ui_.EndProgram(); }

  nvdata::NvEnvironment& Nv() { return nv_; }

 private:
  ProgramParts parts_;
  WorkerUi& ui_;
  nvdata::NvEnvironment nv_;
};

// The NV backup and NV restore runs of a line, each ending through FinishLineAction.
void NvBackupThreadProc(line::LineContext& context, LineCompletion& completion, nvdata::NvEnvironment& nv);
void NvRestoreThreadProc(line::LineContext& context, LineCompletion& completion, nvdata::NvEnvironment& nv);

}  // namespace flotilla::update
