#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "velta_client/src/common/zel_log.h"
#include "velta_client/src/common/zel_transfer.h"
#include "velta_client/src/string_resp.h"
#include "velta_client/src/velta_client.h"
#include "platform/wipe.h"

namespace {

constexpr const char* kSeed = "get_updater_seed";
constexpr const char* kSeedCall = "get_updater_seed()";
// Only a seed up to this size is used; one byte more already marks it oversized.
constexpr size_t kSeedMax = ZEL_UPDATER_SEED_SIZE - 1;

void wipe_and_free(char* text) {
  if (!text) return;
  platform::wipe(text, std::strlen(text));
  std::free(text);
}

// The collector and the error buffer die with the request; libcurl must not
// keep a pointer to either on the caller's handle.
void detach(CURL* curl) {
  xfer_setopt(curl, CURLOPT_ERRORBUFFER, static_cast<char*>(nullptr));
  xfer_setopt(curl, CURLOPT_WRITEDATA, static_cast<void*>(nullptr));
}

}  // namespace

zel_updater_handle* zel_updater_handle_create(const char* user_agent, const proxy_info* proxy, uint32_t ssl_flags) {
  if (!user_agent || !proxy) return nullptr;
  auto* handle = static_cast<zel_updater_handle*>(std::calloc(1, sizeof(zel_updater_handle)));
  if (!handle) return nullptr;
  std::strncpy(handle->user_agent, user_agent, sizeof(handle->user_agent) - 1);
  handle->ssl_flags = ssl_flags;
  handle->proxy.proxy_type = proxy->proxy_type;
  if (proxy->proxy_type == ZEL_NO_PROXY) return handle;

  handle->proxy.proxy_port = proxy->proxy_port;
  handle->proxy.proxy_auth = proxy->proxy_auth;
  if (proxy->proxy_server) handle->proxy.proxy_server = strdup(proxy->proxy_server);
  if (proxy->proxy_username) handle->proxy.proxy_username = strdup(proxy->proxy_username);
  if (proxy->proxy_password) handle->proxy.proxy_password = strdup(proxy->proxy_password);
  if (!handle->proxy.proxy_server || (proxy->proxy_username && !handle->proxy.proxy_username) ||
      (proxy->proxy_password && !handle->proxy.proxy_password)) {
    zel_updater_handle_free(handle);
    return nullptr;
  }
  return handle;
}

void zel_updater_handle_free(zel_updater_handle* handle) {
  if (!handle) return;
  std::free(handle->proxy.proxy_server);
  wipe_and_free(handle->proxy.proxy_username);
  wipe_and_free(handle->proxy.proxy_password);
  std::free(handle);
}

size_t _buf_realloc(char* bytes, size_t size, size_t nmemb, void* user) {
  size_t total = 0;
  if (!zel_safe_multiply(size, nmemb, &total)) return size;
  auto* resp = static_cast<string_resp*>(user);
  if (!resp) return total;
  // Past an oversized seed nothing more is stored, but the bytes are still
  // taken so that the transfer completes and its status is read.
  if (resp->too_long || total > ZEL_UPDATER_SEED_SIZE - resp->len) {
    resp->too_long = 1;
    return total;
  }
  char* data = static_cast<char*>(std::realloc(resp->data, resp->len + total + 1));
  if (!data) {
    zel_error("%s(): failed to allocate or re-allocate buffer", "_buf_realloc");
    std::free(resp->data);
    resp->data = nullptr;
    resp->len = 0;
    return 0;
  }
  if (total) std::memcpy(data + resp->len, bytes, total);
  resp->len += total;
  data[resp->len] = '\0';
  resp->data = data;
  return total;
}

int get_updater_seed(zel_updater_handle* handle, CURL* curl, const zel_trust_context* tls, const char* url,
                     char* seed) {
  if (!handle || !curl || !seed || !url) {
    zel_error("%s(): handle, curl, response and url cannot be null", kSeed);
    return ZEL_ERR_NULL_ARG;
  }
  if (zel_set_curl_opts(curl, handle->user_agent, &handle->proxy, handle->ssl_flags, tls, "+velta-updater-seed") ==
      -1) {
    return ZEL_ERR_EXTERNAL;
  }
  string_resp body{nullptr, 0, 0};
  // The record's own error buffer: the shared handle may still point at an
  // earlier check's, and libcurl must not write into another record.
  if (!zel_setopt(curl, CURLOPT_URL, url, kSeedCall, "CURLOPT_URL") || !zel_setopt(curl, CURLOPT_TIMEOUT, 30L, kSeedCall, "CURLOPT_TIMEOUT") ||
      !zel_setopt(curl, CURLOPT_WRITEFUNCTION, _buf_realloc, kSeedCall, "CURLOPT_WRITEFUNCTION") ||
      !zel_setopt(curl, CURLOPT_WRITEDATA, &body, kSeedCall, "CURLOPT_WRITEDATA")) {
    xfer_setopt(curl, CURLOPT_WRITEDATA, static_cast<void*>(nullptr));
    return ZEL_ERR_EXTERNAL;
  }
  if (!zel_setopt(curl, CURLOPT_ERRORBUFFER, handle->error_text, kSeedCall, "CURLOPT_ERRORBUFFER")) {
    detach(curl);
    return ZEL_ERR_EXTERNAL;
  }
  zel_install_curl_debug_callback(curl);
  int result = ZEL_OK;
  CURLcode rc = zel_curl_perform(curl, &handle->proxy);
  handle->curl_code = rc;
  long http = 0;
  if (rc != CURLE_OK) {
    zel_error("%s(): seed download failed for URL '%s': %s", kSeed, url, pathvane_curl.curl_easy_strerror(rc));
    result = ZEL_ERR_POLICY;
  } else if ((rc = xfer_getinfo_long(curl, CURLINFO_RESPONSE_CODE, &http)) != CURLE_OK) {
    zel_error("%s(): curl_easy_getinfo(CURLINFO_RESPONSE_CODE) failed: %s", kSeed,
              pathvane_curl.curl_easy_strerror(rc));
    result = ZEL_ERR_EXTERNAL;
  } else {
    handle->http_code = static_cast<int32_t>(http);
    if (http == 304) {
      result = ZEL_ERR_FAILED;
    } else if (http != 200) {
      zel_error("%s(): Updater seed download failed for URL '%s' (HTTP code: %ld)", kSeed, url, http);
      result = ZEL_ERR_REGISTRATION;
    } else if (body.too_long || body.len > kSeedMax) {
      // A first chunk past the bound is never stored, so this comes before the empty test.
      std::snprintf(handle->error_text, sizeof(handle->error_text), "updater seed is larger than %zu bytes (HTTP %ld)",
                    kSeedMax, http);
      result = ZEL_ERR_FAILED;
    } else if (!body.data || body.len == 0) {
      std::snprintf(handle->error_text, sizeof(handle->error_text), "updater seed is empty (HTTP %ld)", http);
      result = ZEL_ERR_FAILED;
    } else {
      // As text: a NUL in the body ends the copy.
      const size_t copied = strnlen(body.data, body.len);
      std::memcpy(seed, body.data, copied);
      seed[body.len] = '\0';
      if (copied < body.len) seed[copied] = '\0';
    }
  }
  std::free(body.data);
  detach(curl);
  return result;
}
