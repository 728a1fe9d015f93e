// Proxy discovery through libproxfind.so, loaded while someone uses it, and
// the names of the proxy types.
#pragma once
#include <cstdint>
#include <string>

#include "agent/proxfind/proxy_finder.h"
#include "shared_agent/util/result_codes.h"

class ProxyLoader {
 public:
  // The first user (count 0 -> 1) calls Init; the last one to release
  // (count back to 0) unloads the library. Both return the new count.
  static uint32_t AddUse();
  static uint32_t ReleaseUse();

  // Loads the library and finds its two entry points: 0, or 0x80004002.
  static HRESULT Init();
  // Runs discovery into the process-wide record: 0 when it ran (found or
  // not), 0x80004005 without a configuration object or a finder.
  static HRESULT ProxyDiscover();
  // A copy of the process-wide record, taken under the proxy lock.
  static void CopyDiscovered(DiscoveredProxy& out);
};

// Proxy type names ("http_proxy", "https", "socks4", "socks4a", "socks5",
// "socks5_hostname", exact case) to libcurl's proxy types. *type is
// 0xFFFFFFFF unless the name is in the table; 0 or 0xC1040004.
HRESULT ProxyTypeFromName(const char* name, uint32_t* type);

struct proxy_info;
// Frees the texts a proxy loader put into a settings record, wiping each
// first (the password among them), and leaves them null.
void release_proxy_strings(proxy_info& proxy);
HRESULT ProxyTypeFromNameW(const char16_t* name, uint32_t* type);
