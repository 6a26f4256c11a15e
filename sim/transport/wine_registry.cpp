// Registry import into a Wine prefix by running regedit under Wine.
#include "sim/transport/wine_registry.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace flotilla::sim {
namespace {

// regedit takes a Windows path; a leading '/' would read as one of its switches. Wine maps
// the Unix root to drive Z:.
std::string WindowsPath(const std::string& unix_path) {
  std::string out = "Z:";
  for (char c : unix_path) out.push_back(c == '/' ? '\\' : c);
  return out;
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool ImportIntoWine(const std::string& prefix, const std::string& reg_text, std::string& error) {
  char path[] = "/tmp/stick-sim-XXXXXX.reg";
  int fd = ::mkstemps(path, 4);
  if (fd < 0) {
    error = std::string("cannot create a registry file: ") + std::strerror(errno);
    return false;
  }
  const bool written = WriteAll(fd, reg_text);
  ::close(fd);
  if (!written) {
    ::unlink(path);
    error = "cannot write the registry file";
    return false;
  }

  const std::string windows_path = WindowsPath(path);
  pid_t child = ::fork();
  if (child == 0) {
    ::setenv("WINEPREFIX", prefix.c_str(), 1);
    ::setenv("WINEDEBUG", "-all", 1);
    int null_fd = ::open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
      ::dup2(null_fd, 0);
      ::dup2(null_fd, 1);
      ::dup2(null_fd, 2);
    }
    ::execlp("wine", "wine", "regedit", "/S", windows_path.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  bool ok = false;
  if (child < 0) {
    error = std::string("cannot start wine: ") + std::strerror(errno);
  } else {
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!ok) error = "wine regedit failed (status " + std::to_string(status) + ")";
  }
  ::unlink(path);
  return ok;
}

}  // namespace flotilla::sim
