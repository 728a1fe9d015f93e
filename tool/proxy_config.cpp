#include <string.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "agent/kit/kit.h"
#include "platform/codec.h"
#include "shared_agent/util/config_read.h"
#include "shared_agent/util/config_singleton.h"
#include "shared_agent/util/config_text.h"
#include "shared_agent/util/proxy_password.h"
#include "tool/pathvane_wrapper.h"
#include "tool/proxy_loader.h"
#include "platform/wipe.h"

namespace {

struct ProxyTypeName {
  const char16_t* name;
  uint32_t type;
};

// libcurl's CURLPROXY_* values.
constexpr ProxyTypeName kProxyTypes[] = {
    {u"http_proxy", 0}, {u"https", 0}, {u"socks4", 4}, {u"socks4a", 6}, {u"socks5", 5}, {u"socks5_hostname", 7},
};

void wipe_and_free(char*& text) {
  if (text) {
    platform::wipe(text, std::strlen(text));
    std::free(text);
  }
  text = nullptr;
}

// A C-allocated UTF-8 copy of a wide text; the conversion's buffer is wiped
// since the text may be the proxy password. Null when out of memory.
char* secret_utf8_copy(const std::u16string& text) {
  using platform::CP_UTF8;
  using platform::WideCharToMultiByte;
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  if (bytes <= 0) return nullptr;
  auto* copy = static_cast<char*>(std::calloc(static_cast<size_t>(bytes), 1));
  if (!copy) return nullptr;
  if (WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, copy, bytes) == 0) {
    platform::wipe(copy, static_cast<size_t>(bytes));
    std::free(copy);
    return nullptr;
  }
  return copy;
}

}  // namespace

void release_proxy_strings(proxy_info& proxy) {
  wipe_and_free(proxy.proxy_server);
  wipe_and_free(proxy.proxy_username);
  wipe_and_free(proxy.proxy_password);
}

HRESULT ProxyTypeFromName(const char* name, uint32_t* type) {
  if (!type) return ZEL_E_PROXY_TYPE;
  *type = PATHVANE_NO_PROXY;
  if (!name) return ZEL_E_PROXY_TYPE;
  for (const auto& row : kProxyTypes) {
    size_t i = 0;
    while (row.name[i] && static_cast<unsigned char>(name[i]) == row.name[i]) ++i;
    if (!row.name[i] && !name[i]) {
      *type = row.type;
      return S_OK;
    }
  }
  return ZEL_E_PROXY_TYPE;
}

HRESULT ProxyTypeFromNameW(const char16_t* name, uint32_t* type) {
  if (!type) return ZEL_E_PROXY_TYPE;
  *type = PATHVANE_NO_PROXY;
  if (!name) return ZEL_E_PROXY_TYPE;
  for (const auto& row : kProxyTypes) {
    if (std::u16string_view(row.name) == std::u16string_view(name)) {
      *type = row.type;
      return S_OK;
    }
  }
  return ZEL_E_PROXY_TYPE;
}

HRESULT PathvaneWrapper::LoadProxyConfigUsingDiscovery(pathvane_settings* settings) {
  if (!settings) return E_FAIL;
  ProxyLoader::AddUse();
  HRESULT hr = ProxyLoader::ProxyDiscover();
  if (FAILED(hr)) {
    error("PathvaneWrapper::LoadProxyConfigUsingDiscovery: Proxy discovery failed");
  } else {
    DiscoveredProxy record;
    ProxyLoader::CopyDiscovered(record);
    proxy_info& proxy = settings->proxy;
    release_proxy_strings(proxy);
    proxy.proxy_port = record.port;
    ProxyTypeFromNameW(record.type_name.c_str(), &proxy.proxy_type);
    proxy.proxy_auth = record.auth_type;
    proxy.proxy_server = secret_utf8_copy(record.server);
    proxy.proxy_username = secret_utf8_copy(record.user_name);
    proxy.proxy_password = secret_utf8_copy(record.password);
    // record wipes its own texts as it goes.
  }
  ProxyLoader::ReleaseUse();
  return hr;
}

namespace {

// Steps of the from-policy read that can fail; the caller cleans up.
HRESULT read_policy_proxy(proxy_info& proxy) {
  char type_name[128];
  if (FAILED(GetConfigString("config/proxy/type", type_name, sizeof(type_name)))) return E_NOT_FOUND;
  if (FAILED(ProxyTypeFromName(type_name, &proxy.proxy_type))) return ZEL_E_PROXY_TYPE;

  IConfig* config = zel::CConfigSingleton::GetInstance();
  if (!config) return E_NOT_FOUND;
  uint32_t auth = config->GetDwordEx("config/proxy/authtype");
  if (auth == CONFIG_NO_NUMBER) return E_NOT_FOUND;
  proxy.proxy_auth = auth;
  uint32_t port = config->GetDwordEx("config/proxy/port");
  if (port == CONFIG_NO_NUMBER) return E_NOT_FOUND;
  proxy.proxy_port = static_cast<int32_t>(port);

  if (FAILED(GetConfigStringAlloc("config/proxy/server", &proxy.proxy_server))) return E_NOT_FOUND;
  if (FAILED(GetConfigStringAlloc("config/proxy/username", &proxy.proxy_username))) proxy.proxy_username = nullptr;

  std::u16string password;
  HRESULT hr = S_OK;
  if (zel::GetProxyPassword(password) && !password.empty()) {
    hr = TStringToAllocString(&proxy.proxy_password, password);
    if (FAILED(hr)) error("Conversion of tstring to string failed.");
  }
  Util::ClearStringW(password.data());
  return hr;
}

}  // namespace

HRESULT PathvaneWrapper::LoadProxyConfigFromPolicy(pathvane_settings* settings) {
  if (!settings) return E_FAIL;
  proxy_info& proxy = settings->proxy;
  release_proxy_strings(proxy);
  HRESULT hr = read_policy_proxy(proxy);
  if (FAILED(hr)) {
    release_proxy_strings(proxy);
    proxy.proxy_type = PATHVANE_NO_PROXY;
  }
  return hr;
}
