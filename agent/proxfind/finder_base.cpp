#include "agent/proxfind/finder_base.h"

#include "agent/confstore/iconfig.h"
#include "agent/proxfind/proxy_answer.h"
#include "platform/codec.h"

namespace {

// Asked about when the configuration names no test URL: the tool's own
// default health URL, so that both choose the same way.
constexpr const char* kBuiltInTestUrl = "https://health.orvix.example/health";

std::string configured_test_url(IConfig* config) {
  if (!config) return {};
  char16_t* value = config->GetStringEx("config/proxy/testurl");
  std::string url = proxfind_utf8_of(value);
  config->FreeString(value);
  return url;
}

}  // namespace

std::string proxfind_utf8_of(const char16_t* text) {
  using platform::CP_UTF8;
  using platform::WideCharToMultiByte;
  std::string out;
  if (!text) return out;
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0);
  if (bytes <= 1) return out;
  out.resize(static_cast<size_t>(bytes));
  if (WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), bytes) != bytes) return {};
  out.resize(static_cast<size_t>(bytes - 1));
  return out;
}

std::string ProxyFinderBase::start_discovery(IConfig* config, const char16_t* test_url) {
  Reset();
  std::string url = test_url ? proxfind_utf8_of(test_url) : configured_test_url(config);
  if (url.empty()) url = kBuiltInTestUrl;
  assign_wide(url_, url);
  return url;
}

uint32_t ProxyFinderBase::GetProxyCount() { return static_cast<uint32_t>(found_.size()); }

int ProxyFinderBase::GetTestUrl(std::u16string* url) {
  if (!url) return 0;
  try {
    *url = url_;
    return 1;
  } catch (...) {
    return 0;
  }
}

void ProxyFinderBase::Reset() {
  found_.clear();
  wipe_text(url_);
}

int ProxyFinderBase::GetProxies(std::vector<DiscoveredProxy>* list) {
  if (!list) return 0;
  try {
    list->reserve(list->size() + found_.size());
    for (const auto& record : found_) list->push_back(record);
    return 1;
  } catch (...) {
    return 0;
  }
}
