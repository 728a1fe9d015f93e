// A server on a free loopback port that answers every request with the same
// bytes, exactly as given, and closes the connection: for answers an HTTP
// library would refuse to send, such as control bytes or bytes that are not
// UTF-8 in a header's value. One connection at a time, in a thread of the
// test.
#pragma once
#include <atomic>
#include <string>
#include <thread>

namespace testsupport {

class RawHttpServer {
 public:
  explicit RawHttpServer(std::string answer) : answer_(std::move(answer)) {}
  ~RawHttpServer() { stop(); }
  RawHttpServer(const RawHttpServer&) = delete;
  RawHttpServer& operator=(const RawHttpServer&) = delete;

  // Listens on 127.0.0.1; false with *error.
  bool start(std::string* error);
  void stop();
  int port() const { return port_; }

 private:
  void serve();

  const std::string answer_;
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace testsupport
