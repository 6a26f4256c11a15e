// The fault matrix: each kind of fault the stick shows, in each phase of an update, with the
// end it comes to. One row per cell. Every row runs the device watch, UPDATE and the whole
// update with the program's own update host (the NV backup and restore into a memory file
// system) against the in-process stick, whose file system image wipes its NV items as a real
// reflash does, and checks the end the row states, the flash, the NV items, the line's backup
// file, the device watch and the virtual time it took.
//
// `flotilla_fault_matrix_tests --print-matrix` runs every row and prints the table as Markdown,
// each cell with the end it came to and the virtual time it took.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "images/image_set.h"
#include "line/flotilla_doc.h"
#include "line/line_context.h"
#include "nvdata/nv_table.h"
#include "platform/memory_files.h"
#include "platform/memory_registry.h"
#include "platform/virtual_clock.h"
#include "protocol/framing.h"
#include "sim/transport/inprocess_stick.h"
#include "tap_device.h"
#include "tools/mkimages/image_set.h"
#include "update/device_watch.h"
#include "update/line_start.h"
#include "update/program_host.h"
#include "update/update_worker.h"

namespace flotilla::update {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------------------------
// The matrix.

enum class Phase {
  Watch,           // the device watch looks for the stick, before UPDATE
  PrepareReset,    // offline, autorun off, the reset and the wait for the stick, item 22 kept
  NvBackup,        // every listed NV item read into the line's backup file
  BootDownloader,  // the version set again, into the boot downloader
  Programmer,      // armprg.bin uploaded, started and greeted
  Passes,          // the partition table and the images, up to 20 passes
  Restart,         // the programmer's reset and the wait for the new firmware
  NvRestore,       // item 22 and every saved item written back
};

enum class Kind {
  NoReply,      // the stick carries out every DIAG request of the phase and answers none
  Split,        // a reply in two bursts with a pause between them
  BadFcs,       // a reply with a wrong frame check sequence
  NoEndFlag,    // a reply without its closing flag
  DiagError,    // the firmware refuses with a DIAG error reply
  Nak,          // the boot downloader refuses with a negative acknowledge
  StreamError,  // the flash programmer refuses with an error frame
  NvStatus,     // an NV read or write answered with a failure status
  Vanish,       // the ports vanish: the stick re-enumerates unasked, back 3 s later
  Stall,        // every request lost for 5 s
  Oversize,     // a reply longer than the host takes
  Gone,         // the stick drops its ports and never comes back
  LateReply,    // a reply comes after its request was given up on, during another item's
};

// The ends an update can come to; outcomes 4 and 5 are FinishLineAction's (the stick reset,
// and not reset: it may hang in its boot downloader).
enum class End {
  Success,            // "The update was successful.": flash = images, every NV item as before
  NoUpdate,           // the watch never shows the stick: UPDATE stays disabled
  NvBackupFailed,     // the failure box alone before the images: nothing written to the stick
  DownloaderFailed,   // "switch to DownLoad mode fail!", outcome 5, box
  UploadFailed,       // "Download armprg.bin fail!", outcome 4, box
  ProgrammingFailed,  // "Download fail, please check the log file ...", outcome 4, box
  StickLost,          // "reset modem fail!", outcome 5, box
  RestoreFailed,      // "Restore NV fail!", outcome 5; the items stay in the backup file
  NotApplicable,      // the fault cannot occur in the phase; the update succeeds
};

struct Cell {
  Phase phase;
  Kind kind;
  // The rules the stick is given while the phase runs (a JSON list's items). For a cell that
  // is not applicable: a witness, a rule that would see any request the fault could answer.
  const char* fault;
  End end;
  unsigned bound_s;  // virtual seconds from the watch's start to the end
  // The end is this program's choice: the update as designed waits for ever here, or says
  // nothing, or would report the failure as a success.
  bool chosen;
  const char* note;
};

constexpr bool kChosen = true;
constexpr bool kGiven = false;

// Witnesses of the cells that are not applicable.
constexpr char kAnyDownloaderRequest[] = R"({"mode": "downloader", "action": "delay"})";
constexpr char kAnyProgrammerRequest[] = R"({"mode": "stream", "action": "delay"})";
constexpr char kAnyFirmwareRequest[] = R"({"mode": "firmware", "action": "delay"})";
constexpr char kAnyNvRequest[] =
    R"({"code": "0x26", "action": "delay"}, {"code": "0x27", "action": "delay"})";

const Cell kMatrix[] = {
    // The device watch, before UPDATE. The user presses UPDATE 30 s after the watch started,
    // or as soon as the window shows the stick after that.
    {Phase::Watch, Kind::NoReply, R"({"action": "no_reply"})", End::Success, 300, kGiven,
     "silent for the 30 s before UPDATE, then it answers"},
    {Phase::Watch, Kind::Split, R"({"code": "0x39", "nth": 1, "action": "split", "gap_ms": 200})",
     End::Success, 300, kGiven, "the version set, asked again by the next pass"},
    {Phase::Watch, Kind::BadFcs, R"({"code": "0x39", "nth": 1, "action": "bad_fcs"})", End::Success,
     300, kGiven, ""},
    {Phase::Watch, Kind::NoEndFlag, R"({"code": "0x39", "nth": 1, "action": "no_end_flag"})",
     End::Success, 300, kGiven, ""},
    {Phase::Watch, Kind::DiagError, R"({"code": "0x39", "nth": 1, "action": "error", "error_code": "0x13"})",
     End::Success, 300, kGiven, ""},
    {Phase::Watch, Kind::Nak, kAnyDownloaderRequest, End::NotApplicable, 300, kGiven,
     "the watch speaks to the firmware only; only the boot downloader sends a NAK"},
    {Phase::Watch, Kind::StreamError, kAnyProgrammerRequest, End::NotApplicable, 300, kGiven,
     "the watch speaks to the firmware only; only the flash programmer sends error frames"},
    {Phase::Watch, Kind::NvStatus, kAnyNvRequest, End::NotApplicable, 300, kGiven,
     "the watch reads no NV item"},
    {Phase::Watch, Kind::Vanish, R"({"code": "0x39", "nth": 1, "action": "vanish"})", End::Success,
     300, kGiven, "the watch finds the stick again after it re-enumerated"},
    {Phase::Watch, Kind::Stall, R"({"nth": 1, "action": "stall", "stall_ms": 5000})", End::Success,
     300, kGiven, ""},
    {Phase::Watch, Kind::Oversize, R"({"code": "0x39", "nth": 1, "action": "oversize"})",
     End::Success, 300, kGiven, ""},
    {Phase::Watch, Kind::Gone, R"({"nth": 1, "action": "gone"})", End::NoUpdate, 300, kGiven,
     "the watch keeps searching (watched for 240 s); nothing is started"},
    {Phase::Watch, Kind::LateReply, R"({"code": "0x39", "nth": 1, "action": "delay", "delay_ms": 400})",
     End::Success, 300, kGiven, "the version query's answer lands in the next query, which refuses it"},

    // Phase A: every result in it is ignored; only the wait for the stick can end the update.
    {Phase::PrepareReset, Kind::NoReply, R"({"action": "no_reply"})", End::Success, 480, kGiven,
     "the DIAG reset is lost, AT+ZRST resets the stick; item 22 comes back from the backup"},
    {Phase::PrepareReset, Kind::Split,
     R"({"code": "0x26", "nv_item": 22, "nth": 1, "action": "split", "gap_ms": 200})", End::Success,
     240, kGiven, "item 22's read, sent again"},
    {Phase::PrepareReset, Kind::BadFcs, R"({"code": "0x26", "nv_item": 22, "nth": 1, "action": "bad_fcs"})",
     End::Success, 240, kGiven, ""},
    {Phase::PrepareReset, Kind::NoEndFlag, R"({"code": "0x29", "nth": 1, "action": "no_end_flag"})",
     End::Success, 240, kGiven, "the first offline request"},
    {Phase::PrepareReset, Kind::DiagError, R"({"code": "0x29", "action": "error", "error_code": "0x18"})",
     End::Success, 240, kGiven, "every mode change refused: AT+ZRST resets the stick"},
    {Phase::PrepareReset, Kind::Nak, kAnyDownloaderRequest, End::NotApplicable, 240, kGiven,
     "the stick runs its firmware; only the boot downloader sends a NAK"},
    {Phase::PrepareReset, Kind::StreamError, kAnyProgrammerRequest, End::NotApplicable, 240, kGiven,
     "the stick runs its firmware; only the flash programmer sends error frames"},
    {Phase::PrepareReset, Kind::NvStatus,
     R"({"code": "0x26", "nv_item": 22, "action": "nv_status", "nv_status": 4})", End::Success, 240,
     kGiven, "item 22 not kept: not written back at step 27, restored from the backup"},
    {Phase::PrepareReset, Kind::Vanish, R"({"code": "0x26", "nv_item": 22, "nth": 1, "action": "vanish"})",
     End::NvBackupFailed, 120, kChosen,
     "the port is not opened again before the backup, which stops after 10 silent items"},
    {Phase::PrepareReset, Kind::Stall, R"({"nth": 1, "action": "stall", "stall_ms": 5000})",
     End::Success, 240, kGiven, ""},
    {Phase::PrepareReset, Kind::Oversize, R"({"code": "0x26", "nv_item": 22, "nth": 1, "action": "oversize"})",
     End::Success, 240, kGiven, ""},
    {Phase::PrepareReset, Kind::Gone, R"({"port": "at", "command": "AT+ZRST", "action": "gone"})",
     End::StickLost, 240, kChosen,
     "the reinsert box, then 120 s after OK the exit of a stick that does not come back; the wait had no end"},
    {Phase::PrepareReset, Kind::LateReply,
     R"({"code": "0x26", "nv_item": 22, "nth": 1, "action": "delay", "delay_ms": 2500}, {"code": "0x26", "nv_item": 22, "nth": 2, "action": "delay", "delay_ms": 1500})",
     End::Success, 240, kGiven, "item 22's second answer lands in the download check, which is judged on its last reply"},

    // The NV backup: an item that could not be read stops the update before anything is
    // written, since the images would wipe it.
    {Phase::NvBackup, Kind::NoReply, R"({"action": "no_reply"})", End::NvBackupFailed, 360, kChosen,
     "10 silent items in a row stop the backup; it used to read on for 3.2 hours"},
    {Phase::NvBackup, Kind::Split, R"({"code": "0x26", "nv_item": 550, "nth": 1, "action": "split", "gap_ms": 200})",
     End::Success, 240, kGiven, "the IMEI's read, sent again"},
    {Phase::NvBackup, Kind::BadFcs, R"({"code": "0x26", "nv_item": 550, "nth": 1, "action": "bad_fcs"})",
     End::Success, 240, kGiven, ""},
    {Phase::NvBackup, Kind::NoEndFlag, R"({"code": "0x26", "nv_item": 550, "nth": 1, "action": "no_end_flag"})",
     End::Success, 240, kGiven, ""},
    {Phase::NvBackup, Kind::DiagError,
     R"({"code": "0x26", "nv_item": 550, "nth": 1, "times": 2, "action": "error", "error_code": "0x13"})",
     End::Success, 240, kGiven, "refused twice, read at the third attempt"},
    {Phase::NvBackup, Kind::Nak, kAnyDownloaderRequest, End::NotApplicable, 240, kGiven,
     "the stick runs its firmware; only the boot downloader sends a NAK"},
    {Phase::NvBackup, Kind::StreamError, kAnyProgrammerRequest, End::NotApplicable, 240, kGiven,
     "the stick runs its firmware; only the flash programmer sends error frames"},
    {Phase::NvBackup, Kind::NvStatus,
     R"({"code": "0x26", "nv_item": 550, "action": "nv_status", "nv_status": 4})", End::NvBackupFailed,
     120, kChosen, "the IMEI could not be read: the update used to go on and lose it behind a success"},
    {Phase::NvBackup, Kind::Vanish, R"({"code": "0x26", "nth": 100, "action": "vanish"})",
     End::NvBackupFailed, 120, kChosen, "at the 100th read; on the dead port 10 silent items stop the backup"},
    {Phase::NvBackup, Kind::Stall, R"({"code": "0x26", "nv_item": 550, "nth": 1, "action": "stall", "stall_ms": 5000})",
     End::Success, 240, kGiven, ""},
    {Phase::NvBackup, Kind::Oversize, R"({"code": "0x26", "nv_item": 550, "nth": 1, "action": "oversize"})",
     End::Success, 240, kGiven, ""},
    {Phase::NvBackup, Kind::Gone, R"({"code": "0x26", "nth": 100, "action": "gone"})",
     End::NvBackupFailed, 120, kChosen, "at the 100th read; 10 silent items stop the backup"},
    {Phase::NvBackup, Kind::LateReply,
     R"({"code": "0x26", "nv_item": 90, "nth": 1, "action": "delay", "delay_ms": 2500}, {"code": "0x26", "nv_item": 90, "nth": 2, "action": "delay", "delay_ms": 1500}, {"code": "0x26", "nv_item": 141, "nth": 1, "action": "delay", "delay_ms": 1500})",
     End::Success, 240, kChosen, "a stick slow with items 90 and 141: 90's second answer comes first in 141's read and is passed over; it used to be stored as 141's value"},

    // Into the boot downloader.
    {Phase::BootDownloader, Kind::NoReply, R"({"action": "no_reply"})", End::DownloaderFailed, 180,
     kGiven, "never switched: the reinsert box, a second entry, the exit"},
    {Phase::BootDownloader, Kind::Split, R"({"code": "0x5C", "nth": 1, "action": "split", "gap_ms": 200})",
     End::Success, 240, kGiven, "the prepare request, sent again"},
    {Phase::BootDownloader, Kind::BadFcs, R"({"mode": "downloader", "code": "0x06", "nth": 1, "action": "bad_fcs"})",
     End::Success, 240, kGiven, "the first no-op"},
    {Phase::BootDownloader, Kind::NoEndFlag,
     R"({"mode": "downloader", "code": "0x07", "nth": 1, "action": "no_end_flag"})", End::Success, 240,
     kGiven, "the parameter request"},
    {Phase::BootDownloader, Kind::DiagError, R"({"code": "0x3A", "nth": 1, "action": "error", "error_code": "0x18"})",
     End::Success, 240, kGiven, "the switch refused once"},
    {Phase::BootDownloader, Kind::Nak, R"({"mode": "downloader", "code": "0x06", "nth": 1, "action": "nak"})",
     End::Success, 240, kGiven, ""},
    {Phase::BootDownloader, Kind::StreamError, kAnyProgrammerRequest, End::NotApplicable, 240, kGiven,
     "no flash programmer runs yet"},
    {Phase::BootDownloader, Kind::NvStatus, kAnyNvRequest, End::NotApplicable, 240, kGiven,
     "no NV item is read or written here"},
    {Phase::BootDownloader, Kind::Vanish, R"({"mode": "downloader", "code": "0x06", "nth": 1, "action": "vanish"})",
     End::Success, 300, kGiven,
     "back in its firmware: the reinsert box, and the second entry carries on"},
    {Phase::BootDownloader, Kind::Stall,
     R"({"mode": "downloader", "code": "0x06", "nth": 1, "action": "stall", "stall_ms": 5000})",
     End::Success, 300, kGiven, ""},
    {Phase::BootDownloader, Kind::Oversize, R"({"mode": "downloader", "code": "0x07", "nth": 1, "action": "oversize"})",
     End::Success, 240, kGiven, ""},
    {Phase::BootDownloader, Kind::Gone, R"({"code": "0x3A", "action": "gone"})", End::DownloaderFailed,
     420, kChosen, "at the switch: 120 s for the port, the reinsert box, 120 s after OK; both waits had no end"},
    {Phase::BootDownloader, Kind::LateReply, kAnyNvRequest, End::NotApplicable, 240, kGiven,
     "no NV item is read or written here; the version queries carry no item"},

    // The flash programmer uploaded and started.
    {Phase::Programmer, Kind::NoReply, R"({"action": "no_reply"})", End::UploadFailed, 180, kGiven, ""},
    {Phase::Programmer, Kind::Split, R"({"code": "0x0F", "nth": 2, "action": "split", "gap_ms": 200})",
     End::Success, 240, kGiven, "a block of armprg.bin, sent again"},
    {Phase::Programmer, Kind::BadFcs, R"({"mode": "downloader", "code": "0x05", "nth": 1, "action": "bad_fcs"})",
     End::Success, 240, kGiven, "the go's answer; the go was carried out"},
    {Phase::Programmer, Kind::NoEndFlag, R"({"mode": "stream", "code": "0x01", "nth": 1, "action": "no_end_flag"})",
     End::Success, 240, kGiven, "the hello"},
    {Phase::Programmer, Kind::DiagError, kAnyFirmwareRequest, End::NotApplicable, 240, kGiven,
     "the firmware does not run; the boot downloader and the programmer answer"},
    {Phase::Programmer, Kind::Nak, R"({"code": "0x0F", "nth": 3, "action": "nak", "reason": 2})",
     End::Success, 240, kGiven, "a block refused once"},
    {Phase::Programmer, Kind::StreamError, R"({"mode": "stream", "code": "0x01", "nth": 1, "action": "stream_error", "reason": 17})",
     End::Success, 240, kGiven, "the hello refused once"},
    {Phase::Programmer, Kind::NvStatus, kAnyNvRequest, End::NotApplicable, 240, kGiven,
     "no NV item is read or written here"},
    {Phase::Programmer, Kind::Vanish, R"({"code": "0x0F", "nth": 4, "action": "vanish"})",
     End::UploadFailed, 180, kGiven, "the stick restarts in its firmware; the upload cannot go on"},
    {Phase::Programmer, Kind::Stall, R"({"mode": "downloader", "code": "0x05", "nth": 1, "action": "stall", "stall_ms": 5000})",
     End::Success, 240, kGiven, ""},
    {Phase::Programmer, Kind::Oversize, R"({"mode": "stream", "code": "0x09", "nth": 1, "action": "oversize"})",
     End::Success, 240, kGiven, "the no-op after the hello"},
    {Phase::Programmer, Kind::Gone, R"({"code": "0x0F", "nth": 4, "action": "gone"})", End::UploadFailed,
     180, kGiven, ""},
    {Phase::Programmer, Kind::LateReply, kAnyNvRequest, End::NotApplicable, 240, kGiven,
     "no NV item is read or written here"},

    // The programming passes.
    {Phase::Passes, Kind::NoReply, R"({"action": "no_reply"})", End::ProgrammingFailed, 420, kChosen,
     "two silent passes end the passes; twenty took 28 minutes"},
    {Phase::Passes, Kind::Split, R"({"code": "0x07", "nth": 40, "action": "split", "gap_ms": 400})",
     End::Success, 240, kGiven, "a block of the application image"},
    {Phase::Passes, Kind::BadFcs, R"({"code": "0x19", "nth": 1, "action": "bad_fcs"})", End::Success, 240, kGiven,
     "the partition table's answer, the table sent again"},
    {Phase::Passes, Kind::NoEndFlag, R"({"code": "0x1B", "nth": 3, "action": "no_end_flag"})",
     End::Success, 240, kGiven, "an open carried out but not confirmed: the next pass writes it all"},
    {Phase::Passes, Kind::DiagError, kAnyFirmwareRequest, End::NotApplicable, 240, kGiven,
     "the flash programmer answers; the firmware does not run"},
    {Phase::Passes, Kind::Nak, kAnyDownloaderRequest, End::NotApplicable, 240, kGiven,
     "the flash programmer answers; only the boot downloader sends a NAK"},
    {Phase::Passes, Kind::StreamError, R"({"code": "0x07", "nth": 40, "action": "stream_error", "reason": 10})",
     End::Success, 240, kGiven, "a block of the application image, write-verify failed"},
    {Phase::Passes, Kind::NvStatus, kAnyNvRequest, End::NotApplicable, 240, kGiven,
     "no NV item is read or written here"},
    {Phase::Passes, Kind::Vanish, R"({"code": "0x07", "nth": 40, "action": "vanish"})",
     End::ProgrammingFailed, 360, kChosen,
     "the stick restarts in its firmware half-written; two silent passes end the passes"},
    {Phase::Passes, Kind::Stall, R"({"code": "0x19", "nth": 1, "action": "stall", "stall_ms": 5000})",
     End::Success, 360, kGiven, "the partition table lost, sent again after its time-out"},
    {Phase::Passes, Kind::Oversize, R"({"code": "0x15", "nth": 2, "action": "oversize"})",
     End::Success, 240, kGiven, "a close carried out, its answer too long"},
    {Phase::Passes, Kind::Gone, R"({"code": "0x07", "nth": 40, "action": "gone"})",
     End::ProgrammingFailed, 360, kChosen, "two silent passes end the passes"},
    {Phase::Passes, Kind::LateReply, kAnyNvRequest, End::NotApplicable, 240, kGiven,
     "no NV item is written here; a stream write's answer names its block"},

    // The restart after programming.
    {Phase::Restart, Kind::NoReply, R"({"action": "no_reply"})", End::StickLost, 300, kGiven,
     "the reset is carried out; the new firmware answers no version query"},
    {Phase::Restart, Kind::Split, R"({"code": "0x39", "nth": 1, "action": "split", "gap_ms": 200})",
     End::Success, 240, kGiven, "the first version query; the build id answers"},
    {Phase::Restart, Kind::BadFcs, R"({"mode": "stream", "code": "0x0B", "nth": 1, "action": "bad_fcs"})",
     End::Success, 240, kGiven, "the reset's answer; the reset was carried out"},
    {Phase::Restart, Kind::NoEndFlag, R"({"code": "0x01", "nth": 1, "action": "no_end_flag"})",
     End::Success, 240, kGiven, "the first ESN query"},
    {Phase::Restart, Kind::DiagError, R"({"code": "0x39", "nth": 1, "action": "error", "error_code": "0x13"})",
     End::Success, 240, kGiven, ""},
    {Phase::Restart, Kind::Nak, kAnyDownloaderRequest, End::NotApplicable, 240, kGiven,
     "the programmer resets the stick into its firmware; no boot downloader runs"},
    {Phase::Restart, Kind::StreamError, R"({"mode": "stream", "code": "0x0B", "nth": 1, "action": "stream_error", "reason": 13})",
     End::Success, 240, kGiven, "the reset refused once"},
    {Phase::Restart, Kind::NvStatus, kAnyNvRequest, End::NotApplicable, 240, kGiven,
     "no NV item is read or written here"},
    {Phase::Restart, Kind::Vanish, R"({"mode": "firmware", "nth": 1, "action": "vanish"})",
     End::Success, 240, kGiven, "the new firmware's first request: it re-enumerates once more"},
    {Phase::Restart, Kind::Stall, R"({"mode": "stream", "code": "0x0B", "nth": 1, "action": "stall", "stall_ms": 5000})",
     End::Success, 300, kGiven, ""},
    {Phase::Restart, Kind::Oversize, R"({"code": "0x39", "nth": 1, "action": "oversize"})",
     End::Success, 240, kGiven, ""},
    {Phase::Restart, Kind::Gone, R"({"mode": "stream", "code": "0x0B", "action": "gone"})",
     End::StickLost, 360, kChosen, "the port search after the reset ends after 120 s; it had no end"},
    {Phase::Restart, Kind::LateReply, kAnyNvRequest, End::NotApplicable, 240, kGiven,
     "no NV item is read or written here"},

    // The NV restore. A failure leaves the items in the line's backup file for an NV restore.
    {Phase::NvRestore, Kind::NoReply, R"({"action": "no_reply"})", End::RestoreFailed, 600, kGiven,
     "three restores, each stopped at the first item"},
    {Phase::NvRestore, Kind::Split, R"({"code": "0x27", "nth": 100, "action": "split", "gap_ms": 200})",
     End::Success, 240, kGiven, "the 100th write's answer, written again"},
    {Phase::NvRestore, Kind::BadFcs, R"({"code": "0x27", "nv_item": 550, "nth": 1, "action": "bad_fcs"})",
     End::Success, 240, kGiven, ""},
    {Phase::NvRestore, Kind::NoEndFlag, R"({"code": "0x27", "nv_item": 22, "nth": 1, "action": "no_end_flag"})",
     End::Success, 240, kGiven, "the write of item 22 kept in phase A"},
    {Phase::NvRestore, Kind::DiagError,
     R"({"code": "0x27", "nv_item": 550, "nth": 1, "action": "error", "error_code": "0x42"})",
     End::Success, 240, kGiven, "the IMEI's write refused once"},
    {Phase::NvRestore, Kind::Nak, kAnyDownloaderRequest, End::NotApplicable, 240, kGiven,
     "the stick runs its firmware; only the boot downloader sends a NAK"},
    {Phase::NvRestore, Kind::StreamError, kAnyProgrammerRequest, End::NotApplicable, 240, kGiven,
     "the stick runs its firmware; only the flash programmer sends error frames"},
    {Phase::NvRestore, Kind::NvStatus,
     R"({"code": "0x27", "nv_item": 550, "nth": 1, "times": 2, "action": "nv_status", "nv_status": 3})",
     End::Success, 240, kGiven, "\"NVM full\" twice: the third write takes"},
    {Phase::NvRestore, Kind::Vanish, R"({"code": "0x27", "nth": 100, "action": "vanish"})",
     End::RestoreFailed, 240, kGiven, "the restores go on on the dead port"},
    {Phase::NvRestore, Kind::Stall, R"({"code": "0x27", "nv_item": 550, "nth": 1, "action": "stall", "stall_ms": 5000})",
     End::Success, 240, kGiven, ""},
    {Phase::NvRestore, Kind::Oversize, R"({"code": "0x27", "nv_item": 550, "nth": 1, "action": "oversize"})",
     End::Success, 240, kGiven, ""},
    {Phase::NvRestore, Kind::Gone, R"({"code": "0x27", "nth": 100, "action": "gone"})",
     End::RestoreFailed, 240, kGiven, "at the 100th write"},
    {Phase::NvRestore, Kind::LateReply,
     R"({"code": "0x27", "nv_item": 90, "nth": 1, "action": "delay", "delay_ms": 2500}, {"code": "0x27", "nv_item": 90, "nth": 2, "action": "delay", "delay_ms": 1500}, {"code": "0x27", "nv_item": 141, "nth": 1, "action": "nv_status", "nv_status": 4, "delay_ms": 1500})",
     End::Success, 240, kChosen, "a stick slow with items 90 and 141, whose first write fails: 90's second answer comes first in 141's write and is passed over; it used to confirm the failed write"},
};

const char* PhaseName(Phase phase) {
  switch (phase) {
    case Phase::Watch: return "device watch before UPDATE";
    case Phase::PrepareReset: return "phase A: offline to the reset and the wait";
    case Phase::NvBackup: return "NV backup";
    case Phase::BootDownloader: return "boot downloader";
    case Phase::Programmer: return "flash programmer upload and start";
    case Phase::Passes: return "programming passes";
    case Phase::Restart: return "restart";
    case Phase::NvRestore: return "NV restore";
  }
  return "?";
}

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::NoReply: return "no reply";
    case Kind::Split: return "reply split with a pause";
    case Kind::BadFcs: return "bad FCS";
    case Kind::NoEndFlag: return "no end flag";
    case Kind::DiagError: return "DIAG error reply";
    case Kind::Nak: return "boot downloader NAK";
    case Kind::StreamError: return "streaming error frame";
    case Kind::NvStatus: return "NV status";
    case Kind::Vanish: return "port vanishing (re-enumeration)";
    case Kind::Stall: return "stall of 5 s";
    case Kind::Oversize: return "oversize reply";
    case Kind::Gone: return "the stick never coming back";
    case Kind::LateReply: return "a late reply for another item";
  }
  return "?";
}

// What each end looks like from outside.
struct EndShape {
  const char* name;
  bool update_started;
  UpdateEnd worker;
  const char* final_text;  // the last status line and the action log's last entry; "" none
  bool failure_box;        // "Download failure, Please download again!" is the last box
  bool reset;              // the finish asks the stick to reset (outcomes 0, 2, 4)
};

const EndShape& ShapeOf(End end) {
  static const std::map<End, EndShape> kShapes = {
      {End::Success, {"success", true, UpdateEnd::Succeeded, "The update was successful.", false, false}},
      {End::NotApplicable, {"not applicable", true, UpdateEnd::Succeeded, "The update was successful.", false, false}},
      {End::NoUpdate, {"no update: UPDATE stays disabled", false, UpdateEnd::Finished, "", false, false}},
      {End::NvBackupFailed, {"the failure box before the images, no log, the line left busy", true, UpdateEnd::StatusOnly, "",
        true, false}},
      {End::DownloaderFailed,
       {"\"switch to DownLoad mode fail!\", outcome 5, box", true, UpdateEnd::Finished,
        "switch to DownLoad mode fail!", true, false}},
      {End::UploadFailed,
       {"\"Download armprg.bin fail!\", outcome 4, box", true, UpdateEnd::Finished,
        "Download armprg.bin fail!", true, true}},
      {End::ProgrammingFailed,
       {"\"Download fail, please check the log file ...\", outcome 4, box", true, UpdateEnd::Finished,
        "Download fail, please check the log file to get fail information!", true, true}},
      {End::StickLost,
       {"\"reset modem fail!\", outcome 5, box", true, UpdateEnd::Finished, "reset modem fail!", true, false}},
      {End::RestoreFailed,
       {"\"Restore NV fail!\", outcome 5", true, UpdateEnd::Finished, "Restore NV fail!", false, false}},
  };
  return kShapes.at(end);
}

// ---------------------------------------------------------------------------------------------
// The rig: the stick, the window's doubles, the memory file system.

constexpr int kAtPort = 3;
constexpr int kDiagPort = 4;
constexpr char kNewVersion[] = "BD_XV418V2.0.1B11";
constexpr char kFailureBox[] = "Download failure, Please download again!";
constexpr char kBackupFile[] = "C:\\Flotilla\\Channel1.nvm";
// How long the watch meets a faulty stick before the user presses UPDATE.
constexpr uint64_t kWatchFaultWindowMs = 30000;
// How long the watch looks for a stick that never shows before the row ends.
constexpr uint64_t kWatchGiveUpMs = 240000;
// Past this much virtual time a row is a hang, whatever its bound.
constexpr uint64_t kHangMs = 6ull * 3600 * 1000;

struct RanIntoAHang {};
struct ProcessEnded {};

// The virtual clock with a wall: a sequence that is still sleeping after kHangMs is a hang, and
// the row ends there instead of running for ever.
class WalledClock : public platform::VirtualClock {
 public:
  void Sleep(uint32_t ms) override {
    VirtualClock::Sleep(ms);
    if (NowMs() > kHangMs) throw RanIntoAHang();
    if (end_process_) {
      end_process_ = false;
      throw ProcessEnded();
    }
  }
  // The process ends wherever the worker sleeps next, as when the user closes the window.
  void EndProcessAtNextSleep() { end_process_ = true; }

 private:
  bool end_process_ = false;
};

// A reset request of any of the stick's three protocols, as the host writes it.
bool IsResetRequest(Bytes frame) {
  if (!frame.empty() && frame.front() == protocol::kFlag) frame.erase(frame.begin());
  size_t length = frame.size();
  if (protocol::UnframeInPlace(protocol::PacketMode::Diag, frame.data(), length, frame.size()) !=
          protocol::UnframeStatus::Ok || length < 3)
    return false;
  const size_t packet = length - 2;
  if (packet == 1) return frame[0] == 0x0A || frame[0] == 0x0B;  // boot downloader, programmer
  return packet == 3 && frame[0] == 0x29 && frame[1] == 0x02 && frame[2] == 0x00;
}

// The window as the workers and the watch see it, reporting progress and port refreshes so
// that the rig knows which phase the update is in.
class MatrixDisplay : public line::LineDisplay {
 public:
  void AppendLineStatus(int, const std::string& text) override { statuses.push_back(text); }
  void SetLineProgress(int, int percent) override {
    if (on_progress) on_progress(percent);
  }
  void SetLineIcon(int, line::LineIcon icon) override {
    icons.push_back(icon);
    if (on_icon) on_icon(icon);
  }
  void ShowLinePorts(int) override {
    if (on_ports) on_ports();
  }

  std::vector<std::string> statuses;
  std::vector<line::LineIcon> icons;
  std::function<void(int)> on_progress;
  std::function<void(line::LineIcon)> on_icon;
  std::function<void()> on_ports;
};

// The window's boxes and requests, and the start of the worker, which runs at once on the
// calling thread. The user answers the model box's close question with No.
class MatrixWindow : public LineStartHost, public WorkerUi {
 public:
  void ShowModelMismatch(const std::string& text) override { boxes.push_back("model: " + text); }
  void RequestClose() override { boxes.push_back("close request"); }
  void ShowStartBox(const std::string& text) override { boxes.push_back("start: " + text); }
  void PauseWatchers(int) override { watch_paused = true; }
  bool StartWorker(int, line::LineOperation operation) override {
    if (operation != line::LineOperation::Update || !run_worker) return false;
    worker_end = run_worker();
    return true;
  }
  void ShowErrorBox(const std::string& text) override { boxes.push_back("error: " + text); }
  void ShowSuccessBox(const std::string& text) override { boxes.push_back("success: " + text); }
  void EndProgram() override { program_ended = true; }

  std::vector<std::string> boxes;
  bool watch_paused = false;
  bool program_ended = false;
  std::function<UpdateEnd()> run_worker;
  std::optional<UpdateEnd> worker_end;
};

// The files of the image set, made once for the whole matrix.
class ImageSet {
 public:
  static const ImageSet& Get() {
    static ImageSet set;
    return set;
  }
  const fs::path& Directory() const { return directory_; }
  Bytes Read(const char* name) const {
    std::ifstream in(directory_ / name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  ImageSet() {
    // Its own name per process: the native and the sanitizer runs may overlap.
    directory_ = fs::path(::testing::TempDir()) /
                 ("flotilla_fault_matrix_images_" + std::to_string(::getpid()));
    fs::remove_all(directory_);
    mkimages::ImageSetOptions options;
    options.version = kNewVersion;
    options.amss_size = 24 * 1024;
    options.efs_size = 29 * 1024;
    ok_ = mkimages::WriteImageSet(directory_, options).outcome == mkimages::ImageSetResult::Outcome::kWritten;
  }
  fs::path directory_;
  bool ok_ = false;

 public:
  bool Ok() const { return ok_; }
};

constexpr const char* kImageFiles[] = {"partition.mbn", "qcsblhd_cfgdata.mbn", "qcsbl.mbn",
                                       "oemsblhd.mbn", "oemsbl.mbn", "amsshd.mbn", "amss.mbn",
                                       "efs.mbn", "armprg.bin", "nandprghd.mbn",
                                       "nandprgcombined.mbn"};

// A calibration that differs from whatever a fresh file system holds.
sim::NvValue Calibration(uint16_t id) {
  sim::NvValue value{};
  for (size_t i = 0; i < value.size(); ++i) value[i] = static_cast<uint8_t>(id * 31u + i * 7u + 0x5Au);
  return value;
}

// What one row came to.
struct Outcome {
  bool hung = false;  // still running at the wall of virtual time
  bool closed = false;  // the user closed the window, which ended the process
  bool update_started = false;
  bool stick_shown = false;  // the watch showed the stick when the run ended
  UpdateEnd worker = UpdateEnd::Finished;
  uint64_t end_ms = 0;
  bool watch_paused = false;   // by UPDATE, before the worker started
  bool watch_resumed = false;  // by the finish
  bool program_ended = false;  // after the success box
  bool reset_asked = false;
  std::string last_status;
  std::vector<std::string> boxes;
  std::vector<line::LineIcon> icons;
  std::string action_log;  // the newest action log; empty when none was written
  int action_logs = 0;
  std::vector<std::string> fault_lines;  // what the stick's fault plan did
  std::vector<std::string> sim_log;
};

// One run of one row, from the watch's start to the end of the update.
class MatrixRun {
 public:
  explicit MatrixRun(const Cell& cell) : cell_(&cell) {}

  Outcome Run();
  // The user presses UPDATE once more after the first run's end (or starts the program again
  // after closing it): the same stick, with what the first run left on it and in the files.
  Outcome RunAgain(const Cell& cell);
  // The user closes the window (and so ends the process) at this NV write of the restore.
  void CloseAtRestoreWrite(unsigned nth) { close_at_restore_write_ = nth; }

  sim::InProcessStick& Stick() { return *stick_; }
  platform::MemoryFileSystem& Files() { return files_; }
  const std::map<uint16_t, std::pair<uint16_t, sim::NvValue>>& NvBefore() const { return nv_before_; }
  const Bytes& OldBackup() const { return old_backup_; }

 private:
  void SetUpStick();
  void SetUpProgram();
  Outcome RunUpdate();
  void Arm(Phase phase);
  void Disarm();
  void EnterPhase(std::optional<Phase> phase);
  void OnProgress(int percent);
  void OnWrite(const Bytes& frame);
  // Runs the watch until the user presses UPDATE; false when it never shows the stick.
  bool RunWatch();

  const Cell* cell_;
  WalledClock clock_;
  platform::MemoryRegistry registry_;
  platform::MemoryFileSystem files_;
  platform::RecordingPrompts prompts_;
  MatrixDisplay display_;
  MatrixWindow window_;
  std::vector<std::string> sim_log_;
  std::unique_ptr<sim::InProcessStick> stick_;
  std::unique_ptr<taps::TapFactory> taps_;
  std::unique_ptr<line::CFlotillaDoc> doc_;
  std::unique_ptr<line::LineContext> context_;
  std::unique_ptr<LineCompletion> completion_;
  std::unique_ptr<ProgramUpdateHost> host_;

  std::optional<Phase> phase_;
  bool armed_ = false;
  int last_progress_ = -1;
  bool finishing_ = false;  // the icon was set: the finish is under way
  bool reset_asked_ = false;
  bool watch_resumed_ = false;
  std::map<uint16_t, std::pair<uint16_t, sim::NvValue>> nv_before_;
  Bytes old_backup_;
  unsigned close_at_restore_write_ = 0;
  unsigned restore_writes_ = 0;
};

void MatrixRun::SetUpStick() {
  sim::StickConfig config;
  config.check_programmer = true;
  config.programmer = ImageSet::Get().Read("armprg.bin");
  config.efs_holds_nv = true;
  stick_ = std::make_unique<sim::InProcessStick>(clock_, config, sim::LinkModel{},
                                                 [this](const std::string& line) { sim_log_.push_back(line); });
  stick_->SetPortNumbers(kAtPort, kDiagPort);
  stick_->SetRegistry(&registry_);

  // The stick's calibration, the values an update must keep.
  sim::NvStore& nv = stick_->Model().Nv();
  for (uint16_t id : nvdata::NvTableIds()) {
    nv.Write(id, Calibration(id));
    sim::NvValue value{};
    const uint16_t status = nv.Read(id, value);
    nv_before_[id] = {status, value};
  }

  // The program's directory holds the last backup, of an earlier state of the stick.
  files_.AddDirectory("C:\\Flotilla");
  nvdata::NvTable old = nvdata::BuildNvTable();
  for (nvdata::NvRecord& record : old)
    if (record.id < nvdata::kNvEndId) record.value.fill(0x11);
  old_backup_ = nvdata::EncodeNvFile(old);
  files_.SetFile(kBackupFile, old_backup_);
}

void MatrixRun::SetUpProgram() {
  context_.reset();
  doc_.reset();
  taps_ = std::make_unique<taps::TapFactory>(*stick_, kDiagPort, [this](const Bytes& frame) { OnWrite(frame); });
  doc_ = std::make_unique<line::CFlotillaDoc>(
      line::DocEnvironment{*taps_, clock_, 0x0409, "C:\\Flotilla\\flotilla.exe"});
  context_ = std::make_unique<line::LineContext>(
      line::LineContext{*doc_, stick_->HostRegistry(), display_, prompts_, 0});
  completion_ = std::make_unique<LineCompletion>(
      LineCompletion{files_, "C:\\Flotilla", [this](int) { watch_resumed_ = true; }});
  host_ = std::make_unique<ProgramUpdateHost>(ProgramParts{files_}, window_);

  // The image set, where the image set check and the programming read it.
  const std::string directory = ImageSet::Get().Directory().string();
  for (const char* name : kImageFiles) files_.SetFile(directory + "\\" + name, ImageSet::Get().Read(name));
  images::FillImageSetPaths(*doc_, 0, directory);

  display_.on_progress = [this](int percent) { OnProgress(percent); };
  display_.on_ports = [this] {
    // The programmer answered its no-op: the passes begin.
    if (phase_ == Phase::Programmer && last_progress_ == 22) EnterPhase(Phase::Passes);
  };
  display_.on_icon = [this](line::LineIcon icon) {
    if (icon == line::LineIcon::Pass || icon == line::LineIcon::Fail) finishing_ = true;
  };
  window_.run_worker = [this] { return UpdateThreadProc(*context_, *completion_, *host_); };
}

void MatrixRun::Arm(Phase phase) {
  if (phase != cell_->phase) return;
  std::string error;
  EXPECT_TRUE(stick_->SetFaultPlan(std::string(R"({"rules": [)") + cell_->fault + "]}", error)) << error;
  armed_ = true;
}

void MatrixRun::Disarm() {
  if (!armed_) return;
  stick_->SetFaultPlan(sim::FaultPlan());
  armed_ = false;
}

void MatrixRun::EnterPhase(std::optional<Phase> phase) {
  if (phase == phase_) return;
  Disarm();
  phase_ = phase;
  if (phase) Arm(*phase);
}

void MatrixRun::OnProgress(int percent) {
  if (!finishing_) {
    switch (percent) {
      case 1: EnterPhase(Phase::PrepareReset); break;
      case 9: EnterPhase(Phase::NvBackup); break;
      case 20: EnterPhase(Phase::BootDownloader); break;
      case 21: EnterPhase(Phase::Programmer); break;
      case 81: EnterPhase(Phase::NvRestore); break;
      case 95: EnterPhase(std::nullopt); break;  // the stick's start-up options: no phase
      default: break;
    }
  }
  last_progress_ = percent;
}

void MatrixRun::OnWrite(const Bytes& frame) {
  if (close_at_restore_write_ && phase_ == Phase::NvRestore && frame.size() > 1 && frame[0] == 0x27 &&
      ++restore_writes_ == close_at_restore_write_)
    clock_.EndProcessAtNextSleep();
  const bool reset = IsResetRequest(frame);
  // The programmer's reset after the passes starts the restart.
  if (reset && !finishing_ && phase_ == Phase::Passes) EnterPhase(Phase::Restart);
  if (reset && finishing_) reset_asked_ = true;
}

bool MatrixRun::RunWatch() {
  const uint64_t start_ms = clock_.NowMs();
  const uint64_t give_up_ms = start_ms + kWatchGiveUpMs;
  const bool faulty = cell_->phase == Phase::Watch;
  EnterPhase(Phase::Watch);
  DeviceWatch watch(*context_);
  watch.Begin();
  auto shown = [this] { return doc_->Line(0).device_state == line::DeviceState::Answered; };
  for (;;) {
    const bool window_over = !faulty || clock_.NowMs() >= start_ms + kWatchFaultWindowMs;
    if (window_over) Disarm();
    if (window_over && shown()) break;
    if (clock_.NowMs() >= give_up_ms) return false;
    watch.Pass([&] { return clock_.NowMs() >= give_up_ms; });
  }
  EnterPhase(std::nullopt);
  return true;
}

Outcome MatrixRun::Run() {
  SetUpStick();
  SetUpProgram();
  return RunUpdate();
}

Outcome MatrixRun::RunAgain(const Cell& cell) {
  cell_ = &cell;
  window_ = MatrixWindow();
  display_ = MatrixDisplay();
  phase_.reset();
  armed_ = false;
  last_progress_ = -1;
  finishing_ = reset_asked_ = watch_resumed_ = false;
  close_at_restore_write_ = restore_writes_ = 0;
  sim_log_.clear();
  for (const std::string& name : files_.FileNames())
    if (name.find("\\logs\\") != std::string::npos) files_.DeleteFile(name);
  stick_->SetFaultPlan(sim::FaultPlan());
  SetUpProgram();
  return RunUpdate();
}

Outcome MatrixRun::RunUpdate() {
  Outcome outcome;
  try {
    if (RunWatch()) {
      doc_->Line(0).operation = line::LineOperation::Update;
      outcome.update_started = StartLineOperation(*context_, files_, window_) && window_.worker_end;
      if (window_.worker_end) outcome.worker = *window_.worker_end;
    }
  } catch (const RanIntoAHang&) {
    outcome.hung = true;
  } catch (const ProcessEnded&) {
    outcome.closed = true;
  }
  EnterPhase(std::nullopt);
  outcome.end_ms = clock_.NowMs();
  outcome.stick_shown = doc_->Line(0).device_state == line::DeviceState::Answered;
  outcome.watch_paused = window_.watch_paused;
  outcome.watch_resumed = watch_resumed_;
  outcome.program_ended = window_.program_ended;
  outcome.reset_asked = reset_asked_;
  outcome.last_status = display_.statuses.empty() ? std::string() : display_.statuses.back();
  outcome.boxes = window_.boxes;
  outcome.icons = display_.icons;
  for (const std::string& name : files_.FileNames()) {
    if (name.find("\\logs\\") == std::string::npos) continue;
    ++outcome.action_logs;
    const Bytes* bytes = files_.File(name);
    outcome.action_log.assign(bytes->begin(), bytes->end());
  }
  for (const std::string& line : sim_log_)
    if (line.rfind("fault: ", 0) == 0) outcome.fault_lines.push_back(line);
  outcome.sim_log = sim_log_;
  return outcome;
}

// ---------------------------------------------------------------------------------------------
// The checks.

// Which of the ends a run came to, told by what the user saw; none when it matches no end.
std::optional<End> ObservedEnd(const Cell& cell, const Outcome& out) {
  if (out.hung) return std::nullopt;
  if (!out.update_started) return End::NoUpdate;
  switch (out.worker) {
    case UpdateEnd::Succeeded:
      // A fault that cannot occur in its phase must not have met a single request there.
      if (cell.end == End::NotApplicable) {
        if (out.fault_lines.empty()) return End::NotApplicable;
        return std::nullopt;
      }
      return End::Success;
    case UpdateEnd::StatusOnly:
      return End::NvBackupFailed;
    case UpdateEnd::Finished:
      for (End end : {End::DownloaderFailed, End::UploadFailed, End::ProgrammingFailed, End::StickLost,
                      End::RestoreFailed})
        if (out.last_status == ShapeOf(end).final_text) return end;
      return std::nullopt;
  }
  return std::nullopt;
}

std::string CellName(const Cell& cell) {
  return std::string(PhaseName(cell.phase)) + " / " + KindName(cell.kind);
}

std::string Tail(const std::vector<std::string>& lines, size_t count) {
  std::string out;
  for (size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i)
    out += "  " + lines[i] + "\n";
  return out;
}

// Every partition and image as the image set holds it.
bool FlashHoldsTheImages(const sim::FlashStore& flash, const ImageSet& set) {
  struct Written {
    int type;
    const char* header;
    const char* body;
  };
  static const Written kWritten[] = {{2, nullptr, "qcsblhd_cfgdata.mbn"}, {3, nullptr, "qcsbl.mbn"},
                                     {4, "oemsblhd.mbn", "oemsbl.mbn"},    {5, "amsshd.mbn", "amss.mbn"},
                                     {10, "nandprghd.mbn", "nandprgcombined.mbn"},
                                     {9, nullptr, "efs.mbn"}};
  if (flash.PartitionTable() != set.Read("partition.mbn")) return false;
  for (const Written& w : kWritten) {
    const sim::FlashImage* image = flash.Image(w.type);
    if (!image || image->body != set.Read(w.body)) return false;
    if (image->header != (w.header ? set.Read(w.header) : Bytes())) return false;
  }
  return true;
}

// The items the stick holds differ from before the update: their ids.
std::vector<uint16_t> ChangedItems(MatrixRun& run) {
  std::vector<uint16_t> changed;
  for (const auto& [id, before] : run.NvBefore()) {
    sim::NvValue value{};
    const uint16_t status = run.Stick().Model().Nv().Read(id, value);
    if (status != before.first || (status == 0 && value != before.second)) changed.push_back(id);
  }
  return changed;
}

enum class BackupState { Old, New, Torn };

// The line's backup file: the one from before the update, a whole new one that holds every
// item as the stick held it, or anything else (torn).
BackupState StateOfBackup(MatrixRun& run) {
  const Bytes* bytes = run.Files().File(kBackupFile);
  if (!bytes) return BackupState::Torn;
  if (*bytes == run.OldBackup()) return BackupState::Old;
  nvdata::NvTable table{};
  if (nvdata::DecodeNvFile(bytes->data(), bytes->size(), table) != nvdata::NvFileCheck::Ok)
    return BackupState::Torn;
  for (const nvdata::NvRecord& record : table) {
    if (record.id >= nvdata::kNvEndId) break;
    const auto& before = run.NvBefore().at(record.id);
    if (record.status != before.first || (record.status == 0 && record.value != before.second))
      return BackupState::Torn;
  }
  return BackupState::New;
}

// How GoogleTest names a row in its messages.
void PrintTo(const Cell& cell, std::ostream* out) { *out << CellName(cell); }

class FaultMatrixTest : public ::testing::TestWithParam<Cell> {};

TEST_P(FaultMatrixTest, EndsAsItsRowSays) {
  const Cell& cell = GetParam();
  ASSERT_TRUE(ImageSet::Get().Ok());
  SCOPED_TRACE(CellName(cell));
  const EndShape& shape = ShapeOf(cell.end);
  MatrixRun run(cell);
  const Outcome out = run.Run();
  const std::string context = "after " + std::to_string(out.end_ms / 1000) + " s, last status \"" +
                              out.last_status + "\"\nfaults:\n" + Tail(out.fault_lines, 8) +
                              "stick:\n" + Tail(out.sim_log, 25);

  // Never a success with another flash or other NV items than before.
  const bool flash_written = FlashHoldsTheImages(run.Stick().Flash(), ImageSet::Get());
  const std::vector<uint16_t> changed = ChangedItems(run);
  if (out.update_started && out.worker == UpdateEnd::Succeeded) {
    EXPECT_TRUE(flash_written) << "a success with another flash";
    EXPECT_TRUE(changed.empty()) << "a success with " << changed.size() << " NV items changed, the first "
                                 << (changed.empty() ? 0 : changed.front());
  }
  // The line's backup file: whole, the new one once the backup was made, else the old one.
  const bool backup_made = cell.phase > Phase::NvBackup || cell.end == End::Success ||
                           cell.end == End::NotApplicable;
  EXPECT_EQ(StateOfBackup(run), backup_made ? BackupState::New : BackupState::Old);
  EXPECT_EQ(run.Files().File(std::string(kBackupFile) + ".tmp"), nullptr);

  // The end and its time.
  const std::optional<End> seen = ObservedEnd(cell, out);
  ASSERT_FALSE(out.hung) << "still running after " << kHangMs / 3600000 << " h of virtual time, " << context;
  ASSERT_TRUE(seen == cell.end) << "ended as " << (seen ? ShapeOf(*seen).name : "none of the ends") << ", "
                                << context;
  EXPECT_LE(out.end_ms, uint64_t{cell.bound_s} * 1000) << context;

  // Nothing reaches the stick before the programming passes.
  if (cell.phase < Phase::Passes && cell.end != End::Success && cell.end != End::NotApplicable) {
    EXPECT_TRUE(run.Stick().Flash().Images().empty());
    EXPECT_TRUE(changed.empty()) << changed.size() << " NV items changed";
  }

  if (!shape.update_started) {
    // The watch never showed the stick, so UPDATE stayed disabled and nothing was asked.
    EXPECT_FALSE(out.stick_shown);
    EXPECT_TRUE(out.boxes.empty());
    return;
  }
  ASSERT_EQ(out.worker, shape.worker) << context;
  EXPECT_TRUE(out.watch_paused);
  EXPECT_EQ(out.program_ended, out.worker == UpdateEnd::Succeeded);

  switch (shape.worker) {
    case UpdateEnd::Succeeded:
      EXPECT_EQ(out.last_status, shape.final_text) << context;
      // The success box last; before it at most the reinsert box that the wait asked for.
      EXPECT_EQ(out.boxes.back(), std::string("success: ") + shape.final_text);
      for (size_t i = 0; i + 1 < out.boxes.size(); ++i)
        EXPECT_EQ(out.boxes[i], "error: " + ReinsertText(false)) << context;
      EXPECT_EQ(out.action_logs, 0);
      EXPECT_FALSE(out.watch_resumed);  // the program ends
      break;
    case UpdateEnd::StatusOnly:
      // The failure box alone: no log, the icon still Running, the watch still paused.
      ASSERT_FALSE(out.boxes.empty());
      EXPECT_EQ(out.boxes.back(), std::string("error: ") + kFailureBox) << context;
      EXPECT_EQ(out.action_logs, 0);
      EXPECT_EQ(out.icons.back(), line::LineIcon::Running);
      EXPECT_FALSE(out.watch_resumed);
      break;
    case UpdateEnd::Finished: {
      EXPECT_EQ(out.last_status, shape.final_text) << context;
      const std::string log_end = std::string(shape.final_text) + "\n";
      EXPECT_EQ(out.action_logs, 1);
      EXPECT_TRUE(out.action_log.size() >= log_end.size() &&
                  out.action_log.compare(out.action_log.size() - log_end.size(), log_end.size(), log_end) == 0)
          << "the action log ends with:\n" << out.action_log.substr(out.action_log.size() > 200 ? out.action_log.size() - 200 : 0);
      EXPECT_EQ(out.icons.back(), line::LineIcon::Fail);
      EXPECT_EQ(out.reset_asked, shape.reset);
      EXPECT_EQ(!out.boxes.empty() && out.boxes.back() == std::string("error: ") + kFailureBox, shape.failure_box)
          << context;
      EXPECT_TRUE(out.watch_resumed);
      break;
    }
  }
}

std::string RowName(const ::testing::TestParamInfo<Cell>& info) {
  static const char* const kPhases[] = {"Watch", "PhaseA", "NvBackup", "BootDownloader",
                                        "Programmer", "Passes", "Restart", "NvRestore"};
  static const char* const kKinds[] = {"NoReply", "Split", "BadFcs", "NoEndFlag", "DiagError", "Nak",
                                       "StreamError", "NvStatus", "Vanish", "Stall", "Oversize", "Gone",
                                       "LateReply"};
  return std::string(kPhases[static_cast<int>(info.param.phase)]) + "_" +
         kKinds[static_cast<int>(info.param.kind)];
}

INSTANTIATE_TEST_SUITE_P(Matrix, FaultMatrixTest, ::testing::ValuesIn(kMatrix), RowName);

TEST(FaultMatrixTable, HoldsEveryCellOnce) {
  constexpr size_t kPhases = 8, kKinds = 13;
  ASSERT_EQ(std::size(kMatrix), kPhases * kKinds);
  std::map<std::pair<Phase, Kind>, int> seen;
  for (const Cell& cell : kMatrix) ++seen[{cell.phase, cell.kind}];
  EXPECT_EQ(seen.size(), kPhases * kKinds);
  for (const Cell& cell : kMatrix) {
    SCOPED_TRACE(CellName(cell));
    // A cell that cannot occur says why; every end, a dead stick's too, comes within 10 minutes.
    if (cell.end == End::NotApplicable) {
      EXPECT_GT(std::strlen(cell.note), 0u);
    }
    EXPECT_LE(cell.bound_s, 600u);
  }
}

// ---------------------------------------------------------------------------------------------
// The IMEI's write refused during the restore: a refusal the restore skips must be proven by a
// read that shows the stick holding the value, else the write is tried again, and a write that
// never takes fails the restore.

const Cell kImeiWrites[] = {
    {Phase::NvRestore, Kind::NvStatus,
     R"({"code": "0x27", "nv_item": 550, "nth": 1, "action": "nv_status", "nv_status": 3})",
     End::Success, 240, kGiven, "\"NVM full\" once: written again"},
    {Phase::NvRestore, Kind::NvStatus,
     R"({"code": "0x27", "nv_item": 550, "nth": 1, "action": "nv_status", "nv_status": 5})",
     End::Success, 240, kChosen, "\"not active\" once: read back, missing, written again; it used to be skipped and lost"},
    {Phase::NvRestore, Kind::NvStatus,
     R"({"code": "0x27", "nv_item": 550, "nth": 1, "action": "nv_status", "nv_status": 7})",
     End::Success, 240, kChosen, "\"read-only\" once: read back, missing, written again; it used to be skipped and lost"},
    {Phase::NvRestore, Kind::NvStatus,
     R"({"code": "0x27", "nv_item": 550, "action": "nv_status", "nv_status": 3})",
     End::RestoreFailed, 600, kGiven, "\"NVM full\" every time"},
    {Phase::NvRestore, Kind::NvStatus,
     R"({"code": "0x27", "nv_item": 550, "action": "nv_status", "nv_status": 5})",
     End::RestoreFailed, 600, kChosen, "\"not active\" every time, the IMEI missing: no success without it"},
    {Phase::NvRestore, Kind::NvStatus,
     R"({"code": "0x27", "nv_item": 550, "action": "nv_status", "nv_status": 7})",
     End::RestoreFailed, 600, kChosen, "\"read-only\" every time, the IMEI missing: no success without it"},
};

std::string ImeiRowName(const ::testing::TestParamInfo<Cell>& info) {
  return "ImeiWrite_" + std::to_string(info.index + 1);
}

INSTANTIATE_TEST_SUITE_P(ImeiWrites, FaultMatrixTest, ::testing::ValuesIn(kImeiWrites), ImeiRowName);

// ---------------------------------------------------------------------------------------------
// A second update after a failure that came after the images: the new file system has wiped
// the stick's NV items, and the line's backup file is all that is left of them. The user
// presses UPDATE again (or starts the program again); that update must bring the items back
// from the kept backup, never back up the wiped stick over it.

struct SecondUpdate {
  const char* name;
  Cell first;                 // the fault of the first update
  unsigned close_at_write;    // the user closes the window at this write of the restore; 0 never
};

const Cell kNoFault = {Phase::NvRestore, Kind::NoReply, "", End::Success, 600, kGiven, ""};

const SecondUpdate kSecondUpdates[] = {
    {"restore refused", {Phase::NvRestore, Kind::NvStatus,
      R"({"code": "0x27", "nv_item": 550, "action": "nv_status", "nv_status": 4})", End::RestoreFailed, 600, kGiven, ""}, 0},
    {"stick vanishing during the restore", {Phase::NvRestore, Kind::Vanish,
      R"({"code": "0x27", "nth": 5, "action": "vanish"})", End::RestoreFailed, 600, kGiven, ""}, 0},
    {"stick lost after the reset, back 200 s later", {Phase::Restart, Kind::Vanish,
      R"({"mode": "stream", "code": "0x0B", "nth": 1, "action": "vanish", "away_ms": 200000})", End::StickLost, 600, kGiven, ""}, 0},
    {"window closed during the restore", kNoFault, 5},
};

struct SecondUpdateResult {
  Outcome first;
  Outcome second;
  bool items_as_before = false;
  bool flash_written = false;
  bool backup_kept = false;  // the file, or its earlier generation, is the first good backup
  std::string backup_state;
};

SecondUpdateResult RunSecondUpdate(const SecondUpdate& row) {
  SecondUpdateResult result;
  MatrixRun run(row.first);
  run.CloseAtRestoreWrite(row.close_at_write);
  result.first = run.Run();
  const Bytes* first_backup = run.Files().File(kBackupFile);
  const Bytes good = first_backup && StateOfBackup(run) == BackupState::New ? *first_backup : Bytes();
  result.second = run.RunAgain(kNoFault);
  result.items_as_before = ChangedItems(run).empty();
  result.flash_written = FlashHoldsTheImages(run.Stick().Flash(), ImageSet::Get());
  const Bytes* file = run.Files().File(kBackupFile);
  const Bytes* earlier = run.Files().File("C:\\Flotilla\\Channel1.previous.nvm");
  result.backup_kept = !good.empty() && ((file && *file == good) || (earlier && *earlier == good));
  result.backup_state = good.empty() ? "no good backup after the first update" : "";
  return result;
}

bool FirstEndedWithoutSuccess(const Outcome& out) {
  return out.closed || (out.update_started && out.worker != UpdateEnd::Succeeded && !out.hung);
}

class SecondUpdateTest : public ::testing::TestWithParam<SecondUpdate> {};

TEST_P(SecondUpdateTest, FinishesTheFirstAndKeepsTheBackup) {
  ASSERT_TRUE(ImageSet::Get().Ok());
  const SecondUpdate& row = GetParam();
  const SecondUpdateResult r = RunSecondUpdate(row);
  ASSERT_TRUE(FirstEndedWithoutSuccess(r.first)) << "the first update: \"" << r.first.last_status << "\"";
  if (!r.first.closed) EXPECT_EQ(r.first.last_status, ShapeOf(row.first.end).final_text);
  EXPECT_TRUE(r.backup_kept) << r.backup_state;
  ASSERT_FALSE(r.second.hung);
  // No success unless every item is back as it was.
  if (r.second.worker == UpdateEnd::Succeeded) {
    EXPECT_TRUE(r.items_as_before);
    EXPECT_TRUE(r.flash_written);
  }
  // Here the second update can and does bring them back.
  EXPECT_EQ(r.second.worker, UpdateEnd::Succeeded) << "the second update: \"" << r.second.last_status << "\"";
  EXPECT_TRUE(r.items_as_before);
}

std::string SecondRowName(const ::testing::TestParamInfo<SecondUpdate>& info) {
  std::string name;
  for (const char* c = info.param.name; *c; ++c)
    if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
  return name;
}

INSTANTIATE_TEST_SUITE_P(AfterAFailure, SecondUpdateTest, ::testing::ValuesIn(kSecondUpdates), SecondRowName);

// ---------------------------------------------------------------------------------------------
// The printed table.

std::string Duration(uint64_t seconds) {
  const std::string minutes = std::to_string(seconds / 60) + " min";
  if (seconds % 60 == 0) return minutes;
  return (seconds >= 60 ? minutes + " " : std::string()) + std::to_string(seconds % 60) + " s";
}

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '|') out += "\\|";
    else out += c;
  }
  return out;
}

// Runs every row and prints each cell with the end it came to; false when a cell ended other
// than its row says.
bool PrintMatrix() {
  if (!ImageSet::Get().Ok()) {
    std::fprintf(stderr, "the image set could not be made\n");
    return false;
  }
  bool all_as_stated = true;
  std::printf("| Phase | Fault | End | Took | Within | Note |\n|---|---|---|---|---|---|\n");
  for (const Cell& cell : kMatrix) {
    MatrixRun run(cell);
    const Outcome out = run.Run();
    const std::optional<End> seen = ObservedEnd(cell, out);
    std::string end = seen ? ShapeOf(*seen).name : "unexpected: \"" + out.last_status + "\"";
    if (seen == End::NotApplicable) end = "not applicable: " + std::string(cell.note);
    if (cell.chosen) end += " (chosen)";
    const bool in_time = out.end_ms <= uint64_t{cell.bound_s} * 1000;
    if (seen != cell.end || !in_time) {
      all_as_stated = false;
      end += " **differs from its row: " + std::string(ShapeOf(cell.end).name) + " within " +
             std::to_string(cell.bound_s) + " s**";
    }
    const std::string note = cell.end == End::NotApplicable ? "" : cell.note;
    std::printf("| %s | %s | %s | %s | %s | %s |\n", PhaseName(cell.phase), KindName(cell.kind),
                Escaped(end).c_str(), Duration(out.end_ms / 1000).c_str(), Duration(cell.bound_s).c_str(),
                Escaped(note).c_str());
  }
  std::printf("\n### The IMEI's write refused during the restore\n\n");
  std::printf("| Fault | End | Took | Within | Note |\n|---|---|---|---|---|\n");
  for (const Cell& cell : kImeiWrites) {
    MatrixRun run(cell);
    const Outcome out = run.Run();
    const std::optional<End> seen = ObservedEnd(cell, out);
    const bool success_sound = out.worker != UpdateEnd::Succeeded || ChangedItems(run).empty();
    std::string end = seen ? ShapeOf(*seen).name : "unexpected: \"" + out.last_status + "\"";
    if (cell.chosen) end += " (chosen)";
    if (seen != cell.end || !success_sound || out.end_ms > uint64_t{cell.bound_s} * 1000) {
      all_as_stated = false;
      end += " **differs from its row: " + std::string(ShapeOf(cell.end).name) + "**";
    }
    std::printf("| %s | %s | %s | %s | %s |\n", Escaped(cell.fault).c_str(), Escaped(end).c_str(),
                Duration(out.end_ms / 1000).c_str(), Duration(cell.bound_s).c_str(), Escaped(cell.note).c_str());
  }

  std::printf("\n### A second update after a failure\n\n");
  std::printf("| First update | Its end | Second update | NV items | Backup |\n|---|---|---|---|---|\n");
  for (const SecondUpdate& row : kSecondUpdates) {
    const SecondUpdateResult r = RunSecondUpdate(row);
    const std::string first_end = r.first.closed ? "the window closed at write " + std::to_string(row.close_at_write)
                                                 : "\"" + r.first.last_status + "\"";
    const std::string second_end = r.second.worker == UpdateEnd::Succeeded ? "success"
                                                                           : "\"" + r.second.last_status + "\"";
    const bool sound = FirstEndedWithoutSuccess(r.first) && r.backup_kept &&
                       (r.second.worker != UpdateEnd::Succeeded || (r.items_as_before && r.flash_written));
    if (!sound || r.second.worker != UpdateEnd::Succeeded) all_as_stated = false;
    std::printf("| %s | %s | %s | %s | %s |\n", row.name, Escaped(first_end).c_str(), Escaped(second_end).c_str(),
                r.items_as_before ? "as before" : "**changed**",
                r.backup_kept ? "the first good backup kept" : "**lost**");
  }
  return all_as_stated;
}

}  // namespace
}  // namespace flotilla::update

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--print-matrix") == 0) return flotilla::update::PrintMatrix() ? 0 : 1;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
