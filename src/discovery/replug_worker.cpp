// The re-plug worker's rounds and the thread that runs them with its pause.
#include "discovery/replug_worker.h"

#include <algorithm>

namespace flotilla::discovery {

std::string ReplugLibraryPath(const std::string& directory) {
  return directory + "\\" + kReplugLibraryName;
}

bool ReplugWorker::Load() {
  library_ = s_.libraries.Load(library_path_);
  if (!library_) {
    s_.prompts.ShowMessage(kLoadLibraryFailText);
    return false;
  }
  // The export is looked up as the loader's generic type and called as what it is.
  replug_ = reinterpret_cast<ReplugFunction>(library_->Find(kReplugExport));
  if (!replug_) {
    s_.prompts.ShowMessage(kFindReplugFailText);
    return false;
  }
  return true;
}

void ReplugWorker::Round(ReplugGate& gate) {
  Status("Current is not reset");
  if (s_.enabled == 0) {
    Wait(kReplugDisabledMs, gate);
    return;
  }
  Status("Reseting...");
  if (!replug_ || gate.Paused()) return;
  const int32_t result = replug_(kReplugDeviceText);
  Wait(result != 0 ? kAfterReplugMs : kAfterFailedReplugMs, gate);
}

void ReplugWorker::Release() {
  replug_ = nullptr;
  library_.reset();
}

void ReplugWorker::Wait(uint32_t ms, ReplugGate& gate) {
  while (ms > 0 && !gate.Paused()) {
    const uint32_t slice = std::min(ms, kReplugWaitSliceMs);
    s_.clock.Sleep(slice);
    ms -= slice;
  }
}

ReplugThread::ReplugThread(ReplugServices services, std::string library_path)
    : worker_(std::move(services), std::move(library_path)) {}

ReplugThread::~ReplugThread() { End(); }

void ReplugThread::Start() { thread_ = std::thread([this] { Run(); }); }

void ReplugThread::AskPause() {
  std::lock_guard<std::mutex> lock(mutex_);
  pause_asked_ = true;
}

void ReplugThread::Pause() {
  std::unique_lock<std::mutex> lock(mutex_);
  pause_asked_ = true;
  changed_.wait(lock, [this] { return parked_ || !loaded_; });
}

void ReplugThread::End() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ending_ = true;
    pause_asked_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
  // Only now: the thread that called into the library is gone.
  worker_.Release();
}

bool ReplugThread::Paused() {
  std::lock_guard<std::mutex> lock(mutex_);
  return pause_asked_;
}

void ReplugThread::SetState(bool loaded, bool parked) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    loaded_ = loaded;
    parked_ = parked;
  }
  changed_.notify_all();
}

bool ReplugThread::WaitWhilePaused() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (pause_asked_) {
    parked_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return ending_; });
  }
  return !ending_;
}

void ReplugThread::Run() {
  if (!worker_.Load()) return;
  SetState(true, false);
  while (WaitWhilePaused()) worker_.Round(*this);
  SetState(true, true);
}

}  // namespace flotilla::discovery
