// Small loopback servers in the test's own process standing in for what a
// network in the way does: a proxy that opens its tunnel and then stays
// silent, a captive portal answering everything with its page, and a port
// whose full accept queue drops further connection attempts.
#pragma once
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class StandIn {
 public:
  enum class Kind {
    tunnel_then_silent,  // CONNECT answered "200 Connection established", then nothing
    captive_portal,      // every request, CONNECT too, answered 200 with an HTML page
  };
  static constexpr const char* kPortalPage = "<html><body>Sign in to use this network</body></html>";

  explicit StandIn(Kind kind) : kind_(kind) {}
  ~StandIn() { stop(); }
  StandIn(const StandIn&) = delete;
  StandIn& operator=(const StandIn&) = delete;

  // Listens on a free port of 127.0.0.1; false with *error.
  bool start(std::string* error);
  void stop();
  int port() const { return port_; }

 private:
  void serve(int client);

  const Kind kind_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  std::mutex lock_;
  std::vector<std::thread> connections_;
};

// A listener with a backlog of 0 that never accepts, its queue filled by
// connections of its own: the kernel drops every further SYN, as a firewall
// dropping packets would.
class FullAcceptQueue {
 public:
  FullAcceptQueue() = default;
  ~FullAcceptQueue() { stop(); }
  FullAcceptQueue(const FullAcceptQueue&) = delete;
  FullAcceptQueue& operator=(const FullAcceptQueue&) = delete;

  bool start(std::string* error);
  void stop();
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

}  // namespace testsupport
