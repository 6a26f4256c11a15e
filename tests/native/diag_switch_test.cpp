// The diagnostics port switch against the in-process stick: on, off, and what fails.
#include "discovery/diag_switch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/transport/inprocess_stick.h"

namespace flotilla::discovery {
namespace {

constexpr int kAtPort = 5;
constexpr int kDiagPort = 6;
const std::string kFirmware = sim::StickConfig().firmware_version;

class RecordingDisplay : public line::LineDisplay {
 public:
  void AppendLineStatus(int, const std::string& text) override { statuses.push_back(text); }
  void SetLineProgress(int, int) override {}
  void EnableLineControls(int, bool enable) override { controls.push_back(enable); }
  std::vector<std::string> statuses;
  std::vector<bool> controls;
};

struct SwitchCase {
  const char* name;
  int stick_mode;        // the stick's diagnostics mode before the run
  bool switched_on;      // what this program did before
  const char* silent;    // AT commands the stick leaves unanswered, as a fault plan's rules
  std::vector<std::string> commands;  // what reaches the stick, in order
  bool result;
  bool switched_after;
  std::string version;   // after the run; "FW" stands for the stick's firmware version
  int mode_after;
};

std::string SilentRules(const char* commands) {
  std::string rules;
  for (std::string rest = commands; !rest.empty();) {
    const size_t comma = rest.find(',');
    const std::string command = rest.substr(0, comma);
    rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
    if (!rules.empty()) rules += ",";
    rules += R"({"port": "at", "command": ")" + command + R"(", "action": "ignore"})";
  }
  return R"({"rules": [)" + rules + "]}";
}

class DiagSwitchTest : public ::testing::TestWithParam<SwitchCase> {
 protected:
  DiagSwitchTest()
      : stick_(clock_, sim::StickConfig{}, sim::LinkModel{}, [this](const std::string& l) { Heard(l); }),
        doc_(line::DocEnvironment{stick_, clock_, 0x0409, "C:\\Flotilla\\flotilla.exe"}),
        context_{doc_, stick_.HostRegistry(), display_, prompts_, 0} {
    stick_.SetPortNumbers(kAtPort, kDiagPort);
    doc_.Line(0).data_port = kAtPort;
  }

  // The stick logs every AT command it receives as `at: "COMMAND"`.
  void Heard(const std::string& log) {
    const std::string prefix = "at: \"";
    if (log.rfind(prefix, 0) == 0 && log.back() == '"')
      commands_.push_back(log.substr(prefix.size(), log.size() - prefix.size() - 1));
  }

  platform::VirtualClock clock_;
  std::vector<std::string> commands_;
  sim::InProcessStick stick_;
  RecordingDisplay display_;
  platform::RecordingPrompts prompts_;
  line::CFlotillaDoc doc_;
  line::LineContext context_;
};

TEST_P(DiagSwitchTest, SwitchesAsTheStateSays) {
  const SwitchCase& c = GetParam();
  stick_.Model().Firmware().diag_mode = c.stick_mode;
  if (*c.silent) {
    std::string error;
    ASSERT_TRUE(stick_.SetFaultPlan(SilentRules(c.silent), error)) << error;
  }
  DiagSwitchState state;
  state.switched_on = c.switched_on;
  state.version = c.switched_on ? kFirmware : kNoVersionText;

  EXPECT_EQ(SwitchDiagnosticsPort(context_, state), c.result);

  EXPECT_EQ(commands_, c.commands);
  EXPECT_EQ(state.switched_on, c.switched_after);
  EXPECT_EQ(state.version, c.version == "FW" ? kFirmware : c.version);
  EXPECT_EQ(stick_.Model().Firmware().diag_mode, c.mode_after);
  ASSERT_FALSE(clock_.Sleeps().empty());
  EXPECT_EQ(clock_.Sleeps().front(), kDiagSwitchSettleMs);  // before the first command
  EXPECT_EQ(display_.statuses, std::vector<std::string>{""});
  EXPECT_EQ(display_.controls, (std::vector<bool>{false, true}));
  EXPECT_FALSE(doc_.Line(0).at_channel.Port().IsOpen());
}

INSTANTIATE_TEST_SUITE_P(
    Runs, DiagSwitchTest,
    ::testing::Values(
        SwitchCase{"ModeAlreadySix", 6, false, "", {"AT+ZDIAG?", "AT+GMR"}, true, true, "FW", 6},
        SwitchCase{"SwitchingOn", 0, false, "", {"AT+ZDIAG?", "AT+ZDIAG=6", "AT+GMR"}, true, true, "FW", 6},
        SwitchCase{"SwitchingOff", 6, true, "", {"AT+ZDIAG=0"}, true, false, "", 0},
        // The interface is on, but the version does not come: the text says so.
        SwitchCase{"OnWithoutVersion", 0, false, "AT+GMR", {"AT+ZDIAG?", "AT+ZDIAG=6", "AT+GMR", "AT+GMR"},
                   true, true, "NULL", 6},
        SwitchCase{"OnRefused", 0, false, "AT+ZDIAG?,AT+ZDIAG=6",
                   {"AT+ZDIAG?", "AT+ZDIAG?", "AT+ZDIAG=6", "AT+ZDIAG=6"}, false, false, "NULL", 0},
        // Still on: the flag stays, so the next run tries to switch off again.
        SwitchCase{"OffRefused", 6, true, "AT+ZDIAG=0", {"AT+ZDIAG=0", "AT+ZDIAG=0"}, false, true, "FW", 6}),
    [](const ::testing::TestParamInfo<SwitchCase>& info) { return std::string(info.param.name); });

TEST_F(DiagSwitchTest, ALineWithoutDataPortOnlySaysSo) {
  doc_.Line(0).data_port = 0;
  DiagSwitchState state;
  EXPECT_FALSE(SwitchDiagnosticsPort(context_, state));
  EXPECT_EQ(display_.statuses, std::vector<std::string>{kNoDataPortText});
  EXPECT_NE(doc_.Line(0).history.Text().find(kNoDataPortText), std::string::npos);
  EXPECT_TRUE(commands_.empty());
  EXPECT_TRUE(clock_.Sleeps().empty());
  EXPECT_TRUE(display_.controls.empty());
  EXPECT_FALSE(state.switched_on);
  EXPECT_EQ(state.version, kNoVersionText);
}

TEST_F(DiagSwitchTest, AnAtPortThatDoesNotOpenLeavesAnEmptyStatus) {
  doc_.Line(0).data_port = kAtPort + 10;  // no such port
  DiagSwitchState state;
  EXPECT_FALSE(SwitchDiagnosticsPort(context_, state));
  EXPECT_EQ(display_.statuses, std::vector<std::string>{""});
  EXPECT_TRUE(commands_.empty());
  EXPECT_TRUE(display_.controls.empty());
  EXPECT_FALSE(state.switched_on);
}

TEST_F(DiagSwitchTest, TwoRunsSwitchOnAndOffAgain) {
  DiagSwitchState state;
  ASSERT_TRUE(SwitchDiagnosticsPort(context_, state));
  EXPECT_EQ(state.version, kFirmware);
  ASSERT_TRUE(SwitchDiagnosticsPort(context_, state));
  EXPECT_FALSE(state.switched_on);
  EXPECT_TRUE(state.version.empty());
  EXPECT_EQ(stick_.Model().Firmware().diag_mode, 0);
}

}  // namespace
}  // namespace flotilla::discovery
