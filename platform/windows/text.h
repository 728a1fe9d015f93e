// UTF-8 <-> UTF-16 and error texts for the Windows files. Kept free of
// <windows.h>: the interface headers declare names its macros would clash with.
#pragma once
#include <string>
#include <string_view>

namespace platform::windows {

// false when text is not valid UTF-8 (a path must not silently change).
bool wide_of(std::string_view text, std::wstring& out);
// Unpaired surrogates become U+FFFD.
std::string utf8_of(std::wstring_view text);
// The system's message for a Win32 error code, one line.
std::string system_message(unsigned long code);

}  // namespace platform::windows
