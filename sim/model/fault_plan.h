// The fault plan: scripted misbehaviour of the stick, matched against the host's requests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/model/emission.h"

namespace flotilla::sim {

enum class FaultAction {
  NoReply,    // the request is carried out, its reply is lost
  Ignore,     // the request is lost on its way in: nothing is done, nothing answered
  Split,      // the reply leaves in two bursts with a gap between them
  BadFcs,     // the reply's FCS is wrong
  NoEndFlag,  // the reply lacks its closing flag
  ErrorCode,  // the firmware refuses: error reply with this code, the request echoed
  NvStatus,   // an NV read or write answers with this status and does nothing
  Oversize,   // the reply is padded beyond what the host may accept
  Cut,        // the reply packet is cut to `size` bytes and framed soundly, as if the
              // firmware had sent a short answer
  Delay,      // the reply comes late
  // Outside the firmware:
  Nak,          // the boot downloader refuses with a negative acknowledge and `reason`
  StreamError,  // the flash programmer refuses with an error frame and `reason`
  TwoFrames,    // the request is carried out; its reply and a refusal with `reason` leave
                // together, as one burst
  Stall,        // this request and every one within `stall_ms` after it are lost
  // On either port, in any mode:
  Vanish,  // the request is lost and the stick re-enumerates unasked: its ports drop at once
           // and come back `away_ms` later, the stick starting afresh as after a reset
  Gone,    // the request is lost and the stick drops its ports for good
};

// One request as the fault plan sees it.
struct FaultRequest {
  SimPort port = SimPort::Diag;
  int code = -1;       // DIAG request code; -1 for text (AT lines, the AT$QCDMG probe)
  int subsystem = -1;  // second byte of a 0x4B request
  int nv_item = -1;    // item of an NV read or write
  std::string text;    // the AT command line or probe, without its CR
  int mode = 0;        // the StickMode that received it
};

struct FaultRule {
  // What it matches; -1 and empty match anything.
  SimPort port = SimPort::Diag;
  int mode = -1;  // a StickMode
  int code = -1;
  int subsystem = -1;
  int nv_item = -1;
  std::string command;  // compared without regard to case
  // Which of the matching requests it acts on: the nth (from 1) and `times` after it
  // (0: every one from the nth on).
  uint32_t nth = 1;
  uint32_t times = 0;

  FaultAction action = FaultAction::NoReply;
  uint32_t delay_ms = 0;   // added before the reply, for every action
  uint32_t gap_ms = 0;     // Split: silence between the bursts
  uint32_t split_at = 0;   // Split: bytes in the first burst (0: half)
  uint8_t error_code = 0x13;
  uint16_t nv_status = 0;
  uint32_t size = 1100;    // Oversize: bytes on the wire, at least; Cut: packet bytes kept
  uint32_t reason = 0;     // Nak, StreamError, TwoFrames (0: 7 for a NAK, 15 otherwise)
  uint32_t stall_ms = 1000;
  uint32_t away_ms = 3000;  // Vanish

  uint32_t seen = 0;  // matching requests so far
};

class FaultPlan {
 public:
  // Parses the JSON form (see the README). False with `error` set when it is malformed.
  static bool Parse(const std::string& json, FaultPlan& plan, std::string& error);
  static bool Load(const std::string& path, FaultPlan& plan, std::string& error);

  // Counts the request against every rule that matches it and returns the first rule whose
  // turn it is, or nullptr. The pointer lives until the plan changes.
  const FaultRule* Match(const FaultRequest& request);

  bool Empty() const { return rules_.empty(); }
  void Add(FaultRule rule) { rules_.push_back(std::move(rule)); }

 private:
  std::vector<FaultRule> rules_;
};

// The bytes of a reply as they leave the stick after `delay_ms`, shaped by `fault` (nullptr:
// unchanged). Only the timing actions (Split, Delay) act here; the rest belong to the port.
std::vector<Emission> Schedule(std::vector<uint8_t> bytes, uint32_t delay_ms,
                               const FaultRule* fault);

const char* FaultActionName(FaultAction action);

}  // namespace flotilla::sim
