// Re-enumeration of the in-process stick: after AT+ZRST or a DIAG reset both ports and their
// driver registrations vanish and come back by virtual time; old handles stay dead.
#include <gtest/gtest.h>

#include <string>

#include "platform/memory_registry.h"
#include "sim_stick_fixture.h"
#include "test_bytes.h"

namespace flotilla::sim {
namespace {

// The COM number under which the service's newest device instance is registered, read the
// way the updater's port lookup reads it; 0 when the registrations are missing.
int RegisteredPort(platform::Registry& registry, const std::string& service) {
  platform::RegistryHandle key = 0;
  if (registry.OpenLocalMachineKey("SYSTEM\\CurrentControlSet\\Services\\" + service + "\\Enum",
                                   platform::kKeyAllAccess, key) != platform::kRegistryOk)
    return 0;
  uint8_t count[4] = {};
  uint32_t size = sizeof count;
  char instance[1024] = {};
  uint32_t instance_size = sizeof instance - 1;
  bool ok = registry.QueryValue(key, "Count", count, size) == platform::kRegistryOk && count[0] > 0 &&
            registry.QueryValue(key, std::to_string(count[0] - 1), reinterpret_cast<uint8_t*>(instance),
                                instance_size) == platform::kRegistryOk;
  registry.CloseKey(key);
  if (!ok) return 0;
  if (registry.OpenLocalMachineKey("SYSTEM\\CurrentControlSet\\Enum\\" + std::string(instance) +
                                       "\\Device Parameters",
                                   platform::kKeyAllAccess, key) != platform::kRegistryOk)
    return 0;
  char name[64] = {};
  size = sizeof name - 1;
  ok = registry.QueryValue(key, "PortName", reinterpret_cast<uint8_t*>(name), size) == platform::kRegistryOk;
  registry.CloseKey(key);
  return ok && std::string(name).rfind("COM", 0) == 0 ? std::stoi(name + 3) : 0;
}

class SimReenumTest : public StickFixture {
 protected:
  void SetUp() override {
    config_.reset_drop_ms = 1000;
    config_.reenum_ms = 3000;
    config_.at_service = "PELUusbmdm6k";
    config_.diag_service = "HSPADataCardusbser";
    Start();
    stick_->SetRegistry(&registry_);
  }
  // Both ports through the registry as the host reads it.
  bool Registered() {
    int at = RegisteredPort(stick_->HostRegistry(), config_.at_service);
    int diag = RegisteredPort(stick_->HostRegistry(), config_.diag_service);
    EXPECT_EQ(at == 0, diag == 0) << "the ports come and go together";
    return at == kAtPort && diag == kDiagPort;
  }
  void ResetBy(const std::string& how) {
    if (how == "AT+ZRST") {
      ASSERT_EQ(AtText("AT+ZRST\r", 0), "");
      return;
    }
    EXPECT_EQ(test::Hex(Diag({0x29, 0x01, 0x00})), "29 01 00");  // offline first
    auto frame = Frame({0x29, 0x02, 0x00});
    ASSERT_EQ(diag_->Write(frame.data(), static_cast<uint32_t>(frame.size())), frame.size());
  }

  platform::MemoryRegistry registry_;
};

TEST_F(SimReenumTest, PortsAndRegistrationsVanishAndReturnByVirtualTime) {
  for (const char* how : {"AT+ZRST", "DIAG reset"}) {
    SCOPED_TRACE(how);
    ASSERT_TRUE(Registered());
    ResetBy(how);
    const uint64_t t0 = clock_.NowMs();
    stick_->Model().Firmware().spc_unlocked = true;

    // The answer arrives, and the ports stay a moment longer.
    clock_.Advance(1000);
    EXPECT_FALSE(Drain(how[0] == 'A' ? *at_ : *diag_).empty());
    EXPECT_TRUE(stick_->PortsPresent());
    EXPECT_TRUE(Registered());

    clock_.Advance(100);  // t0 + 1100: gone
    EXPECT_FALSE(Registered());
    uint8_t byte = '\r';
    for (auto* device : {at_.get(), diag_.get()}) {
      EXPECT_EQ(device->Write(&byte, 1), 0u);
      EXPECT_EQ(device->WriteStream(&byte, 1), 0u);
      EXPECT_EQ(device->BytesWaiting(), 0u);
      EXPECT_EQ(device->Read(&byte, 1), 0u);
    }
    auto fresh = stick_->CreateSerialDevice();
    EXPECT_FALSE(fresh->Open(kAtPort, 115200, 8, 1));
    EXPECT_FALSE(fresh->Open(kDiagPort, 115200, 8, 1));

    clock_.Advance(2900);  // t0 + 4000: still away
    EXPECT_FALSE(stick_->PortsPresent());
    EXPECT_FALSE(Registered());

    clock_.Advance(100);  // t0 + 4100: back, as a fresh start of the firmware
    EXPECT_TRUE(Registered());
    EXPECT_EQ(clock_.NowMs(), t0 + 4100);
    EXPECT_EQ(at_->Write(&byte, 1), 0u) << "a handle of the old ports stays dead";
    EXPECT_FALSE(stick_->Model().Firmware().spc_unlocked);
    EXPECT_FALSE(stick_->Model().Firmware().offline);
    for (auto* device : {at_.get(), diag_.get()}) EXPECT_TRUE(device->Close());
    ASSERT_TRUE(at_->Open(kAtPort, 115200, 8, 1));
    ASSERT_TRUE(diag_->Open(kDiagPort, 115200, 8, 1));
    EXPECT_EQ(AtText("AT+GMR\r").substr(0, 9), "AT+GMR\r\r\n");
    EXPECT_EQ(Diag({0x01}).size(), 5u);
  }
  EXPECT_EQ(stick_->Model().Firmware().reset_count, 2);
}

TEST_F(SimReenumTest, AResetWhileGoingDownChangesNothing) {
  ResetBy("AT+ZRST");
  const uint64_t t0 = clock_.NowMs();
  clock_.Advance(800);
  EXPECT_EQ(test::Hex(Unframe(DiagRaw({0x29, 0x01, 0x00}, 100))), "29 01 00");
  EXPECT_EQ(test::Hex(Unframe(DiagRaw({0x29, 0x02, 0x00}, 100))), "29 02 00");  // t0 + 1000
  clock_.Advance(100);
  EXPECT_FALSE(stick_->PortsPresent());
  // The later reset did not move the return.
  clock_.Advance(t0 + 4100 - clock_.NowMs());
  EXPECT_TRUE(stick_->PortsPresent());
  EXPECT_EQ(stick_->Model().Firmware().reset_count, 1);
}

TEST_F(SimReenumTest, WithACOMShiftThePortsComeBackUnderNewNumbers) {
  config_.reenum_com_shift = 4;
  Start();
  stick_->SetRegistry(&registry_);
  ResetBy("AT+ZRST");
  clock_.Advance(config_.reset_drop_ms + config_.reenum_ms + kSettleMs);
  EXPECT_EQ(RegisteredPort(stick_->HostRegistry(), config_.at_service), kAtPort + 4);
  EXPECT_EQ(RegisteredPort(stick_->HostRegistry(), config_.diag_service), kDiagPort + 4);
  auto old_number = stick_->CreateSerialDevice();
  EXPECT_FALSE(old_number->Open(kDiagPort, 115200, 8, 1));
  auto new_number = stick_->CreateSerialDevice();
  EXPECT_TRUE(new_number->Open(kDiagPort + 4, 115200, 8, 1));
}

TEST_F(SimReenumTest, AFaultTakesTheStickOffTheBusUnasked) {
  struct Case {
    const char* name;
    const char* rule;
    bool at_port;          // the request goes to the AT port
    uint64_t back_after;   // 0: never
  } cases[] = {
      {"vanish on a DIAG request", R"({"code": 1, "action": "vanish"})", false, 3000},
      {"vanish for a while of its own", R"({"code": 1, "action": "vanish", "away_ms": 700})", false, 700},
      {"vanish on an AT command", R"({"port": "at", "command": "AT+GMR", "action": "vanish"})", true, 3000},
      {"gone on a DIAG request", R"({"code": 1, "action": "gone"})", false, 0},
      {"gone on an AT command", R"({"port": "at", "command": "AT+GMR", "action": "gone"})", true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Start();
    stick_->SetRegistry(&registry_);
    EXPECT_EQ(test::Hex(Diag({0x29, 0x01, 0x00})), "29 01 00");  // offline, lost on the way back
    std::string error;
    ASSERT_TRUE(stick_->SetFaultPlan(std::string(R"({"rules": [)") + c.rule + "]}", error)) << error;
    const uint64_t t0 = clock_.NowMs();
    // The request is lost and the ports drop at once, registrations and all.
    if (c.at_port) EXPECT_EQ(AtText("AT+GMR\r", 1), "");
    else EXPECT_TRUE(DiagRaw({0x01}, 1).empty());
    EXPECT_FALSE(stick_->PortsPresent());
    EXPECT_FALSE(Registered());
    uint8_t byte = 0x01;
    EXPECT_EQ(diag_->Write(&byte, 1), 0u);

    const uint64_t wait = c.back_after ? c.back_after : 3600 * 1000;
    clock_.Advance(t0 + wait - 1 - clock_.NowMs());
    EXPECT_FALSE(stick_->PortsPresent());
    clock_.Advance(1);
    EXPECT_EQ(stick_->PortsPresent(), c.back_after != 0);
    EXPECT_EQ(Registered(), c.back_after != 0);
    if (c.back_after) {
      // Back as after a reset nobody asked for: started afresh, the reset count untouched.
      EXPECT_FALSE(stick_->Model().Firmware().offline);
      EXPECT_EQ(stick_->Model().Firmware().reset_count, 0);
    }
  }
}

TEST_F(SimReenumTest, ARefusedResetDoesNotDropThePorts) {
  EXPECT_EQ(test::Hex(Diag({0x29, 0x02, 0x00})), "18 29 02 00");  // online
  clock_.Advance(10000);
  EXPECT_TRUE(stick_->PortsPresent());
  EXPECT_TRUE(Registered());
}

}  // namespace
}  // namespace flotilla::sim
