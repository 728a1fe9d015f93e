#include "shared_agent/util/text_encoding.h"

#include <cstdio>
#include <vector>

#include "platform/codec.h"

namespace {

// snprintf that reports -1 instead of a cut text.
int bounded_hex(char (&buf)[3], unsigned char byte) {
  int n = std::snprintf(buf, sizeof(buf), "%02X", static_cast<unsigned>(byte));
  return (n < 0 || n >= static_cast<int>(sizeof(buf))) ? -1 : n;
}

bool is_alnum_ascii(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

}  // namespace

HRESULT Utf8ToWide(std::string in, std::u16string& out) {
  using platform::CP_UTF8;
  using platform::MB_ERR_INVALID_CHARS;
  using platform::MultiByteToWideChar;
  int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, in.c_str(), -1, nullptr, 0);
  if (units == 0) return E_INVALIDARG;
  std::vector<char16_t> buffer(static_cast<size_t>(units), u'\0');
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, in.c_str(), -1, buffer.data(), units) == 0) {
    return E_INVALIDARG;
  }
  out.assign(buffer.data());
  return S_OK;
}

HRESULT WideToUtf8(std::u16string in, std::string& out) {
  using platform::CP_UTF8;
  using platform::WideCharToMultiByte;
  int bytes = WideCharToMultiByte(CP_UTF8, 0, in.c_str(), -1, nullptr, 0);
  if (bytes == 0) return ZEL_E_NULL_ARGUMENT;
  std::vector<char> buffer(static_cast<size_t>(bytes), '\0');
  if (WideCharToMultiByte(CP_UTF8, 0, in.c_str(), -1, buffer.data(), bytes) == 0) {
    return ZEL_E_CONVERSION;
  }
  out.assign(buffer.data());
  return S_OK;
}

HRESULT UrlEncode(std::u16string in, std::string& out) {
  std::string utf8;
  HRESULT hr = WideToUtf8(std::move(in), utf8);
  if (FAILED(hr)) return hr;
  std::string encoded;
  encoded.reserve(utf8.size() * 3);
  for (unsigned char c : utf8) {
    if (is_alnum_ascii(c)) {
      encoded.push_back(static_cast<char>(c));
      continue;
    }
    char hex[3];
    if (bounded_hex(hex, c) != 2) return ZEL_E_CONVERSION;
    encoded.push_back('%');
    encoded.append(hex, 2);
  }
  out = std::move(encoded);
  return S_OK;
}

HRESULT UrlEncodeW(std::u16string in, std::u16string& out) {
  std::string encoded;
  HRESULT hr = UrlEncode(std::move(in), encoded);
  if (FAILED(hr)) return hr;
  return Utf8ToWide(encoded, out);
}
