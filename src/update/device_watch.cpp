// The device watch's pass and the thread that runs it with a cooperative pause.
#include "update/device_watch.h"

#include "discovery/port_lookup.h"
#include "line/line_version.h"
#include "protocol/diag.h"

namespace flotilla::update {
namespace {

// After this many failed lookups in a row the window falls back to its searching state.
constexpr int kLookupsBeforeForgetting = 5;
constexpr uint32_t kLookupPauseMs = 200;

}  // namespace

void DeviceWatch::Begin() {
  c_.Status(c_.doc.German() ? "Gerät wird gesucht..." : "Searching communication ports...");
  c_.ReopenDiag();
}

void DeviceWatch::Pass(const std::function<bool()>& paused) {
  line::LineRecord& record = c_.Record();
  for (int failed = 0; !discovery::LocateDevicePorts(c_.doc, c_.line, c_.registry);) {
    // A short pause between lookups, so that a watch without a stick idles instead of
    // keeping a processor busy with registry lookups.
    c_.Sleep(kLookupPauseMs);
    if (++failed % kLookupsBeforeForgetting == 0) {
      protocol::VersionSet strings = record.texts.VersionStrings();
      strings[2].clear();
      strings[4].clear();
      record.texts.SetVersionStrings(strings);
      c_.display.ShowLineVersions(c_.line);
      c_.display.ShowLinePorts(c_.line);
    }
    if (paused()) return;
  }
  if (paused()) return;
  c_.ReopenDiag();
  c_.ReopenAt();
  if (record.data_port != 0) c_.ReopenAt();
  if (paused()) return;
  if (!protocol::UnlockServiceProgramming(c_.Diag())) {
    c_.Sleep(300);
    protocol::UnlockServiceProgramming(c_.Diag());
  }
  c_.Sleep(50);
  if (paused()) return;
  bool answered = line::QueryDeviceVersion(c_.doc, c_.line);
  if (!answered && !paused()) {
    c_.ReopenDiag();
    answered = line::QueryDeviceVersion(c_.doc, c_.line);
  }
  if (answered) c_.Sleep(1000);
  c_.Sleep(1000);
  if (!answered) record.device_state = line::DeviceState::NoDevice;
  c_.display.ShowLineVersions(c_.line);
  c_.display.ShowLinePorts(c_.line);
}

DeviceWatchThread::DeviceWatchThread(line::LineContext context) : watch_(std::move(context)) {}

DeviceWatchThread::~DeviceWatchThread() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
    pause_asked_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void DeviceWatchThread::Start() { thread_ = std::thread([this] { Run(); }); }

void DeviceWatchThread::Pause() {
  std::unique_lock<std::mutex> lock(mutex_);
  pause_asked_ = true;
  changed_.wait(lock, [this] { return parked_ || ending_; });
}

void DeviceWatchThread::Resume() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pause_asked_ = false;
  }
  changed_.notify_all();
}

bool DeviceWatchThread::PauseAsked() {
  std::lock_guard<std::mutex> lock(mutex_);
  return pause_asked_;
}

bool DeviceWatchThread::WaitWhilePaused() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (pause_asked_) {
    parked_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !pause_asked_ || ending_; });
    parked_ = false;
  }
  return !ending_;
}

void DeviceWatchThread::Run() {
  if (!WaitWhilePaused()) return;
  watch_.Begin();
  while (WaitWhilePaused()) watch_.Pass([this] { return PauseAsked(); });
}

}  // namespace flotilla::update
