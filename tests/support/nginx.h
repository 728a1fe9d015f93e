// nginx for the tests: an HTTPS server on a free loopback port presenting
// the certificate chain of the test's choice (TLS 1.2 and 1.3, HTTP/2), its
// configuration, logs and temporary files in a folder of its own. Every
// request gets 200 and "ok".
#pragma once
#include <string>

#include "tests/support/proxies.h"

namespace testsupport {

class Nginx : public ProxyProcess {
 public:
  // chain: a PEM file of the certificates to present, leaf first; key: the
  // leaf's key.
  bool start(const std::string& chain, const std::string& key, std::string* error);
  std::string error_log() const;
};

}  // namespace testsupport
