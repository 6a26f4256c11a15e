// The NV items the stick holds: every id of the updater's backup table.
#pragma once

#include <cstdint>
#include <vector>

namespace flotilla::sim {

// The ids in the order of the updater's backup table, repeated ids included (646 entries).
const std::vector<uint16_t>& BackupTableIds();

}  // namespace flotilla::sim
