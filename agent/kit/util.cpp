#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

#include "agent/kit/kit.h"
#include "platform/codec.h"
#include "platform/format.h"
#include "platform/wipe.h"

int Util::GetOsVersionInfo(platform::OSVERSIONINFOEXW* info) {
  if (!info) return 0;
  std::memset(info, 0, sizeof(*info));
  info->dwOSVersionInfoSize = sizeof(*info);
  return platform::GetVersionInfo(info) ? 1 : 0;
}

size_t Util::SafeMul(size_t a, size_t b, bool* overflow) {
  size_t product = 0;
  if (__builtin_mul_overflow(a, b, &product) && overflow) *overflow = true;
  return product;
}

void* Util::SafeCalloc(size_t bytes) { return bytes ? std::calloc(1, bytes) : nullptr; }

void Util::FreeMem(void* block) { std::free(block); }

int Util::asprintf(char** out, const char* fmt, ...) {
  if (!out) return -1;
  *out = nullptr;
  va_list ap;
  va_start(ap, fmt);
  // Measured, then formatted straight into the caller's block: the text may
  // be a secret, and no other copy of it should outlive this call.
  int n = platform::vformat(nullptr, 0, fmt, ap);
  char* block = n < 0 ? nullptr : static_cast<char*>(std::calloc(static_cast<size_t>(n) + 1, 1));
  if (block) platform::vformat(block, static_cast<size_t>(n) + 1, fmt, ap);
  va_end(ap);
  if (!block) return -1;
  *out = block;
  return n;
}

int Util::aswprintf(char16_t** out, const char16_t* fmt, ...) {
  if (!out) return -1;
  *out = nullptr;
  va_list ap;
  va_start(ap, fmt);
  int n = platform::vformat_wide(nullptr, 0, fmt, ap);
  char* narrow = n < 0 ? nullptr : static_cast<char*>(std::calloc(static_cast<size_t>(n) + 1, 1));
  if (narrow) platform::vformat_wide(narrow, static_cast<size_t>(n) + 1, fmt, ap);
  va_end(ap);
  if (!narrow) return -1;
  char16_t* wide = ConvertStringToWCHAR(narrow);
  platform::wipe(narrow, static_cast<size_t>(n));
  std::free(narrow);
  if (!wide) return -1;
  *out = wide;
  return static_cast<int>(std::char_traits<char16_t>::length(wide));
}

char16_t* Util::ConvertStringToWCHAR(const char* text) {
  if (!text) return nullptr;
  int units = platform::MultiByteToWideChar(platform::CP_UTF8, 0, text, -1, nullptr, 0);
  if (units <= 0) return nullptr;
  auto* wide = static_cast<char16_t*>(std::calloc(static_cast<size_t>(units), sizeof(char16_t)));
  if (!wide) return nullptr;
  if (platform::MultiByteToWideChar(platform::CP_UTF8, 0, text, -1, wide, units) != units) {
    std::free(wide);
    return nullptr;
  }
  return wide;
}

void Util::ClearString(char* text) {
  if (text) platform::wipe(text, std::strlen(text));
}

void Util::ClearStringW(char16_t* text) {
  if (text) platform::wipe(text, std::char_traits<char16_t>::length(text) * sizeof(char16_t));
}

int Util::RtlSecureZeroMemory(void* block, size_t bytes, size_t /*unused*/) {
  if (!block) return 0;
  platform::wipe(block, bytes);
  return 1;
}
