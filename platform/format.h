// printf-style formatting that also knows the Windows string forms.
// In a narrow format "%ws", "%ls" and "%S" take a UTF-16 text; in a wide
// format "%s" takes a UTF-16 text and "%hs"/"%S" a narrow one. Output is UTF-8.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <string>

namespace platform {

// Formats into buf (at most size bytes, always NUL-terminated when size > 0).
// Returns the full length the text needs (without NUL), or -1 for a bad format.
// buf may be null with size 0 to measure, like _vscprintf.
int vformat(char* buf, size_t size, const char* fmt, va_list ap);
int vformat_wide(char* buf, size_t size, const char16_t* fmt, va_list ap);

// Bounded formatting into a fixed field: a long text is cut at the field's end.
// printf-style checking of a format at argument f, its values from a: the
// GNU conversions (%zu, %lld) everywhere, which mingw's default (Microsoft)
// checking would refuse although the formatter and mingw's stdio take them.
#ifdef _WIN32
#define PLATFORM_PRINTF(f, a) __attribute__((format(gnu_printf, f, a)))
#else
#define PLATFORM_PRINTF(f, a) __attribute__((format(printf, f, a)))
#endif

int format(char* buf, size_t size, const char* fmt, ...) PLATFORM_PRINTF(3, 4);

// Convenience: formats into a string; false on a bad format.
bool vformat_string(std::string& out, const char* fmt, va_list ap);
bool vformat_wide_string(std::string& out, const char16_t* fmt, va_list ap);

}  // namespace platform
