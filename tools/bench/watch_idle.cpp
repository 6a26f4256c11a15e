// flotilla-watch-idle: how much processor time the device watch takes while no stick is
// plugged in, measured on the real clock over some seconds. Not a test: a number to watch.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/memory_registry.h"
#include "platform/port_map.h"
#include "platform/posix/serial_port.h"
#include "update/device_watch.h"

namespace {

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

class QuietDisplay : public flotilla::line::LineDisplay {
 public:
  void AppendLineStatus(int, const std::string&) override {}
  void SetLineProgress(int, int) override {}
};

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
    std::printf("usage: flotilla-watch-idle [SECONDS]\n"
                "  Runs line 0's device watch with no stick registered for SECONDS (default 5)\n"
                "  and prints the processor time it took as a share of one core.\n");
    return 0;
  }
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 5;
  if (seconds <= 0) {
    std::fprintf(stderr, "SECONDS must be a positive number\n");
    return 2;
  }
  using namespace flotilla;
  platform::PortMap ports;
  platform::PosixSerialFactory devices(ports);
  platform::MemoryRegistry registry;  // no driver registrations: no stick
  platform::RecordingPrompts prompts;
  QuietDisplay display;
  line::CFlotillaDoc doc(line::DocEnvironment{devices, platform::SystemClock(), 0x0409, "flotilla-watch-idle"});
  const double before = CpuSeconds();
  {
    update::DeviceWatchThread watch(line::LineContext{doc, registry, display, prompts, 0});
    watch.Start();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    watch.Pause();
  }
  const double used = CpuSeconds() - before;
  std::printf("device watch without a stick: %.3f s of processor time in %d s (%.2f%% of one core)\n",
              used, seconds, 100.0 * used / seconds);
  return 0;
}
