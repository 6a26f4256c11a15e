// The simulated stick's firmware DIAG port: the reply to every request of the command set,
// NV statuses and the kept NV store, the version set layouts by length, the SPC lock-out and
// the AT$QCDMG probe.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "protocol/byte_order.h"
#include "protocol/diag.h"
#include "sim/model/nv_items.h"
#include "sim_stick_fixture.h"
#include "test_bytes.h"

namespace flotilla::sim {
namespace {

using protocol::ReadLe16;
using protocol::ReadLe32;
using test::Bytes;
using test::Hex;

std::string Repeat(const char* hex_byte, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += std::string(" ") + hex_byte;
  return out;
}

class SimDiagTest : public StickFixture {};

TEST_F(SimDiagTest, AnswersEveryRequestOfTheCommandSet) {
  config_.esn = 0x80A1B2C3;
  config_.download_check_result = 2;
  Start();
  struct Case {
    const char* name;
    std::string request;
    std::string reply;
  };
  const Case cases[] = {
      {"esn", "01", "01 c3 b2 a1 80"},
      {"reset while online is refused", "29 02 00", "18 29 02 00"},
      {"offline", "29 01 00", "29 01 00"},
      {"mode 4, online again", "29 04 00", "29 04 00"},
      {"unknown mode", "29 07 00", "14 29 07 00"},
      {"spc unlock", "41 30 30 30 30 30 30", "41 01"},
      {"subsystem 4 status, not ready yet", "4b 04 0e 00", "4b 04 0e 00 01"},
      {"prepare downloader", "5c 01 00 c2 01 00", "5c 01 00 c2 01 00"},
      {"subsystem aa", "4b aa 00 00 01", "4b aa 00 00 00"},
      {"autorun off", "4b a1 00 00 00", "4b a1 00 00 00"},
      {"download check", "4b a3 05 00" + Repeat("5a", 128), "4b a3 05 00 02 00 00 00"},
      {"switch to boot downloader while online", "3a", "18 3a"},
      {"unknown code", "0b", "13 0b"},
      {"unknown code with fields", "62 01 7e 7d", "13 62 01 7e 7d"},
      {"unknown subsystem", "4b 99 00 00", "13 4b 99 00 00"},
      {"unknown subsystem 4 command", "4b 04 0f 00", "13 4b 04 0f 00"},
      {"esn with a stray byte", "01 00", "15 01 00"},
      {"nv read shorter than the item number", "26 16", "15 26 16"},
      {"download check without its record", "4b a3 05 00", "15 4b a3 05 00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Hex(Diag(Bytes(c.request))), c.reply);
  }
  const FirmwareState& state = stick_->Model().Firmware();
  EXPECT_TRUE(state.spc_unlocked);
  EXPECT_EQ(state.subsystem_aa, 1);
  EXPECT_EQ(state.autorun, 0);
  EXPECT_TRUE(state.downloader_prepared);
  EXPECT_FALSE(state.boot_downloader_requested);
  EXPECT_FALSE(state.offline);
}

TEST_F(SimDiagTest, FieldsAreLittleEndian) {
  config_.esn = 0x0102A3FE;
  config_.download_check_result = 0x7E7D0003;  // escaped on the wire
  config_.build_id = "BUILD_7E";
  Start();
  auto esn = Diag({0x01});
  ASSERT_EQ(esn.size(), 5u);
  EXPECT_EQ(ReadLe32(esn.data() + 1), 0x0102A3FEu);

  std::vector<uint8_t> check = Bytes("4b a3 05 00");
  check.resize(4 + 128, 0x7E);
  auto result = Diag(check);
  ASSERT_EQ(result.size(), 8u);
  EXPECT_EQ(ReadLe32(result.data() + 4), 0x7E7D0003u);

  auto build = Diag({0x7C});
  ASSERT_EQ(build.size(), 1u + 3 + 4 + 4 + 256);
  EXPECT_EQ(build[0], 0x7C);
  EXPECT_NE(ReadLe32(build.data() + 4), 0u);  // the chip's hardware revision
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(build.data() + 12)), "BUILD_7E");
  EXPECT_EQ(build.back(), 0);
}

class SimNvTest : public StickFixture {
 protected:
  static std::vector<uint8_t> NvRequest(uint8_t code, uint16_t item, uint8_t fill) {
    std::vector<uint8_t> r(1 + 2 + 128 + 2, fill);
    r[0] = code;
    protocol::WriteLe16(r.data() + 1, item);
    protocol::WriteLe16(r.data() + 131, 0);
    return r;
  }
  struct NvReply {
    uint16_t item = 0;
    std::vector<uint8_t> data;
    uint16_t status = 0xFFFF;
  };
  NvReply Nv(uint8_t code, uint16_t item, uint8_t fill = 0) {
    auto reply = Diag(NvRequest(code, item, fill));
    NvReply out;
    if (reply.size() != 133 || reply[0] != code) {
      ADD_FAILURE() << "not an NV reply: " << Hex(reply);
      return out;
    }
    out.item = ReadLe16(reply.data() + 1);
    out.data.assign(reply.begin() + 3, reply.begin() + 131);
    out.status = ReadLe16(reply.data() + 131);
    return out;
  }
};

TEST_F(SimNvTest, ReadsWritesAndRefusesByItem) {
  config_.esn = 0xCAFE0001;
  config_.inactive_nv = {1058};
  config_.read_only_nv = {0, 90};
  Start();

  EXPECT_EQ(Nv(0x27, 22, 0x7E).status, 0);
  NvReply read = Nv(0x26, 22);
  EXPECT_EQ(read.item, 22);
  EXPECT_EQ(read.status, 0);
  EXPECT_EQ(read.data, std::vector<uint8_t>(128, 0x7E));

  const std::vector<uint8_t> before = Nv(0x26, 90).data;
  struct Case {
    const char* name;
    uint8_t code;
    uint16_t item;
    uint16_t status;
  };
  const Case cases[] = {
      {"read inactive", 0x26, 1058, 5},
      {"write inactive", 0x27, 1058, 5},
      {"write read-only", 0x27, 90, 7},
      {"read unknown", 0x26, 9999, 5},
      {"write outside the table activates the item", 0x27, 4242, 0},
      {"and it reads back", 0x26, 4242, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NvReply r = Nv(c.code, c.item, 0x33);
    EXPECT_EQ(r.item, c.item);
    EXPECT_EQ(r.status, c.status);
    // What the NV task does not do comes back as the host sent it.
    EXPECT_EQ(r.data, std::vector<uint8_t>(128, 0x33));
  }
  EXPECT_EQ(Nv(0x26, 90).data, before);

  NvReply esn = Nv(0x26, 0);
  EXPECT_EQ(esn.status, 0);
  EXPECT_EQ(ReadLe32(esn.data.data()), 0xCAFE0001u);
}

TEST_F(SimNvTest, ProtectedItemsNeedTheSpcFirst) {
  config_.spc = "123456";
  config_.spc_protected_nv = {550};
  Start();
  auto refused = Diag(NvRequest(0x27, 550, 0x11));
  ASSERT_FALSE(refused.empty());
  EXPECT_EQ(refused[0], 0x42);
  EXPECT_EQ(std::vector<uint8_t>(refused.begin() + 1, refused.end()), NvRequest(0x27, 550, 0x11));
  EXPECT_EQ(Hex(Diag(Bytes("41 31 32 33 34 35 36"))), "41 01");
  EXPECT_EQ(Nv(0x27, 550, 0x11).status, 0);
}

TEST_F(SimNvTest, EveryItemOfTheBackupTableAnswers) {
  const auto& ids = BackupTableIds();
  ASSERT_EQ(ids.size(), 646u);
  EXPECT_EQ(ids.front(), 0);
  EXPECT_EQ(ids.back(), 550);
  Start();
  for (uint16_t id : ids) {
    NvReply r = Nv(0x26, id);
    if (r.status != 0) ADD_FAILURE() << "item " << id << " status " << r.status;
  }
}

class SimNvStateTest : public SimNvTest {
 protected:
  void SetUp() override {
    dir_ = ::testing::TempDir() + "sim_nv_state_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
           std::to_string(::getpid());
    std::remove((dir_ + "/nv-items.txt").c_str());
    ASSERT_EQ(std::system(("mkdir -p '" + dir_ + "'").c_str()), 0);
    config_.state_dir = dir_;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string dir_;
};

TEST_F(SimNvStateTest, WrittenItemsSurviveARestartOfTheProgram) {
  Start();
  const std::vector<uint8_t> untouched = Nv(0x26, 23).data;
  EXPECT_EQ(Nv(0x27, 22, 0x5A).status, 0);
  EXPECT_EQ(Nv(0x27, 22, 0x7D).status, 0);  // the later write wins
  EXPECT_EQ(Nv(0x27, 5000, 0x01).status, 0);
  for (int run = 0; run < 2; ++run) {  // the second opening reads the compacted file
    SCOPED_TRACE(run);
    Start();
    EXPECT_TRUE(stick_->Model().NvError().empty());
    EXPECT_EQ(Nv(0x26, 22).data, std::vector<uint8_t>(128, 0x7D));
    EXPECT_EQ(Nv(0x26, 5000).data, std::vector<uint8_t>(128, 0x01));
    EXPECT_EQ(Nv(0x26, 23).data, untouched);
  }
}

TEST_F(SimNvStateTest, ErasedItemsStayErasedAfterARestart) {
  config_.read_only_nv = {0};
  Start();
  stick_->Model().Nv().EraseWritable();
  EXPECT_EQ(Nv(0x27, 22, 0x5A).status, 0);
  Start();
  EXPECT_EQ(Nv(0x26, 23).status, 5);  // erased with the file system, and still
  EXPECT_EQ(Nv(0x26, 22).data, std::vector<uint8_t>(128, 0x5A));
  EXPECT_EQ(Nv(0x26, 0).status, 0);  // read-only: kept
}

TEST_F(SimNvStateTest, ADamagedStateFileIsReported) {
  {
    std::ofstream out(dir_ + "/nv-items.txt");
    out << "22 0011\n";
  }
  Start();
  EXPECT_NE(stick_->Model().NvError().find("nv-items.txt:1"), std::string::npos)
      << stick_->Model().NvError();
}

// The host reads the version set by the reply's length on the wire.
class SimVersionSetTest : public StickFixture {
 protected:
  static int Band(size_t raw) { return raw > 290 ? 3 : raw > 240 ? 2 : raw > 130 ? 1 : 0; }
};

TEST_F(SimVersionSetTest, TheReplyLengthSelectsEachLayout) {
  config_.version_texts = {"FW_1.2.3",   "BOOT_4",   "WIN_V2.1.3", "TEXT_FOUR_IS_TWENTY_SIX_26",
                           "MAC_V1.0.7", "SIX",      "SEVEN",      "EIGHT_8",
                           "MODEL_VELQ482B3"};
  struct Case {
    unsigned length;
    size_t texts;  // how many texts the host finds
  };
  const Case cases[] = {{100, 4}, {130, 4}, {131, 4}, {200, 4}, {240, 4}, {241, 8},
                        {270, 8}, {290, 8}, {291, 9}, {400, 9}, {0, 9}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    config_.version_reply_length = c.length;
    Start();
    auto raw = DiagRaw({0x39});
    if (c.length) {
      EXPECT_EQ(Band(raw.size()), Band(c.length));
      EXPECT_LE(raw.size() > c.length ? raw.size() - c.length : c.length - raw.size(), 1u);
    } else {
      EXPECT_GT(raw.size(), 290u);
    }
    auto packet = Unframe(raw);
    ASSERT_FALSE(packet.empty());
    auto texts = protocol::ParseVersionSet(packet.data() + 1, packet.size() - 1, raw.size());
    const bool narrow = Band(raw.size()) == 0;  // fields of 22, 22, 24 and 24 bytes
    for (size_t i = 0; i < 9; ++i) {
      SCOPED_TRACE(i + 1);
      std::string expected = i < c.texts ? config_.version_texts[i] : "";
      if (narrow) expected = expected.substr(0, i < 2 ? 22 : 24);
      EXPECT_EQ(texts[i], expected);
    }
  }
}

TEST_F(SimVersionSetTest, EscapedTextsStillLandInTheBandAtEachEdge) {
  for (auto& text : config_.version_texts) text = "~}~}~}~}~}~}";
  for (unsigned length : {130u, 131u, 240u, 241u, 290u, 291u}) {
    SCOPED_TRACE(length);
    config_.version_reply_length = length;
    Start();
    auto raw = DiagRaw({0x39});
    EXPECT_EQ(Band(raw.size()), Band(length));
    EXPECT_FALSE(Unframe(raw).empty());
  }
}

TEST_F(SimDiagTest, AWrongSpcLocksDiagOutForAWhile) {
  config_.spc = "246810";
  config_.spc_lockout_ms = 10000;
  Start();
  EXPECT_EQ(Hex(Diag(Bytes("41 30 30 30 30 30 30"))), "41 00");
  EXPECT_FALSE(stick_->Model().Firmware().spc_unlocked);
  EXPECT_TRUE(DiagRaw({0x01}).empty());  // half a second after
  clock_.Advance(9000 - 2 * kSettleMs);
  EXPECT_TRUE(DiagRaw({0x01}).empty());  // 9.5 s after
  clock_.Advance(500);
  EXPECT_EQ(Diag({0x01}).size(), 5u);
  EXPECT_EQ(Hex(Diag(Bytes("41 32 34 36 38 31 30"))), "41 01");
  EXPECT_TRUE(stick_->Model().Firmware().spc_unlocked);
}

TEST_F(SimDiagTest, TheProbeIsAnsweredUnframedAndFramesGoOnAfterIt) {
  Start();
  const std::string probe = "AT$QCDMG\r";
  auto reply = SendRaw(*diag_, std::vector<uint8_t>(probe.begin(), probe.end()));
  EXPECT_EQ(std::string(reply.begin(), reply.end()), "AT$QCDMG\r\r\nOK\r\n");
  EXPECT_EQ(Diag({0x01}).size(), 5u);
}

}  // namespace
}  // namespace flotilla::sim
