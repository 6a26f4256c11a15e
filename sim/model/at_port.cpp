// The stick's AT port: echo, answer line, final result code.
#include "sim/model/at_port.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace flotilla::sim {
namespace {

const char kCrLf[] = "\r\n";

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// Information text, then the final result code, each line framed by CR LF.
std::string WithAnswer(const std::string& answer) {
  return kCrLf + answer + kCrLf + kCrLf + "OK" + kCrLf;
}

std::string OkOnly() { return std::string(kCrLf) + "OK" + kCrLf; }

std::string Error() { return std::string(kCrLf) + "ERROR" + kCrLf; }

}  // namespace

std::vector<Emission> AtPortModel::Receive(const uint8_t* data, size_t length) {
  std::vector<Emission> out;
  for (size_t i = 0; i < length; ++i) {
    char c = static_cast<char>(data[i]);
    if (c == '\n') continue;  // a host may end its lines with CR LF
    if (c != '\r') {
      if (line_.size() < kMaxLine) line_.push_back(c);
      continue;
    }
    std::string command;
    command.swap(line_);
    if (log_) log_("at: \"" + command + "\"");
    const FaultRule* fault = command.empty() ? nullptr : faults_.Match({SimPort::At, -1, -1, -1, command});
    if (fault && log_) log_(std::string("fault: ") + FaultActionName(fault->action) + " on at \"" + command + "\"");
    if (fault && fault->action == FaultAction::Ignore) continue;
    if (fault && (fault->action == FaultAction::Vanish || fault->action == FaultAction::Gone)) {
      state_.Vanish(fault->away_ms, fault->action == FaultAction::Gone);
      continue;
    }
    std::string answer = Answer(command);
    if (answer.empty() || (fault && fault->action == FaultAction::NoReply)) continue;
    for (Emission& e : Schedule(std::vector<uint8_t>(answer.begin(), answer.end()),
                                config_.at_reply_delay_ms, fault))
      out.push_back(std::move(e));
  }
  return out;
}

std::string AtPortModel::Answer(const std::string& command) {
  if (command.empty()) return std::string();
  // The echo of the command line goes out before the answer, whatever the command, and the
  // echo setting of the command itself only applies to the next one.
  const std::string echo = echo_ ? command + "\r" : std::string();
  return echo + Result(command);
}

std::string AtPortModel::Result(const std::string& command) {
  const std::string cmd = Upper(command);
  if (cmd == "AT") return OkOnly();
  if (cmd == "ATE0" || cmd == "ATE1" || cmd == "ATE") {
    echo_ = cmd == "ATE1";
    return OkOnly();
  }
  if (cmd == "ATZ") {
    // Back to the stored profile: echo on. The stick itself does not restart.
    echo_ = true;
    return OkOnly();
  }
  if (cmd == "ATI") {
    char esn[16];
    std::snprintf(esn, sizeof esn, "0x%08x", static_cast<unsigned>(config_.esn));
    return WithAnswer(std::string("Manufacturer: Flotilla stick-sim\r\nModel: XV418\r\nRevision: ") +
                      state_.firmware_version + "\r\nESN: " + esn + "\r\n+GCAP: +CIS707-A, +MS, +ES, +DS");
  }
  if (cmd == "AT+GMR") return WithAnswer(state_.firmware_version);
  if (cmd == "AT+ZDIAG?") return WithAnswer("+ZDIAG: " + std::to_string(state_.diag_mode));
  if (cmd.rfind("AT+ZDIAG=", 0) == 0) {
    const std::string value = cmd.substr(9);
    if (value.empty() || value.size() > 2 || !std::isdigit(static_cast<unsigned char>(value[0])) ||
        (value.size() == 2 && !std::isdigit(static_cast<unsigned char>(value[1]))))
      return Error();
    state_.diag_mode = std::atoi(value.c_str());
    return OkOnly();
  }
  if (cmd == "AT+ZRST") {
    // The answer leaves first; the stick drops its ports a moment later.
    if (state_.RequestReset() && log_) log_("at: reset accepted");
    return OkOnly();
  }
  if (cmd == "AT+ZCDRUN=F" || cmd == "AT+ZCDRUN=9") {
    state_.cd_run_mode = cmd.substr(10);
    return OkOnly();
  }
  return Error();
}

}  // namespace flotilla::sim
