#include "platform/windows/text.h"

#include <windows.h>

#include <climits>

namespace platform::windows {

bool wide_of(std::string_view text, std::wstring& out) {
  out.clear();
  if (text.empty()) return true;
  if (text.size() > INT_MAX) return false;
  const int in_len = static_cast<int>(text.size());
  const int units = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), in_len, nullptr, 0);
  if (units <= 0) return false;
  out.resize(static_cast<size_t>(units));
  return ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), in_len, out.data(), units) == units;
}

std::string utf8_of(std::wstring_view text) {
  if (text.empty() || text.size() > INT_MAX / 3) return {};
  const int in_len = static_cast<int>(text.size());
  const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), in_len, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string out(static_cast<size_t>(bytes), '\0');
  if (::WideCharToMultiByte(CP_UTF8, 0, text.data(), in_len, out.data(), bytes, nullptr, nullptr) != bytes) return {};
  return out;
}

std::string system_message(unsigned long code) {
  wchar_t buffer[512];
  const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                                   buffer, sizeof(buffer) / sizeof(buffer[0]), nullptr);
  std::wstring_view text(buffer, n);
  // Messages end in CR LF, which would break the line they are put in.
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) {
    text.remove_suffix(1);
  }
  std::string message = utf8_of(text);
  return message.empty() ? "Windows error " + std::to_string(code) : message;
}

}  // namespace platform::windows
