#include "platform/system_words.h"

namespace platform {

const char* system_trust_words() { return "the system's CA bundle"; }

const char* proxy_discovery_words() {
  return "libproxy's sources on this machine: the proxy environment variables, the desktop's proxy settings and an "
         "auto-configuration script";
}

}  // namespace platform
