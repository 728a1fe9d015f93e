#include "pathvane/request.h"
#include "pathvane/xfer_table.h"
#include "velta_client/src/common/zel_log.h"
#include "velta_client/src/common/zel_transfer.h"

namespace {

constexpr const char* kFn = "_set_curl_opts";

const char* text_of(CURLcode rc) { return pathvane_curl.curl_easy_strerror(rc); }

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
  if (!direct && !zel_proxy_is_valid(*proxy, false, kFn)) return -1;

  if (!zel_setopt(curl, CURLOPT_NOSIGNAL, 1L, kFn, "CURLOPT_NOSIGNAL")) return -1;
  if (trust && !zel_set_tls_hook(curl, _sslctx_func, trust, kFn)) return -1;

  long peer = (ssl_flags & SSL_FLAG_NO_VERIFY_PEER) ? 0L : 1L;
  CURLcode rc = xfer_setopt(curl, CURLOPT_SSL_VERIFYPEER, peer);
  if (rc != CURLE_OK) {
    zel_error("%s: curl_easy_setopt(SSL_VERIFYPEER, %d) failed: %s", kFn, static_cast<int>(peer), text_of(rc));
    return -1;
  }
  long host = (ssl_flags & SSL_FLAG_NO_VERIFY_HOST) ? 0L : 2L;
  rc = xfer_setopt(curl, CURLOPT_SSL_VERIFYHOST, host);
  if (rc != CURLE_OK) {
    zel_error("%s: curl_easy_setopt(SSL_VERIFYHOST, %d) failed: %s", kFn, static_cast<int>(host), text_of(rc));
    return -1;
  }
  if (!zel_setopt(curl, CURLOPT_USERAGENT, user_agent, kFn, "CURLOPT_USERAGENT")) return -1;

  if (direct) return zel_set_no_proxy(curl, kFn) ? 0 : -1;
  return zel_set_proxy_options(curl, *proxy, kFn) ? 0 : -1;
}

CURLcode _sslctx_func(CURL* /*curl*/, void* ssl_ctx, void* trust_context) {
  return zel_add_trust(ssl_ctx, trust_context, "_sslctx_func");
}
