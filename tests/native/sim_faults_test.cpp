// The simulated stick's fault plan: its JSON form, each action on the wire, which requests
// a rule takes, and faults on the AT port and the probe.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "protocol/byte_order.h"
#include "sim_stick_fixture.h"
#include "test_bytes.h"

namespace flotilla::sim {
namespace {

using test::Bytes;
using test::Hex;

TEST(SimFaultPlanTest, RejectsMalformedPlansWithTheReason) {
  struct Case {
    const char* json;
    const char* error;
  };
  const Case cases[] = {
      {"rules: []", "not valid JSON"},
      {"[]", "one field, \"rules\""},
      {R"({"rules": [], "more": 1})", "one field, \"rules\""},
      {R"({"rules": [{"action": "no_reply", "colour": 1}]})", "rule 1 has an unknown field \"colour\""},
      {R"({"rules": [{"action": "delay"}, {"action": "explode"}]})", "rule 2 has an unknown action"},
      {R"({"rules": [{"code": 1}]})", "needs an action"},
      {R"({"rules": [{"port": "usb", "action": "delay"}]})", "port must be"},
      {R"({"rules": [{"mode": "boot", "action": "delay"}]})", "not modelled"},
      {R"({"rules": [{"port": "at", "code": 1, "action": "no_reply"}]})", "by \"command\" only"},
      {R"({"rules": [{"port": "at", "action": "bad_fcs"}]})", "AT port cannot take"},
      {R"({"rules": [{"port": "at", "action": "stall"}]})", "AT port cannot take"},
      {R"({"rules": [{"action": "vanish", "away_ms": 600001}]})", "bad number in \"away_ms\""},
      {R"({"rules": [{"code": 1, "action": "nv_status", "nv_status": 5}]})", "not NV reads"},
      {R"({"rules": [{"code": 1, "nv_item": 5, "action": "delay"}]})", "only with code 0x26 or 0x27"},
      {R"({"rules": [{"code": 38, "subsystem": 1, "action": "delay"}]})", "only with code 0x4B"},
      {R"({"rules": [{"action": "oversize", "size": 1024}]})", "above 1024"},
      {R"({"rules": [{"action": "delay", "nth": 0}]})", "nth 1"},
      {R"({"rules": [{"code": "0x1G", "action": "delay"}]})", "bad number in \"code\""},
      {R"({"rules": [{"code": 256, "action": "delay"}]})", "bad number in \"code\""},
      {R"({"rules": [{"code": -1, "action": "delay"}]})", "bad number in \"code\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    FaultPlan plan;
    std::string error;
    EXPECT_FALSE(FaultPlan::Parse(c.json, plan, error));
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
  }
  FaultPlan plan;
  std::string error;
  EXPECT_FALSE(FaultPlan::Load("/nonexistent/faults.json", plan, error));
  const std::string path = ::testing::TempDir() + "sim_faults_" + std::to_string(::getpid()) + ".json";
  {
    std::ofstream out(path);
    out << R"({"rules": [
      {"port": "diag", "mode": "firmware", "code": "0x4B", "subsystem": "0xA3", "action": "no_reply"},
      {"port": "at", "command": "AT+GMR", "action": "split", "split_at": 4, "gap_ms": 60},
      {"nv_item": 22, "action": "nv_status", "nv_status": 5, "nth": 2, "times": 3}]})";
  }
  EXPECT_TRUE(FaultPlan::Load(path, plan, error)) << error;
  EXPECT_FALSE(plan.Empty());
  std::remove(path.c_str());
}

class SimFaultTest : public StickFixture {
 protected:
  void SetUp() override {
    config_.esn = 0x80A1B2C3;
    Start();
  }
  void Plan(const std::string& rules) {
    std::string error;
    ASSERT_TRUE(stick_->SetFaultPlan(R"({"rules": [)" + rules + "]}", error)) << error;
  }
  // Sends the request and returns what has arrived `ms` later; the clock is then left there.
  std::vector<uint8_t> SendAndWait(const std::vector<uint8_t>& packet, uint32_t ms) {
    return DiagRaw(packet, ms);
  }
  std::vector<uint8_t> More(uint32_t ms) {
    clock_.Advance(ms);
    return Drain(*diag_);
  }
  static std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }
  static protocol::UnframeStatus Status(std::vector<uint8_t> frame) {
    size_t length = frame.size();
    return protocol::UnframeInPlace(protocol::PacketMode::Diag, frame.data(), length, frame.size());
  }
};

// The ESN reply "01 c3 b2 a1 80" is 8 bytes on the wire and, unspoilt, has fully arrived
// 7 ms after the request (5 ms in the firmware, 2 ms of latency).
TEST_F(SimFaultTest, EachActionShapesTheReplyOnTheWire) {
  const std::vector<uint8_t> esn = {0x01};
  const std::vector<uint8_t> good = Frame(Bytes("01 c3 b2 a1 80"));
  ASSERT_EQ(SendAndWait(esn, 7), good);

  struct Case {
    const char* rule;
    std::function<void()> check;
  };
  const Case cases[] = {
      {R"({"code": 1, "action": "no_reply"})", [&] { EXPECT_TRUE(SendAndWait(esn, 60000).empty()); }},
      {R"({"code": 1, "action": "ignore"})", [&] { EXPECT_TRUE(SendAndWait(esn, 60000).empty()); }},
      {R"({"code": 1, "action": "bad_fcs"})",
       [&] {
         auto raw = SendAndWait(esn, 7);
         ASSERT_EQ(raw.size(), good.size());
         EXPECT_EQ(raw.front(), 0x01);
         EXPECT_EQ(raw.back(), protocol::kFlag);
         EXPECT_EQ(Status(raw), protocol::UnframeStatus::BadFcs);
       }},
      {R"({"code": 1, "action": "no_end_flag"})",
       [&] {
         auto raw = SendAndWait(esn, 7);
         EXPECT_EQ(raw, std::vector<uint8_t>(good.begin(), good.end() - 1));
         EXPECT_EQ(Status(raw), protocol::UnframeStatus::NoEndFlag);
       }},
      {R"({"code": 1, "action": "error", "error_code": "0x14"})",
       [&] { EXPECT_EQ(Hex(Unframe(SendAndWait(esn, 7))), "14 01"); }},
      {R"({"code": 1, "action": "oversize", "size": 1100})",
       [&] {
         auto raw = SendAndWait(esn, 1000);
         EXPECT_GE(raw.size(), 1100u);
         EXPECT_EQ(Hex(Unframe(raw)).substr(0, 14), "01 c3 b2 a1 80");
       }},
      {R"({"code": 1, "action": "delay", "delay_ms": 300})",
       [&] {
         EXPECT_TRUE(SendAndWait(esn, 306).empty());
         EXPECT_EQ(More(1), good);
       }},
      {R"({"code": 1, "action": "split", "split_at": 3, "gap_ms": 150})",
       [&] {
         auto head = SendAndWait(esn, 7);
         EXPECT_EQ(head, std::vector<uint8_t>(good.begin(), good.begin() + 3));
         EXPECT_TRUE(More(149).empty());
         EXPECT_EQ(Cat(head, More(1)), good);
       }},
      {R"({"code": 1, "action": "split", "gap_ms": 40, "delay_ms": 10})",
       [&] {
         auto head = SendAndWait(esn, 17);
         EXPECT_EQ(head.size(), good.size() / 2);
         EXPECT_EQ(Cat(head, More(40)), good);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rule);
    Plan(c.rule);
    c.check();
    clock_.Advance(1000);
    Drain(*diag_);
  }
}

class SimFaultNvTest : public SimFaultTest {
 protected:
  static std::vector<uint8_t> NvRequest(uint8_t code, uint16_t item, uint8_t fill) {
    std::vector<uint8_t> r(133, fill);
    r[0] = code;
    protocol::WriteLe16(r.data() + 1, item);
    protocol::WriteLe16(r.data() + 131, 0);
    return r;
  }
  uint8_t StoredByte(uint16_t item) {
    auto reply = Diag(NvRequest(0x26, item, 0));
    return reply.size() == 133 ? reply[3] : 0;
  }
  uint16_t WriteStatus(const std::vector<uint8_t>& reply) {
    return reply.size() == 133 ? protocol::ReadLe16(reply.data() + 131) : 0xFFFF;
  }
};

TEST_F(SimFaultNvTest, LostRepliesStillActRefusalsDoNot) {
  struct Case {
    const char* rule;
    bool answered;
    uint16_t status;  // when answered
    bool written;
  };
  const Case cases[] = {
      {R"({"code": 39, "action": "no_reply"})", false, 0, true},
      {R"({"code": 39, "action": "ignore"})", false, 0, false},
      {R"({"code": 39, "action": "bad_fcs"})", true, 0, true},
      {R"({"nv_item": 22, "action": "nv_status", "nv_status": 3})", true, 3, false},
      {R"({"nv_item": 22, "action": "error", "error_code": 19})", true, 0, false},
  };
  uint8_t fill = 0x40;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rule);
    Plan(c.rule);
    ++fill;
    auto raw = DiagRaw(NvRequest(0x27, 22, fill));
    EXPECT_EQ(!raw.empty(), c.answered);
    if (c.answered && Status(raw) == protocol::UnframeStatus::Ok) {
      auto reply = Unframe(raw);
      if (reply[0] == 0x27) EXPECT_EQ(WriteStatus(reply), c.status);
      else EXPECT_EQ(reply[0], 19);
    }
    Plan("");
    EXPECT_EQ(StoredByte(22) == fill, c.written);
  }
}

TEST_F(SimFaultNvTest, RulesTakeTheirRequestsInTurn) {
  Plan(R"({"code": "0x26", "nv_item": 22, "nth": 2, "times": 2, "action": "nv_status", "nv_status": 5},
          {"code": "0x4B", "subsystem": "0xA3", "action": "no_reply"},
          {"code": 1, "nth": 1, "action": "delay", "delay_ms": 100},
          {"code": 1, "action": "error", "error_code": 20})");
  // NV item 22: the second and third read only; reads of item 23 do not count.
  const uint16_t expected[] = {0, 5, 5, 0, 0};
  for (size_t i = 0; i < 5; ++i) {
    SCOPED_TRACE(i + 1);
    EXPECT_EQ(WriteStatus(Diag(NvRequest(0x26, 23, 0))), 0);
    EXPECT_EQ(WriteStatus(Diag(NvRequest(0x26, 22, 0))), expected[i]);
  }
  // Only the download check of the 0x4B family is silenced.
  std::vector<uint8_t> check = Bytes("4b a3 05 00");
  check.resize(132, 0);
  EXPECT_TRUE(DiagRaw(check).empty());
  EXPECT_EQ(Hex(Diag(Bytes("4b a1 00 00 01"))), "4b a1 00 00 00");
  // Both ESN rules are due for the first request; the earlier one in the plan acts.
  EXPECT_TRUE(DiagRaw({0x01}, 100).empty());
  EXPECT_EQ(Hex(Unframe(More(10))), "01 c3 b2 a1 80");
  EXPECT_EQ(Hex(Diag({0x01})), "14 01");
}

TEST_F(SimFaultTest, AStallInTheFirmwareLosesEveryRequestForItsTime) {
  Plan(R"({"code": "0x39", "nth": 1, "action": "stall", "stall_ms": 2000})");
  EXPECT_TRUE(DiagRaw({0x39}, 500).empty());  // the request that began it
  EXPECT_TRUE(DiagRaw({0x01}, 500).empty());  // any other, 500 ms in
  const std::string probe = "AT$QCDMG\r";
  EXPECT_TRUE(SendRaw(*diag_, std::vector<uint8_t>(probe.begin(), probe.end()), 500).empty());
  EXPECT_EQ(AtText("AT+GMR\r").substr(0, 9), "AT+GMR\r\r\n");  // the AT port goes on
  clock_.Advance(500);  // 2000 ms after the stall began
  EXPECT_EQ(Hex(Diag({0x01})), "01 c3 b2 a1 80");
  EXPECT_EQ(Hex(Diag({0x01})), "01 c3 b2 a1 80");
}

TEST_F(SimFaultTest, TheAtPortAndTheProbeTakeTheirOwnRules) {
  Plan(R"({"port": "at", "command": "at+gmr", "action": "no_reply"},
          {"port": "at", "command": "AT+ZDIAG?", "action": "split", "split_at": 4, "gap_ms": 200},
          {"port": "diag", "command": "AT$QCDMG", "nth": 1, "action": "ignore"},
          {"action": "error", "error_code": 20})");
  EXPECT_EQ(AtText("AT+GMR\r"), "");
  EXPECT_EQ(AtText("AT+ZDIAG?\r", 100), "AT+Z");
  clock_.Advance(200);
  EXPECT_EQ(Drain(*at_).size(), std::string("AT+ZDIAG?\r\r\n+ZDIAG: 0\r\n\r\nOK\r\n").size() - 4);
  EXPECT_EQ(AtText("AT+ZCDRUN=F\r"), "AT+ZCDRUN=F\r\r\nOK\r\n");

  const std::string probe = "AT$QCDMG\r";
  const std::vector<uint8_t> probe_bytes(probe.begin(), probe.end());
  EXPECT_TRUE(SendRaw(*diag_, probe_bytes).empty());
  // A rule for every DIAG frame leaves the unframed probe alone.
  auto answer = SendRaw(*diag_, probe_bytes);
  EXPECT_EQ(std::string(answer.begin(), answer.end()), "AT$QCDMG\r\r\nOK\r\n");
  EXPECT_EQ(Hex(Diag({0x01})), "14 01");
}

}  // namespace
}  // namespace flotilla::sim
