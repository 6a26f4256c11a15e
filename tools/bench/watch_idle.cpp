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
  const char usage[] =
      "usage: flotilla-watch-idle [SECONDS]\n"
      "  Runs line 0's device watch with no stick registered for SECONDS (default 5)\n"
      "  and prints the processor time it took as a share of one core.\n";
  if (argc > 1 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
    std::fputs(usage, stdout);
    return 0;
  }
  char* end = nullptr;
  const long seconds = argc > 1 ? std::strtol(argv[1], &end, 10) : 5;
  if (argc > 2 || (argc > 1 && (*end != '\0' || end == argv[1])) || seconds <= 0 || seconds > 86400) {
    std::fprintf(stderr, "flotilla-watch-idle: SECONDS must be a whole number from 1 to 86400\n%s", usage);
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
              used, static_cast<int>(seconds), 100.0 * used / seconds);
  return 0;
}
