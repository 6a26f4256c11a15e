// stick-sim: the simulated stick on pseudo-terminals, for the program and any serial client.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/model/capture.h"
#include "sim/model/driver_registrations.h"
#include "sim/model/stick.h"
#include "sim/stick_sim_options.h"
#include "sim/transport/pty_port.h"
#include "sim/transport/wine_registry.h"

namespace {

using flotilla::sim::Capture;
using flotilla::sim::Direction;
using flotilla::sim::PtyPort;
using flotilla::sim::SimOptions;
using flotilla::sim::SimPort;
using Clock = std::chrono::steady_clock;

// Creates `dir` and its parents; an empty path needs nothing.
bool MakeDirectory(const std::string& dir, std::string& error) {
  if (dir.empty()) return true;
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    error = "cannot create " + dir + ": " + ec.message();
    return false;
  }
  return true;
}

std::string ParentOf(const std::string& file) {
  return file.empty() ? std::string() : std::filesystem::path(file).parent_path().string();
}

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

// A reply waiting for its time to leave the stick.
struct Pending {
  SimPort port;
  std::vector<uint8_t> bytes;
};

class Simulator {
 public:
  explicit Simulator(const SimOptions& o)
      : options_(o), start_(Clock::now()), at_com_(o.at_com), diag_com_(o.diag_com) {}

  int Run();

 private:
  bool BringPortsUp();
  void DropPorts();
  void WriteRegistrations(bool present);
  void Renumber();
  bool WriteReadyFile();
  void Log(const std::string& line);
  uint64_t Ms() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count();
  }
  PtyPort& Port(SimPort p) { return p == SimPort::At ? at_ : diag_; }
  void ReadFrom(SimPort port);
  void SendDue();
  void FollowResets();
  int PollTimeoutMs() const;
  // How long `bytes` take on the line at --bytes-per-second.
  Clock::duration Transfer(size_t bytes) const {
    return std::chrono::microseconds(static_cast<uint64_t>(bytes) * 1000000 /
                                     options_.link.bytes_per_second);
  }
  // Paced replies leave in chunks of about 10 ms of line time.
  size_t PacedChunk() const { return std::max<size_t>(1, options_.link.bytes_per_second / 100); }

  const SimOptions& options_;
  Clock::time_point start_;
  // The COM numbers in the Wine prefix now; --reenum-com-shift moves them on each return.
  int at_com_;
  int diag_com_;
  std::FILE* log_ = stderr;
  Capture capture_;
  PtyPort at_;
  PtyPort diag_;
  std::unique_ptr<flotilla::sim::StickModel> model_;
  std::multimap<Clock::time_point, Pending> pending_;
  // Re-enumeration: when the ports drop, and while they are away, when they come back.
  bool away_ = false;
  std::optional<Clock::time_point> drop_at_;
  Clock::time_point back_at_;
  uint32_t away_ms_ = 0;
  bool away_for_good_ = false;  // a fault took the stick off the bus for good
  // With a line rate: when each port's line is free again, each way (indexed by SimPort).
  Clock::time_point line_free_[2] = {};
  Clock::time_point rx_free_[2] = {};
};

void Simulator::Log(const std::string& line) {
  std::fprintf(log_, "%llu %s\n", static_cast<unsigned long long>(Ms()), line.c_str());
  std::fflush(log_);
}

// New ptys with their links, then the driver registrations, and only then the signals that
// the ports are there (log line and ready file), so that a waiting test never races Wine.
bool Simulator::BringPortsUp() {
  std::string error;
  // Outside its firmware the stick presents its DIAG port alone.
  const bool with_at = model_->HasAtPort();
  if ((with_at && !at_.Create(error)) || !diag_.Create(error)) {
    Log("stick-sim: " + error);
    return false;
  }
  bool ok = true;
  if (!options_.link_dir.empty()) {
    ok = ok && (!with_at || at_.AddLink(options_.link_dir + "/at", error)) &&
         diag_.AddLink(options_.link_dir + "/diag", error);
  }
  if (ok && !options_.wine_prefix.empty()) {
    const std::string dos = options_.wine_prefix + "/dosdevices/com";
    ok = (!with_at || at_.AddLink(dos + std::to_string(at_com_), error)) &&
         diag_.AddLink(dos + std::to_string(diag_com_), error);
  }
  if (!ok) {
    Log("stick-sim: " + error);
    return false;
  }
  WriteRegistrations(true);
  Log(std::string("stick-sim: ") + (with_at ? "at " + at_.SlavePath() + ", " : "") + "diag " +
      diag_.SlavePath() + (with_at ? "" : std::string(" (") + ModeName(model_->Mode()) + ")"));
  if (!WriteReadyFile()) {
    Log("stick-sim: cannot write " + options_.ready_file);
    return false;
  }
  return true;
}

// The stick resets: its ports vanish with their links, and its driver registrations go.
void Simulator::DropPorts() {
  pending_.clear();
  at_.Destroy();
  diag_.Destroy();
  // Last: once the ready file is gone, so are both ports and their links.
  if (!options_.ready_file.empty()) ::unlink(options_.ready_file.c_str());
  WriteRegistrations(false);
  model_->Restart();
  std::fill(std::begin(line_free_), std::end(line_free_), Clock::time_point{});
  Log(away_for_good_ ? std::string("stick-sim: ports gone for good")
                     : "stick-sim: ports gone, back in " + std::to_string(away_ms_) + " ms");
}

void Simulator::WriteRegistrations(bool present) {
  if (options_.wine_prefix.empty()) return;
  // Removal takes the keys of both ports, whichever were written.
  const int at_com = !present || model_->HasAtPort() ? at_com_ : 0;
  auto registrations = flotilla::sim::RegistrationsFor(options_.stick, at_com, diag_com_);
  std::string error;
  const std::string text = present ? flotilla::sim::RegFileAdding(registrations)
                                   : flotilla::sim::RegFileRemoving(registrations);
  if (!flotilla::sim::ImportIntoWine(options_.wine_prefix, text, error))
    Log("stick-sim: driver registrations not " + std::string(present ? "written" : "removed") + ": " + error);
  else
    Log(std::string("stick-sim: driver registrations ") + (present ? "written" : "removed"));
}

// Coming back, the ports may carry other COM numbers (the links follow; see --reenum-com-shift).
void Simulator::Renumber() {
  const int shift = static_cast<int>(options_.stick.reenum_com_shift);
  if (!shift || options_.wine_prefix.empty()) return;
  at_com_ += shift;
  diag_com_ += shift;
  Log("stick-sim: ports renumbered COM" + std::to_string(at_com_) + " and COM" + std::to_string(diag_com_));
}

bool Simulator::WriteReadyFile() {
  if (options_.ready_file.empty()) return true;
  const std::string tmp = options_.ready_file + ".tmp";
  {
    std::ofstream out(tmp);
    out << "pid=" << getpid() << "\nat=" << at_.SlavePath() << "\ndiag=" << diag_.SlavePath()
        << "\n";
    if (!options_.wine_prefix.empty())
      out << "at_com=" << (model_->HasAtPort() ? at_com_ : 0) << "\ndiag_com=" << diag_com_ << "\n";
    if (!out) return false;
  }
  return std::rename(tmp.c_str(), options_.ready_file.c_str()) == 0;
}

void Simulator::ReadFrom(SimPort port) {
  uint8_t buffer[4096];
  for (;;) {
    ssize_t n = ::read(Port(port).MasterFd(), buffer, sizeof buffer);
    if (n <= 0) return;
    auto now = Clock::now();
    capture_.Record(Ms(), port, Direction::HostToDevice, buffer, static_cast<size_t>(n));
    // With a line rate the request has fully arrived only once its bytes have crossed.
    auto& line = line_free_[static_cast<int>(port)];
    if (options_.paced) {
      rx_free_[static_cast<int>(port)] = std::max(rx_free_[static_cast<int>(port)], now) + Transfer(static_cast<size_t>(n));
      now = rx_free_[static_cast<int>(port)];
    }
    auto previous = now;
    for (auto& e : model_->Receive(port, buffer, static_cast<size_t>(n), Ms())) {
      auto due = now + std::chrono::milliseconds(e.delay_ms + options_.link.latency_ms);
      if (e.gap_ms) due = std::max(due, previous + std::chrono::milliseconds(e.gap_ms));
      if (options_.paced) {
        // A reply starts when the line is free and takes its time to cross.
        due = std::max(due, line);
        line = due + Transfer(e.bytes.size());
        previous = line;
      } else {
        // The stick answers in order, however its reply times vary.
        due = std::max(due, line);
        line = due;
        previous = due;
      }
      pending_.emplace(due, Pending{port, std::move(e.bytes)});
    }
    FollowResets();
  }
}

// A reset accepted: the answer goes out first, the ports drop a moment after it.
void Simulator::FollowResets() {
  auto reset = model_->TakeReenumeration();
  if (!reset) return;
  auto last = Clock::now();
  if (!pending_.empty()) last = std::max(last, std::prev(pending_.end())->first);
  drop_at_ = last + std::chrono::milliseconds(reset->drop_after_ms);
  away_ms_ = reset->away_ms;
  away_for_good_ = reset->for_good;
}

void Simulator::SendDue() {
  auto now = Clock::now();
  while (!pending_.empty() && pending_.begin()->first <= now) {
    Pending p = std::move(pending_.begin()->second);
    pending_.erase(pending_.begin());
    if (options_.paced && p.bytes.size() > PacedChunk()) {
      // What the line carries in one chunk's time leaves now, the rest after it.
      Pending rest{p.port, std::vector<uint8_t>(p.bytes.begin() + static_cast<long>(PacedChunk()), p.bytes.end())};
      p.bytes.resize(PacedChunk());
      pending_.emplace(now + Transfer(p.bytes.size()), std::move(rest));
    }
    capture_.Record(Ms(), p.port, Direction::DeviceToHost, p.bytes.data(), p.bytes.size());
    size_t done = 0;
    int fd = Port(p.port).MasterFd();
    while (done < p.bytes.size()) {
      ssize_t n = ::write(fd, p.bytes.data() + done, p.bytes.size() - done);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n < 0 && errno == EAGAIN) {
        pollfd w{fd, POLLOUT, 0};
        if (::poll(&w, 1, 1000) <= 0) break;  // the host stopped reading: drop the rest
      } else if (n < 0 && errno != EINTR) {
        break;
      }
    }
  }
}

int Simulator::PollTimeoutMs() const {
  std::optional<Clock::time_point> next;
  if (!pending_.empty()) next = pending_.begin()->first;
  if (drop_at_ && (!next || *drop_at_ < *next)) next = drop_at_;
  if (away_ && !away_for_good_ && (!next || back_at_ < *next)) next = back_at_;
  if (!next) return 1000;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*next - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count()) + 1;
}

int Simulator::Run() {
  // The directories the options name are made as needed, as a new user expects.
  std::string error;
  if (!MakeDirectory(options_.link_dir, error) || !MakeDirectory(options_.stick.state_dir, error) ||
      !MakeDirectory(ParentOf(options_.capture), error) || !MakeDirectory(ParentOf(options_.log_file), error) ||
      !MakeDirectory(ParentOf(options_.ready_file), error)) {
    std::fprintf(stderr, "stick-sim: %s\n", error.c_str());
    return 1;
  }
  if (!options_.log_file.empty()) {
    log_ = std::fopen(options_.log_file.c_str(), "a");
    if (!log_) {
      std::fprintf(stderr, "stick-sim: cannot open log %s\n", options_.log_file.c_str());
      return 1;
    }
  }
  if (!options_.capture.empty() && !capture_.OpenFile(options_.capture)) {
    Log("stick-sim: cannot open capture " + options_.capture);
    return 1;
  }
  model_ = std::make_unique<flotilla::sim::StickModel>(
      options_.stick, [this](const std::string& line) { Log(line); });
  if (!model_->NvError().empty() || !model_->FlashError().empty()) return 1;
  if (!BringPortsUp()) return 1;

  while (!g_stop) {
    pollfd fds[2] = {{at_.MasterFd(), POLLIN, 0}, {diag_.MasterFd(), POLLIN, 0}};
    int r = ::poll(away_ ? nullptr : fds, away_ ? 0 : 2, PollTimeoutMs());
    if (r < 0 && errno != EINTR) {
      Log(std::string("stick-sim: poll: ") + std::strerror(errno));
      break;
    }
    if (r > 0) {
      if (fds[0].revents & POLLIN) ReadFrom(SimPort::At);
      if (fds[1].revents & POLLIN) ReadFrom(SimPort::Diag);
    }
    SendDue();
    if (drop_at_ && Clock::now() >= *drop_at_) {
      SendDue();
      back_at_ = *drop_at_ + std::chrono::milliseconds(away_ms_);
      drop_at_.reset();
      away_ = true;
      DropPorts();
    }
    if (away_ && !away_for_good_ && !g_stop && Clock::now() >= back_at_) {
      away_ = false;
      Renumber();
      if (!BringPortsUp()) return 1;
    }
  }
  Log("stick-sim: stopping");
  at_.Destroy();
  diag_.Destroy();
  if (!away_) WriteRegistrations(false);
  if (!options_.ready_file.empty()) ::unlink(options_.ready_file.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  SimOptions options;
  int rc = flotilla::sim::ParseSimOptions(argc, argv, options);
  if (rc != 0) return rc < 0 ? 0 : rc;

  struct sigaction sa{};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Simulator simulator(options);
  return simulator.Run();
}
