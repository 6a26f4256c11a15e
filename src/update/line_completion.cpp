// FinishLineAction: final status, action log, icon, device reset; and the line handed back
// at the worker's way out.
#include "update/line_completion.h"

#include "protocol/operation_text.h"
#include "update/downloader_steps.h"

namespace flotilla::update {
namespace {

bool ResetsTheStick(ActionOutcome outcome) {
  return outcome == ActionOutcome::PassAndReset || outcome == ActionOutcome::FailAndReset ||
         outcome == ActionOutcome::DownloadFailedAndReset;
}

bool Passed(ActionOutcome outcome) {
  return outcome == ActionOutcome::PassAndReset || outcome == ActionOutcome::Pass;
}

// Writes the history into a new log file; a log that cannot be written is lost silently, as
// the line must be completed all the same.
void WriteActionLog(line::LineContext& context, LineCompletion& completion) {
  platform::FileSystem& files = completion.files;
  const std::string directory = completion.start_directory + "\\Logs";
  if (!files.Exists(directory)) files.CreateDirectoryLevel(directory);
  const std::string stamp = line::FileStamp(context.doc.Clock().LocalNow());
  auto log = files.CreateForWriting(
      ActionLogPath(files, completion.start_directory, context.line, stamp));
  if (!log) return;
  const std::string history = context.Record().history.Text();
  log->Write(history.data(), history.size());
  log->Flush();
}

}  // namespace

std::string ActionLogPath(platform::FileSystem& files, const std::string& start_directory,
                          int line, const std::string& stamp) {
  const std::string base =
      protocol::FormatText("%s\\Logs\\ActionLog%d_%s", start_directory.c_str(), line + 1, stamp.c_str());
  std::string path = base + ".txt";
  for (int n = 2; files.Exists(path); ++n) path = base + "_" + std::to_string(n) + ".txt";
  return path;
}

void FinishLineAction(line::LineContext& context, LineCompletion& completion,
                      const std::string& text, ActionOutcome outcome) {
  context.Status(text);
  WriteActionLog(context, completion);
  context.Status(text);

  const protocol::PacketMode mode = context.Diag().Mode();
  const bool in_downloader = mode == protocol::PacketMode::BootDownload;
  // A stick left in its boot downloader or its flash programmer (a stop while the images are
  // written) does not start by itself: the user is asked to restart it.
  const bool left_in_loader = in_downloader || mode == protocol::PacketMode::Streaming;
  context.display.SetLineIcon(context.line, Passed(outcome) ? line::LineIcon::Pass : line::LineIcon::Fail);
  if (ResetsTheStick(outcome)) ResetLineDevice(context, in_downloader);
  if (outcome == ActionOutcome::FailMaybeInDownloader && left_in_loader)
    context.prompts.ShowMessage(
        protocol::FormatText("线路%d任务失败，请手动重启相应手机", context.line + 1));

  context.Progress(0);
}

void HandBackLine(line::LineContext& context, LineCompletion& completion, LineExit exit) {
  if (exit == LineExit::ToUserAndWatch && completion.resume_watch) completion.resume_watch(context.line);
  // The last act on the line: from here on a new start may take it, and must find the ports
  // and the watch settled.
  context.Record().running = 0;
  if (exit == LineExit::ToUserAndWatch) context.display.EnableLineControls(context.line, true);
}

}  // namespace flotilla::update
