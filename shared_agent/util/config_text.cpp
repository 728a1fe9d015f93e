#include "shared_agent/util/config_text.h"

#include <string.h>

#include <cstdio>
#include <vector>

#include "agent/kit/kit.h"
#include "platform/codec.h"
#include "platform/wipe.h"

namespace {

// The UTF-8 form in a buffer of our own, so that it can be wiped: these
// conversions also carry the proxy password.
class Utf8Copy {
 public:
  explicit Utf8Copy(const std::u16string& text) {
    using platform::CP_UTF8;
    using platform::WideCharToMultiByte;
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (bytes <= 0) {
      result_ = ZEL_E_NULL_ARGUMENT;
      return;
    }
    bytes_.assign(static_cast<size_t>(bytes), '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, bytes_.data(), bytes) == 0) {
      result_ = ZEL_E_CONVERSION;
      return;
    }
    // The text ends at its first NUL, as a wide C string would.
    length_ = std::char_traits<char>::length(bytes_.data());
  }
  ~Utf8Copy() { platform::wipe(bytes_.data(), bytes_.size()); }
  Utf8Copy(const Utf8Copy&) = delete;
  Utf8Copy& operator=(const Utf8Copy&) = delete;

  HRESULT result() const { return result_; }
  const char* c_str() const { return bytes_.data(); }
  size_t length() const { return length_; }

 private:
  std::vector<char> bytes_;
  size_t length_ = 0;
  HRESULT result_ = S_OK;
};

void report_failed_conversion(const std::u16string& text) {
  error(u"Failed conversion of tstring '%s' to std::string", text.c_str());
}

}  // namespace

HRESULT TStringToBuffer(char* buffer, size_t size, const std::u16string& text) {
  if (!buffer || size == 0) return ZEL_E_NULL_ARGUMENT;
  Utf8Copy utf8(text);
  if (FAILED(utf8.result())) {
    report_failed_conversion(text);
    return utf8.result();
  }
  if (size <= utf8.length()) return E_INSUFFICIENT_BUFFER;
  std::snprintf(buffer, size, "%s", utf8.c_str());
  return S_OK;
}

HRESULT TStringToAllocString(char** out, const std::u16string& text) {
  if (!out) return ZEL_E_NULL_ARGUMENT;
  Utf8Copy utf8(text);
  if (FAILED(utf8.result())) {
    report_failed_conversion(text);
    return utf8.result();
  }
  if (Util::asprintf(out, "%s", utf8.c_str()) < 0) return E_OUTOFMEMORY;
  return S_OK;
}
