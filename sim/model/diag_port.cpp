// The stick's DIAG port: frame splitting on the closing flag and the FCS check.
#include "sim/model/diag_port.h"

#include "protocol/framing.h"

namespace flotilla::sim {

std::string Hex(const uint8_t* data, size_t length) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(length * 2);
  for (size_t i = 0; i < length; ++i) {
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 0xF]);
  }
  return out;
}

std::vector<Emission> DiagPortModel::Receive(const uint8_t* data, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (pending_.size() < kMaxFrame) {
      pending_.push_back(data[i]);
    } else {
      overflow_ = true;
    }
    if (data[i] == protocol::kFlag) HandleFrame();
  }
  return {};
}

void DiagPortModel::HandleFrame() {
  std::vector<uint8_t> frame;
  frame.swap(pending_);
  if (overflow_) {
    overflow_ = false;
    ++bad_frames_;
    if (log_) log_("diag: frame too long, dropped");
    return;
  }
  // A lone flag opens the next frame (boot downloader style); it carries nothing.
  if (frame.size() == 1) return;

  size_t length = frame.size();
  auto status = protocol::UnframeInPlace(protocol::PacketMode::Diag, frame.data(), length,
                                         frame.size());
  if (status != protocol::UnframeStatus::Ok) {
    ++bad_frames_;
    if (log_) log_(std::string("diag: bad frame: ") + protocol::UnframeErrorText(status));
    return;
  }
  frame.resize(length - 2);  // the FCS
  if (log_) log_("diag: request " + Hex(frame.data(), frame.size()));
  frames_.push_back(std::move(frame));
}

}  // namespace flotilla::sim
