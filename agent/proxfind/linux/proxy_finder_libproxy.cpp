#include <proxy.h>

#include <cstring>
#include <new>
#include <string>

#include "agent/confstore/iconfig.h"
#include "agent/proxfind/proxy_answer.h"
#include "agent/proxfind/proxy_finder.h"
#include "platform/codec.h"
#include "platform/wipe.h"

namespace {

// Asked about when the configuration names no test URL: the tool's own
// default health URL, so that both choose the same way.
constexpr const char* kBuiltInTestUrl = "https://health.orvix.example/health";

std::string utf8_of(const char16_t* text) {
  using platform::CP_UTF8;
  using platform::WideCharToMultiByte;
  std::string out;
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0);
  if (bytes <= 1) return out;
  out.resize(static_cast<size_t>(bytes));
  if (WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), bytes) != bytes) return {};
  out.resize(static_cast<size_t>(bytes - 1));
  return out;
}

std::string configured_test_url(IConfig* config) {
  if (!config) return {};
  char16_t* value = config->GetStringEx("config/proxy/testurl");
  std::string url = value ? utf8_of(value) : std::string();
  config->FreeString(value);
  return url;
}

class ProxyFinder final : public IProxyFinder {
 public:
  int Discover(IConfig* config, const char16_t* test_url, void* /*reserved*/, uint32_t /*flags*/,
               void* /*reserved2*/) override {
    try {
      Reset();
      std::string url = test_url ? utf8_of(test_url) : configured_test_url(config);
      if (url.empty()) url = kBuiltInTestUrl;
      assign_wide(url_, url);

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

  uint32_t GetProxyCount() override { return static_cast<uint32_t>(found_.size()); }

  int GetTestUrl(std::u16string* url) override {
    if (!url) return 0;
    try {
      *url = url_;
      return 1;
    } catch (...) {
      return 0;
    }
  }

  void Reset() override {
    found_.clear();
    wipe_text(url_);
  }

  int GetProxies(std::vector<DiscoveredProxy>* list) override {
    if (!list) return 0;
    try {
      list->reserve(list->size() + found_.size());
      for (const auto& record : found_) list->push_back(record);
      return 1;
    } catch (...) {
      return 0;
    }
  }

 private:
  std::vector<DiscoveredProxy> found_;
  std::u16string url_;
};

}  // namespace

#pragma GCC visibility push(default)
extern "C" IProxyFinder* CreateProxyClassInstance() { return new (std::nothrow) ProxyFinder(); }

extern "C" void ReleaseProxyClassInstance(IProxyFinder* finder) { delete static_cast<ProxyFinder*>(finder); }
#pragma GCC visibility pop
