// PhoneChannel: request reset, framing of requests and checks of replies.
#include "protocol/phone_channel.h"

#include <algorithm>
#include <cstring>

#include "protocol/boot_downloader.h"
#include "protocol/streaming.h"

namespace flotilla::protocol {
namespace {

bool AcceptAnyReply(PhoneChannel&) { return true; }

size_t ModeIndex(PacketMode mode) {
  auto i = static_cast<size_t>(mode);
  return i < 4 ? i : 0;
}

}  // namespace

PhoneChannel::PhoneChannel(std::unique_ptr<platform::SerialDevice> device,
                           platform::Clock& clock)
    : port_(std::move(device)), clock_(clock) {
  parsers_.fill(&AcceptAnyReply);
  parsers_[ModeIndex(PacketMode::BootDownload)] = &ParseBootReply;
  parsers_[ModeIndex(PacketMode::Streaming)] = &ParseStreamReply;
}

void PhoneChannel::ResetForRequest() {
  scratch_text_.clear();
  extra_data_.fill(0);
  extra_data_length_ = 0;
  receive_.fill(0);
  receive_length_ = 0;
  transmit_.fill(0);
  transmit_length_ = 0;
  expected_reply_fields_ = 0;
  expected_echo_ = 0;
}

bool PhoneChannel::ReplyEchoesRequest() const {
  if (expected_echo_ == 0) return true;
  return expected_echo_ <= request_parameters_length_ && ReplyFieldsLength() >= expected_echo_ &&
         std::memcmp(ReplyFields(), request_parameters_.data(), expected_echo_) == 0;
}

bool PhoneChannel::SetRequest(uint8_t command, const uint8_t* parameters, size_t length) {
  if (length > request_parameters_.size()) {
    error_text_ = "the Request is too Long";
    return false;
  }
  request_command_ = command;
  if (length) std::memcpy(request_parameters_.data(), parameters, length);
  request_parameters_length_ = length;
  return true;
}

bool PhoneChannel::SetRawPacket(const uint8_t* packet, size_t length) {
  if (length > kMaxRequestPacket) {
    error_text_ = "the Request is too Long";
    return false;
  }
  if (length) std::memcpy(transmit_.data(), packet, length);
  transmit_length_ = static_cast<uint32_t>(length);
  return true;
}

size_t PhoneChannel::BuildPacket(uint8_t* out, size_t capacity) const {
  size_t length = 1 + request_parameters_length_;
  if (length > capacity) return 0;
  out[0] = request_command_;
  if (request_parameters_length_)
    std::memcpy(out + 1, request_parameters_.data(), request_parameters_length_);
  return length;
}

uint32_t PhoneChannel::FrameRequest() {
  size_t packet_length = 0;
  if (mode_ == PacketMode::Raw) {
    packet_length = std::min<size_t>(transmit_length_, kMaxRequestPacket);
    std::memcpy(work_.data(), transmit_.data(), packet_length);
  } else {
    transmit_length_ = 0;
    packet_length = BuildPacket(work_.data(), kMaxRequestPacket);
  }
  size_t frame = FramePacket(mode_, work_.data(), packet_length, transmit_.data(), transmit_.size());
  if (frame == 0) {
    error_text_ = "the Request is too Long";
    transmit_length_ = 0;
    return 0;
  }
  transmit_length_ = static_cast<uint32_t>(frame);
  return transmit_length_;
}

void PhoneChannel::SetReceiveLength(size_t length) {
  receive_length_ = static_cast<uint16_t>(std::min(length, kReceiveCapacity));
}

size_t PhoneChannel::AppendReceived(const uint8_t* data, size_t length) {
  size_t take = std::min(length, kReceiveCapacity - receive_length_);
  if (take) std::memcpy(receive_.data() + receive_length_, data, take);
  receive_length_ = static_cast<uint16_t>(receive_length_ + take);
  return take;
}

bool PhoneChannel::UnframeReply() {
  raw_reply_length_ = receive_length_;
  size_t length = receive_length_;
  UnframeStatus status = UnframeInPlace(mode_, receive_.data(), length, receive_.size());
  receive_length_ = static_cast<uint16_t>(length);
  if (status != UnframeStatus::Ok) {
    error_text_ = UnframeErrorText(status);
    return false;
  }
  read_position_ = 1;
  reply_code_ = receive_[0];
  if (!parsers_[ModeIndex(mode_)](*this)) return false;
  if (ReplyFieldsLength() < expected_reply_fields_) {
    error_text_ = "The Received Data from the Phone is Too Short";
    return false;
  }
  return true;
}

void PhoneChannel::SetReplyParser(PacketMode mode, ReplyParser parser) {
  parsers_[ModeIndex(mode)] = parser ? parser : &AcceptAnyReply;
}

bool PhoneChannel::SetServiceProgrammingCode(const std::string& code) {
  if (code.size() != 6) return false;
  for (char c : code)
    if (c < '0' || c > '9') return false;
  spc_ = code;
  return true;
}

bool PhoneChannel::SetExtraData(const uint8_t* data, size_t length) {
  if (length > extra_data_.size()) {
    error_text_ = "the Request is too Long";
    return false;
  }
  if (length) std::memcpy(extra_data_.data(), data, length);
  extra_data_length_ = static_cast<uint32_t>(length);
  return true;
}

}  // namespace flotilla::protocol
