// LocateDevicePorts on the in-memory registry, CRegistryKey's keep-on-failure rule, and the
// line's AT command entry.
#include "discovery/port_lookup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "discovery/registry_key.h"
#include "platform/memory_registry.h"
#include "platform/virtual_clock.h"
#include "sim/transport/inprocess_stick.h"

namespace flotilla::discovery {
namespace {

const std::string kServices = "SYSTEM\\CurrentControlSet\\Services\\";
const std::string kEnum = "SYSTEM\\CurrentControlSet\\Enum\\";

// One driver registration: the service's Enum key and, unless `port_name` is null, the
// instance's Device Parameters.
struct Registration {
  const char* service;
  uint32_t count;
  const char* instance;   // stored as value Count - 1 (as value 0 when Count is 0)
  const char* port_name;  // nullptr: no Device Parameters key
};

struct LookupCase {
  const char* name;
  std::vector<Registration> registrations;
  int expected_result;
  int expected_data_port;  // the line starts with data port 3 and diag port 4
  int expected_diag_port;
};

class PortLookupTest : public ::testing::Test {
 protected:
  PortLookupTest() : doc_(line::DocEnvironment{stick_, clock_, 0x0409, "C:\\Flotilla\\flotilla.exe"}) {}

  void Register(const Registration& r) {
    const std::string key = kServices + r.service + "\\Enum";
    registry_.SetDword(key, "Count", r.count);
    // A driver with no device left may still hold the value of an earlier one.
    registry_.SetString(key, std::to_string(r.count ? r.count - 1 : 0), r.instance);
    if (r.port_name)
      registry_.SetString(kEnum + r.instance + "\\Device Parameters", "PortName", r.port_name);
  }

  platform::VirtualClock clock_;
  sim::InProcessStick stick_{clock_, sim::StickConfig{}};
  line::CFlotillaDoc doc_;
  platform::MemoryRegistry registry_;
};

TEST_F(PortLookupTest, FindsThePortsOfTheFirstRegisteredDrivers) {
  const LookupCase cases[] = {
      {"nothing registered", {}, 0, 3, 0},
      {"both interfaces",
       {{"qcusbmdm6k", 1, "USB\\VID_05C6&PID_9000&MI_01\\6&1", "COM7"},
        {"qcusbser6k", 1, "USB\\VID_05C6&PID_9000&MI_00\\6&1", "COM123"}},
       1, 7, 123},
      {"AT only: the diag port becomes 0",
       {{"KVOusbnmea", 1, "USB\\A\\1", "COM9"}}, 1, 9, 0},
      {"diag instance without Device Parameters keeps the old diag port",
       {{"qcusbser6k", 1, "USB\\B\\1", nullptr}}, 1, 3, 4},
      {"Count 0 names no value: the next service is tried",
       {{"KVOusbser6k", 0, "USB\\C\\1", "COM20"}, {"PELUusbser6k", 1, "USB\\D\\1", "COM21"}},
       1, 3, 21},
      {"the first service of the list wins over a later one",
       {{"qcusbser6k", 1, "USB\\E\\1", "COM30"}, {"KVOusbser6k", 1, "USB\\F\\1", "COM31"}},
       1, 3, 31},
      {"the instance named Count - 1 is used",
       {{"HSPADataCardusbser", 3, "USB\\G\\3", "COM33"}}, 1, 3, 33},
      {"the first three characters are dropped whatever they are",
       {{"HSPADataCardusbmdm6k", 1, "USB\\H\\1", "USB5"}, {"HSPADataCardusbser6k", 1, "USB\\I\\1", "AB"}},
       1, 5, 0},
      {"vendors may differ per interface",
       {{"PELUusbmdm6k", 1, "USB\\J\\1", "COM11"}, {"HSPADataCardusbser", 1, "USB\\K\\1", "COM12x"}},
       1, 11, 12},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    registry_.Clear();
    for (const auto& r : c.registrations) Register(r);
    auto& line = doc_.Line(0);
    line.data_port = 3;
    line.diag_port = 4;
    EXPECT_EQ(LocateDevicePorts(doc_, 0, registry_), c.expected_result);
    EXPECT_EQ(line.data_port, c.expected_data_port);
    EXPECT_EQ(line.diag_port, c.expected_diag_port);
    EXPECT_EQ(registry_.OpenKeyCount(), 0u);  // no key outlives the lookup
  }
}

TEST_F(PortLookupTest, RegistryTroubleCountsAsAMiss) {
  Register({"qcusbser6k", 1, "USB\\L\\1", "COM40"});
  registry_.DenyAccess(true);
  doc_.Line(1).diag_port = 6;
  EXPECT_EQ(LocateDevicePorts(doc_, 1, registry_), 0);
  EXPECT_EQ(doc_.Line(1).diag_port, 0);
  registry_.DenyAccess(false);

  // A value longer than the 1024-byte buffer is a miss; a text without terminator is read
  // only as far as it was stored.
  registry_.SetString(kServices + "KVOusbser6k\\Enum", "0", std::string(1100, 'x'));
  registry_.SetDword(kServices + "KVOusbser6k\\Enum", "Count", 1);
  registry_.SetString(kEnum + "USB\\L\\1\\Device Parameters", "PortName", "COM41", false);
  EXPECT_EQ(LocateDevicePorts(doc_, 1, registry_), 1);
  EXPECT_EQ(doc_.Line(1).diag_port, 41);
}

TEST(PortNumberFromName, ReadsTheNumberAfterThreeCharactersWithinThePortRange) {
  const std::pair<const char*, int> cases[] = {
      {"COM7", 7},   {"COM123", 123}, {"USB5", 5},    {"AB", 0},   {"COM", 0},
      {"COMx1", 0},  {"COM12a", 12},  {"COM255", 255}, {"COM256", 0}, {"COM0", 0},
      {"COM-3", 0},  {"COM99999999999999999999", 0}, {"COM4294967297", 0}};
  for (const auto& [name, port] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EQ(PortNumberFromName(name), port);
  }
}

TEST(CRegistryKey, KeepsItsKeyWhenAnOpenFails) {
  platform::MemoryRegistry registry;
  registry.SetDword("A", "Count", 2);
  CRegistryKey key(registry);
  ASSERT_EQ(key.Open("A", platform::kKeyAllAccess), 0);
  EXPECT_EQ(key.Open("missing", platform::kKeyAllAccess), platform::kRegistryFileNotFound);
  uint32_t count = 0;
  EXPECT_EQ(key.ReadNumber("Count", count), 0);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(registry.OpenKeyCount(), 1u);
  registry.SetDword("B", "Count", 5);
  ASSERT_EQ(key.Open("B", platform::kKeyAllAccess), 0);
  EXPECT_EQ(registry.OpenKeyCount(), 1u);  // A was closed when B replaced it
  EXPECT_EQ(key.Close(), 0);
  EXPECT_EQ(key.Close(), 0);
  EXPECT_EQ(registry.OpenKeyCount(), 0u);
}

TEST_F(PortLookupTest, SendLineAtCommandUsesTheOpenAtChannel) {
  stick_.SetPortNumbers(5, 6);
  EXPECT_EQ(SendLineAtCommand(doc_, 0, "AT+ZRST"), 0);  // not open: nothing is opened for it
  ASSERT_TRUE(doc_.OpenAtPort(0, 5, 115200));
  EXPECT_EQ(SendLineAtCommand(doc_, 0, "AT+ZRST"), 1);
  EXPECT_EQ(SendLineAtCommand(doc_, 0, "AT+ZCDRUN=F"), 1);
  EXPECT_EQ(SendLineAtCommand(doc_, 0, "AT+UNKNOWN"), 0);
}

}  // namespace
}  // namespace flotilla::discovery
