// A fixture around the in-process stick: frames DIAG requests, collects replies by virtual
// time, and unframes them with the program's own framing code.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/virtual_clock.h"
#include "protocol/framing.h"
#include "sim/transport/inprocess_stick.h"

namespace flotilla::sim {

class StickFixture : public ::testing::Test {
 protected:
  static constexpr int kAtPort = 7;
  static constexpr int kDiagPort = 8;
  // Long enough for any reply of the tests to arrive completely.
  static constexpr uint32_t kSettleMs = 500;

  // Builds the stick from config_ (tests change it first) and opens both ports.
  void Start() {
    at_.reset();  // devices go before the stick they belong to
    diag_.reset();
    stick_ = std::make_unique<InProcessStick>(clock_, config_, LinkModel{}, [this](const std::string& l) {
      log_.push_back(l);
    });
    stick_->SetPortNumbers(kAtPort, kDiagPort);
    at_ = stick_->CreateSerialDevice();
    diag_ = stick_->CreateSerialDevice();
    ASSERT_TRUE(at_->Open(kAtPort, 115200, 8, 1));
    ASSERT_TRUE(diag_->Open(kDiagPort, 115200, 8, 1));
  }

  static std::vector<uint8_t> Frame(const std::vector<uint8_t>& packet) {
    std::vector<uint8_t> frame(protocol::MaxFrameLength(packet.size()));
    frame.resize(protocol::FramePacket(protocol::PacketMode::Diag, packet.data(), packet.size(),
                                       frame.data(), frame.size()));
    return frame;
  }

  // Everything that has arrived on a device.
  static std::vector<uint8_t> Drain(platform::SerialDevice& device) {
    std::vector<uint8_t> out(device.BytesWaiting());
    out.resize(device.Read(out.data(), static_cast<uint32_t>(out.size())));
    return out;
  }

  // Sends a DIAG request as the host frames it and returns the raw bytes received within
  // `wait_ms` of virtual time.
  std::vector<uint8_t> DiagRaw(const std::vector<uint8_t>& packet, uint32_t wait_ms = kSettleMs) {
    return SendRaw(*diag_, Frame(packet), wait_ms);
  }
  std::vector<uint8_t> SendRaw(platform::SerialDevice& device, const std::vector<uint8_t>& bytes,
                               uint32_t wait_ms = kSettleMs) {
    EXPECT_EQ(device.Write(bytes.data(), static_cast<uint32_t>(bytes.size())), bytes.size());
    clock_.Advance(wait_ms);
    return Drain(device);
  }
  std::string AtText(const std::string& line, uint32_t wait_ms = kSettleMs) {
    auto reply = SendRaw(*at_, std::vector<uint8_t>(line.begin(), line.end()), wait_ms);
    return std::string(reply.begin(), reply.end());
  }

  // A firmware reply frame unframed: the packet without FCS. Fails the test on a framing
  // error; a reply must never start with a flag.
  static std::vector<uint8_t> Unframe(std::vector<uint8_t> frame) {
    if (frame.empty()) {
      ADD_FAILURE() << "no reply";
      return {};
    }
    EXPECT_NE(frame.front(), protocol::kFlag) << "firmware replies carry no leading flag";
    size_t length = frame.size();
    auto status = protocol::UnframeInPlace(protocol::PacketMode::Diag, frame.data(), length, frame.size());
    EXPECT_EQ(status, protocol::UnframeStatus::Ok);
    if (status != protocol::UnframeStatus::Ok || length < 2) return {};
    frame.resize(length - 2);
    return frame;
  }

  std::vector<uint8_t> Diag(const std::vector<uint8_t>& packet) { return Unframe(DiagRaw(packet)); }

  platform::VirtualClock clock_;
  StickConfig config_;
  std::vector<std::string> log_;
  std::unique_ptr<InProcessStick> stick_;
  std::unique_ptr<platform::SerialDevice> at_;
  std::unique_ptr<platform::SerialDevice> diag_;
};

}  // namespace flotilla::sim
