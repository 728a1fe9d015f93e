#include "tests/support/tls_server.h"

#include <vector>

namespace testsupport {

bool TlsServer::start(const std::string& cert, const std::string& key, const std::string& chain, std::string* error) {
  stop();
  port_ = free_loopback_port();
  const std::string accept = "127.0.0.1:" + std::to_string(port_);
  std::vector<const char*> argv = {"openssl", "s_server", "-quiet",      "-www",       "-accept",   accept.c_str(),
                                   "-cert",   cert.c_str(), "-key",      key.c_str(), "-no-CAfile", "-no-CApath",
                                   "-no-CAstore"};
  if (!chain.empty()) {
    argv.push_back("-cert_chain");
    argv.push_back(chain.c_str());
  }
  argv.push_back(nullptr);
  return launch(argv.data(), error);
}

}  // namespace testsupport
