// flotilla-cli: the service tool's commands, over the same operations the program uses.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli_platform.h"
#include "discovery/diag_switch.h"
#include "discovery/port_lookup.h"
#include "images/image_set.h"
#include "images/programming.h"
#include "images/version_record.h"
#include "update/downloader_steps.h"
#include "line/line_context.h"
#include "protocol/diag.h"
#include "protocol/streaming.h"
#include "line/flotilla_doc.h"
#include "line/line_version.h"
#include "nvdata/nv_backup.h"
#include "platform/paths.h"
#include "update/line_start.h"
#include "update/program_host.h"
#include "update/update_worker.h"

namespace flotilla::cli {
namespace {

constexpr int kLine = 0;
constexpr uint32_t kBaud = 115200;
// Port numbers given to ports named by path, where there are no COM numbers.
constexpr int kDiagHint = 1;
constexpr int kAtHint = 2;

int Fail(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  return 1;
}

bool Complain(const std::string& text) {
  Fail(text);
  return false;
}

std::string Hex(const uint8_t* data, size_t length) {
  std::string out;
  char digits[3];
  for (size_t i = 0; i < length; ++i) {
    std::snprintf(digits, sizeof digits, "%02x", data[i]);
    out += digits;
  }
  return out;
}

// The directory part of `path` (either separator); "." for a bare file name.
std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of("\\/");
  if (slash == std::string::npos) return ".";
  return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

// Empty when a file can be made in `directory`; otherwise why not. The check writes an empty
// file and removes it again, so a failure shows before the stick is touched.
std::string WhyNotWritable(platform::FileSystem& files, const std::string& directory) {
  if (!platform::PathExists(files, directory)) return "the directory " + directory + " does not exist";
  const std::string probe = platform::JoinPath(directory, ".flotilla-cli-write-check.tmp");
  if (!files.CreateForWriting(probe)) return "the directory " + directory + " cannot be written";
  files.DeleteFile(probe);
  return "";
}

bool ParseHex(const std::string& text, std::vector<uint8_t>& out) {
  if (text.size() % 2) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    unsigned value = 0;
    if (std::sscanf(text.c_str() + i, "%2x", &value) != 1 || !std::isxdigit(static_cast<unsigned char>(text[i])) ||
        !std::isxdigit(static_cast<unsigned char>(text[i + 1])))
      return false;
    out.push_back(static_cast<uint8_t>(value));
  }
  return true;
}

// Shows the line's status and progress on the console as the operations report them.
class ConsoleDisplay : public line::LineDisplay {
 public:
  void AppendLineStatus(int line, const std::string& text) override {
    last_status = text;
    std::printf("line %d: %s\n", line + 1, text.c_str());
    std::fflush(stdout);
  }
  void SetLineProgress(int, int percent) override {
    if (percent == last_) return;
    last_ = percent;
    std::printf("progress %d%%\n", percent);
    std::fflush(stdout);
  }

  std::string last_status;  // the last status line, the reason of a failure that leaves none in the channel

 private:
  int last_ = -1;
};

class ConsolePrompts : public platform::Prompts {
 public:
  void ShowMessage(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
};

struct Options {
  std::string diag;
  std::string at;
  std::string spc = "000000";
  uint16_t nv_item = 0;
  std::string nv_hex;
  std::string amss_file;
  std::string file;
  std::string image_dir;
  std::string at_command;
  int nv_mode = 2;
  std::string nv_dir;
  std::string default_nv_file;
  bool german = false;
  std::string diag_switch = "on";
};

// The window's boxes and requests of a headless update: texts on the console, every box
// answered OK or Yes.
class ConsoleUi : public update::LineStartHost, public update::WorkerUi {
 public:
  ConsoleUi(const std::function<update::UpdateEnd(int, line::LineOperation)>& run) : run_(run) {}
  void ShowModelMismatch(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
  void RequestClose() override { close_requested = true; }
  void ShowStartBox(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
  void PauseWatchers(int) override {}
  bool StartWorker(int line, line::LineOperation operation) override {
    end = run_(line, operation);
    return true;
  }
  void ShowErrorBox(const std::string& text) override { std::fprintf(stderr, "Error: %s\n", text.c_str()); }
  void ShowSuccessBox(const std::string& text) override { std::printf("%s\n", text.c_str()); }
  void EndProgram() override { ended = true; }

  bool close_requested = false;
  bool ended = false;
  update::UpdateEnd end = update::UpdateEnd::StatusOnly;

 private:
  std::function<update::UpdateEnd(int, line::LineOperation)> run_;
};

class Session {
 public:
  Session(CliPlatform& platform, const Options& options)
      : platform_(platform),
        options_(options),
        doc_(line::DocEnvironment{platform.SerialDevices(), platform.Clock(),
                                    options.german ? line::kGermanLanguageId : platform.LanguageId(),
                                    platform.ModuleFileName()}) {}

  protocol::PhoneChannel& Diag() { return doc_.Line(kLine).diag_channel; }

  // Opens the diagnostics port named on the command line.
  bool OpenDiag() {
    if (options_.diag.empty()) return Complain("no --diag port given");
    const int port = platform_.PortNumber(options_.diag, kDiagHint);
    if (port == 0 || !doc_.OpenDiagPort(kLine, port, kBaud))
      return Complain("cannot open the diagnostics port " + options_.diag);
    if (!Diag().SetServiceProgrammingCode(options_.spc))
      return Complain("the service programming code must be six digits");
    return true;
  }

  int Version() {
    if (!OpenDiag()) return 1;
    protocol::UnlockServiceProgramming(Diag());
    const bool found = line::QueryDeviceVersion(doc_, kLine);
    std::printf("version: %s\n", doc_.Line(kLine).texts.VersionText().c_str());
    if (!found) return Fail(Diag().ErrorText());
    protocol::VersionSet texts;
    if (!protocol::QueryVersionSet(Diag(), texts)) return Fail(Diag().ErrorText());
    for (size_t i = 0; i < texts.size(); ++i) std::printf("text %zu: %s\n", i + 1, texts[i].c_str());
    return 0;
  }

  int Esn() {
    if (!OpenDiag()) return 1;
    uint32_t esn = 0;
    if (!protocol::QueryEsn(Diag(), esn)) return Fail(Diag().ErrorText());
    std::printf("esn: %08x\n", esn);
    return 0;
  }

  int NvRead() {
    if (!OpenDiag()) return 1;
    protocol::NvData data{};
    uint16_t status = 0;
    if (!protocol::ReadNvItem(Diag(), options_.nv_item, data, status)) return Fail(Diag().ErrorText());
    std::printf("nv %u: %s\n", unsigned{options_.nv_item}, Hex(data.data(), data.size()).c_str());
    return 0;
  }

  int NvWrite() {
    std::vector<uint8_t> bytes;
    if (!ParseHex(options_.nv_hex, bytes) || bytes.size() > protocol::kNvDataBytes) {
      std::fprintf(stderr, "nv-write wants up to 128 bytes as hex digits\n");
      return 2;
    }
    if (!OpenDiag()) return 1;
    protocol::NvData data{};
    std::copy(bytes.begin(), bytes.end(), data.begin());
    uint16_t status = 0;
    protocol::UnlockServiceProgramming(Diag());
    if (!protocol::WriteNvItem(Diag(), options_.nv_item, data, status)) return Fail(Diag().ErrorText());
    std::printf("nv %u written\n", unsigned{options_.nv_item});
    return 0;
  }

  int Simple(bool (*operation)(protocol::PhoneChannel&), const char* done) {
    if (!OpenDiag()) return 1;
    if (!operation(Diag())) return Fail(Diag().ErrorText());
    std::printf("%s\n", done);
    return 0;
  }

  // Why `path` cannot be opened for reading, as far as the files seam tells.
  std::string CannotOpen(const std::string& path) {
    return platform_.Files().Exists(path) ? "cannot read " + path : path + " does not exist";
  }

  int DownloadCheck() {
    platform::FileSystem& files = platform_.Files();
    std::unique_ptr<platform::FileHandle> image = files.OpenForReading(options_.amss_file);
    if (!image) return Fail(CannotOpen(options_.amss_file));
    protocol::VersionRecord record{};
    if (!images::FindVersionRecord(*image, record))
      std::fprintf(stderr, "no version record in %s; sending zeros\n", options_.amss_file.c_str());
    if (!OpenDiag()) return 1;
    int result = -1;
    if (!protocol::DownloadCheck(Diag(), record, result)) return Fail(Diag().ErrorText());
    std::printf("download check passed\n");
    return 0;
  }

  // The check an update makes of its image set, on the set in the given directory; there is
  // no stick to wait for.
  int CheckImages() {
    platform::FileSystem& files = platform_.Files();
    if (!images::FillImageSetPaths(doc_, kLine, options_.image_dir))
      return Fail("the image directory is too long: " + options_.image_dir);
    if (!images::CheckImageSet(doc_, files, prompts_, kLine, false)) {
      NameUnusableImageFile(files);
      return Fail(images::ImageSetFailureText(doc_.German()));
    }
    std::printf("image set complete: %s\n", options_.image_dir.c_str());
    return 0;
  }

  // Which file of the set the check refused, for a user who would otherwise have to guess.
  void NameUnusableImageFile(platform::FileSystem& files) {
    const std::string unusable = images::FirstUnusableImageFile(doc_, files, kLine);
    if (!unusable.empty()) Fail("missing or empty: " + unusable);
  }

  int VersionRecord() {
    platform::FileSystem& files = platform_.Files();
    if (!line::SetPath(doc_.Line(kLine).paths.amss, options_.amss_file, line::kPathWidth))
      return Fail("the file name is too long: " + options_.amss_file);
    line::LineContext context = Line();
    protocol::VersionRecord record{};
    if (!images::LocateVersionRecord(context, files, record))
      return Fail(files.OpenForReading(options_.amss_file) ? "no version record in " + options_.amss_file
                                                           : "version-record: " + CannotOpen(options_.amss_file));
    std::printf("version record: %s\n", protocol::VersionTextOfRecord(record.data(), record.size()).c_str());
    return 0;
  }

  // The download steps run on line 0 with the ports named on the command line.
  line::LineContext Line() {
    return line::LineContext{doc_, platform_.Registry(), display_, prompts_, kLine};
  }

  bool PrepareLine() {
    if (!OpenDiag()) return false;
    line::LineRecord& line = doc_.Line(kLine);
    line.diag_port = platform_.PortNumber(options_.diag, kDiagHint);
    if (!options_.at.empty()) line.data_port = platform_.PortNumber(options_.at, kAtHint);
    line.running = 1;
    return true;
  }

  int Step(const char* what, bool (*step)(line::LineContext&)) {
    line::LineContext context = Line();
    if (!step(context)) return Fail(std::string(what) + " failed: " + Diag().ErrorText());
    std::printf("%s: done\n", what);
    return 0;
  }

  int EnterDownloader() {
    if (!PrepareLine()) return 1;
    return Step("enter-downloader", update::EnterBootDownloader);
  }

  int UploadProgrammer() {
    if (!PrepareLine()) return 1;
    doc_.Line(kLine).paths.flash_programmer = options_.file;
    return Step("upload-programmer", update::UploadFlashProgrammer);
  }

  int StartProgrammer() {
    if (!PrepareLine()) return 1;
    return Step("start-programmer", update::StartFlashProgrammer);
  }

  // The programming passes, where a stop is not a failure of the stick.
  static bool WriteImages(line::LineContext& context) {
    return images::ProgramImages(context) == images::ProgrammingResult::Written;
  }

  void UseImageDirectory() {
    line::ImageSetPaths& paths = doc_.Line(kLine).paths;
    paths.image_directory = options_.image_dir;
    paths.flash_programmer = options_.image_dir + "/armprg.bin";
  }

  int Program() {
    if (!PrepareLine()) return 1;
    UseImageDirectory();
    // The passes would wait minutes for a flash programmer that is not there; a no-op, which
    // the programmer takes at any point, tells at once.
    std::printf("program: asking the flash programmer on %s for a no-op\n", options_.diag.c_str());
    std::fflush(stdout);
    if (!protocol::StreamNop(Diag()))
      return Fail("program: no flash programmer answers on " + options_.diag + " (" + Diag().ErrorText() +
                  "); a stick running its firmware needs enter-downloader, upload-programmer and "
                  "start-programmer first, or update-path");
    if (int rc = Step("program", WriteImages)) return rc;
    if (int rc = Step("restart", images::RestartAfterProgramming)) return rc;
    std::printf("version: %s\n", doc_.Line(kLine).texts.VersionText().c_str());
    return 0;
  }

  int UpdatePath() {
    if (!PrepareLine()) return 1;
    UseImageDirectory();
    if (int rc = Step("enter-downloader", update::EnterBootDownloader)) return rc;
    if (int rc = Step("upload-programmer", update::UploadFlashProgrammer)) return rc;
    if (int rc = Step("start-programmer", update::StartFlashProgrammer)) return rc;
    if (int rc = Step("program", WriteImages)) return rc;
    if (int rc = Step("restart", images::RestartAfterProgramming)) return rc;
    std::printf("version: %s\n", doc_.Line(kLine).texts.VersionText().c_str());
    return 0;
  }

  int AtCommand() {
    if (options_.at.empty()) return Fail("no --at port given");
    const int port = platform_.PortNumber(options_.at, kAtHint);
    if (port == 0 || !doc_.OpenAtPort(kLine, port, kBaud))
      return Fail("cannot open the AT port " + options_.at);
    const bool ok = discovery::SendLineAtCommand(doc_, kLine, options_.at_command) == 1;
    std::string line;
    if (!protocol::FirstReplyLine(doc_.Line(kLine).at_channel.LastReply(), line))
      return Fail(doc_.Line(kLine).at_channel.LastReply().empty()
                      ? "no answer to " + options_.at_command + " on the AT port " + options_.at
                      : "no complete answer to " + options_.at_command + " on the AT port " + options_.at);
    std::printf("%s\n", line.c_str());
    return ok ? 0 : 1;
  }

  // The switch as the window's port buttons run it; the window's memory of an earlier switch-on
  // is what the command line says.
  int SwitchDiag() {
    if (options_.at.empty()) return Fail("no --at port given");
    line::LineRecord& line = doc_.Line(kLine);
    line.data_port = platform_.PortNumber(options_.at, kAtHint);
    const bool on = options_.diag_switch == "on";
    discovery::DiagSwitchState state;
    state.switched_on = !on;
    line::LineContext context = Line();
    const bool switched = discovery::SwitchDiagnosticsPort(context, state);
    if (on) std::printf("version: %s\n", state.version.c_str());
    if (!switched) return Fail(std::string("the diagnostics interface could not be switched ") + (on ? "on" : "off"));
    std::printf("diagnostics interface %s\n", on ? "on" : "off");
    return 0;
  }

  // The version record for the download check that opens the NV operations: from --amss
  // when given, otherwise 128 zeros as when the image holds none.
  nvdata::NvEnvironment NvFiles() {
    nvdata::NvEnvironment environment{platform_.Files(), nullptr};
    if (!options_.amss_file.empty())
      environment.locate_version_record = [this](line::LineContext&, protocol::VersionRecord& record) {
        auto image = platform_.Files().OpenForReading(options_.amss_file);
        return image && images::FindVersionRecord(*image, record);
      };
    return environment;
  }

  int NvBackup() {
    const std::string why = WhyNotWritable(platform_.Files(), DirectoryOf(options_.file));
    if (!why.empty()) return Fail("nv-backup: " + why + "; nothing was read from the stick");
    if (!PrepareLine()) return 1;
    line::LineContext context = Line();
    nvdata::NvEnvironment environment = NvFiles();
    if (!nvdata::BackupNvItems(context, environment, options_.file))
      return Fail("nv-backup failed; " + options_.file + " was left as it was");
    std::printf("nv backup written to %s\n", options_.file.c_str());
    return 0;
  }

  int NvRestore() {
    if (!platform_.Files().OpenForReading(options_.file))
      return Fail("nv-restore: " + CannotOpen(options_.file) + "; nothing was written to the stick");
    if (!PrepareLine()) return 1;
    doc_.nv_mode = static_cast<line::NvMode>(options_.nv_mode);
    protocol::UnlockServiceProgramming(Diag());
    line::LineContext context = Line();
    nvdata::NvEnvironment environment = NvFiles();
    if (!nvdata::RestoreNvItems(context, environment, options_.file))
      return Fail("nv-restore failed: " + (!Diag().ErrorText().empty() ? Diag().ErrorText()
                                           : !display_.last_status.empty() ? display_.last_status
                                                                           : std::string("see the lines above")));
    std::printf("nv items restored from %s\n", options_.file.c_str());
    return 0;
  }

  // A whole update as the window runs it: the start checks, then the update worker, with the
  // boxes on the console. Exit code 0 only after the success box.
  int Update() {
    // The NV backup goes to --nv-dir, or to the current directory as the window's goes to its
    // own; checked before the stick is taken offline.
    platform::FileSystem& files = platform_.Files();
    const std::string nv_dir = options_.nv_dir.empty() ? files.CurrentDirectory() : options_.nv_dir;
    if (options_.nv_mode != 0) {
      const std::string why = WhyNotWritable(files, nv_dir);
      if (!why.empty())
        return Fail("update: " + why + " (the NV backup Channel1.nvm goes there; --nv-dir names another)");
      std::printf("update: the NV backup goes to Channel1.nvm in %s\n", nv_dir.c_str());
    }
    line::LineRecord& line = doc_.Line(kLine);
    if (!images::FillImageSetPaths(doc_, kLine, options_.image_dir))
      return Fail("the image set's paths are too long: " + options_.image_dir);
    // Every file the update reads, named before the stick is touched; the start check refuses
    // the set all the same.
    const std::string unusable = images::FirstUnusableImageFile(doc_, files, kLine);
    if (!unusable.empty()) return Fail("the image set is incomplete: " + unusable + " is missing or empty");
    if (!PrepareLine()) return 1;
    line.running = 0;
    if (line.data_port != 0) doc_.OpenAtPort(kLine, line.data_port, kBaud);
    line.paths.nv_directory = nv_dir;
    line.paths.nv_backup_file = nvdata::NvBackupFilePath(nv_dir, kLine + 1);
    line.paths.default_nv_file = options_.default_nv_file;
    doc_.nv_mode = static_cast<line::NvMode>(options_.nv_mode);
    line.operation = line::LineOperation::Update;
    protocol::UnlockServiceProgramming(Diag());
    line::QueryDeviceVersion(doc_, kLine);

    update::LineCompletion completion{files, files.CurrentDirectory(), nullptr};
    line::LineContext context = Line();
    std::unique_ptr<update::ProgramUpdateHost> host;
    ConsoleUi ui([&](int, line::LineOperation) {
      return update::UpdateThreadProc(context, completion, *host);
    });
    host = std::make_unique<update::ProgramUpdateHost>(update::ProgramParts{files}, ui);
    if (!update::StartLineOperation(context, files, ui)) {
      NameUnusableImageFile(files);
      return Fail("the update did not start");
    }
    if (ui.end != update::UpdateEnd::Succeeded || !ui.ended) return Fail("the update failed");
    return 0;
  }

  int Lookup() {
    // The ports named on the command line are where the lookup may look for a stick.
    if (!options_.diag.empty()) platform_.PortNumber(options_.diag, kDiagHint);
    if (!options_.at.empty()) platform_.PortNumber(options_.at, kAtHint);
    line::LineRecord& line = doc_.Line(kLine);
    line.diag_port = 0;
    if (!discovery::LocateDevicePorts(doc_, kLine, platform_.Registry()))
      return Fail("no stick is registered");
    const int data = line.data_port, diag = line.diag_port;
    std::printf("data port: %d (%s)\ndiag port: %d (%s)\n", data, platform_.Describe(data).c_str(),
                diag, platform_.Describe(diag).c_str());
    return 0;
  }

 private:
  CliPlatform& platform_;
  const Options& options_;
  line::CFlotillaDoc doc_;
  ConsoleDisplay display_;
  ConsolePrompts prompts_;
};

// The first word on the command line that is neither an option nor an option's value: the
// command. nullptr when there is none.
const char* CommandWord(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--diag" || word == "--at" || word == "--spc") {
      ++i;
      continue;
    }
    if (!word.empty() && word[0] == '-') continue;
    return argv[i];
  }
  return nullptr;
}

}  // namespace

int RunCli(int argc, char** argv, CliPlatform& platform) {
  Options options;
  CLI::App app{"flotilla-cli: service tool for the stick's diagnostics and AT ports"};
  app.name("flotilla-cli");
  app.require_subcommand(1);
  app.add_option("--diag", options.diag, "the diagnostics port (a device path, or COMn on Windows)");
  app.add_option("--at", options.at, "the AT (modem) port");
  app.add_option("--spc", options.spc, "the six-digit service programming code");

  auto* version = app.add_subcommand("version", "the device version and the nine version texts");
  auto* esn = app.add_subcommand("esn", "the ESN");
  auto* nv_read = app.add_subcommand("nv-read", "read one NV item");
  nv_read->add_option("ID", options.nv_item, "NV item number")->required();
  auto* nv_write = app.add_subcommand("nv-write", "write one NV item");
  nv_write->add_option("ID", options.nv_item, "NV item number")->required();
  nv_write->add_option("HEX", options.nv_hex, "up to 128 data bytes as hex")->required();
  auto* offline = app.add_subcommand("offline", "put the stick offline");
  auto* reset = app.add_subcommand("reset", "reset the stick");
  auto* check = app.add_subcommand("download-check", "the download check of an application image");
  check->add_option("AMSS_FILE", options.amss_file, "the application image (amss.mbn)")->required();
  auto* lookup = app.add_subcommand("lookup", "find the stick's ports through the driver registrations");
  auto* at = app.add_subcommand("at", "send one AT command on the AT port and print the answer");
  at->add_option("COMMAND", options.at_command, "the command, e.g. AT+GMR")->required();
  auto* enter = app.add_subcommand("enter-downloader", "take the running stick into its boot downloader");
  auto* upload = app.add_subcommand("upload-programmer", "write the flash programmer into the stick's memory");
  upload->add_option("FILE", options.file, "the flash programmer (armprg.bin)")->required();
  auto* start = app.add_subcommand("start-programmer", "start the uploaded flash programmer");
  auto* program = app.add_subcommand("program", "write an image set, then bring the stick back");
  program->add_option("IMAGE_DIR", options.image_dir, "directory of the image set")->required();
  auto* update_path = app.add_subcommand("update-path", "enter-downloader, upload-programmer, start-programmer and program in a row");
  update_path->add_option("IMAGE_DIR", options.image_dir, "directory of the image set")->required();
  auto* check_images = app.add_subcommand("check-images", "the check an update makes of the image set in DIR");
  check_images->add_option("DIR", options.image_dir, "directory of the image set")->required();
  auto* version_record = app.add_subcommand("version-record", "the version text of an application image's version record");
  version_record->add_option("AMSS_FILE", options.amss_file, "the application image (amss.mbn)")->required();

  auto* nv_backup = app.add_subcommand("nv-backup", "back the stick's NV items up into a 153,000-byte file");
  nv_backup->add_option("FILE", options.file, "the backup file (replaced only by a complete backup)")->required();
  nv_backup->add_option("--amss", options.amss_file, "the application image whose version record the download check sends");
  auto* nv_restore = app.add_subcommand("nv-restore", "write the NV items of a backup file back to the stick");
  nv_restore->add_option("FILE", options.file, "the backup file")->required();
  nv_restore->add_option("--nv-mode", options.nv_mode, "1: without the IMEI items 550 and 4051; 2: all items")
      ->check(CLI::IsMember({1, 2}));
  nv_restore->add_option("--amss", options.amss_file, "the application image whose version record the download check sends");

  auto* switch_diag = app.add_subcommand("switch-diag", "switch the stick's diagnostics interface on (reading the firmware version) or off over the AT port");
  switch_diag->add_option("STATE", options.diag_switch, "on (default) or off")->check(CLI::IsMember({"on", "off"}));

  auto* update = app.add_subcommand("update", "a whole update as the program runs it, with its boxes on the console");
  update->add_option("IMAGE_DIR", options.image_dir, "directory of the image set")->required();
  update->add_option("--nv-dir", options.nv_dir, "existing directory of the NV backup file Channel1.nvm (default: the current directory)");
  update->add_option("--nv-mode", options.nv_mode, "0: no NV backup; 1: restore without the IMEI items; 2: all items; 3: the default NV file")
      ->check(CLI::IsMember({0, 1, 2, 3}));
  update->add_option("--default-nv", options.default_nv_file, "the default NV file of --nv-mode 3");
  update->add_flag("--german", options.german, "the German texts");

  // Bad usage: what is wrong, the usage, exit code 2, as in every other tool. The parser would
  // call an unknown command a missing one, so the command word is looked at first.
  const auto bad_usage = [&app](const std::string& what) {
    std::fprintf(stderr, "flotilla-cli: %s\n%s", what.c_str(), app.help().c_str());
    return 2;
  };
  if (const char* word = CommandWord(argc, argv)) {
    const std::vector<CLI::App*> commands = app.get_subcommands({});
    if (std::none_of(commands.begin(), commands.end(), [word](CLI::App* c) { return c->check_name(word); }))
      return bad_usage(std::string("unknown command ") + word);
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return bad_usage(e.what());
  }

  Session session(platform, options);
  if (version->parsed()) return session.Version();
  if (esn->parsed()) return session.Esn();
  if (nv_read->parsed()) return session.NvRead();
  if (nv_write->parsed()) return session.NvWrite();
  if (offline->parsed()) return session.Simple(protocol::PutOffline, "offline");
  if (reset->parsed()) return session.Simple(protocol::ResetPhone, "reset");
  if (check->parsed()) return session.DownloadCheck();
  if (lookup->parsed()) return session.Lookup();
  if (at->parsed()) return session.AtCommand();
  if (enter->parsed()) return session.EnterDownloader();
  if (upload->parsed()) return session.UploadProgrammer();
  if (start->parsed()) return session.StartProgrammer();
  if (program->parsed()) return session.Program();
  if (update_path->parsed()) return session.UpdatePath();
  if (check_images->parsed()) return session.CheckImages();
  if (version_record->parsed()) return session.VersionRecord();
  if (nv_backup->parsed()) return session.NvBackup();
  if (nv_restore->parsed()) return session.NvRestore();
  if (update->parsed()) return session.Update();
  if (switch_diag->parsed()) return session.SwitchDiag();
  return 2;
}

}  // namespace flotilla::cli
