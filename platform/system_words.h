// This system's own sources of trust and of proxy settings, named as the
// tool's hints name them to the admin.
#pragma once

namespace platform {

// What the trusted set holds besides the agent's certificates ("the system's CA bundle").
const char* system_trust_words();
// Where proxy discovery looks, after "which reads ".
const char* proxy_discovery_words();

}  // namespace platform
