// flotilla-bench: times the whole download path (boot downloader, programmer, images,
// restart) against stick-sim over pseudo-terminals and compares it with its floor: the same
// path on the virtual clock, which is exactly the pauses the sequence mandates plus the waits
// that the link model's transfer time forces. A benchmark, not a test.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "images/programming.h"
#include "tools/mkimages/image_set.h"
#include "platform/prompts.h"
#include "platform/virtual_clock.h"
#include "sim/transport/inprocess_stick.h"
#include "update/downloader_steps.h"

namespace {

const char kUsage[] =
    "usage: flotilla-bench [--amss-size N] [--efs-size N] [--latency-ms MS] [--bytes-per-second N]\n"
    "Runs update-path of a generated image set against stick-sim over ptys and prints the wall\n"
    "time, the floor on the virtual clock, their ratio and the host's CPU time.\n";

namespace fs = std::filesystem;
using namespace flotilla;

struct Options {
  uint64_t amss_size = mkimages::kDefaultAmssSize;
  uint64_t efs_size = mkimages::kDefaultEfsSize;
  uint32_t latency_ms = 2;
  uint32_t bytes_per_second = 11520;
};

class QuietDisplay : public line::LineDisplay {
 public:
  void AppendLineStatus(int, const std::string&) override {}
  void SetLineProgress(int, int) override {}
};

// The path on the virtual clock against the in-process stick. Returns the virtual
// milliseconds, or -1 when the path failed.
long long FloorMs(const fs::path& images, const Options& o) {
  platform::VirtualClock clock;
  sim::LinkModel link;
  link.latency_ms = o.latency_ms;
  link.bytes_per_second = o.bytes_per_second;
  sim::StickConfig config;
  sim::InProcessStick stick(clock, config, link);
  platform::MemoryRegistry registrations;
  stick.SetRegistry(&registrations);
  stick.SetPortNumbers(3, 4);
  line::CFlotillaDoc doc(line::DocEnvironment{stick, clock, 0x0409, "flotilla-bench"});
  QuietDisplay display;
  platform::RecordingPrompts prompts;
  line::LineContext context{doc, stick.HostRegistry(), display, prompts, 0};
  auto& line = doc.Line(0);
  line.diag_port = 4;
  line.data_port = 3;
  line.running = 1;
  line.paths.image_directory = images.string();
  line.paths.flash_programmer = (images / "armprg.bin").string();
  if (!doc.OpenDiagPort(0, 4, 115200) || !doc.OpenAtPort(0, 3, 115200)) return -1;
  bool ok = update::EnterBootDownloader(context) && update::UploadFlashProgrammer(context) &&
            update::StartFlashProgrammer(context) &&
            images::ProgramImages(context) == images::ProgrammingResult::Written &&
            images::RestartAfterProgramming(context);
  return ok ? static_cast<long long>(clock.NowMs()) : -1;
}

pid_t Spawn(const std::vector<std::string>& args) {
  pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

bool ParseSize(const char* text, uint64_t& out) {
  char* end = nullptr;
  unsigned long long v = std::strtoull(text, &end, 0);
  if (!*text || *end) return false;
  out = v;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  for (int i = 1; i < argc; i += 2) {
    const std::string a = argv[i];
    if (a != "--amss-size" && a != "--efs-size" && a != "--latency-ms" && a != "--bytes-per-second") {
      std::fprintf(stderr, "flotilla-bench: unknown option %s\n%s", a.c_str(), kUsage);
      return 2;
    }
    uint64_t v = 0;
    if (i + 1 == argc || !ParseSize(argv[i + 1], v)) {
      std::fprintf(stderr, "flotilla-bench: %s needs a number\n%s", a.c_str(), kUsage);
      return 2;
    }
    if (a == "--amss-size") o.amss_size = v;
    else if (a == "--efs-size") o.efs_size = v;
    else if (a == "--latency-ms") o.latency_ms = static_cast<uint32_t>(v);
    else o.bytes_per_second = static_cast<uint32_t>(v);
  }

  const fs::path bin = fs::canonical("/proc/self/exe").parent_path();
  const fs::path work = fs::temp_directory_path() / ("flotilla-bench-" + std::to_string(getpid()));
  const fs::path images = work / "images";
  mkimages::ImageSetOptions image_options;
  image_options.amss_size = o.amss_size;
  image_options.efs_size = o.efs_size;
  auto made = mkimages::WriteImageSet(images, image_options);
  if (made.outcome != mkimages::ImageSetResult::Outcome::kWritten) {
    std::fprintf(stderr, "flotilla-bench: %s\n", made.message.c_str());
    return 1;
  }

  const long long floor_ms = FloorMs(images, o);
  if (floor_ms < 0) {
    std::fprintf(stderr, "flotilla-bench: the path failed on the virtual clock\n");
    return 1;
  }

  const fs::path links = work / "stick";
  fs::create_directories(links);
  const std::string ready = (work / "ready").string();
  pid_t sim = Spawn({(bin / "stick-sim").string(), "--link-dir", links.string(), "--ready-file",
                     ready, "--log", (work / "sim.log").string(), "--latency-ms",
                     std::to_string(o.latency_ms), "--bytes-per-second",
                     std::to_string(o.bytes_per_second), "--programmer",
                     (images / "armprg.bin").string()});
  for (int i = 0; i < 100 && !fs::exists(ready); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

  const auto start = std::chrono::steady_clock::now();
  pid_t cli = Spawn({(bin / "flotilla-cli").string(), "--diag", (links / "diag").string(), "--at",
                     (links / "at").string(), "update-path", images.string()});
  int status = 0;
  waitpid(cli, &status, 0);
  const double wall_s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  kill(sim, SIGTERM);
  waitpid(sim, nullptr, 0);
  fs::remove_all(work);

  const double cpu_s = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                       (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  std::printf("images: amss %llu bytes, efs %llu bytes; link %u ms latency, %u bytes/s\n",
              static_cast<unsigned long long>(o.amss_size),
              static_cast<unsigned long long>(o.efs_size), o.latency_ms, o.bytes_per_second);
  std::printf("update-path: %s\n", ok ? "succeeded" : "FAILED");
  std::printf("wall time:   %.2f s\n", wall_s);
  std::printf("floor:       %.2f s (the same path on the virtual clock)\n", floor_ms / 1000.0);
  std::printf("ratio:       %.3f\n", wall_s / (floor_ms / 1000.0));
  std::printf("host CPU:    %.2f s (flotilla-cli)\n", cpu_s);
  return ok ? 0 : 1;
}
