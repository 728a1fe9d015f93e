// squid 5 (Debian's squid-openssl) for the tests: a forward proxy on a free
// loopback port with its configuration, logs and certificate database in a
// temporary folder of its own, and no disk cache.
#pragma once
#include <string>

#include "tests/support/proxies.h"

namespace testsupport {

struct SquidSetup {
  enum class Auth { none, basic, ntlm };
  Auth auth = Auth::none;
  // The one account of Basic authentication.
  std::string user;
  std::string password;
  // The usual rule of a squid installation: CONNECT only to port 443.
  bool ssl_ports_only = false;
  // TLS interception: each tunnel is opened and its server's certificate
  // forged by this CA (PEM files of the CA's certificate and key).
  std::string bump_ca_cert;
  std::string bump_ca_key;
};

class Squid : public ProxyProcess {
 public:
  bool start(const SquidSetup& setup, std::string* error);
  // Its cache.log, where it tells why it did not start.
  std::string cache_log() const;
};

}  // namespace testsupport
