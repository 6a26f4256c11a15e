// flotilla-mkimages: writes a synthetic image set for tests and the demo.
#include <iostream>
#include <string>
#include <vector>

#include "tools/mkimages/mkimages_command.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return flotilla::mkimages::RunMkImages(args, std::cout, std::cerr);
}
