#include <cstdlib>
#include <cstring>

#include "pathvane/handle_internal.h"
#include "pathvane/xfer_table.h"
#include "velta_client/src/common/zel_log.h"
#include "velta_client/src/common/zel_transfer.h"

uint16_t loopback_pattern[PATHVANE_LOOPBACK_WORDS];

namespace {

// Copies the proxy strings into the handle; false after writing the error.
bool copy_proxy(const proxy_info& from, proxy_info& to) {
  if (!from.proxy_server) {
    zel_error("%s: proxy defined (%d) but proxy server is empty", "pathvane_init", static_cast<int>(from.proxy_type));
    return false;
  }
  to.proxy_server = strdup(from.proxy_server);
  if (!to.proxy_server) {
    zel_error("%s: failed to strdup proxy_server", "pathvane_init");
    return false;
  }
  to.proxy_type = from.proxy_type;
  if (from.proxy_username) {
    to.proxy_username = strdup(from.proxy_username);
    if (!to.proxy_username) {
      zel_error("%s: failed to strdup proxy_username", "pathvane_init");
      return false;
    }
  }
  if (from.proxy_password) {
    to.proxy_password = strdup(from.proxy_password);
    if (!to.proxy_password) {
      zel_error("%s: failed to strdup proxy_password", "pathvane_init");
      return false;
    }
  }
  return true;
}

// A failed init leaves the caller's CA reference with the caller: the handle
// owns the copied reference only once it is returned.
void release_failed(pathvane_handle*& handle) {
  handle->settings.velta.trust_cert = nullptr;
  pathvane_free(&handle);
}

}  // namespace

pathvane_handle* pathvane_init(const pathvane_settings* settings, const char* token, int verify_host, int verify_peer,
                               int debug) {
  if (!settings) return nullptr;
  auto* handle = static_cast<pathvane_handle*>(std::calloc(1, sizeof(pathvane_handle)));
  if (!handle) return nullptr;
  if (dll_curl_load_symbols() != 0) {
    // The library belongs to the live handle; only this one's memory goes.
    std::free(handle);
    zel_error("%s(): Application must exist, required library not found", "pathvane_init");
    return nullptr;
  }

  std::memcpy(&handle->settings, settings, sizeof(pathvane_settings));
  proxy_info& proxy = handle->settings.proxy;
  proxy.proxy_type = PATHVANE_NO_PROXY;
  proxy.proxy_server = nullptr;
  proxy.proxy_username = nullptr;
  proxy.proxy_password = nullptr;

  if (token) handle->token = strdup(token);

  handle->curl = pathvane_curl.curl_easy_init();
  if (!handle->curl) {
    zel_error("%s: curl_easy_init failed", "pathvane_init");
    release_failed(handle);
    return nullptr;
  }

  if (settings->proxy.proxy_type != PATHVANE_NO_PROXY && !copy_proxy(settings->proxy, proxy)) {
    release_failed(handle);
    return nullptr;
  }

  if (!verify_host) handle->settings.velta.ssl_flags |= SSL_FLAG_NO_VERIFY_HOST;
  if (!verify_peer) handle->settings.velta.ssl_flags |= SSL_FLAG_NO_VERIFY_PEER;

  for (check_result& result : handle->results) result.outcome = OUTCOME_UNTOUCHED;

  for (size_t i = 0; i + 1 < PATHVANE_LOOPBACK_WORDS; ++i) loopback_pattern[i] = static_cast<uint16_t>(i);

  if (debug) {
    curl_debug_function = _curl_debug;
    zel_install_curl_debug_callback(handle->curl);
  }
  return handle;
}
