#include "velta_client/src/common/zel_log.h"

#include <cstdarg>
#include <cstdlib>

#include "agent/kit/kit.h"
#include "platform/format.h"

extern "C" {

int64_t zel_trace_mask = -1;

namespace {

// Measures like _vscprintf: the length, or -1 for a format error.
int measure(const char* fmt, va_list ap) {
  va_list copy;
  va_copy(copy, ap);
  int n = platform::vformat(nullptr, 0, fmt, copy);
  va_end(copy);
  return n < 0 ? -1 : n;
}

}  // namespace

void zel_trace(int32_t level, const char* fmt, ...) {
  if ((level & ZEL_TRACE_CATEGORIES) == 0) return;
  if ((getDebugLevel() & zel_trace_mask) == 0) return;
  va_list ap;
  va_start(ap, fmt);
  int n = measure(fmt, ap);
  if (n == 0 || n == -1) {
    va_end(ap);
    zel_error("trace _vscprintf() returned %d", n);
    return;
  }
  int32_t size = static_cast<int32_t>(static_cast<uint32_t>(n) + 1u);
  if (size <= 0) {
    va_end(ap);
    zel_error("trace integer overflow");
    return;
  }
  char* text = static_cast<char*>(std::malloc(static_cast<size_t>(size)));
  if (!text) {
    va_end(ap);
    zel_error("trace: malloc");
    return;
  }
  platform::vformat(text, static_cast<size_t>(size), fmt, ap);
  va_end(ap);
  _log_trace(text);
  std::free(text);
}

void zel_error(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = measure(fmt, ap);
  if (n == 0 || n == -1) {
    va_end(ap);
    zel_error("zel_error _vscprintf() returned %d", n);
    return;
  }
  int32_t size = static_cast<int32_t>(static_cast<uint32_t>(n) + 1u);
  if (size <= 0) {
    va_end(ap);
    zel_error("zel_error integer overflow");
    return;
  }
  char* text = static_cast<char*>(std::malloc(static_cast<size_t>(size)));
  if (!text) {
    va_end(ap);
    return;
  }
  platform::vformat(text, static_cast<size_t>(size), fmt, ap);
  va_end(ap);
  _log_error(0, text, nullptr);
  std::free(text);
}
}
