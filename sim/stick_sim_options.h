// stick-sim's command line.
#pragma once

#include <string>

#include "sim/model/emission.h"
#include "sim/model/stick_config.h"

namespace flotilla::sim {

struct SimOptions {
  std::string link_dir;
  std::string wine_prefix;
  int at_com = 0;
  int diag_com = 0;
  std::string capture;
  std::string ready_file;
  std::string log_file;
  StickConfig stick;
  LinkModel link;
  // Replies are paced at link.bytes_per_second (--bytes-per-second); otherwise they leave at
  // once.
  bool paced = false;
};

// Returns 0 to go on, -1 after --help, or the exit code of a bad command line (the reason
// is printed).
int ParseSimOptions(int argc, char** argv, SimOptions& options);

}  // namespace flotilla::sim
