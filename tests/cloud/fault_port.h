// A port that speaks no HTTP of its own: each connection it accepts meets one
// fault, the same for every client.
#pragma once
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testcloud {

enum class Fault {
  drop,          // closed at once, without a byte: the server went away
  silent,        // held open and read, never answered, not even a TLS hello
  header_lines,  // once the request comes: a status line, then header lines
                 // of 100 bytes without end
  header_line,   // once the request comes: a status line, then one header
                 // line without end
};

class FaultPort {
 public:
  explicit FaultPort(Fault fault) : fault_(fault) {}
  ~FaultPort() { stop(); }
  FaultPort(const FaultPort&) = delete;
  FaultPort& operator=(const FaultPort&) = delete;

  // Listens on 127.0.0.1:port (0: any free port); the bound port, or -1.
  int start(int port, std::string* error);
  // Ends the connections still held and waits for them.
  void stop();

 private:
  void serve(int client);

  const Fault fault_;
  int fd_ = -1;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  std::mutex lock_;
  std::vector<std::thread> connections_;
};

}  // namespace testcloud
