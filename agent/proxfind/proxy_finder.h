// The proxy finder of libproxfind.so (proxfind.dll on Windows), as the tool
// calls it: which proxies serve the agent's test URL ("config/proxy/testurl").
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/wipe.h"

class IConfig;

// One proxy that discovery found. Copies wipe the texts they replace and a
// record wipes its texts when it goes, since they carry the proxy password.
struct DiscoveredProxy {
  uint16_t port = 0;
  uint32_t auth_type = 0;  // libcurl auth bits: 1 (Basic) when the answer carried credentials
  uint32_t source = 0;     // where the answer came from, see ProxySource
  uint32_t rank = 0xFFFFFFFFu;  // position in the system's answer, none until found
  std::u16string type_name;  // "http_proxy", "https", "socks4", "socks4a", "socks5", "socks5_hostname"
  std::u16string server;
  std::u16string user_name;
  std::u16string password;
  std::u16string url;  // the test URL the proxy serves

  DiscoveredProxy() = default;
  DiscoveredProxy(const DiscoveredProxy& other) { *this = other; }
  DiscoveredProxy& operator=(const DiscoveredProxy& other);
  ~DiscoveredProxy() { clear(); }

  // Back to a new record: port and authentication type 0, empty texts.
  void clear();
};

inline void wipe_text(std::u16string& text) {
  platform::wipe(text.data(), text.size() * sizeof(char16_t));
  text.clear();
}

inline void DiscoveredProxy::clear() {
  port = 0;
  auth_type = 0;
  source = 0;
  rank = 0xFFFFFFFFu;
  for (auto* text : {&type_name, &server, &user_name, &password, &url}) wipe_text(*text);
}

inline DiscoveredProxy& DiscoveredProxy::operator=(const DiscoveredProxy& other) {
  if (this == &other) return *this;
  // Wiped first, so that a buffer the assignment gives up holds nothing.
  clear();
  port = other.port;
  auth_type = other.auth_type;
  source = other.source;
  rank = other.rank;
  type_name = other.type_name;
  server = other.server;
  user_name = other.user_name;
  password = other.password;
  url = other.url;
  return *this;
}

enum ProxySource : uint32_t {
  PROXY_SOURCE_NONE = 0,
  PROXY_SOURCE_LIBPROXY = 1,
  PROXY_SOURCE_WINHTTP = 2,
};

class IProxyFinder {
 public:
  // Asks which proxies serve test_url (null: the configured test URL, else a
  // built-in one). The remaining arguments are reserved and zero. Non-zero on
  // success, whether or not a proxy was found.
  virtual int Discover(IConfig* config, const char16_t* test_url, void* reserved, uint32_t flags,
                       void* reserved2) = 0;
  // Number of proxies the last Discover found.
  virtual uint32_t GetProxyCount() = 0;
  // The test URL the last Discover asked about (empty before the first).
  virtual int GetTestUrl(std::u16string* url) = 0;
  // Forgets what the last Discover found.
  virtual void Reset() = 0;
  // Appends what the last Discover found to list, in the system's order.
  // Non-zero on success.
  virtual int GetProxies(std::vector<DiscoveredProxy>* list) = 0;

 protected:
  // Released through ReleaseProxyClassInstance.
  virtual ~IProxyFinder() = default;
};

extern "C" IProxyFinder* CreateProxyClassInstance();
extern "C" void ReleaseProxyClassInstance(IProxyFinder* finder);
using CreateProxyClassInstanceFn = IProxyFinder* (*)();
using ReleaseProxyClassInstanceFn = void (*)(IProxyFinder*);
