#include "platform/console.h"

#include "platform/windows/text.h"

#include <windows.h>

#include <climits>

namespace platform {
namespace {

HANDLE handle_of(Stream stream) {
  return ::GetStdHandle(stream == Stream::kOut ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

bool is_console(HANDLE handle) {
  DWORD mode = 0;
  return handle && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode);
}

bool write_console(HANDLE handle, std::string_view text) {
  // Lenient: a stray invalid byte shows as U+FFFD rather than losing the line.
  const std::string lines = with_line_ends(text);
  if (lines.size() > INT_MAX) return false;
  const int in_len = static_cast<int>(lines.size());
  const int units = ::MultiByteToWideChar(CP_UTF8, 0, lines.data(), in_len, nullptr, 0);
  if (units <= 0) return false;
  std::wstring wide(static_cast<size_t>(units), L'\0');
  if (::MultiByteToWideChar(CP_UTF8, 0, lines.data(), in_len, wide.data(), units) != units) return false;
  // Older consoles refuse one large write (their buffer is a shared 64 KiB heap).
  constexpr size_t kChunk = 8192;
  size_t done = 0;
  while (done < wide.size()) {
    size_t count = wide.size() - done < kChunk ? wide.size() - done : kChunk;
    // A surrogate pair is not split between writes.
    if (count == kChunk && wide[done + count - 1] >= 0xD800 && wide[done + count - 1] <= 0xDBFF) --count;
    DWORD written = 0;
    if (!::WriteConsoleW(handle, wide.data() + done, static_cast<DWORD>(count), &written, nullptr) || written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}

bool write_bytes(HANDLE handle, std::string_view text) {
  const std::string lines = with_line_ends(text);
  constexpr size_t kChunk = 1u << 30;
  size_t done = 0;
  while (done < lines.size()) {
    const size_t left = lines.size() - done;
    DWORD written = 0;
    if (!::WriteFile(handle, lines.data() + done, static_cast<DWORD>(left < kChunk ? left : kChunk), &written,
                     nullptr) ||
        written == 0) {
      return false;
    }
    done += written;
  }
  return true;
}

}  // namespace

bool stream_is_terminal(Stream stream) { return is_console(handle_of(stream)); }

bool write_stream(Stream stream, std::string_view text) {
  HANDLE handle = handle_of(stream);
  if (!handle || handle == INVALID_HANDLE_VALUE) return false;
  if (text.empty()) return true;
  return is_console(handle) ? write_console(handle, text) : write_bytes(handle, text);
}

const char* line_end() { return "\r\n"; }

std::string with_line_ends(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out.push_back('\r');
    out.push_back(text[i]);
  }
  return out;
}

// Spaces, not VT sequences: the consoles of Windows 7 and 8.1 print those as text.
std::string progress_erase(size_t columns) { return "\r" + std::string(columns, ' ') + "\r"; }

InputEchoOff::InputEchoOff() {
  HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (!input || input == INVALID_HANDLE_VALUE || !::GetConsoleMode(input, &mode)) return;
  saved_ = mode;
  active_ = ::SetConsoleMode(input, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) != 0;
}

InputEchoOff::~InputEchoOff() {
  if (!active_) return;
  ::SetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), static_cast<DWORD>(saved_));
}

}  // namespace platform
