// WaitForPorts: the bounded wait for a stick that re-enumerates after a reset or a mode switch.
#pragma once

#include <functional>

#include "line/line_context.h"

namespace flotilla::discovery {

// How long a sequence waits for a stick that re-enumerates before it gives up, and the pause
// between two port lookups meanwhile.
constexpr uint32_t kReenumerationLimitMs = 120000;
constexpr uint32_t kPortSearchPauseMs = 1000;

// Looks the line's ports up until `found` holds, pausing between lookups; false (with the
// channel's ErrorText saying so) after kReenumerationLimitMs.
bool WaitForPorts(line::LineContext& context, const std::function<bool(const line::LineRecord&)>& found);

}  // namespace flotilla::discovery
