// The fault plan: its JSON form, matching and the timing of shaped replies.
#include "sim/model/fault_plan.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

namespace flotilla::sim {
namespace {

using nlohmann::json;

struct ActionName {
  const char* name;
  FaultAction action;
};

constexpr ActionName kActions[] = {
    {"no_reply", FaultAction::NoReply},   {"ignore", FaultAction::Ignore},
    {"split", FaultAction::Split},        {"bad_fcs", FaultAction::BadFcs},
    {"no_end_flag", FaultAction::NoEndFlag}, {"error", FaultAction::ErrorCode},
    {"nv_status", FaultAction::NvStatus}, {"oversize", FaultAction::Oversize},
    {"cut", FaultAction::Cut},
    {"delay", FaultAction::Delay},
    {"nak", FaultAction::Nak},            {"stream_error", FaultAction::StreamError},
    {"two_frames", FaultAction::TwoFrames}, {"stall", FaultAction::Stall},
    {"vanish", FaultAction::Vanish},      {"gone", FaultAction::Gone},
};

// The modes of the stick a rule can name (StickMode values).
struct ModeName {
  const char* name;
  int mode;
};
constexpr ModeName kModes[] = {{"firmware", 0}, {"downloader", 1}, {"stream", 2}};

constexpr uint8_t kNvRead = 0x26;
constexpr uint8_t kNvWrite = 0x27;
constexpr uint8_t kSubsystem = 0x4B;
// The host takes at most this many bytes as one reply.
constexpr uint32_t kHostReplyLimit = 1024;

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// A number given as a JSON integer or as text ("0x4B", "75").
bool Number(const json& value, uint64_t limit, uint64_t& out) {
  if (value.is_number_unsigned()) {
    out = value.get<uint64_t>();
  } else if (value.is_string()) {
    const std::string text = value.get<std::string>();
    if (text.empty()) return false;
    size_t used = 0;
    try {
      out = std::stoull(text, &used, 0);
    } catch (...) {
      return false;
    }
    if (used != text.size()) return false;
  } else {
    return false;
  }
  return out <= limit;
}

class RuleReader {
 public:
  RuleReader(const json& object, size_t index) : object_(object), where_("rule " + std::to_string(index + 1)) {}

  bool Read(FaultRule& rule, std::string& error) {
    if (!object_.is_object()) return Fail(error, "is not an object");
    for (const auto& item : object_.items()) {
      static const char* const kKeys[] = {"port", "mode", "code", "subsystem", "nv_item",
                                          "command", "nth", "times", "action", "delay_ms",
                                          "gap_ms", "split_at", "error_code", "nv_status", "size",
                                          "reason", "stall_ms", "away_ms"};
      if (std::none_of(std::begin(kKeys), std::end(kKeys),
                       [&](const char* k) { return item.key() == k; }))
        return Fail(error, "has an unknown field \"" + item.key() + "\"");
    }
    std::string text;
    if (String("port", text)) {
      if (text == "at") rule.port = SimPort::At;
      else if (text == "diag") rule.port = SimPort::Diag;
      else return Fail(error, "port must be \"at\" or \"diag\"");
    }
    if (String("mode", text)) {
      auto mode = std::find_if(std::begin(kModes), std::end(kModes),
                               [&](const ModeName& m) { return text == m.name; });
      if (mode == std::end(kModes))
        return Fail(error, "mode \"" + text +
                               "\" is not modelled (only \"firmware\", \"downloader\", \"stream\")");
      rule.mode = mode->mode;
    }
    if (!String("action", text)) return Fail(error, "needs an action");
    auto action = std::find_if(std::begin(kActions), std::end(kActions),
                               [&](const ActionName& a) { return text == a.name; });
    if (action == std::end(kActions)) return Fail(error, "has an unknown action \"" + text + "\"");
    rule.action = action->action;
    String("command", rule.command);
    rule.command = Upper(rule.command);

    uint64_t n = 0;
    bool ok = true;
    if (Has("code") && (ok = Num("code", 0xFF, n))) rule.code = static_cast<int>(n);
    if (ok && Has("subsystem") && (ok = Num("subsystem", 0xFF, n))) rule.subsystem = static_cast<int>(n);
    if (ok && Has("nv_item") && (ok = Num("nv_item", 0xFFFF, n))) rule.nv_item = static_cast<int>(n);
    if (ok && Has("nth") && (ok = Num("nth", UINT32_MAX, n))) rule.nth = static_cast<uint32_t>(n);
    // Asking for the nth request means that one alone, unless `times` says otherwise.
    if (ok && Has("nth")) rule.times = 1;
    if (ok && Has("times") && (ok = Num("times", UINT32_MAX, n))) rule.times = static_cast<uint32_t>(n);
    if (ok && Has("delay_ms") && (ok = Num("delay_ms", 600000, n))) rule.delay_ms = static_cast<uint32_t>(n);
    rule.gap_ms = 100;
    if (ok && Has("gap_ms") && (ok = Num("gap_ms", 600000, n))) rule.gap_ms = static_cast<uint32_t>(n);
    if (ok && Has("split_at") && (ok = Num("split_at", 65535, n))) rule.split_at = static_cast<uint32_t>(n);
    if (ok && Has("error_code") && (ok = Num("error_code", 0xFF, n))) rule.error_code = static_cast<uint8_t>(n);
    if (ok && Has("nv_status") && (ok = Num("nv_status", 0xFFFF, n))) rule.nv_status = static_cast<uint16_t>(n);
    if (ok && Has("size") && (ok = Num("size", 65536, n))) rule.size = static_cast<uint32_t>(n);
    if (ok && Has("reason") && (ok = Num("reason", UINT32_MAX, n))) rule.reason = static_cast<uint32_t>(n);
    if (ok && Has("stall_ms") && (ok = Num("stall_ms", 600000, n))) rule.stall_ms = static_cast<uint32_t>(n);
    if (ok && Has("away_ms") && (ok = Num("away_ms", 600000, n))) rule.away_ms = static_cast<uint32_t>(n);
    if (!ok) return Fail(error, "has a bad number in \"" + bad_ + "\"");
    return Check(rule, error);
  }

 private:
  bool Has(const char* key) const { return object_.contains(key); }
  bool String(const char* key, std::string& out) {
    if (!Has(key)) return false;
    if (!object_[key].is_string()) return false;
    out = object_[key].get<std::string>();
    return true;
  }
  bool Num(const char* key, uint64_t limit, uint64_t& out) {
    bad_ = key;
    return Number(object_[key], limit, out);
  }
  bool Fail(std::string& error, const std::string& what) {
    error = where_ + " " + what;
    return false;
  }

  bool Check(const FaultRule& rule, std::string& error) {
    if (rule.nth == 0) return Fail(error, "counts from nth 1");
    const bool diag_only = rule.code >= 0 || rule.subsystem >= 0 || rule.nv_item >= 0;
    if (rule.port == SimPort::At) {
      if (diag_only) return Fail(error, "matches the AT port by \"command\" only");
      switch (rule.action) {
        case FaultAction::NoReply: case FaultAction::Ignore:
        case FaultAction::Split: case FaultAction::Delay:
        case FaultAction::Vanish: case FaultAction::Gone: break;
        default: return Fail(error, "has an action that the AT port cannot take");
      }
    }
    if (rule.subsystem >= 0 && rule.code >= 0 && rule.code != kSubsystem)
      return Fail(error, "matches a subsystem only with code 0x4B");
    if (rule.nv_item >= 0 && rule.code >= 0 && rule.code != kNvRead && rule.code != kNvWrite)
      return Fail(error, "matches an NV item only with code 0x26 or 0x27");
    if (rule.action == FaultAction::NvStatus && rule.nv_item < 0 && rule.code != kNvRead &&
        rule.code != kNvWrite)
      return Fail(error, "gives an NV status to requests that are not NV reads or writes");
    const bool outside_firmware = rule.action == FaultAction::Nak ||
                                  rule.action == FaultAction::StreamError ||
                                  rule.action == FaultAction::TwoFrames;
    if (outside_firmware && (rule.port == SimPort::At || rule.mode == 0))
      return Fail(error, "has an action that only the boot downloader or flash programmer takes");
    if (rule.action == FaultAction::Nak && rule.mode == 2)
      return Fail(error, "gives a negative acknowledge, which the flash programmer does not send");
    if (rule.action == FaultAction::StreamError && rule.mode == 1)
      return Fail(error, "gives a streaming error, which the boot downloader does not send");
    if (rule.action == FaultAction::Oversize && rule.size <= kHostReplyLimit)
      return Fail(error, "needs a size above 1024");
    if (rule.action == FaultAction::Cut && (!Has("size") || rule.size == 0))
      return Fail(error, "needs the size of the packet it keeps, at least 1");
    return true;
  }

  const json& object_;
  std::string where_;
  std::string bad_;
};

bool Matches(const FaultRule& rule, const FaultRequest& request) {
  if (rule.port != request.port) return false;
  if (rule.mode >= 0 && rule.mode != request.mode) return false;
  if (!rule.command.empty()) return request.code < 0 && Upper(request.text) == rule.command;
  if (rule.code >= 0 && rule.code != request.code) return false;
  if (rule.subsystem >= 0 && (request.code != kSubsystem || rule.subsystem != request.subsystem))
    return false;
  if (rule.nv_item >= 0 && rule.nv_item != request.nv_item) return false;
  return true;
}

}  // namespace

bool FaultPlan::Parse(const std::string& text, FaultPlan& plan, std::string& error) {
  json document = json::parse(text, nullptr, false);
  if (document.is_discarded()) {
    error = "the fault plan is not valid JSON";
    return false;
  }
  if (!document.is_object() || !document.contains("rules") || !document["rules"].is_array() ||
      document.size() != 1) {
    error = "the fault plan must be an object with one field, \"rules\", a list";
    return false;
  }
  FaultPlan parsed;
  const json& rules = document["rules"];
  for (size_t i = 0; i < rules.size(); ++i) {
    FaultRule rule;
    if (!RuleReader(rules[i], i).Read(rule, error)) return false;
    parsed.rules_.push_back(std::move(rule));
  }
  plan = std::move(parsed);
  return true;
}

bool FaultPlan::Load(const std::string& path, FaultPlan& plan, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read the fault plan " + path;
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  return Parse(text.str(), plan, error);
}

const FaultRule* FaultPlan::Match(const FaultRequest& request) {
  const FaultRule* chosen = nullptr;
  for (FaultRule& rule : rules_) {
    if (!Matches(rule, request)) continue;
    const uint32_t occurrence = ++rule.seen;
    const bool due = occurrence >= rule.nth &&
                     (rule.times == 0 || occurrence - rule.nth < rule.times);
    if (due && !chosen) chosen = &rule;
  }
  return chosen;
}

std::vector<Emission> Schedule(std::vector<uint8_t> bytes, uint32_t delay_ms,
                               const FaultRule* fault) {
  if (fault) delay_ms += fault->delay_ms;
  if (fault && fault->action == FaultAction::Split && bytes.size() > 1) {
    size_t first = fault->split_at ? std::min<size_t>(fault->split_at, bytes.size() - 1)
                                    : bytes.size() / 2;
    Emission head{delay_ms, std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(first))};
    Emission tail{delay_ms, std::vector<uint8_t>(bytes.begin() + static_cast<long>(first), bytes.end()),
                  fault->gap_ms};
    return {std::move(head), std::move(tail)};
  }
  std::vector<Emission> out;
  out.push_back(Emission{delay_ms, std::move(bytes)});
  return out;
}

const char* FaultActionName(FaultAction action) {
  for (const ActionName& a : kActions)
    if (a.action == action) return a.name;
  return "?";
}

}  // namespace flotilla::sim
