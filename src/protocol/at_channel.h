// AtChannel: one AT command at a time on the stick's data (modem) port.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/serial_device.h"
#include "protocol/serial_port.h"

namespace flotilla::protocol {

class AtChannel {
 public:
  static constexpr uint32_t kDefaultReplyTimeoutMs = 5000;
  static constexpr uint32_t kMaxReplyTimeoutMs = 5000;
  static constexpr int kDefaultAttempts = 3;
  static constexpr uint32_t kMaxReplyBytes = 256;
  // The line code's settings each time it opens the data port.
  static constexpr uint32_t kLineReplyTimeoutMs = 1000;
  static constexpr int kLineAttempts = 2;

  AtChannel(std::unique_ptr<platform::SerialDevice> device, platform::Clock& clock);

  SerialPort& Port() { return port_; }

  void SetReplyTimeout(uint32_t ms);
  uint32_t ReplyTimeout() const { return reply_timeout_ms_; }
  // 1 to 9; anything else is refused and the old count kept.
  bool SetAttempts(int count);
  int Attempts() const { return attempts_; }

  // Sends `command` with a carriage return and waits for the reply to stop growing. True
  // when a reply came, it held a complete first line and that line is not "error"; `line`
  // receives the first line whenever there is one.
  bool Command(const std::string& command, std::string& line);
  bool ReadFirmwareVersion(std::string& version);
  bool SetDiagMode(int mode);
  // The diagnostics mode digit; 0 on failure.
  int QueryDiagMode();

  const std::string& LastCommand() const { return command_; }
  const std::string& LastReply() const { return reply_; }

 private:
  bool Exchange();

  SerialPort port_;
  platform::Clock& clock_;
  std::string command_;
  std::string reply_;
  uint32_t reply_timeout_ms_ = kDefaultReplyTimeoutMs;
  int attempts_ = kDefaultAttempts;
};

// Finds the first line of an AT reply: the text after the first CR LF, up to the next CR LF.
// False when either pair is missing.
bool FirstReplyLine(const std::string& reply, std::string& line);

// The stick's diagnostics interface is on when its mode is 6.
constexpr int kDiagPortMode = 6;
// True when the diagnostics interface is already on or could be switched on.
bool EnsureDiagPort(AtChannel& channel);
bool DisableDiagPort(AtChannel& channel);

}  // namespace flotilla::protocol
