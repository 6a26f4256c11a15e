// AtChannel: command exchange, reply settling and first-line parsing.
#include "protocol/at_channel.h"

#include <cstdio>

namespace flotilla::protocol {
namespace {

// A reply is complete when two input counts this far apart agree.
constexpr uint32_t kSettlePollMs = 100;
// "+ZDIAG: " comes before the mode digit.
constexpr size_t kDiagModePrefix = 8;

bool EqualsIgnoringCase(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return i == a.size() && b[i] == '\0';
}

}  // namespace

AtChannel::AtChannel(std::unique_ptr<platform::SerialDevice> device, platform::Clock& clock)
    : port_(std::move(device)), clock_(clock) {}

void AtChannel::SetReplyTimeout(uint32_t ms) {
  reply_timeout_ms_ = ms > kMaxReplyTimeoutMs ? kMaxReplyTimeoutMs : ms;
}

bool AtChannel::SetAttempts(int count) {
  if (count < 1 || count > 9) return false;
  attempts_ = count;
  return true;
}

bool AtChannel::Exchange() {
  const auto* bytes = reinterpret_cast<const uint8_t*>(command_.data());
  const auto length = static_cast<uint32_t>(command_.size());
  for (int attempt = 0; attempt < attempts_; ++attempt) {
    if (port_.Write(bytes, length) != length) continue;
    uint32_t start = clock_.TickCount();
    uint32_t first = 0;
    for (;;) {
      clock_.Sleep(kSettlePollMs);
      first = port_.BytesWaiting();
      clock_.Sleep(kSettlePollMs);
      uint32_t second = port_.BytesWaiting();
      if (first >= 1 && first == second) break;
      if (platform::Elapsed(start, clock_.TickCount()) > reply_timeout_ms_) break;
    }
    if (first >= 1) return true;
  }
  return false;
}

bool AtChannel::Command(const std::string& command, std::string& line) {
  command_ = command + "\r";
  reply_.clear();
  if (!Exchange()) return false;

  uint8_t buffer[kMaxReplyBytes];
  uint32_t got = port_.Read(buffer, kMaxReplyBytes);
  reply_.assign(reinterpret_cast<const char*>(buffer), got);

  if (!FirstReplyLine(reply_, line)) return false;
  return !EqualsIgnoringCase(line, "error");
}

bool FirstReplyLine(const std::string& reply, std::string& line) {
  size_t open = reply.find("\r\n");
  if (open == std::string::npos) return false;
  size_t start = open + 2;
  size_t close = reply.find("\r\n", start);
  if (close == std::string::npos) return false;
  line = reply.substr(start, close - start);
  return true;
}

bool AtChannel::ReadFirmwareVersion(std::string& version) { return Command("AT+GMR", version); }

bool AtChannel::SetDiagMode(int mode) {
  char text[32];
  std::snprintf(text, sizeof text, "AT+ZDIAG=%d", mode);
  std::string line;
  return Command(text, line);
}

int AtChannel::QueryDiagMode() {
  std::string line;
  if (!Command("AT+ZDIAG?", line)) return 0;
  if (line.size() <= kDiagModePrefix) return 0;
  char digit = line[kDiagModePrefix];
  return digit >= '0' && digit <= '9' ? digit - '0' : 0;
}

bool EnsureDiagPort(AtChannel& channel) {
  return channel.QueryDiagMode() == kDiagPortMode || channel.SetDiagMode(kDiagPortMode);
}

bool DisableDiagPort(AtChannel& channel) { return channel.SetDiagMode(0); }

}  // namespace flotilla::protocol
