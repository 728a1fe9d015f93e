#include <openssl/ssl.h>

#include "velta_client/src/common/zel_log.h"
#include "velta_client/src/common/zel_transfer.h"

namespace {

constexpr const char* kFn = "zel_set_curl_opts";
constexpr uint32_t kPassedAuthBits = CURLAUTH_BASIC | CURLAUTH_NTLM;

const char* text_of(CURLcode rc) { return pathvane_curl.curl_easy_strerror(rc); }

// One option whose failure message is "<fn>: curl_easy_setopt(<what>) failed: <text>".
template <typename V>
bool set(CURL* curl, CURLoption option, V value, const char* what) {
  CURLcode rc = pathvane_curl.curl_easy_setopt(curl, option, value);
  if (rc != CURLE_OK) {
    zel_error("%s: curl_easy_setopt(%s) failed: %s", kFn, what, text_of(rc));
    return false;
  }
  return true;
}

// The TLS options, whose messages also carry the code.
template <typename V>
bool set_tls(CURL* curl, CURLoption option, V value, const char* what) {
  CURLcode rc = pathvane_curl.curl_easy_setopt(curl, option, value);
  if (rc != CURLE_OK) {
    zel_error("%s(): curl_easy_setopt(%s) returned %d (%s)", kFn, what, static_cast<int>(rc), text_of(rc));
    return false;
  }
  return true;
}

// A verification option, whose message carries the value.
bool set_verify(CURL* curl, CURLoption option, long value, const char* what) {
  CURLcode rc = pathvane_curl.curl_easy_setopt(curl, option, value);
  if (rc != CURLE_OK) {
    zel_error("%s: curl_easy_setopt(%s, %ld) failed: %s", kFn, what, value, text_of(rc));
    return false;
  }
  return true;
}

bool valid_proxy_type(uint32_t type) {
  switch (type) {
    case CURLPROXY_HTTP:
    case CURLPROXY_HTTPS:
    case CURLPROXY_SOCKS4:
    case CURLPROXY_SOCKS5:
    case CURLPROXY_SOCKS4A:
    case CURLPROXY_SOCKS5_HOSTNAME:
      return true;
    default:
      return false;
  }
}

bool set_proxy(CURL* curl, const proxy_info& proxy) {
  if (!valid_proxy_type(proxy.proxy_type)) {
    zel_error("%s: invalid proxy type", kFn);
    return false;
  }
  const unsigned long auth = proxy.proxy_auth & kPassedAuthBits;
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

int zel_set_curl_opts(CURL* curl, const char* user_agent, const proxy_info* proxy, uint32_t ssl_flags,
                      const zel_trust_context* tls, const char* /*label*/) {
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
  if (!set(curl, CURLOPT_NOSIGNAL, 1L, "CURLOPT_NOSIGNAL")) return -1;
  if (tls) {
    if (!set_tls(curl, CURLOPT_SSL_CTX_FUNCTION, _zel_sslctx_func, "CURLOPT_SSL_CTX_FUNCTION") ||
        !set_tls(curl, CURLOPT_SSL_CTX_DATA, tls, "CURLOPT_SSL_CTX_DATA") ||
        !set_tls(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL), "CURLOPT_USE_SSL")) {
      return -1;
    }
  }
  const long peer = (ssl_flags & SSL_FLAG_NO_VERIFY_PEER) ? 0L : 1L;
  const long host = (ssl_flags & SSL_FLAG_NO_VERIFY_HOST) ? 0L : 2L;
  if (!set_verify(curl, CURLOPT_SSL_VERIFYPEER, peer, "SSL_VERIFYPEER") ||
      !set_verify(curl, CURLOPT_SSL_VERIFYHOST, host, "SSL_VERIFYHOST") ||
      !set_verify(curl, CURLOPT_PROXY_SSL_VERIFYPEER, peer, "PROXY_SSL_VERIFYPEER") ||
      !set_verify(curl, CURLOPT_PROXY_SSL_VERIFYHOST, host, "PROXY_SSL_VERIFYHOST")) {
    return -1;
  }
  if (!set(curl, CURLOPT_USERAGENT, user_agent, "CURLOPT_USERAGENT")) return -1;
  if (proxy->proxy_type == ZEL_NO_PROXY) {
    // An empty proxy keeps libcurl from taking one from http_proxy and friends.
    return set(curl, CURLOPT_PROXY, "", "CURLOPT_PROXY") ? 0 : -1;
  }
  return set_proxy(curl, *proxy) ? 0 : -1;
}

CURLcode _zel_sslctx_func(CURL* /*curl*/, void* ssl_ctx, void* tls) {
  if (!ssl_ctx || !tls) {
    zel_error("Invalid parameter(s) passed to %s", "_zel_sslctx_func");
    return CURLE_ABORTED_BY_CALLBACK;
  }
  const auto* trust = static_cast<const zel_trust_context*>(tls);
  if (!trust->trust_callback) return CURLE_OK;
  trust->trust_callback(SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(ssl_ctx)), trust->trust_cert);
  return CURLE_OK;
}
