// What the system finders share: the test URL a discovery asks about and
// the proxies it found; each finder adds only its own Discover.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "agent/proxfind/proxy_finder.h"

// UTF-8 of a UTF-16 text (empty for null or an unconvertible text).
std::string proxfind_utf8_of(const char16_t* text);

class ProxyFinderBase : public IProxyFinder {
 public:
  uint32_t GetProxyCount() override;
  int GetTestUrl(std::u16string* url) override;
  void Reset() override;
  int GetProxies(std::vector<DiscoveredProxy>* list) override;

 protected:
  // Forgets the last discovery and takes the URL this one asks about:
  // test_url, else the configured test URL, else a built-in one.
  std::string start_discovery(IConfig* config, const char16_t* test_url);

  std::vector<DiscoveredProxy> found_;
  std::u16string url_;
};
