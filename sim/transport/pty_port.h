// One port of the stick as a pseudo-terminal: the stick holds the master, hosts open the slave.
#pragma once

#include <string>
#include <vector>

namespace flotilla::sim {

class PtyPort {
 public:
  PtyPort() = default;
  ~PtyPort() { Destroy(); }
  PtyPort(const PtyPort&) = delete;
  PtyPort& operator=(const PtyPort&) = delete;

  // Opens a new pty pair in raw mode. False with `error` set on failure.
  bool Create(std::string& error);
  // Makes `link` a symlink to the slave (replacing what was there); removed on Destroy.
  bool AddLink(const std::string& link, std::string& error);
  void Destroy();

  int MasterFd() const { return master_; }
  const std::string& SlavePath() const { return slave_path_; }

 private:
  int master_ = -1;
  // Held open so that the master never sees a hang-up while no host has the port open.
  int slave_keepalive_ = -1;
  std::string slave_path_;
  std::vector<std::string> links_;
};

}  // namespace flotilla::sim
