// PhoneChannel: the packet channel on a line's diagnostics port, with its buffers and framing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/serial_device.h"
#include "protocol/framing.h"
#include "protocol/serial_port.h"

namespace flotilla::protocol {

class PhoneChannel;

// Reads a reply's fields; the channel's read position stands after the reply code. Sets the
// channel's ErrorText and returns false when the reply is not what the request expects.
using ReplyParser = bool (*)(PhoneChannel& channel);

class PhoneChannel {
 public:
  // Request data of the largest request (a stream write) and the room for its header fields.
  static constexpr size_t kMaxRequestData = 1024;
  static constexpr size_t kMaxRequestPacket = 1 + 15 + kMaxRequestData;
  // Room for the fully escaped frame of the largest request, both flags included.
  static constexpr size_t kTransmitCapacity = MaxFrameLength(kMaxRequestPacket);
  // The largest reply any exchange accepts.
  static constexpr size_t kReceiveCapacity = 1024;
  static constexpr size_t kExtraDataCapacity = 1024;

  PhoneChannel(std::unique_ptr<platform::SerialDevice> device, platform::Clock& clock);

  SerialPort& Port() { return port_; }
  platform::Clock& Clock() { return clock_; }

  PacketMode Mode() const { return mode_; }
  void SetMode(PacketMode mode) { mode_ = mode; }

  const std::string& ErrorText() const { return error_text_; }
  void SetErrorText(std::string text) { error_text_ = std::move(text); }
  std::string& ScratchText() { return scratch_text_; }

  // Before every request: empties the scratch text and zero-fills the extra data, the
  // receive and transmit buffers and their lengths, and forgets the expected reply length.
  // Parameters, reply fields and ErrorText are kept.
  void ResetForRequest();

  // The reply fields (after the code) the request's answer must hold: a reply cut before
  // them fails its attempt instead of reading the missing fields as zero.
  void ExpectReplyFields(size_t count) { expected_reply_fields_ = count; }

  // The first `count` reply fields must repeat the request's first `count` parameters (an NV
  // reply names its item, a write reply also the value written). A reply that repeats other
  // bytes answers an earlier request that was given up on: the exchange passes it over and
  // waits on for its own.
  void ExpectEcho(size_t count) { expected_echo_ = count; }
  size_t ExpectedEcho() const { return expected_echo_; }
  // Whether the unframed reply repeats what ExpectEcho asks for (always, when it asks nothing).
  bool ReplyEchoesRequest() const;

  // The request that the Diag, BootDownload and Streaming builders send: the command code,
  // then the parameters exactly as the protocol lays them out. False when they do not fit.
  bool SetRequest(uint8_t command, const uint8_t* parameters, size_t length);
  uint8_t RequestCommand() const { return request_command_; }

  // Raw mode: the caller writes the packet itself. False when it does not fit.
  bool SetRawPacket(const uint8_t* packet, size_t length);

  // Builds the request for the current mode and frames it in the transmit buffer. Returns the
  // frame length; 0 (with ErrorText set) when the request cannot be framed.
  uint32_t FrameRequest();
  const uint8_t* TransmitBuffer() const { return transmit_.data(); }
  uint32_t TransmitLength() const { return transmit_length_; }

  // Received bytes: the receive buffer is filled by the exchange up to kReceiveCapacity.
  uint8_t* ReceiveBuffer() { return receive_.data(); }
  const uint8_t* ReceiveBuffer() const { return receive_.data(); }
  uint16_t ReceiveLength() const { return receive_length_; }
  void SetReceiveLength(size_t length);
  // Appends what fits of `data` to the receive buffer; returns the bytes taken.
  size_t AppendReceived(const uint8_t* data, size_t length);
  uint16_t RawReplyLength() const { return raw_reply_length_; }

  // Checks and unframes the receive buffer and hands the packet to the mode's reply parser.
  bool UnframeReply();
  uint8_t ReplyCode() const { return reply_code_; }
  // The reply parsers' view of the unframed packet: the bytes after the code, before the FCS.
  const uint8_t* ReplyFields() const { return receive_.data() + 1; }
  size_t ReplyFieldsLength() const { return receive_length_ >= 3 ? receive_length_ - 3 : 0; }
  size_t ReadPosition() const { return read_position_; }
  void SetReadPosition(size_t position) { read_position_ = position; }

  void SetReplyParser(PacketMode mode, ReplyParser parser);

  // The reason of the last streaming error reply.
  uint32_t ErrorReason() const { return error_reason_; }
  void SetErrorReason(uint32_t reason) { error_reason_ = reason; }

  // The six-digit service programming code sent by the unlock request. False (and the old
  // code kept) unless `code` is six ASCII digits.
  bool SetServiceProgrammingCode(const std::string& code);
  const std::string& ServiceProgrammingCode() const { return spc_; }

  // Partition table or image header for the streaming protocol.
  bool SetExtraData(const uint8_t* data, size_t length);
  const uint8_t* ExtraData() const { return extra_data_.data(); }
  uint32_t ExtraDataLength() const { return extra_data_length_; }

 private:
  size_t BuildPacket(uint8_t* out, size_t capacity) const;

  SerialPort port_;
  platform::Clock& clock_;
  uint8_t request_command_ = 0;
  std::array<uint8_t, kMaxRequestPacket - 1> request_parameters_{};
  size_t request_parameters_length_ = 0;
  uint8_t reply_code_ = 0;
  size_t expected_reply_fields_ = 0;
  size_t expected_echo_ = 0;
  size_t read_position_ = 0;
  uint32_t transmit_length_ = 0;
  std::array<uint8_t, kTransmitCapacity> transmit_{};
  uint16_t receive_length_ = 0;
  // One byte beyond the accepted reply, for the opening flag that a boot downloader or
  // streaming reply of the full size may arrive without.
  std::array<uint8_t, kReceiveCapacity + 1> receive_{};
  uint16_t raw_reply_length_ = 0;
  std::string error_text_;
  std::string scratch_text_;
  PacketMode mode_ = PacketMode::Diag;
  std::array<uint8_t, kExtraDataCapacity> extra_data_{};
  uint32_t extra_data_length_ = 0;
  // Work area for framing: the packet and its FCS before escaping.
  std::array<uint8_t, kMaxRequestPacket + 2> work_{};
  std::array<ReplyParser, 4> parsers_{};
  std::string spc_ = "000000";
  uint32_t error_reason_ = 0;
};

}  // namespace flotilla::protocol
