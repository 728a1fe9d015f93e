// A real TLS server for the tests: openssl s_server -www on a free loopback
// port, which answers a GET with 200 and presents the given certificate.
#pragma once
#include <string>

#include "tests/support/proxies.h"

namespace testsupport {

class TlsServer : public ProxyProcess {
 public:
  // PEM files: the leaf, its key and what is sent after the leaf ("": none).
  bool start(const std::string& cert, const std::string& key, const std::string& chain, std::string* error);
};

}  // namespace testsupport
