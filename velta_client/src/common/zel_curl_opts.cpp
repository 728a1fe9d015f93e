#include <openssl/ssl.h>

#include "velta_client/src/cert_store.h"
#include "diagnosis/xfer_facts.h"
#include "velta_client/src/common/zel_log.h"
#include "velta_client/src/common/zel_transfer.h"

namespace {

constexpr const char* kFn = "zel_set_curl_opts";
constexpr uint32_t kPassedAuthBits = CURLAUTH_BASIC | CURLAUTH_NTLM;

const char* text_of(CURLcode rc) { return pathvane_curl.curl_easy_strerror(rc); }

// The TLS options, whose messages also carry the code.
template <typename V>
bool set_tls(CURL* curl, CURLoption option, V value, const char* what, const char* fn) {
  CURLcode rc = xfer_setopt(curl, option, value);
  if (rc != CURLE_OK) {
    zel_error("%s(): curl_easy_setopt(%s) returned %d (%s)", fn, what, static_cast<int>(rc), text_of(rc));
    return false;
  }
  return true;
}

// A verification option, whose message carries the value.
bool set_verify(CURL* curl, CURLoption option, long value, const char* what) {
  CURLcode rc = xfer_setopt(curl, option, value);
  if (rc != CURLE_OK) {
    zel_error("%s: curl_easy_setopt(%s, %ld) failed: %s", kFn, what, value, text_of(rc));
    return false;
  }
  return true;
}

}  // namespace

bool zel_proxy_is_valid(const proxy_info& proxy, bool https_proxy_allowed, const char* fn) {
  switch (proxy.proxy_type) {
    case CURLPROXY_HTTP:
    case CURLPROXY_SOCKS4:
    case CURLPROXY_SOCKS5:
    case CURLPROXY_SOCKS4A:
    case CURLPROXY_SOCKS5_HOSTNAME:
      break;
    case CURLPROXY_HTTPS:
      if (https_proxy_allowed) break;
      [[fallthrough]];
    default:
      zel_error("%s: invalid proxy type", fn);
      return false;
  }
  if (!proxy.proxy_username && proxy.proxy_password) {
    zel_error("%s: proxy_username is null", fn);
    return false;
  }
  if (proxy.proxy_username && !proxy.proxy_password) {
    zel_error("%s: proxy_password is null", fn);
    return false;
  }
  if (!proxy.proxy_server) {
    zel_error("%s: proxy_server is null", fn);
    return false;
  }
  if (proxy.proxy_port < 1 || proxy.proxy_port > 65535) {
    zel_error("%s: proxy_port %d is invalid", fn, static_cast<int>(proxy.proxy_port));
    return false;
  }
  return true;
}

bool zel_set_proxy_options(CURL* curl, const proxy_info& proxy, const char* fn) {
  const long auth = static_cast<long>(proxy.proxy_auth & kPassedAuthBits);
  if (!zel_setopt(curl, CURLOPT_PROXYTYPE, static_cast<long>(proxy.proxy_type), fn, "CURLOPT_PROXYTYPE")) return false;
  if (auth && !zel_setopt(curl, CURLOPT_PROXYAUTH, auth, fn, "CURLOPT_PROXYAUTH")) return false;
  if (proxy.proxy_username && proxy.proxy_password) {
    if (!zel_setopt(curl, CURLOPT_PROXYUSERNAME, proxy.proxy_username, fn, "CURLOPT_PROXYUSERNAME")) return false;
    if (!zel_setopt(curl, CURLOPT_PROXYPASSWORD, proxy.proxy_password, fn, "CURLOPT_PROXYPASSWORD")) return false;
  }
  if (!zel_setopt(curl, CURLOPT_PROXY, proxy.proxy_server, fn, "CURLOPT_PROXY")) return false;
  if (!zel_setopt(curl, CURLOPT_PROXYPORT, static_cast<long>(proxy.proxy_port), fn, "CURLOPT_PROXYPORT")) return false;
  // The proxy decision is ours alone: no_proxy in the environment must not send it direct.
  return zel_setopt(curl, CURLOPT_NOPROXY, "", fn, "CURLOPT_NOPROXY");
}

bool zel_set_tls_hook(CURL* curl, curl_ssl_ctx_callback hook, const zel_trust_context* tls, const char* fn) {
  if (!set_tls(curl, CURLOPT_SSL_CTX_FUNCTION, hook, "CURLOPT_SSL_CTX_FUNCTION", fn) ||
      !set_tls(curl, CURLOPT_SSL_CTX_DATA, tls, "CURLOPT_SSL_CTX_DATA", fn) ||
      !set_tls(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL), "CURLOPT_USE_SSL", fn)) {
    return false;
  }
  // The callback adds the whole trusted set, parsed once per process: libcurl
  // need not read its own CA bundle again for every connection.
  if (tls && tls->trust_callback == cert_add_from_keystore && cert_store_loaded()) {
    const char* none = nullptr;
    return set_tls(curl, CURLOPT_CAINFO, none, "CURLOPT_CAINFO", fn) &&
           set_tls(curl, CURLOPT_CAPATH, none, "CURLOPT_CAPATH", fn) &&
           set_tls(curl, CURLOPT_PROXY_CAINFO, none, "CURLOPT_PROXY_CAINFO", fn) &&
           set_tls(curl, CURLOPT_PROXY_CAPATH, none, "CURLOPT_PROXY_CAPATH", fn);
  }
  return true;
}

bool zel_set_no_proxy(CURL* curl, const char* fn) {
  // An empty proxy keeps libcurl from taking one from http_proxy and friends.
  return zel_setopt(curl, CURLOPT_PROXY, "", fn, "CURLOPT_PROXY");
}

CURLcode zel_add_trust(void* ssl_ctx, void* tls, const char* fn) {
  if (!ssl_ctx || !tls) {
    zel_error("Invalid parameter(s) passed to %s", fn);
    return CURLE_ABORTED_BY_CALLBACK;
  }
  const auto* trust = static_cast<const zel_trust_context*>(tls);
  xfer_facts_watch_tls(ssl_ctx);
  if (!trust->trust_callback) return CURLE_OK;
  trust->trust_callback(SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(ssl_ctx)), trust->trust_cert);
  return CURLE_OK;
}

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
  if (!zel_setopt(curl, CURLOPT_NOSIGNAL, 1L, kFn, "CURLOPT_NOSIGNAL")) return -1;
  if (tls) {
    if (!zel_set_tls_hook(curl, _zel_sslctx_func, tls, kFn)) return -1;
  }
  const long peer = (ssl_flags & SSL_FLAG_NO_VERIFY_PEER) ? 0L : 1L;
  const long host = (ssl_flags & SSL_FLAG_NO_VERIFY_HOST) ? 0L : 2L;
  if (!set_verify(curl, CURLOPT_SSL_VERIFYPEER, peer, "SSL_VERIFYPEER") ||
      !set_verify(curl, CURLOPT_SSL_VERIFYHOST, host, "SSL_VERIFYHOST") ||
      !set_verify(curl, CURLOPT_PROXY_SSL_VERIFYPEER, peer, "PROXY_SSL_VERIFYPEER") ||
      !set_verify(curl, CURLOPT_PROXY_SSL_VERIFYHOST, host, "PROXY_SSL_VERIFYHOST")) {
    return -1;
  }
  if (!zel_setopt(curl, CURLOPT_USERAGENT, user_agent, kFn, "CURLOPT_USERAGENT")) return -1;
  if (proxy->proxy_type == ZEL_NO_PROXY) return zel_set_no_proxy(curl, kFn) ? 0 : -1;
  if (!zel_proxy_is_valid(*proxy, true, kFn)) return -1;
  return zel_set_proxy_options(curl, *proxy, kFn) ? 0 : -1;
}

CURLcode _zel_sslctx_func(CURL* /*curl*/, void* ssl_ctx, void* tls) {
  return zel_add_trust(ssl_ctx, tls, "_zel_sslctx_func");
}
