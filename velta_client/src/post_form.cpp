#include "velta_client/src/post_form.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "velta_client/src/common/xfer_functions.h"
#include "velta_client/src/common/zel_log.h"
#include "platform/wipe.h"

namespace {

constexpr size_t kNameScratch = 100;

// Appends text when it fits with its NUL; false otherwise, nothing written.
bool append(zel_post* post, std::string_view text) {
  if (text.size() >= post->size - post->len) return false;
  std::memcpy(post->buf + post->len, text.data(), text.size());
  post->len += text.size();
  post->buf[post->len] = '\0';
  return true;
}

void fail(zel_post* post, zel_post_fault fault) {
  post->error = 1;
  post->fault = fault;
}

// Escaped texts may hold the installation token: wiped before they go back.
void release_escaped(char* text) {
  if (!text) return;
  platform::wipe(text, std::strlen(text));
  pathvane_curl.curl_free(text);
}

void post_name(zel_post* post, const char* format, va_list ap) {
  char name[kNameScratch];
  int n = std::vsnprintf(name, sizeof(name), format, ap);
  if (n < 0 || static_cast<size_t>(n) >= sizeof(name)) {
    zel_error("%s: unable to format name (n=%d)", "_zel_post_name", n < 0 ? -1 : n);
    fail(post, ZEL_POST_FAULT_NAME);
    return;
  }
  char* escaped = pathvane_curl.curl_easy_escape(post->curl, name, 0);
  if (!escaped) {
    zel_error("%s: curl_easy_escape(name) failed", "_zel_post_name");
    fail(post, ZEL_POST_FAULT_ESCAPE);
    return;
  }
  const std::string_view separator = post->len ? "&" : "";
  const size_t length = std::strlen(escaped);
  const size_t count = separator.size() + length + 1;
  if (count >= post->size - post->len) {
    zel_error("%s: unable to format name= (size=%zu, len=%zu, n=%d)", "_zel_post_name", post->size, post->len,
              static_cast<int>(count));
    fail(post, ZEL_POST_FAULT_NO_ROOM);
  } else {
    append(post, separator);
    append(post, std::string_view(escaped, length));
    append(post, "=");
  }
  pathvane_curl.curl_free(escaped);
}

}  // namespace

void _zel_post_name(zel_post* post, const char* format, ...) {
  if (!post || post->error) return;
  va_list ap;
  va_start(ap, format);
  post_name(post, format, ap);
  va_end(ap);
}

void _zel_post_str(zel_post* post, const char* value, const char* format, ...) {
  if (!post || post->error) return;
  if (!value || !format) {
    zel_error("%s: invalid parameter", "_zel_post_str");
    fail(post, ZEL_POST_FAULT_PARAM);
    return;
  }
  va_list ap;
  va_start(ap, format);
  post_name(post, format, ap);
  va_end(ap);
  if (post->error) return;
  char* escaped = pathvane_curl.curl_easy_escape(post->curl, value, 0);
  if (!escaped) {
    zel_error("%s: curl_easy_escape(value) failed", "_zel_post_str");
    fail(post, ZEL_POST_FAULT_ESCAPE);
    return;
  }
  const size_t length = std::strlen(escaped);
  if (!append(post, std::string_view(escaped, length))) {
    zel_error("%s: unable to format value (len=%zu, n=%d)", "_zel_post_str", post->len, static_cast<int>(length));
    fail(post, ZEL_POST_FAULT_NO_ROOM);
  }
  release_escaped(escaped);
}

void _zel_post_uint(zel_post* post, uint64_t value, const char* format, ...) {
  if (!post || post->error) return;
  if (!format) {
    zel_error("%s: invalid parameter", "_zel_post_uint");
    fail(post, ZEL_POST_FAULT_PARAM);
    return;
  }
  va_list ap;
  va_start(ap, format);
  post_name(post, format, ap);
  va_end(ap);
  if (post->error) return;
  char digits[24];
  int n = std::snprintf(digits, sizeof(digits), "%llu", static_cast<unsigned long long>(value));
  if (n < 0 || !append(post, std::string_view(digits, static_cast<size_t>(n)))) {
    zel_error("%s: unable to format value (len=%zu, n=%d)", "_zel_post_uint", post->len, n);
    fail(post, ZEL_POST_FAULT_NO_ROOM);
  }
}
