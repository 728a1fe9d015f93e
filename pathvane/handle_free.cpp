#include <openssl/x509.h>

#include <cstdlib>
#include <cstring>

#include "pathvane/handle_internal.h"
#include "pathvane/xfer_table.h"
#include "velta_client/src/common/zel_log.h"
#include "platform/wipe.h"

void (*pathvane_release_text)(void* block) = std::free;

namespace {

void wipe_and_free(char* text) {
  if (!text) return;
  platform::wipe(text, std::strlen(text));
  pathvane_release_text(text);
}

}  // namespace

void _free_proxy_info(proxy_info* proxy) {
  if (!proxy) {
    zel_error("%s: proxy info cannot be null.", "_free_proxy_info");
    return;
  }
  pathvane_release_text(proxy->proxy_server);
  // Credentials are wiped, not only freed: the freed block would keep them.
  wipe_and_free(proxy->proxy_username);
  wipe_and_free(proxy->proxy_password);
  proxy->proxy_type = PATHVANE_NO_PROXY;
  proxy->proxy_server = nullptr;
  proxy->proxy_port = 0;
  proxy->proxy_auth = 0;
  proxy->proxy_username = nullptr;
  proxy->proxy_password = nullptr;
}

void pathvane_free(pathvane_handle** reference) {
  if (!reference || !*reference) return;
  pathvane_handle* handle = *reference;
  if (handle->settings.proxy.proxy_type != PATHVANE_NO_PROXY) _free_proxy_info(&handle->settings.proxy);
  wipe_and_free(handle->token);
  handle->token = nullptr;
  X509_free(handle->settings.velta.trust_cert);
  handle->settings.velta.trust_cert = nullptr;
  if (handle->curl && pathvane_curl.curl_easy_cleanup) pathvane_curl.curl_easy_cleanup(handle->curl);
  handle->curl = nullptr;
  std::free(handle);
  *reference = nullptr;
  dll_curl_unload();
}
