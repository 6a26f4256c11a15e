// stick-sim: the simulated stick on pseudo-terminals, for the program and any serial client.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/model/capture.h"
#include "sim/model/stick.h"
#include "sim/transport/pty_port.h"

namespace {

using flotilla::sim::Capture;
using flotilla::sim::Direction;
using flotilla::sim::PtyPort;
using flotilla::sim::SimPort;
using Clock = std::chrono::steady_clock;

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

struct Options {
  std::string link_dir;
  std::string wine_prefix;
  int at_com = 0;
  int diag_com = 0;
  std::string capture;
  std::string ready_file;
  std::string log_file;
  flotilla::sim::StickConfig stick;
  flotilla::sim::LinkModel link;
};

const char kUsage[] =
    "usage: stick-sim [options]\n"
    "  --link-dir DIR           link DIR/at and DIR/diag to the stick's ports\n"
    "  --wine-prefix P          with --at-com N --diag-com M: link P/dosdevices/comN and comM\n"
    "  --at-com N, --diag-com M COM numbers of the AT and DIAG ports in the Wine prefix\n"
    "  --capture FILE           write every chunk of bytes on each port to FILE\n"
    "  --firmware-version TEXT  what \"AT+GMR\" answers\n"
    "  --diag-mode N            the \"AT+ZDIAG\" mode at start\n"
    "  --latency MS             delay before each reply starts\n"
    "  --ready-file FILE        written once the ports exist (the slave paths)\n"
    "  --log FILE               event log (default: standard error)\n";

bool ParseInt(const char* text, int low, int high, int& out) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (errno || end == text || *end || v < low || v > high) return false;
  out = static_cast<int>(v);
  return true;
}

// Returns 0 to go on, or the exit code.
int ParseOptions(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return -1;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "stick-sim: %s needs a value\n%s", a.c_str(), kUsage);
      return 2;
    }
    const char* v = argv[++i];
    int n = 0;
    bool ok = true;
    if (a == "--link-dir") o.link_dir = v;
    else if (a == "--wine-prefix") o.wine_prefix = v;
    else if (a == "--at-com") ok = ParseInt(v, 1, 255, o.at_com);
    else if (a == "--diag-com") ok = ParseInt(v, 1, 255, o.diag_com);
    else if (a == "--capture") o.capture = v;
    else if (a == "--ready-file") o.ready_file = v;
    else if (a == "--log") o.log_file = v;
    else if (a == "--firmware-version") o.stick.firmware_version = v;
    else if (a == "--diag-mode") ok = ParseInt(v, 0, 99, o.stick.diag_mode);
    else if (a == "--latency") {
      ok = ParseInt(v, 0, 60000, n);
      o.link.latency_ms = static_cast<uint32_t>(n);
    } else {
      std::fprintf(stderr, "stick-sim: unknown option %s\n%s", a.c_str(), kUsage);
      return 2;
    }
    if (!ok) {
      std::fprintf(stderr, "stick-sim: bad value for %s: %s\n", a.c_str(), v);
      return 2;
    }
  }
  if (!o.wine_prefix.empty() && (o.at_com == 0 || o.diag_com == 0 || o.at_com == o.diag_com)) {
    std::fprintf(stderr, "stick-sim: --wine-prefix needs distinct --at-com and --diag-com\n");
    return 2;
  }
  return 0;
}

// A reply waiting for its time to leave the stick.
struct Pending {
  Clock::time_point due;
  SimPort port;
  std::vector<uint8_t> bytes;
};

class Simulator {
 public:
  explicit Simulator(const Options& o) : options_(o), start_(Clock::now()) {}

  int Run();

 private:
  bool SetUpPorts();
  bool WriteReadyFile();
  void Log(const std::string& line);
  uint64_t Ms() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start_).count();
  }
  PtyPort& Port(SimPort p) { return p == SimPort::At ? at_ : diag_; }
  void ReadFrom(SimPort port);
  void SendDue();
  int PollTimeoutMs() const;

  const Options& options_;
  Clock::time_point start_;
  std::FILE* log_ = stderr;
  Capture capture_;
  PtyPort at_;
  PtyPort diag_;
  std::unique_ptr<flotilla::sim::StickModel> model_;
  std::multimap<Clock::time_point, Pending> pending_;
};

void Simulator::Log(const std::string& line) {
  std::fprintf(log_, "%llu %s\n", static_cast<unsigned long long>(Ms()), line.c_str());
  std::fflush(log_);
}

bool Simulator::SetUpPorts() {
  std::string error;
  if (!at_.Create(error) || !diag_.Create(error)) {
    Log("stick-sim: " + error);
    return false;
  }
  bool ok = true;
  if (!options_.link_dir.empty()) {
    ok = ok && at_.AddLink(options_.link_dir + "/at", error) &&
         diag_.AddLink(options_.link_dir + "/diag", error);
  }
  if (ok && !options_.wine_prefix.empty()) {
    const std::string dos = options_.wine_prefix + "/dosdevices/com";
    ok = at_.AddLink(dos + std::to_string(options_.at_com), error) &&
         diag_.AddLink(dos + std::to_string(options_.diag_com), error);
  }
  if (!ok) Log("stick-sim: " + error);
  return ok;
}

bool Simulator::WriteReadyFile() {
  if (options_.ready_file.empty()) return true;
  const std::string tmp = options_.ready_file + ".tmp";
  {
    std::ofstream out(tmp);
    out << "pid=" << getpid() << "\nat=" << at_.SlavePath() << "\ndiag=" << diag_.SlavePath()
        << "\n";
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
    for (auto& e : model_->Receive(port, buffer, static_cast<size_t>(n))) {
      auto due = now + std::chrono::milliseconds(e.delay_ms + options_.link.latency_ms);
      pending_.emplace(due, Pending{due, port, std::move(e.bytes)});
    }
  }
}

void Simulator::SendDue() {
  auto now = Clock::now();
  while (!pending_.empty() && pending_.begin()->first <= now) {
    Pending p = std::move(pending_.begin()->second);
    pending_.erase(pending_.begin());
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
  if (pending_.empty()) return 1000;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(pending_.begin()->first -
                                                                    Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count()) + 1;
}

int Simulator::Run() {
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
  if (!SetUpPorts()) return 1;
  Log("stick-sim: at " + at_.SlavePath() + ", diag " + diag_.SlavePath());
  if (!WriteReadyFile()) {
    Log("stick-sim: cannot write " + options_.ready_file);
    return 1;
  }

  while (!g_stop) {
    pollfd fds[2] = {{at_.MasterFd(), POLLIN, 0}, {diag_.MasterFd(), POLLIN, 0}};
    int r = ::poll(fds, 2, PollTimeoutMs());
    if (r < 0 && errno != EINTR) {
      Log(std::string("stick-sim: poll: ") + std::strerror(errno));
      break;
    }
    if (r > 0) {
      if (fds[0].revents & POLLIN) ReadFrom(SimPort::At);
      if (fds[1].revents & POLLIN) ReadFrom(SimPort::Diag);
    }
    SendDue();
  }
  Log("stick-sim: stopping");
  at_.Destroy();
  diag_.Destroy();
  if (!options_.ready_file.empty()) ::unlink(options_.ready_file.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int rc = ParseOptions(argc, argv, options);
  if (rc != 0) return rc < 0 ? 0 : rc;

  struct sigaction sa{};
  sa.sa_handler = OnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Simulator simulator(options);
  return simulator.Run();
}
