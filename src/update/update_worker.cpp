// UpdateThreadProc: the update of one stick, phase by phase, with every wait and retry.
#include "update/update_worker.h"

#include <functional>

#include "discovery/port_lookup.h"
#include "discovery/port_wait.h"
#include "images/programming.h"
#include "line/line_version.h"
#include "protocol/diag.h"
#include "protocol/operation_text.h"
#include "update/downloader_steps.h"

namespace flotilla::update {
namespace {

constexpr uint16_t kKeptNvItem = 22;
constexpr int kLookupsBeforeReinsertBox = 5;
// How long a wait for the stick's ports lasts: from its start, or from the moment the user
// closed the reinsert box (who has plugged the stick in again by then). A stick that has not
// come back by then is not coming back by itself.
constexpr uint32_t kStickWaitLimitMs = discovery::kReenumerationLimitMs;

const char kFailureBox[] = "Download failure, Please download again!";

class UpdateRun {
 public:
  UpdateRun(line::LineContext& context, LineCompletion& completion, UpdateHost& host)
      : c_(context), completion_(completion), host_(host), german_(context.doc.German()) {}

  UpdateEnd Run();

 private:
  // Up to `tries` calls, sleeping `pause_ms` after each failed one; true when one succeeded.
  bool Tries(int tries, uint32_t pause_ms, const std::function<bool()>& attempt) {
    for (int i = 0; i < tries; ++i) {
      if (attempt()) return true;
      c_.Sleep(pause_ms);
    }
    return false;
  }
  bool Locate() { return discovery::LocateDevicePorts(c_.doc, c_.line, c_.registry) != 0; }
  // Looks the ports up until the stick is there, with a pause after every lookup; the
  // reinsert box comes once after the fifth failed lookup when `reinsert_box` is set. False
  // when the stick is still away kStickWaitLimitMs after the start or after the box.
  bool WaitForStick(bool reinsert_box) {
    platform::Clock& clock = c_.doc.Clock();
    uint32_t since = clock.TickCount();
    for (int failed = 0; !Locate();) {
      if (platform::Elapsed(since, clock.TickCount()) >= kStickWaitLimitMs) {
        c_.Status(protocol::FormatText("Line%d: the stick did not come back within %u s",
                                       c_.line + 1, unsigned{kStickWaitLimitMs / 1000}));
        return false;
      }
      c_.Sleep(1000);
      if (reinsert_box && ++failed == kLookupsBeforeReinsertBox) {
        host_.ShowErrorBox(ReinsertText(german_));
        since = clock.TickCount();
      }
    }
    return true;
  }
  bool OpenAt() { return Tries(3, 2000, [&] { return c_.ReopenAt(); }); }
  bool AtCommand(const char* command) {
    return discovery::SendLineAtCommand(c_.doc, c_.line, command) != 0;
  }
  // An AT command that reopens the AT port after each failure.
  void AtCommandWithReopen(const char* command) {
    for (int i = 0; i < 3; ++i) {
      if (AtCommand(command)) return;
      c_.ReopenAt();
      c_.Sleep(5000);
    }
  }
  UpdateEnd Finish(const std::string& text, ActionOutcome outcome) {
    FinishLineAction(c_, completion_, text, outcome);
    return UpdateEnd::Finished;
  }
  // The two early failures that end with a status line (German) or the failure box.
  UpdateEnd FailEarly() {
    if (german_) {
      c_.Status("Download fehlgeschlagen");
    } else {
      host_.ShowErrorBox(kFailureBox);
    }
    return UpdateEnd::StatusOnly;
  }
  UpdateEnd Stopped(ActionOutcome english_outcome) {
    return german_ ? Finish("Download fehlgeschlagen", ActionOutcome::FailMaybeInDownloader)
                   : Finish("action stop!", english_outcome);
  }

  bool PhaseA(UpdateEnd& end);
  bool PrepareAndReset();
  UpdateEnd StickLost();
  void WriteHistoryHeader();
  bool BackUpNv();
  UpdateEnd EnterDownloader(bool& entered);
  UpdateEnd RestoreNv(bool& restored);
  bool ReturnToUse();
  UpdateEnd NotBack();

  line::LineContext& c_;
  LineCompletion& completion_;
  UpdateHost& host_;
  const bool german_;
  // NV item 22 as read before the update, with the bytes the new firmware sets cleared;
  // written back only when it was read.
  bool kept_item_read_ = false;
  protocol::NvData kept_item_{};
};

bool UpdateRun::PrepareAndReset() {
  protocol::PhoneChannel& diag = c_.Diag();
  c_.Progress(1);
  c_.Status(german_ ? "Gerät wird aktualisiert..." : "Downloading...");
  Tries(3, 3000, [&] { return protocol::PutOffline(diag); });
  Tries(3, 1000, [&] { return protocol::SubsystemAA(diag, 1); });
  c_.Sleep(3000);
  c_.Progress(2);
  Tries(3, 2000, [&] { return protocol::SetAutorun(diag, 0); });
  Tries(3, 3000, [&] { return protocol::PutOffline(diag) && protocol::ResetPhone(diag); });
  AtCommand("AT+ZRST");
  c_.Sleep(10000);
  c_.Progress(3);
  if (!WaitForStick(true)) return false;
  c_.Progress(7);
  Locate();
  Tries(3, 2000, [&] { return c_.ReopenDiag(); });
  c_.display.ShowLinePorts(c_.line);
  return true;
}

// A stick that did not come back after a reset: as after the programming, the line is
// finished with the failure box; a stick that comes back later is found by the watch.
UpdateEnd UpdateRun::StickLost() {
  if (german_) return Finish("Download fehlgeschlagen!", ActionOutcome::DownloadFailedAndReset);
  Finish("reset modem fail!", ActionOutcome::FailMaybeInDownloader);
  host_.ShowErrorBox(kFailureBox);
  return UpdateEnd::Finished;
}

void UpdateRun::WriteHistoryHeader() {
  line::LineRecord& record = c_.Record();
  record.history.Clear();
  c_.Progress(8);
  c_.Note("Current Version : " + record.texts.VersionText());
  c_.Note("Download Version : " + c_.doc.Line(0).paths.image_directory);
  c_.Note("Armprg path : " + record.paths.flash_programmer);
  c_.Note("");
}

bool UpdateRun::BackUpNv() {
  const line::NvMode mode = c_.doc.nv_mode;
  if (mode != line::NvMode::RestoreRf && mode != line::NvMode::RestoreRfAndImei) return true;
  if (!host_.RequireNvDirectory(c_)) {
    c_.Sleep(200);
    if (!host_.RequireNvDirectory(c_)) return false;
  }
  return host_.BackupNvItems(c_);
}

// False with `end` set when the update ended in it.
bool UpdateRun::PhaseA(UpdateEnd& end) {
  if (!PrepareAndReset()) {
    end = StickLost();
    return false;
  }
  WriteHistoryHeader();

  protocol::PhoneChannel& diag = c_.Diag();
  protocol::NvData item{};
  uint16_t status = 0;
  kept_item_read_ = Tries(3, 200, [&] { return protocol::ReadNvItem(diag, kKeptNvItem, item, status); });
  if (kept_item_read_) {
    kept_item_ = item;
    for (size_t i = 22; i <= 49; ++i) kept_item_[i] = 0;
  }
  c_.Sleep(200);

  const protocol::VersionRecord record = host_.LocateVersionRecord(c_);
  int verdict = 0;
  if (!protocol::DownloadCheck(diag, record, verdict)) {
    c_.Sleep(200);
    if (!protocol::DownloadCheck(diag, record, verdict)) {
      c_.Sleep(1000);
      protocol::DownloadCheck(diag, record, verdict);
    }
  }
  c_.Progress(9);
  if (BackUpNv()) return true;
  end = FailEarly();
  return false;
}

UpdateEnd UpdateRun::EnterDownloader(bool& entered) {
  entered = EnterBootDownloader(c_);
  if (entered) return UpdateEnd::Finished;
  host_.ShowErrorBox(ReinsertText(german_));
  c_.Sleep(1000);
  if (WaitForStick(false)) {
    OpenAt();
    if (c_.ReopenDiag() && line::QueryDeviceVersion(c_.doc, c_.line)) c_.display.ShowLinePorts(c_.line);
    // The reinsert box promised that OK finishes the update, so a second entry carries on.
    entered = EnterBootDownloader(c_);
    if (entered) return UpdateEnd::Finished;
  }
  if (german_) {
    c_.Status("Download fehlgeschlagen");
    return UpdateEnd::StatusOnly;
  }
  FinishLineAction(c_, completion_, "switch to DownLoad mode fail!",
                   ActionOutcome::FailMaybeInDownloader);
  host_.ShowErrorBox(kFailureBox);
  return UpdateEnd::Finished;
}

UpdateEnd UpdateRun::RestoreNv(bool& restored) {
  const line::NvMode mode = c_.doc.nv_mode;
  restored = true;
  switch (mode) {
    case line::NvMode::RestoreRf:
    case line::NvMode::RestoreRfAndImei:
      restored = Tries(3, 2000, [&] { return host_.RestoreNvItems(c_, c_.Record().paths.nv_backup_file); });
      break;
    case line::NvMode::LoadDefault:
      restored = host_.RestoreNvItems(c_, c_.doc.Line(0).paths.default_nv_file);
      break;
    case line::NvMode::NoBackup:
      break;
  }
  if (restored) return UpdateEnd::Finished;
  if (!german_) return Finish("Restore NV fail!", ActionOutcome::FailMaybeInDownloader);
  switch (mode) {
    case line::NvMode::RestoreRf: return Finish("fehlgeschlagen", ActionOutcome::DownloadFailedAndReset);
    case line::NvMode::LoadDefault:
      return Finish("Download fehlgeschlagen", ActionOutcome::FailMaybeInDownloader);
    default: return Finish("Download fehlgeschlagen", ActionOutcome::DownloadFailedAndReset);
  }
}

// Steps the stick through its first start with the new firmware; false when it did not come
// back to answer, and nothing more was sent.
bool UpdateRun::ReturnToUse() {
  protocol::PhoneChannel& diag = c_.Diag();
  c_.Progress(95);
  // The items are back and confirmed one by one; what follows only sets the stick's start-up
  // options, each with its result ignored. But only a stick that answers again is known to
  // start with the new firmware.
  bool back = false;
  if (WaitForStick(false)) {
    for (int pass = 0; pass < 60 && !back; ++pass) {
      c_.Sleep(1000);
      OpenAt();
      back = c_.ReopenDiag() && line::QueryDeviceVersion(c_.doc, c_.line);
    }
  }
  if (!back) return false;
  c_.Progress(96);
  c_.display.ShowLinePorts(c_.line);
  c_.Sleep(1000);
  Tries(3, 2000, [&] { return protocol::SubsystemAA(diag, 0); });
  c_.Sleep(500);
  c_.Progress(97);
  Tries(3, 2000, [&] { return protocol::SetAutorun(diag, 1); });
  c_.Sleep(500);
  AtCommandWithReopen("AT+ZCDRUN=F");
  c_.Sleep(2000);
  AtCommandWithReopen("AT+ZCDRUN=9");
  c_.Sleep(1000);
  c_.Progress(98);
  Tries(3, 3000, [&] { return protocol::PutOffline(diag); });
  Tries(3, 3000, [&] { return protocol::ResetPhone(diag); });
  return true;
}

// The firmware and the items are written, but the stick never answered after its restart: not
// a success the user can rely on, so the line is finished with what happened and what to do.
UpdateEnd UpdateRun::NotBack() {
  const char* text =
      german_ ? "Firmware und NV-Daten sind geschrieben, aber der Stick hat sich danach nicht "
                "wieder gemeldet. Bitte ziehen Sie ihn ab und stecken Sie ihn erneut ein."
              : "The firmware and the NV items are written, but the stick did not come back "
                "afterwards. Please unplug it and plug it in again.";
  Finish(text, ActionOutcome::Fail);
  c_.prompts.ShowMessage(text);
  return UpdateEnd::Finished;
}

UpdateEnd UpdateRun::Run() {
  protocol::PhoneChannel& diag = c_.Diag();
  UpdateEnd end = UpdateEnd::Finished;
  if (!PhaseA(end)) return end;

  c_.Progress(20);
  for (int i = 0; i < 3; ++i) {
    protocol::VersionSet strings;
    if (protocol::QueryVersionSet(diag, strings)) c_.Record().texts.SetVersionStrings(strings);
  }
  host_.CheckDeviceModel(c_);

  bool entered = false;
  const UpdateEnd entry = EnterDownloader(entered);
  if (!entered) return entry;
  c_.display.ShowLinePorts(c_.line);
  c_.Progress(21);
  if (c_.Record().running == 0) return Stopped(ActionOutcome::FailAndReset);

  // The flash programmer.
  if (!UploadFlashProgrammer(c_)) {
    c_.Sleep(200);
    if (!UploadFlashProgrammer(c_)) {
      Finish(german_ ? "Download fehlgeschlagen!" : "Download armprg.bin fail!",
             ActionOutcome::DownloadFailedAndReset);
      if (german_) return Finish("Download fehlgeschlagen!", ActionOutcome::DownloadFailedAndReset);
      host_.ShowErrorBox(kFailureBox);
      return UpdateEnd::Finished;
    }
  }
  c_.Progress(22);
  c_.Sleep(5000);
  if (!StartFlashProgrammer(c_))
    return Finish(german_ ? "Download fehlgeschlagen!" : "skip fail!",
                  ActionOutcome::DownloadFailedAndReset);
  c_.display.ShowLinePorts(c_.line);

  // The images. A stop leaves a half-written flash: the stick is not reset.
  switch (images::ProgramImages(c_)) {
    case images::ProgrammingResult::Written: break;
    case images::ProgrammingResult::Stopped: return Stopped(ActionOutcome::FailMaybeInDownloader);
    case images::ProgrammingResult::Failed:
      if (german_) return Finish("Download fehlgeschlagen!", ActionOutcome::DownloadFailedAndReset);
      Finish("Download fail, please check the log file to get fail information!",
             ActionOutcome::DownloadFailedAndReset);
      host_.ShowErrorBox(kFailureBox);
      return UpdateEnd::Finished;
  }

  // Restart and restore.
  if (!images::RestartAfterProgramming(c_)) return StickLost();
  c_.display.ShowLinePorts(c_.line);
  c_.Progress(81);
  if (kept_item_read_) {
    uint16_t status = 0;
    Tries(3, 200, [&] { return protocol::WriteNvItem(diag, kKeptNvItem, kept_item_, status); });
  }
  c_.Progress(82);
  bool restored = false;
  const UpdateEnd restore = RestoreNv(restored);
  if (!restored) return restore;

  if (!ReturnToUse()) return NotBack();
  host_.DeleteStagedImages();
  c_.Progress(99);
  c_.Sleep(3000);
  c_.Progress(100);
  host_.RestartConnectionManager();
  // The versions the stick reports now, so the user sees the update took before the box.
  c_.display.ShowLineVersions(c_.line);
  c_.Status(german_ ? "Update wurde erfolgreich durchgeführt." : "The update was successful.");
  host_.ShowSuccessBox(german_ ? "Das Update wurde erfolgreich durchgeführt." : "The update was successful.");
  // Only now: the window keeps UPDATE off under the box, and a close meanwhile asks first.
  c_.Record().running = 0;
  host_.EndProgram();
  return UpdateEnd::Succeeded;
}

}  // namespace

std::string ReinsertText(bool german) {
  return german ? "Bitte stecken Sie das Gerät erneut ein und bestätigen Sie mit \"OK\" um das "
                  "Update abzuschließen."
                : "Please reinsert the Stick, then press \"OK\" to finish the update.";
}

UpdateEnd UpdateThreadProc(line::LineContext& context, LineCompletion& completion, UpdateHost& host) {
  UpdateRun run(context, completion, host);
  const UpdateEnd end = run.Run();
  // A success frees the line after its box and ends the program; every other end hands it
  // back here, after the last frame, reset and box of the run.
  if (end != UpdateEnd::Succeeded)
    HandBackLine(context, completion,
                 end == UpdateEnd::Finished ? LineExit::ToUserAndWatch : LineExit::FlagOnly);
  return end;
}

}  // namespace flotilla::update
