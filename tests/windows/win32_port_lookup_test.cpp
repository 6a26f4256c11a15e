// LocateDevicePorts against the Wine registry, where stick-sim wrote its driver registrations.
#include "discovery/port_lookup.h"

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/win32/registry.h"
#include "platform/win32/serial_port.h"
#include "line/flotilla_doc.h"
#include "wine_test_env.h"

namespace flotilla::discovery {
namespace {

TEST(Win32LocateDevicePorts, FindsTheSticksPortsInTheRegistry) {
  const int at = test::AtCom();
  const int diag = test::ComFromEnv("FLOTILLA_DIAG_COM");
  if (at == 0 || diag == 0) GTEST_SKIP() << "run through ctest, which starts stick-sim";
  platform::Win32SerialFactory ports;
  line::CFlotillaDoc doc(line::DocEnvironment{ports, platform::SystemClock(), 0x0409, "flotilla.exe"});
  platform::Win32Registry registry;
  EXPECT_EQ(LocateDevicePorts(doc, 0, registry), 1);
  EXPECT_EQ(doc.Line(0).data_port, at);
  EXPECT_EQ(doc.Line(0).diag_port, diag);
  // The ports it names are the stick's: the AT port answers.
  ASSERT_TRUE(doc.OpenAtPort(0, doc.Line(0).data_port, 115200));
  EXPECT_EQ(SendLineAtCommand(doc, 0, "AT+GMR"), 1);
}

}  // namespace
}  // namespace flotilla::discovery
