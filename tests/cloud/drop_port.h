// A port that accepts each connection and closes it at once, without a
// byte: the "server went away" fault for any client.
#pragma once
#include <atomic>
#include <string>
#include <thread>

namespace testcloud {

class DropPort {
 public:
  ~DropPort() { stop(); }
  // Listens on 127.0.0.1:port (0: any free port); the bound port, or -1.
  int start(int port, std::string* error);
  void stop();

 private:
  int fd_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace testcloud
