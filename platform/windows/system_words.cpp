#include "platform/system_words.h"

namespace platform {

const char* system_trust_words() { return "the Windows ROOT certificate store"; }

const char* proxy_discovery_words() {
  return "WinHTTP on this machine: the user's Internet settings (automatic detection, an auto-configuration "
         "script or a fixed proxy), else the machine's WinHTTP proxy setting (netsh winhttp)";
}

}  // namespace platform
