// The checks before a line operation and the hand-over to its worker.
#include "update/line_start.h"

#include "images/image_set.h"
#include "protocol/operation_text.h"

namespace flotilla::update {
namespace {

bool Answered(const line::LineRecord& record) {
  return record.device_state == line::DeviceState::Answered;
}

// The operation's own checks; false (after its message, where it has one) to start nothing.
bool OperationMayStart(line::LineContext& context, platform::FileSystem& files, LineStartHost& host) {
  line::LineRecord& record = context.Record();
  const int number = context.line + 1;
  switch (record.operation.load()) {
    case line::LineOperation::Update:
      return images::CheckImageSetForUpdate(context.doc, files, context.prompts, context.line);
    case line::LineOperation::None:
      return images::CheckImageSet(context.doc, files, context.prompts, context.line, false);
    case line::LineOperation::NvBackup:
      if (!Answered(record)) return false;
      if (record.paths.nv_directory.empty()) {
        host.ShowStartBox(protocol::FormatText("Line%d No NV directory!", number));
        return false;
      }
      if (!CanWriteBeside(files, record.paths.nv_backup_file)) {
        host.ShowStartBox(protocol::FormatText("Line%d can't create or open NV file!", number));
        return false;
      }
      return true;
    case line::LineOperation::NvRestore:
      if (!Answered(record)) return false;
      if (record.paths.nv_directory.empty()) {
        host.ShowStartBox(protocol::FormatText("Line%d No NV directory!", number));
        return false;
      }
      return true;
  }
  return false;
}

}  // namespace

bool CheckDeviceModel(line::CFlotillaDoc& doc, ModelCheckUi& ui) {
  if (doc.ModelCheckText().find(kModelTag) != std::string::npos) return true;
  ui.ShowModelMismatch(doc.German() ? "Gewählte Software Version stimmt nicht mit dem Gerät überein!"
                                    : "Selected Update Version does not apply to your device!");
  ui.RequestClose();
  return false;
}

bool CanWriteBeside(platform::FileSystem& files, const std::string& path) {
  const std::string scratch = path + ".check";
  if (!files.CreateForWriting(scratch)) return false;
  files.DeleteFile(scratch);
  return true;
}

bool StartLineOperation(line::LineContext& context, platform::FileSystem& files, LineStartHost& host) {
  line::LineRecord& record = context.Record();
  // A line that runs already has its worker on the stick's ports: a second one would write
  // the same flash at the same time.
  if (record.running != 0) return false;
  context.doc.SetModelCheckText(record.texts.VersionString(9));
  if (!CheckDeviceModel(context.doc, host)) return false;
  context.display.SetLineIcon(context.line, line::LineIcon::Ready);
  if (!OperationMayStart(context, files, host)) return false;

  // The flag first: the controls read it, and from here on a second start is refused. A box
  // of the checks above runs a message loop, in which another start may have won the line.
  int32_t idle = 0;
  if (!record.running.compare_exchange_strong(idle, 1)) return false;
  context.display.EnableLineControls(context.line, false);
  host.PauseWatchers(context.line);
  context.display.SetLineIcon(context.line, line::LineIcon::Running);
  context.Progress(0);
  if (host.StartWorker(context.line, record.operation)) return true;
  // No worker: the line is free again rather than busy for ever.
  record.running = 0;
  context.display.SetLineIcon(context.line, line::LineIcon::Fail);
  context.display.EnableLineControls(context.line, true);
  return false;
}

}  // namespace flotilla::update
