// The flotilla-mkimages command line, kept apart from main() so that tests can run it in-process.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace flotilla::mkimages {

// Exit codes: 0 written (or help shown), 1 a file or the directory could not be written, 2 bad usage or options
// that cannot make an image set.
constexpr int kExitOk = 0;
constexpr int kExitIoFailed = 1;
constexpr int kExitRefused = 2;

// `args` are the arguments after the program name.
int RunMkImages(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace flotilla::mkimages
