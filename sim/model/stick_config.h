// Settings of the simulated stick that tests and the command line choose.
#pragma once

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "sim/model/fault_plan.h"

namespace flotilla::sim {

struct StickConfig {
  std::string firmware_version = "BD_XV418V1.0.0B05";
  int diag_mode = 0;  // the "AT+ZDIAG" mode the stick starts with
  // Delay between a complete AT command and the start of its answer.
  unsigned at_reply_delay_ms = 20;
  // Delay between a complete DIAG request and the start of its reply.
  unsigned diag_reply_delay_ms = 5;

  // The version set (0x39). Text 9 carries the model tag that the updater checks for.
  std::array<std::string, 9> version_texts = {
      "BD_XV418V1.0.0B05", "XV418_BOOT_V1.0.2", "WIN_V2.1.3",         "XV418_HW_V1.1",
      "MAC_V1.0.7",        "XV418_NV_V0.9.4",   "XV418_AMSS_6246_20", "XV418_EFS_V1.0",
      "MODEL_VELQ482B3"};
  // Raw length (bytes on the wire, FCS, escapes and end flag included) of the version set
  // reply. The host picks its reading of the texts from this length: up to 130 the short
  // four-text layout, 131-240 four texts, 241-290 eight texts, above 290 all nine. 0: the
  // natural length of the nine-text layout.
  unsigned version_reply_length = 0;

  uint32_t esn = 0x80A1B2C3;
  std::string build_id = "XV418_M6246B-SCAUWWZ-3250";
  // What the download check (0x4B 0xA3) answers: 0 accepted, 1 public key, 2 main version,
  // 3 compare version; anything else is passed on as it is.
  uint32_t download_check_result = 0;

  // Service programming code that 0x41 unlocks with. A wrong code locks DIAG out for a while,
  // as the firmware does against guessing.
  std::string spc = "000000";
  unsigned spc_lockout_ms = 10000;
  // NV items that only take writes after the SPC was given (error reply 0x42 otherwise).
  std::set<uint16_t> spc_protected_nv;
  // A DIAG reset (0x29 mode 2) and the switch to the boot downloader (0x3A) are refused with
  // 0x18 unless the stick was put offline first.
  bool reset_needs_offline = true;
  // How many subsystem-4 readiness polls (0x4B 0x04 0x0E 0x00) answer "not ready" after each
  // start of the firmware before one answers ready.
  unsigned not_ready_polls = 2;

  // NV items that answer "not active" (status 5) to reads and writes, and items that refuse
  // writes as read-only (status 7).
  std::set<uint16_t> inactive_nv;
  std::set<uint16_t> read_only_nv = {0};
  // Directory that keeps the NV store between runs; empty: nothing is kept.
  std::string state_dir;

  // After a reset the stick answers, drops both ports `reset_drop_ms` after its answer has
  // left, and brings them back `reenum_ms` later.
  unsigned reset_drop_ms = 1500;
  unsigned reenum_ms = 3000;
  // Each time the ports come back (after a reset or a switch of mode) both COM numbers are
  // this much higher, as Windows numbers a device that re-enumerates on another interface
  // path; 0 keeps them.
  unsigned reenum_com_shift = 0;

  // The link: the flash programmer's time to program one block before it answers the write,
  // and a reply time that varies from reply to reply between `reply_ms_min` and
  // `reply_ms_max`, drawn from `reply_seed` so that a run can be repeated (max 0: no
  // variation).
  unsigned block_program_ms = 0;
  unsigned reply_ms_min = 0;
  unsigned reply_ms_max = 0;
  uint32_t reply_seed = 1;

  // Driver services that announce the ports, and the device instances behind them.
  std::string at_service = "qcusbmdm6k";
  std::string diag_service = "qcusbser6k";
  std::string at_instance = "USB\\VID_19D2&PID_0031&MI_02\\7&2B41C7E&0&0002";
  std::string diag_instance = "USB\\VID_19D2&PID_0031&MI_01\\7&2B41C7E&0&0001";

  // The flash programmer the boot downloader starts: with `check_programmer` only when the
  // bytes from the load address on begin with `programmer` (otherwise the go is refused),
  // else whatever came.
  bool check_programmer = false;
  std::vector<uint8_t> programmer;
  // Bytes an image may hold; a stream write beyond them is refused.
  uint32_t max_image_bytes = 64u << 20;
  // The NV items live in the file system: once a new file system image is written, every item
  // but the read-only ones is gone (reads answer "not active" until the item is written
  // again), as after a real reflash.
  bool efs_holds_nv = false;

  FaultPlan faults;
};

}  // namespace flotilla::sim
