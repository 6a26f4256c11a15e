// Settings of the simulated stick that tests and the command line choose.
#pragma once

#include <string>

namespace flotilla::sim {

struct StickConfig {
  std::string firmware_version = "BD_XV418V1.0.0B05";
  int diag_mode = 0;  // the "AT+ZDIAG" mode the stick starts with
  // Delay between a complete AT command and the start of its answer.
  unsigned at_reply_delay_ms = 20;
};

}  // namespace flotilla::sim
