// The finder of proxfind.dll: the user's Internet settings first (their proxy
// script or automatic detection, else their fixed proxy), the machine's
// WinHTTP setting when the user's give nothing.
#include <windows.h>
#include <winhttp.h>

#include <new>
#include <string>

#include "agent/proxfind/finder_base.h"
#include "agent/proxfind/proxy_finder.h"
#include "agent/proxfind/winhttp_list.h"

#define PROXFIND_EXPORT extern "C" __declspec(dllexport)

namespace {

// WinHTTP's strings are UTF-16.
std::string utf8_of(const wchar_t* text) { return proxfind_utf8_of(reinterpret_cast<const char16_t*>(text)); }

// WinHTTP hands out its strings for the caller to free with GlobalFree.
void free_global(LPWSTR& text) {
  if (text) GlobalFree(text);
  text = nullptr;
}

struct UserSettings {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
  bool read = false;
  UserSettings() { read = WinHttpGetIEProxyConfigForCurrentUser(&config) != FALSE; }
  ~UserSettings() {
    free_global(config.lpszAutoConfigUrl);
    free_global(config.lpszProxy);
    free_global(config.lpszProxyBypass);
  }
};

struct ProxyInfo {
  WINHTTP_PROXY_INFO info{};
  ~ProxyInfo() {
    free_global(info.lpszProxy);
    free_global(info.lpszProxyBypass);
  }
  bool named() const { return info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && info.lpszProxy; }
};

struct Session {
  HINTERNET handle = WinHttpOpen(L"Pathvane", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                 WINHTTP_NO_PROXY_BYPASS, 0);
  ~Session() {
    if (handle) WinHttpCloseHandle(handle);
  }
};

// What the user's proxy script or automatic detection answers for url; false
// when neither gives an answer.
bool script_answer(const UserSettings& user, const std::wstring& url, std::string& list, std::string& bypass) {
  Session session;
  if (!session.handle) return false;
  WINHTTP_AUTOPROXY_OPTIONS options{};
  if (user.config.fAutoDetect) {
    options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
    options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
  }
  if (user.config.lpszAutoConfigUrl) {
    options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
    options.lpszAutoConfigUrl = user.config.lpszAutoConfigUrl;
  }
  // A script server that asks for Windows logon gets it, as the browser does.
  options.fAutoLogonIfChallenged = TRUE;
  ProxyInfo answer;
  if (!WinHttpGetProxyForUrl(session.handle, url.c_str(), &options, &answer.info)) return false;
  // A script that answers DIRECT has still answered.
  if (answer.named()) {
    list = utf8_of(answer.info.lpszProxy);
    bypass = utf8_of(answer.info.lpszProxyBypass);
  }
  return true;
}

class ProxyFinder final : public ProxyFinderBase {
 public:
  int Discover(IConfig* config, const char16_t* test_url, void* /*reserved*/, uint32_t /*flags*/,
               void* /*reserved2*/) override {
    try {
      const std::string url = start_discovery(config, test_url);
      std::wstring wide_url(url_.begin(), url_.end());

      std::string list;
      std::string bypass;
      UserSettings user;
      bool answered = false;
      if (user.read && (user.config.fAutoDetect || user.config.lpszAutoConfigUrl)) {
        answered = script_answer(user, wide_url, list, bypass);
      }
      // A script that cannot be fetched or run leaves the fixed proxy, as in the browser.
      if (!answered && user.read && user.config.lpszProxy) {
        list = utf8_of(user.config.lpszProxy);
        bypass = utf8_of(user.config.lpszProxyBypass);
        answered = true;
      }
      if (!answered) {
        ProxyInfo machine;
        if (WinHttpGetDefaultProxyConfiguration(&machine.info)) {
          if (machine.named()) {
            list = utf8_of(machine.info.lpszProxy);
            bypass = utf8_of(machine.info.lpszProxyBypass);
          }
        } else if (!user.read) {
          return 0;  // neither setting could be read
        }
      }
      found_ = winhttp_proxies_for(list, bypass, url);
      return 1;
    } catch (...) {
      Reset();
      return 0;
    }
  }
};

}  // namespace

PROXFIND_EXPORT IProxyFinder* CreateProxyClassInstance() { return new (std::nothrow) ProxyFinder(); }

PROXFIND_EXPORT void ReleaseProxyClassInstance(IProxyFinder* finder) { delete static_cast<ProxyFinder*>(finder); }
