// PortMap: the port-number-to-path table used where there are no COM names.
#include "platform/port_map.h"

#include <gtest/gtest.h>

namespace flotilla::platform {
namespace {

TEST(PortMap, ParsesEntriesAndRefusesBadOnesWhole) {
  PortMap map;
  EXPECT_TRUE(map.Parse("3=/dev/pts/4,12=/tmp/sim/diag"));
  EXPECT_EQ(map.PathOf(3).value_or(""), "/dev/pts/4");
  EXPECT_EQ(map.PathOf(12).value_or(""), "/tmp/sim/diag");
  EXPECT_FALSE(map.PathOf(5).has_value());
  for (const char* bad : {"x=/dev/a", "0=/dev/a", "3", "3=", "=/dev/a", "300=/dev/a", "4=/a,5"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(map.Parse(bad));
  }
  EXPECT_FALSE(map.PathOf(4).has_value());
  map.Remove(3);
  EXPECT_FALSE(map.PathOf(3).has_value());
}

}  // namespace
}  // namespace flotilla::platform
