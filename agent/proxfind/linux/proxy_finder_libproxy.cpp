#include <proxy.h>

#include <cstring>
#include <new>

#include "agent/proxfind/finder_base.h"
#include "agent/proxfind/proxy_answer.h"
#include "agent/proxfind/proxy_finder.h"
#include "platform/wipe.h"

namespace {

class ProxyFinder final : public ProxyFinderBase {
 public:
  int Discover(IConfig* config, const char16_t* test_url, void* /*reserved*/, uint32_t /*flags*/,
               void* /*reserved2*/) override {
    try {
      const std::string url = start_discovery(config, test_url);

      // Held so that an exception on the way frees both, the answers wiped.
      struct Factory {
        pxProxyFactory* factory = px_proxy_factory_new();
        ~Factory() {
          if (factory) px_proxy_factory_free(factory);
        }
      } held;
      if (!held.factory) return 0;
      struct Answers {
        char** list;
        ~Answers() {
          if (!list) return;
          // An answer may carry the proxy password.
          for (char** a = list; *a; ++a) platform::wipe(*a, std::strlen(*a));
          px_proxy_factory_free_proxies(list);
        }
      } answers{px_proxy_factory_get_proxies(held.factory, url.c_str())};
      if (!answers.list) return 0;
      for (uint32_t i = 0; answers.list[i]; ++i) {
        DiscoveredProxy record;
        if (parse_proxy_answer(answers.list[i], record)) {
          record.source = PROXY_SOURCE_LIBPROXY;
          record.rank = i;
          record.url = url_;
          found_.push_back(record);
        }
      }
      return 1;
    } catch (...) {
      Reset();
      return 0;
    }
  }
};

}  // namespace

#pragma GCC visibility push(default)
extern "C" IProxyFinder* CreateProxyClassInstance() { return new (std::nothrow) ProxyFinder(); }

extern "C" void ReleaseProxyClassInstance(IProxyFinder* finder) { delete static_cast<ProxyFinder*>(finder); }
#pragma GCC visibility pop
