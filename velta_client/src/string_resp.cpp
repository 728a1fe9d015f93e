#include "velta_client/src/string_resp.h"

#include <cstdlib>
#include <cstring>

#include "velta_client/src/common/zel_log.h"
#include "velta_client/src/common/zel_transfer.h"
#include "platform/wipe.h"

string_resp* _string_resp_create() {
  auto* resp = static_cast<string_resp*>(std::calloc(1, sizeof(string_resp)));
  char* data = static_cast<char*>(std::calloc(1, 1));
  if (!resp || !data) {
    std::free(resp);
    std::free(data);
    zel_error("%s: malloc() failed", "_string_resp_create");
    return nullptr;
  }
  resp->data = data;
  return resp;
}

int _string_resp_append(string_resp* resp, const char* bytes, size_t count) {
  if (count == 0) return 0;
  if (!resp || !bytes) return -1;
  size_t length = 0;
  if (!zel_safe_add(resp->len, count, &length)) return -1;
  size_t size = 0;
  if (!zel_safe_add(length, 1, &size)) return -1;
  char* data = static_cast<char*>(std::realloc(resp->data, size));
  if (!data) {
    zel_error("%s: realloc() failed", "_string_resp_append");
    std::free(resp->data);
    resp->data = nullptr;
    resp->len = 0;
    return -1;
  }
  std::memcpy(data + resp->len, bytes, count);
  data[length] = '\0';
  resp->data = data;
  resp->len = length;
  return 0;
}

size_t _string_resp_write(char* bytes, size_t size, size_t nmemb, void* user) {
  size_t total = 0;
  if (!zel_safe_multiply(size, nmemb, &total)) return size;
  auto* resp = static_cast<string_resp*>(user);
  if (!resp) return total;
  // The bytes are still taken, so the transfer completes and its status is read.
  if (resp->too_long || total > ZEL_REGISTRATION_RESPONSE_MAX - resp->len) {
    resp->too_long = 1;
    return total;
  }
  _string_resp_append(resp, bytes, total);
  return total;
}

void _string_resp_free(string_resp* resp) {
  if (!resp) return;
  // The registration echo repeats the body, installation token included.
  if (resp->data) platform::wipe(resp->data, resp->len);
  std::free(resp->data);
  std::free(resp);
}
