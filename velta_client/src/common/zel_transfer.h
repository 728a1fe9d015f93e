// The common preparation of a cloud request on a libcurl easy handle, and
// the size arithmetic of the response collectors.
#pragma once
#include <cstddef>
#include <cstdint>

#include "velta_client/src/common/xfer_functions.h"
#include "velta_client/src/common/zel_log.h"
#include "velta_client/src/common/zel_records.h"

// One option through the function table; a refusal is logged as
// "<fn>: curl_easy_setopt(<what>) failed: <libcurl's text>".
template <typename V>
bool zel_setopt(CURL* curl, CURLoption option, V value, const char* fn, const char* what) {
  CURLcode rc = xfer_setopt(curl, option, value);
  if (rc == CURLE_OK) return true;
  zel_error("%s: curl_easy_setopt(%s) failed: %s", fn, what, pathvane_curl.curl_easy_strerror(rc));
  return false;
}

// Signals, TLS trust, verification for server and proxy, user agent and
// proxy: 0, or -1 after its one error. label names the calling request.
int zel_set_curl_opts(CURL* curl, const char* user_agent, const proxy_info* proxy, uint32_t ssl_flags,
                      const zel_trust_context* tls, const char* label);

// libcurl's CURLOPT_SSL_CTX_FUNCTION: hands the context's store to the trust callback.
CURLcode _zel_sslctx_func(CURL* curl, void* ssl_ctx, void* tls);

// The pieces both option setters share; fn names the caller in the messages.
// A configured proxy checked field by field: false after its error. Type 2
// (HTTPS proxy) only where https_proxy_allowed.
bool zel_proxy_is_valid(const proxy_info& proxy, bool https_proxy_allowed, const char* fn);
// PROXYTYPE, PROXYAUTH, the credentials, PROXY, PROXYPORT and an empty NOPROXY.
bool zel_set_proxy_options(CURL* curl, const proxy_info& proxy, const char* fn);
// The TLS-context callback with its trust context, and TLS required.
bool zel_set_tls_hook(CURL* curl, curl_ssl_ctx_callback hook, const zel_trust_context* tls, const char* fn);
// An empty CURLOPT_PROXY: no proxy, whatever the environment says.
bool zel_set_no_proxy(CURL* curl, const char* fn);
// Hands the TLS context's store to the trust context's callback; 42 without either.
CURLcode zel_add_trust(void* ssl_ctx, void* tls, const char* fn);

// Attaches curl_debug_function, when one is registered, and turns on verbose mode.
void zel_install_curl_debug_callback(CURL* curl);

// Performs the prepared transfer once; libcurl's code unchanged.
CURLcode zel_curl_perform(CURL* curl, const proxy_info* proxy);

// Size arithmetic that reports a wrap instead of wrapping: false after its error.
bool zel_safe_multiply(size_t len, size_t mul, size_t* out);
bool zel_safe_add(size_t len, size_t inc, size_t* out);
