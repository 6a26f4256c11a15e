// StartLineOperationFromWindow: the checks of the line's operation on the window thread, then
// its worker on a thread of its own, with the window's boxes and the line's watch around it.
#include "app/line_start.h"

#include <memory>
#include <thread>

#include "app/form_texts.h"
#include "update/line_start.h"
#include "update/update_worker.h"

namespace flotilla::app {
namespace {

// The window's boxes and requests as the start routine and the workers ask for them. Boxes
// are shown by the window thread; a worker waits for the answer.
class WindowUi : public update::LineStartHost, public update::WorkerUi {
 public:
  explicit WindowUi(WindowLineServices& services) : s_(services) {}

  void ShowModelMismatch(const std::string& text) override {
    s_.window.Ask(text, kWindowCaption, MB_OK | MB_ICONEXCLAMATION);
  }
  void RequestClose() override { s_.window.RequestClose(); }
  void ShowStartBox(const std::string& text) override { s_.window.Ask(text, kWindowCaption, MB_OK); }
  // The re-plug worker stops for good: no Replug call may run while a line is updated.
  void PauseWatchers(int) override {
    s_.watch.Pause();
    if (s_.replug) s_.replug->Pause();
  }
  bool StartWorker(int line, line::LineOperation operation) override;
  void ShowErrorBox(const std::string& text) override {
    s_.window.Ask(text, "Error", MB_OK | MB_ICONERROR);
  }
  void ShowSuccessBox(const std::string& text) override {
    s_.window.Ask(text, kWindowCaption, MB_OK | MB_ICONINFORMATION);
  }
  // A successful update ends the program with exit code 0.
  void EndProgram() override { ExitProcess(0); }

 private:
  WindowLineServices& s_;
};

// Everything one worker uses, owned by its thread.
struct WorkerJob {
  WorkerJob(WindowLineServices& services, int line)
      : ui(services),
        context{services.doc, services.registry, services.window, services.prompts, line},
        completion{services.parts.files, services.start_directory,
                   [&services](int) { services.watch.Resume(); }},
        host(services.parts, ui) {}

  WindowUi ui;
  line::LineContext context;
  update::LineCompletion completion;
  update::ProgramUpdateHost host;
};

bool WindowUi::StartWorker(int line, line::LineOperation operation) {
  auto job = std::make_unique<WorkerJob>(s_, line);
  try {
    std::thread([job = std::move(job), operation] {
      switch (operation) {
        case line::LineOperation::Update:
          update::UpdateThreadProc(job->context, job->completion, job->host);
          break;
        case line::LineOperation::NvBackup:
          update::NvBackupThreadProc(job->context, job->completion, job->host.Nv());
          break;
        case line::LineOperation::NvRestore:
          update::NvRestoreThreadProc(job->context, job->completion, job->host.Nv());
          break;
        case line::LineOperation::None:
          break;
      }
    }).detach();
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

}  // namespace

void StartLineOperationFromWindow(WindowLineServices& services, int line) {
  WindowUi ui(services);
  line::LineContext context{services.doc, services.registry, services.window, services.prompts, line};
  update::StartLineOperation(context, services.parts.files, ui);
}

}  // namespace flotilla::app
