// StartLineOperationFromWindow: the checks of the line's operation on the window thread, then
// its worker on a thread of its own, with the window's boxes and the line's watch around it.
#include "app/line_start.h"

#include <memory>
#include <system_error>
#include <thread>

#include "app/form_texts.h"
#include "images/image_set.h"
#include "images/staging.h"
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
  // Only asked here; the worker waits for both before it touches the stick (WaitForWatchers).
  // The re-plug worker stops for good: no Replug call may run while a line is updated.
  void PauseWatchers(int) override {
    s_.watch.AskPause();
    if (s_.replug) s_.replug->AskPause();
  }
  void WaitForWatchers() {
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
  auto job = std::make_shared<WorkerJob>(s_, line);
  const bool started = s_.workers.Start(line, [job, operation] {
    // The system stays awake while the worker runs: a sleep in the middle of the flash
    // leaves the stick half-written. The request is this thread's and ends with it.
    SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    // The watch's exchange and a Replug call that run now end first: from here on the
    // line's ports are this worker's.
    job->ui.WaitForWatchers();
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
    SetThreadExecutionState(ES_CONTINUOUS);
  });
  // No worker to hand the line back: the watch goes on as before.
  if (!started) s_.watch.Resume();
  return started;
}

}  // namespace

LineWorkers::LineWorkers() {
  for (std::atomic<bool>& ended : ended_) ended = true;
}

bool LineWorkers::Start(int line, std::function<void()> work) {
  if (!line::CFlotillaDoc::IsLine(line)) return false;
  const size_t slot = static_cast<size_t>(line);
  if (!ended_[slot]) return false;
  if (threads_[slot].joinable()) threads_[slot].join();
  ended_[slot] = false;
  try {
    threads_[slot] = std::thread([this, slot, work = std::move(work)] {
      work();
      ended_[slot] = true;
    });
  } catch (const std::system_error&) {
    ended_[slot] = true;
    return false;
  }
  return true;
}

void LineWorkers::JoinAll() {
  for (std::thread& thread : threads_)
    if (thread.joinable()) thread.join();
}

void StartLineOperationFromWindow(WindowLineServices& services, int line) {
  const line::LineRecord& record = services.doc.Line(line);
  // A file the update reads that could not be staged at start-up may have left an earlier
  // run's copy, which the image set check would take: refused as a missing file is.
  if (record.running == 0 && record.operation == line::LineOperation::Update && services.parts.staging &&
      !images::FirstUnstagedImageFile(*services.parts.staging).empty()) {
    services.prompts.ShowMessage(images::ImageSetFailureText(services.doc.German()));
    return;
  }
  WindowUi ui(services);
  line::LineContext context{services.doc, services.registry, services.window, services.prompts, line};
  update::StartLineOperation(context, services.parts.files, ui);
}

}  // namespace flotilla::app
