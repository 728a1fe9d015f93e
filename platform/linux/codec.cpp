#include "platform/codec.h"

#include <cstddef>

namespace platform {
namespace {

thread_local uint32_t last_error = 0;

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at in[i..n). Returns its length, or 0 when the
// bytes there are ill-formed (overlong, surrogate, beyond U+10FFFF, cut short);
// an ill-formed start consumes one byte in lenient mode.
size_t decode_utf8(const unsigned char* in, size_t i, size_t n, char32_t& cp) {
  unsigned char b = in[i];
  if (b < 0x80) {
    cp = b;
    return 1;
  }
  size_t len;
  char32_t min;
  if ((b & 0xE0) == 0xC0) {
    len = 2, cp = b & 0x1F, min = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    len = 3, cp = b & 0x0F, min = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    len = 4, cp = b & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > n) return 0;
  for (size_t k = 1; k < len; ++k) {
    unsigned char c = in[i + k];
    if ((c & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

// Writes (or counts, when out is null) the units of one code point.
bool put16(char16_t* out, int out_len, int& pos, char32_t cp) {
  int need = cp >= 0x10000 ? 2 : 1;
  if (out) {
    if (pos + need > out_len) return false;
    if (need == 2) {
      cp -= 0x10000;
      out[pos] = static_cast<char16_t>(0xD800 + (cp >> 10));
      out[pos + 1] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out[pos] = static_cast<char16_t>(cp);
    }
  }
  pos += need;
  return true;
}

bool put8(char* out, int out_len, int& pos, char32_t cp) {
  unsigned char tmp[4];
  int need;
  if (cp < 0x80) {
    tmp[0] = static_cast<unsigned char>(cp), need = 1;
  } else if (cp < 0x800) {
    tmp[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
    tmp[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    need = 2;
  } else if (cp < 0x10000) {
    tmp[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
    tmp[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    tmp[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    need = 3;
  } else {
    tmp[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
    tmp[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
    tmp[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    tmp[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    need = 4;
  }
  if (out) {
    if (pos + need > out_len) return false;
    for (int k = 0; k < need; ++k) out[pos + k] = static_cast<char>(tmp[k]);
  }
  pos += need;
  return true;
}

}  // namespace

uint32_t GetLastError() { return last_error; }
void SetLastError(uint32_t code) { last_error = code; }

int MultiByteToWideChar(uint32_t code_page, uint32_t flags, const char* in, int in_len,
                        char16_t* out, int out_len) {
  if (code_page != CP_UTF8 || !in || in_len < -1 || in_len == 0 || out_len < 0 ||
      (out_len > 0 && !out)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t n = 0;
  if (in_len == -1) {
    while (in[n]) ++n;
    ++n;  // the terminator is converted too
  } else {
    n = static_cast<size_t>(in_len);
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(in);
  char16_t* dst = out_len > 0 ? out : nullptr;
  int pos = 0;
  for (size_t i = 0; i < n;) {
    char32_t cp = 0;
    size_t len = decode_utf8(bytes, i, n, cp);
    if (len == 0) {
      if (flags & MB_ERR_INVALID_CHARS) {
        SetLastError(ERROR_NO_UNICODE_TRANSLATION);
        return 0;
      }
      cp = kReplacement;
      len = 1;
    }
    if (!put16(dst, out_len, pos, cp)) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    i += len;
  }
  return pos;
}

int WideCharToMultiByte(uint32_t code_page, uint32_t /*flags*/, const char16_t* in, int in_len,
                        char* out, int out_len) {
  if (code_page != CP_UTF8 || !in || in_len < -1 || in_len == 0 || out_len < 0 ||
      (out_len > 0 && !out)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  size_t n = 0;
  if (in_len == -1) {
    while (in[n]) ++n;
    ++n;
  } else {
    n = static_cast<size_t>(in_len);
  }
  char* dst = out_len > 0 ? out : nullptr;
  int pos = 0;
  for (size_t i = 0; i < n; ++i) {
    char32_t cp = in[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (in[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = kReplacement;
    }
    if (!put8(dst, out_len, pos, cp)) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
  }
  return pos;
}

}  // namespace platform
