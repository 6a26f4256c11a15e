// The stick's DIAG port: splits the host's bytes into frames, checks and logs them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/model/emission.h"
#include "sim/model/sim_log.h"

namespace flotilla::sim {

class DiagPortModel {
 public:
  explicit DiagPortModel(SimLog log) : log_(std::move(log)) {}

  // Bytes from the host; returns what the stick sends back (nothing yet: the firmware's
  // answers arrive with the DIAG command set).
  std::vector<Emission> Receive(const uint8_t* data, size_t length);

  // Good frames seen so far, unframed (command code first, FCS removed).
  const std::vector<std::vector<uint8_t>>& Frames() const { return frames_; }
  int BadFrames() const { return bad_frames_; }

 private:
  // A frame longer than this cannot be one of ours; it is dropped and counted as bad.
  static constexpr size_t kMaxFrame = 4200;

  void HandleFrame();

  SimLog log_;
  std::vector<uint8_t> pending_;
  bool overflow_ = false;
  std::vector<std::vector<uint8_t>> frames_;
  int bad_frames_ = 0;
};

// Lower-case hex of a byte range, no separators.
std::string Hex(const uint8_t* data, size_t length);

}  // namespace flotilla::sim
