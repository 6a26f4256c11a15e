// Fuzz target: stick-sim's fault plan, its JSON form and the matching of requests against
// the rules it yields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "sim/model/fault_plan.h"

using namespace flotilla;

namespace {

// A plan that parsed is used as stick-sim uses it: requests are matched, replies scheduled.
void Use(sim::FaultPlan& plan) {
  sim::FaultRequest requests[4];
  requests[0].code = 0x39;
  requests[1].code = 0x26;
  requests[1].nv_item = 550;
  requests[2].port = sim::SimPort::At;
  requests[2].text = "AT+ZDIAG?";
  requests[3].code = 0x07;
  requests[3].mode = 2;
  for (int round = 0; round < 3; ++round) {
    for (const sim::FaultRequest& request : requests) {
      const sim::FaultRule* rule = plan.Match(request);
      if (!rule) continue;
      sim::FaultActionName(rule->action);
      size_t total = 0;
      for (const sim::Emission& e : sim::Schedule(std::vector<uint8_t>(40, 0x5A), 5, rule))
        total += e.bytes.size();
      if (total != 40) std::abort();  // shaping the timing never adds or loses a byte
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  sim::FaultPlan plan;
  std::string error;
  if (sim::FaultPlan::Parse(text, plan, error)) {
    Use(plan);
  } else if (error.empty()) {
    std::abort();  // a refused plan always says why
  }
  return 0;
}
