// flotilla-bench: times the whole download path (boot downloader, programmer, images,
// restart), or with --update the whole update as flotilla-cli update runs it (NV backup and
// restore included), against stick-sim over pseudo-terminals and compares it with its floor:
// the same run on the virtual clock, which is exactly the pauses the sequence mandates plus
// the waits that the link model's transfer time forces. A benchmark, not a test.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "images/image_set.h"
#include "images/programming.h"
#include "line/line_version.h"
#include "nvdata/nv_backup.h"
#include "platform/posix/files.h"
#include "protocol/diag.h"
#include "update/line_start.h"
#include "update/program_host.h"
#include "update/update_worker.h"
#include "tools/mkimages/image_set.h"
#include "platform/prompts.h"
#include "platform/virtual_clock.h"
#include "sim/transport/inprocess_stick.h"
#include "update/downloader_steps.h"

namespace {

const char kUsage[] =
    "usage: flotilla-bench [--update] [--shipped-sizes | --amss-size N --efs-size N]\n"
    "                      [--latency-ms MS] [--bytes-per-second N]\n"
    "Runs update-path (with --update: the whole update, NV backup and restore included) of a\n"
    "generated image set against stick-sim over ptys and prints the wall time, the floor on the\n"
    "virtual clock, their ratio and flotilla-cli's CPU time and peak memory. --shipped-sizes\n"
    "takes the sizes of a real release (14,796,287 and 31,645,696 bytes).\n";

// The application and file system images of a real release.
constexpr uint64_t kShippedAmssSize = 14796287;
constexpr uint64_t kShippedEfsSize = 31645696;

namespace fs = std::filesystem;
using namespace flotilla;

struct Options {
  uint64_t amss_size = mkimages::kDefaultAmssSize;
  uint64_t efs_size = mkimages::kDefaultEfsSize;
  uint32_t latency_ms = 2;
  uint32_t bytes_per_second = 11520;
  bool update = false;  // the whole update rather than the download path
};

class QuietDisplay : public line::LineDisplay {
 public:
  void AppendLineStatus(int, const std::string&) override {}
  void SetLineProgress(int, int) override {}
};

// The window as the update sees it, answered at once; the worker runs on the calling thread.
class QuietWindow : public update::LineStartHost, public update::WorkerUi {
 public:
  explicit QuietWindow(std::function<update::UpdateEnd()> run) : run_(std::move(run)) {}
  void ShowModelMismatch(const std::string&) override {}
  void RequestClose() override {}
  void ShowStartBox(const std::string&) override {}
  void PauseWatchers(int) override {}
  bool StartWorker(int, line::LineOperation) override {
    end = run_();
    return true;
  }
  void ShowErrorBox(const std::string&) override {}
  void ShowSuccessBox(const std::string&) override {}
  void EndProgram() override {}
  update::UpdateEnd end = update::UpdateEnd::StatusOnly;

 private:
  std::function<update::UpdateEnd()> run_;
};

// The path on the virtual clock against the in-process stick. Returns the virtual
// milliseconds, or -1 when the path failed.
long long FloorMs(const fs::path& images, const fs::path& nv_dir, const Options& o) {
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
  if (o.update) {
    // As flotilla-cli update runs it: the start checks, then the worker with the program's
    // own update host, the NV backup in a directory of the bench's own.
    line.running = 0;
    platform::PosixFileSystem files;
    if (!images::FillImageSetPaths(doc, 0, images.string())) return -1;
    line.paths.nv_directory = nv_dir.string();
    line.paths.nv_backup_file = nvdata::NvBackupFilePath(nv_dir.string(), 1);
    line.operation = line::LineOperation::Update;
    protocol::UnlockServiceProgramming(line.diag_channel);
    line::QueryDeviceVersion(doc, 0);
    update::LineCompletion completion{files, nv_dir.string(), nullptr};
    std::unique_ptr<update::ProgramUpdateHost> host;
    QuietWindow window([&] { return update::UpdateThreadProc(context, completion, *host); });
    host = std::make_unique<update::ProgramUpdateHost>(update::ProgramParts{files}, window);
    const bool ok = update::StartLineOperation(context, files, window) &&
                    window.end == update::UpdateEnd::Succeeded;
    return ok ? static_cast<long long>(clock.NowMs()) : -1;
  }
  bool ok = update::EnterBootDownloader(context) && update::UploadFlashProgrammer(context) &&
            update::StartFlashProgrammer(context) &&
            images::ProgramImages(context) == images::ProgrammingResult::Written &&
            images::RestartAfterProgramming(context);
  return ok ? static_cast<long long>(clock.NowMs()) : -1;
}

// Starts a program; its output goes to `output` when one is named.
pid_t Spawn(const std::vector<std::string>& args, const std::string& output = std::string()) {
  pid_t pid = fork();
  if (pid == 0) {
    if (!output.empty()) {
      const int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
        close(fd);
      }
    }
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
  bool shipped = false;
  bool sized = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--update") {
      o.update = true;
      continue;
    }
    if (a == "--shipped-sizes") {
      shipped = true;
      continue;
    }
    if (a != "--amss-size" && a != "--efs-size" && a != "--latency-ms" && a != "--bytes-per-second") {
      std::fprintf(stderr, "flotilla-bench: unknown option %s\n%s", a.c_str(), kUsage);
      return 2;
    }
    uint64_t v = 0;
    if (i + 1 == argc || !ParseSize(argv[i + 1], v)) {
      std::fprintf(stderr, "flotilla-bench: %s needs a number\n%s", a.c_str(), kUsage);
      return 2;
    }
    ++i;
    if (a == "--amss-size") o.amss_size = v, sized = true;
    else if (a == "--efs-size") o.efs_size = v, sized = true;
    else if (a == "--latency-ms") o.latency_ms = static_cast<uint32_t>(v);
    else o.bytes_per_second = static_cast<uint32_t>(v);
  }
  if (shipped && sized) {
    std::fprintf(stderr, "flotilla-bench: --shipped-sizes sets the image sizes itself\n%s", kUsage);
    return 2;
  }
  if (shipped) {
    o.amss_size = kShippedAmssSize;
    o.efs_size = kShippedEfsSize;
  }

  const fs::path bin = fs::canonical("/proc/self/exe").parent_path();
  const fs::path work = fs::temp_directory_path() / ("flotilla-bench-" + std::to_string(getpid()));
  const fs::path images = work / "images";
  mkimages::ImageSetOptions image_options;
  image_options.amss_size = o.amss_size;
  image_options.efs_size = o.efs_size;
  std::printf("images: amss %llu bytes, efs %llu bytes; link %u ms latency, %u bytes/s\n",
              static_cast<unsigned long long>(o.amss_size),
              static_cast<unsigned long long>(o.efs_size), o.latency_ms, o.bytes_per_second);
  std::fflush(stdout);
  auto made = mkimages::WriteImageSet(images, image_options);
  if (made.outcome != mkimages::ImageSetResult::Outcome::kWritten) {
    std::fprintf(stderr, "flotilla-bench: %s\n", made.message.c_str());
    fs::remove_all(work);
    return 1;
  }

  const char* what = o.update ? "update" : "update-path";
  std::printf("the floor: %s on the virtual clock ...\n", what);
  std::fflush(stdout);
  const fs::path floor_nv = work / "floor-nv";
  fs::create_directories(floor_nv);
  const long long floor_ms = FloorMs(images, floor_nv, o);
  if (floor_ms < 0) {
    std::fprintf(stderr, "flotilla-bench: %s failed on the virtual clock\n", what);
    fs::remove_all(work);
    return 1;
  }

  const fs::path links = work / "stick";
  const fs::path nv = work / "nv";
  fs::create_directories(links);
  fs::create_directories(nv);
  const std::string ready = (work / "ready").string();
  pid_t sim = Spawn({(bin / "stick-sim").string(), "--link-dir", links.string(), "--ready-file",
                     ready, "--log", (work / "sim.log").string(), "--latency-ms",
                     std::to_string(o.latency_ms), "--bytes-per-second",
                     std::to_string(o.bytes_per_second), "--programmer",
                     (images / "armprg.bin").string()});
  for (int i = 0; i < 100 && !fs::exists(ready); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

  std::printf("the wall time: flotilla-cli %s against stick-sim over ptys ...\n", what);
  std::fflush(stdout);
  std::vector<std::string> command = {(bin / "flotilla-cli").string(), "--diag", (links / "diag").string(),
                                      "--at", (links / "at").string(), what, images.string()};
  if (o.update) command.insert(command.end(), {"--nv-dir", nv.string()});
  const auto start = std::chrono::steady_clock::now();
  const std::string cli_log = (work / "cli.log").string();
  pid_t cli = Spawn(command, cli_log);
  int status = 0;
  rusage usage{};
  wait4(cli, &status, 0, &usage);
  const double wall_s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  kill(sim, SIGTERM);
  waitpid(sim, nullptr, 0);
  const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!ok) {
    // What the tool said last, for the failure.
    std::ifstream log(cli_log);
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);) lines.push_back(line);
    for (size_t i = lines.size() > 10 ? lines.size() - 10 : 0; i < lines.size(); ++i)
      std::fprintf(stderr, "  %s\n", lines[i].c_str());
  }
  fs::remove_all(work);

  const double cpu_s = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                       (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  std::printf("%s: %s\n", what, ok ? "succeeded" : "FAILED");
  std::printf("wall time:   %.2f s\n", wall_s);
  std::printf("floor:       %.2f s (the same run on the virtual clock)\n", floor_ms / 1000.0);
  std::printf("ratio:       %.3f\n", wall_s / (floor_ms / 1000.0));
  std::printf("host CPU:    %.2f s (flotilla-cli)\n", cpu_s);
  std::printf("peak memory: %.1f MiB (flotilla-cli)\n", usage.ru_maxrss / 1024.0);
  return ok ? 0 : 1;
}
