#include <openssl/ssl.h>

#include "pathvane/request.h"
#include "pathvane/xfer_table.h"
#include "velta_client/src/common/zel_log.h"

namespace {

constexpr const char* kFn = "_set_curl_opts";
constexpr uint32_t kPassedAuthBits = CURLAUTH_BASIC | CURLAUTH_NTLM;

const char* text_of(CURLcode rc) { return pathvane_curl.curl_easy_strerror(rc); }

bool valid_proxy_type(uint32_t type) {
  return type == CURLPROXY_HTTP || type == CURLPROXY_SOCKS4 || type == CURLPROXY_SOCKS5 || type == CURLPROXY_SOCKS4A ||
         type == CURLPROXY_SOCKS5_HOSTNAME;
}

// Checks a configured proxy before any option is set.
bool validate_proxy(const proxy_info& proxy) {
  if (!valid_proxy_type(proxy.proxy_type)) {
    zel_error("%s: invalid proxy type", kFn);
    return false;
  }
  if (!proxy.proxy_username && proxy.proxy_password) {
    zel_error("%s: proxy_username is null", kFn);
    return false;
  }
  if (proxy.proxy_username && !proxy.proxy_password) {
    zel_error("%s: proxy_password is null", kFn);
    return false;
  }
  if (!proxy.proxy_server) {
    zel_error("%s: proxy_server is null", kFn);
    return false;
  }
  if (proxy.proxy_port < 1 || proxy.proxy_port > 65535) {
    zel_error("%s: proxy_port %d is invalid", kFn, static_cast<int>(proxy.proxy_port));
    return false;
  }
  return true;
}

bool set_trust(CURL* curl, const pathvane_trust_context* trust) {
  CURLcode rc = pathvane_curl.curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, _sslctx_func);
  if (rc != CURLE_OK) {
    zel_error("%s(): curl_easy_setopt(CURLOPT_SSL_CTX_FUNCTION) returned %d (%s)", kFn, static_cast<int>(rc),
              text_of(rc));
    return false;
  }
  rc = pathvane_curl.curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, trust);
  if (rc != CURLE_OK) {
    zel_error("%s(): curl_easy_setopt(CURLOPT_SSL_CTX_DATA) returned %d (%s)", kFn, static_cast<int>(rc), text_of(rc));
    return false;
  }
  rc = pathvane_curl.curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
  if (rc != CURLE_OK) {
    zel_error("%s(): curl_easy_setopt(CURLOPT_USE_SSL) returned %d (%s)", kFn, static_cast<int>(rc), text_of(rc));
    return false;
  }
  return true;
}

// One option whose failure message is "<fn>: <what> failed: <text>".
template <typename V>
bool set(CURL* curl, CURLoption option, V value, const char* what) {
  CURLcode rc = pathvane_curl.curl_easy_setopt(curl, option, value);
  if (rc != CURLE_OK) {
    zel_error("%s: curl_easy_setopt(%s) failed: %s", kFn, what, text_of(rc));
    return false;
  }
  return true;
}

bool set_proxy(CURL* curl, const proxy_info& proxy) {
  unsigned long auth = proxy.proxy_auth & kPassedAuthBits;
  if (!set(curl, CURLOPT_PROXYTYPE, static_cast<long>(proxy.proxy_type), "CURLOPT_PROXYTYPE")) return false;
  if (auth && !set(curl, CURLOPT_PROXYAUTH, auth, "CURLOPT_PROXYAUTH")) return false;
  if (proxy.proxy_username && proxy.proxy_password) {
    if (!set(curl, CURLOPT_PROXYUSERNAME, proxy.proxy_username, "CURLOPT_PROXYUSERNAME")) return false;
    if (!set(curl, CURLOPT_PROXYPASSWORD, proxy.proxy_password, "CURLOPT_PROXYPASSWORD")) return false;
  }
  if (!set(curl, CURLOPT_PROXY, proxy.proxy_server, "CURLOPT_PROXY")) return false;
  if (!set(curl, CURLOPT_PROXYPORT, static_cast<long>(proxy.proxy_port), "CURLOPT_PROXYPORT")) return false;
  // The proxy decision is ours alone: no_proxy in the environment must not send it direct.
  return set(curl, CURLOPT_NOPROXY, "", "CURLOPT_NOPROXY");
}

}  // namespace

int _set_curl_opts(CURL* curl, const char* user_agent, const proxy_info* proxy, uint32_t ssl_flags,
                   const pathvane_trust_context* trust) {
  if (!curl) {
    zel_error("%s: curl is null", kFn);
    return -1;
  }
  if (!proxy) {
    zel_error("%s: proxy is null", kFn);
    return -1;
  }
  if (!user_agent) {
    zel_error("%s: user_agent is null", kFn);
    return -1;
  }
  const bool direct = proxy->proxy_type == PATHVANE_NO_PROXY;
  if (!direct && !validate_proxy(*proxy)) return -1;

  if (!set(curl, CURLOPT_NOSIGNAL, 1L, "CURLOPT_NOSIGNAL")) return -1;
  if (trust && !set_trust(curl, trust)) return -1;

  long peer = (ssl_flags & SSL_FLAG_NO_VERIFY_PEER) ? 0L : 1L;
  CURLcode rc = pathvane_curl.curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, peer);
  if (rc != CURLE_OK) {
    zel_error("%s: curl_easy_setopt(SSL_VERIFYPEER, %d) failed: %s", kFn, static_cast<int>(peer), text_of(rc));
    return -1;
  }
  long host = (ssl_flags & SSL_FLAG_NO_VERIFY_HOST) ? 0L : 2L;
  rc = pathvane_curl.curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, host);
  if (rc != CURLE_OK) {
    zel_error("%s: curl_easy_setopt(SSL_VERIFYHOST, %d) failed: %s", kFn, static_cast<int>(host), text_of(rc));
    return -1;
  }
  if (!set(curl, CURLOPT_USERAGENT, user_agent, "CURLOPT_USERAGENT")) return -1;

  if (direct) {
    // An empty proxy keeps libcurl from taking one from http_proxy and friends.
    return set(curl, CURLOPT_PROXY, "", "CURLOPT_PROXY") ? 0 : -1;
  }
  return set_proxy(curl, *proxy) ? 0 : -1;
}

CURLcode _sslctx_func(CURL* /*curl*/, void* ssl_ctx, void* trust_context) {
  if (!ssl_ctx || !trust_context) {
    zel_error("Invalid parameter(s) passed to %s", "_sslctx_func");
    return CURLE_ABORTED_BY_CALLBACK;
  }
  auto* trust = static_cast<const pathvane_trust_context*>(trust_context);
  if (!trust->trust_callback) return CURLE_OK;
  trust->trust_callback(SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(ssl_ctx)), trust->trust_cert);
  return CURLE_OK;
}
