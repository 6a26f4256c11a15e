// State of the running firmware that the AT and DIAG commands read and change.
#pragma once

#include <cstdint>
#include <string>

namespace flotilla::sim {

// What runs on the stick and answers on its DIAG port.
enum class StickMode : int { Firmware = 0, BootDownloader = 1, FlashProgrammer = 2 };

inline const char* ModeName(StickMode mode) {
  switch (mode) {
    case StickMode::BootDownloader: return "boot downloader";
    case StickMode::FlashProgrammer: return "flash programmer";
    default: return "firmware";
  }
}

struct FirmwareState {
  // Survives restarts: a restart enters `next_mode` (the firmware unless a switch asked
  // for the boot downloader).
  StickMode mode = StickMode::Firmware;
  StickMode next_mode = StickMode::Firmware;

  std::string firmware_version;
  int diag_mode = 0;
  int reset_count = 0;
  std::string cd_run_mode;

  // Lost when the stick restarts.
  bool offline = false;
  bool spc_unlocked = false;
  uint64_t diag_locked_until_ms = 0;  // after a wrong SPC the DIAG task ignores requests
  int autorun = -1;                   // parameter of the last 0x4B 0xA1; -1: none yet
  int subsystem_aa = -1;              // parameter of the last 0x4B 0xAA; -1: none yet
  bool downloader_prepared = false;   // 0x5C seen
  unsigned readiness_polls = 0;       // 0x4B 0x04 0x0E 0x00 seen
  bool boot_downloader_requested = false;
  // A reset was accepted and the stick is about to drop its ports; further resets are moot.
  bool going_down = false;
  bool reset_requested = false;  // accepted, not yet taken by the transport
  // A re-enumeration nobody asked for (a fault), not yet taken by the transport: the ports
  // come back `vanish_away_ms` later, or never.
  bool vanish_requested = false;
  bool vanish_for_good = false;
  uint32_t vanish_away_ms = 0;

  // The stick comes back from a reset or a power cycle.
  void Restart() {
    mode = next_mode;
    next_mode = StickMode::Firmware;
    offline = spc_unlocked = downloader_prepared = boot_downloader_requested = false;
    going_down = reset_requested = false;
    vanish_requested = vanish_for_good = false;
    diag_locked_until_ms = 0;
    readiness_polls = 0;
    autorun = subsystem_aa = -1;
  }

  // Both AT+ZRST and the DIAG reset end here; false when the stick is already on its way down.
  bool RequestReset(StickMode into = StickMode::Firmware) {
    if (going_down) return false;
    next_mode = into;
    going_down = reset_requested = true;
    ++reset_count;
    return true;
  }

  // The stick drops off the bus unasked; it restarts into its firmware if it comes back.
  void Vanish(uint32_t away_ms, bool for_good) {
    if (vanish_requested) return;
    next_mode = StickMode::Firmware;
    vanish_requested = true;
    vanish_for_good = for_good;
    vanish_away_ms = away_ms;
  }
};

}  // namespace flotilla::sim
