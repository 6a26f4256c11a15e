// The device watch's pass and the thread that runs it with a cooperative pause.
#include "update/device_watch.h"

#include <algorithm>

#include "discovery/port_lookup.h"
#include "line/line_version.h"
#include "protocol/diag.h"

namespace flotilla::update {
namespace {

// After this many failed lookups in a row the window falls back to its searching state.
constexpr int kLookupsBeforeForgetting = 5;
constexpr uint32_t kLookupPauseMs = 200;
// The watch sleeps in pieces this long and looks for a pause between them, so that the one
// who asks for it (a worker about to start) is answered within a fraction of a second.
constexpr uint32_t kWatchSliceMs = 100;

}  // namespace

void DeviceWatch::Begin() {
  c_.Status(c_.doc.German() ? "Gerät wird gesucht..." : "Searching communication ports...");
  c_.ReopenDiag();
}

bool DeviceWatch::Rest(uint32_t ms, const std::function<bool()>& paused) {
  while (ms > 0) {
    if (paused()) return true;
    const uint32_t slice = std::min(ms, kWatchSliceMs);
    c_.Sleep(slice);
    ms -= slice;
  }
  return paused();
}

void DeviceWatch::Pass(const std::function<bool()>& paused) {
  line::LineRecord& record = c_.Record();
  for (int failed = 0; !discovery::LocateDevicePorts(c_.doc, c_.line, c_.registry);) {
    // A short pause between lookups, so that a watch without a stick idles instead of
    // keeping a processor busy with registry lookups.
    const bool pause = Rest(kLookupPauseMs, paused);
    if (++failed % kLookupsBeforeForgetting == 0) {
      protocol::VersionSet strings = record.texts.VersionStrings();
      strings[2].clear();
      strings[4].clear();
      record.texts.SetVersionStrings(strings);
      c_.display.ShowLineVersions(c_.line);
      c_.display.ShowLinePorts(c_.line);
    }
    if (pause) return;
  }
  if (paused()) return;
  c_.ReopenDiag();
  c_.ReopenAt();
  if (record.data_port != 0) c_.ReopenAt();
  if (paused()) return;
  if (!protocol::UnlockServiceProgramming(c_.Diag())) {
    if (Rest(300, paused)) return;
    protocol::UnlockServiceProgramming(c_.Diag());
  }
  if (Rest(50, paused)) return;
  bool answered = line::QueryDeviceVersion(c_.doc, c_.line);
  if (!answered && !paused()) {
    c_.ReopenDiag();
    answered = line::QueryDeviceVersion(c_.doc, c_.line);
  }
  if (answered && Rest(1000, paused)) return;
  if (Rest(1000, paused)) return;
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

void DeviceWatchThread::Start() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    started_ = true;
  }
  thread_ = std::thread([this] { Run(); });
}

void DeviceWatchThread::AskPause() {
  std::lock_guard<std::mutex> lock(mutex_);
  pause_asked_ = true;
}

void DeviceWatchThread::Pause() {
  std::unique_lock<std::mutex> lock(mutex_);
  pause_asked_ = true;
  changed_.wait(lock, [this] { return parked_ || ending_ || !started_; });
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
