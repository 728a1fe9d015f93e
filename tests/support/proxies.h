// Real proxies for the tests: tinyproxy (HTTP, Basic authentication) and
// microsocks (SOCKS5, user name and password), each on a free loopback port
// and each connecting onward from an address of its own, so that the test
// cloud's record of the peer shows which requests a proxy carried.
#pragma once
#include <netinet/in.h>
#include <sys/types.h>

#include <string>

namespace testsupport {

// A port on 127.0.0.1 that was free a moment ago.
int free_loopback_port();
// 127.0.0.1:port as a socket address.
sockaddr_in loopback_address(int port);

class ProxyProcess {
 public:
  ProxyProcess() = default;
  ProxyProcess(const ProxyProcess&) = delete;
  ProxyProcess& operator=(const ProxyProcess&) = delete;
  virtual ~ProxyProcess() { stop(); }

  void stop();
  int port() const { return port_; }

 protected:
  // Runs argv and waits until the port accepts connections; false with *error.
  bool launch(const char* const* argv, std::string* error);
  // A file of its folder as text; "" when there is none.
  std::string file_text(const std::string& name) const;

  pid_t pid_ = -1;
  int port_ = 0;
  std::string dir_;
};

class Tinyproxy : public ProxyProcess {
 public:
  // Where its onward connections come from.
  static constexpr const char* kOutgoingAddress = "127.0.0.3";

  bool start(const std::string& user, const std::string& password, std::string* error);
  // The proxy's log so far (one "Request ..." line per request it read).
  std::string log() const;
};

class Microsocks : public ProxyProcess {
 public:
  static constexpr const char* kOutgoingAddress = "127.0.0.2";

  bool start(const std::string& user, const std::string& password, std::string* error);
};

}  // namespace testsupport
