#include "platform/format.h"
#include "platform/wipe.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "platform/codec.h"

namespace platform {
namespace {

// Formatted texts may carry secrets (a proxy password goes through
// asprintf): every buffer is wiped before it is given back.
template <typename T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() = default;
  template <typename U>
  WipingAllocator(const WipingAllocator<U>&) {}
  T* allocate(size_t n) { return std::allocator<T>{}.allocate(n); }
  void deallocate(T* p, size_t n) {
    wipe(p, n * sizeof(T));
    std::allocator<T>{}.deallocate(p, n);
  }
  bool operator==(const WipingAllocator&) const { return true; }
};

class Text : public std::basic_string<char, std::char_traits<char>, WipingAllocator<char>> {
 public:
  using basic_string::basic_string;
  Text(const basic_string& other) : basic_string(other) {}
  Text(basic_string&& other) : basic_string(std::move(other)) {}
  Text(const Text&) = default;
  Text(Text&&) = default;
  Text& operator=(const Text&) = default;
  Text& operator=(Text&&) = default;
  // The short-text buffer lives inside the object and is never deallocated.
  ~Text() { wipe(data(), capacity()); }
};

Text narrow_of(const char16_t* w) {
  Text out;
  if (!w) return "(null)";
  if (!*w) return out;
  int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0);
  if (n <= 0) return out;
  out.resize(static_cast<size_t>(n));
  WideCharToMultiByte(CP_UTF8, 0, w, -1, out.data(), n);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

Text narrow_of_char(char32_t c) {
  char16_t w[3] = {0, 0, 0};
  if (c >= 0x10000 && c <= 0x10FFFF) {
    w[0] = static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
    w[1] = static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
  } else {
    w[0] = static_cast<char16_t>(c);
  }
  return narrow_of(w);
}

enum class Len { none, hh, h, l, ll, j, z, t, L, w, i64, i32 };

template <typename... A>
bool append(Text& out, const std::string& spec, A... args) {
  int n = std::snprintf(nullptr, 0, spec.c_str(), args...);
  if (n < 0) return false;
  size_t at = out.size();
  out.resize(at + static_cast<size_t>(n) + 1);
  std::snprintf(out.data() + at, static_cast<size_t>(n) + 1, spec.c_str(), args...);
  out.resize(at + static_cast<size_t>(n));
  return true;
}

// Formats one text argument with the conversion's flags, width and precision.
// Texts are placed by hand, never through the C library: its formatter
// stages a text in an unwiped buffer on its own stack, and a text here may
// be a secret.
bool append_text(Text& out, const std::string& flags, int width, bool has_width,
                 int precision, bool has_precision, const Text& text) {
  // The text's own length: a "%c" of NUL is one character, as in C.
  size_t length = text.size();
  if (has_precision && static_cast<size_t>(precision) < length) length = static_cast<size_t>(precision);
  size_t pad = has_width && static_cast<size_t>(width) > length ? static_cast<size_t>(width) - length : 0;
  bool left = flags.find('-') != std::string::npos;
  if (!left) out.append(pad, ' ');
  out.append(text.data(), length);
  if (left) out.append(pad, ' ');
  return true;
}

// One formatter for both widths; Ch is the format's character type.
template <typename Ch>
bool format_into(Text& out, const Ch* fmt, va_list ap) {
  constexpr bool wide_fmt = sizeof(Ch) == 2;
  if (!fmt) return false;
  // The format text itself is processed as UTF-8.
  Text f;
  if constexpr (wide_fmt) {
    f = narrow_of(reinterpret_cast<const char16_t*>(fmt));
  } else {
    f = reinterpret_cast<const char*>(fmt);
  }
  const char* p = f.c_str();
  while (*p) {
    if (*p != '%') {
      out.push_back(*p++);
      continue;
    }
    ++p;
    if (*p == '%') {
      out.push_back('%');
      ++p;
      continue;
    }
    std::string flags;
    while (*p && std::strchr("-+ #0'", *p)) flags.push_back(*p++);
    bool has_width = false, has_precision = false;
    int width = 0, precision = 0;
    if (*p == '*') {
      has_width = true;
      width = va_arg(ap, int);
      ++p;
    } else if (*p >= '0' && *p <= '9') {
      has_width = true;
      while (*p >= '0' && *p <= '9') {
        if (width > 100000) return false;
        width = width * 10 + (*p++ - '0');
      }
    }
    if (*p == '.') {
      ++p;
      has_precision = true;
      if (*p == '*') {
        precision = va_arg(ap, int);
        ++p;
      } else {
        while (*p >= '0' && *p <= '9') {
          if (precision > 100000) return false;
          precision = precision * 10 + (*p++ - '0');
        }
      }
    }
    Len len = Len::none;
    if (p[0] == 'h' && p[1] == 'h') len = Len::hh, p += 2;
    else if (p[0] == 'h') len = Len::h, ++p;
    else if (p[0] == 'l' && p[1] == 'l') len = Len::ll, p += 2;
    else if (p[0] == 'l') len = Len::l, ++p;
    else if (p[0] == 'q') len = Len::ll, ++p;
    else if (p[0] == 'j') len = Len::j, ++p;
    else if (p[0] == 'z') len = Len::z, ++p;
    else if (p[0] == 't') len = Len::t, ++p;
    else if (p[0] == 'L') len = Len::L, ++p;
    else if (p[0] == 'w') len = Len::w, ++p;
    else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') len = Len::i64, p += 3;
    else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') len = Len::i32, p += 3;
    else if (p[0] == 'I') len = Len::z, ++p;
    char conv = *p;
    if (!conv) return false;
    ++p;

    // Spec for one numeric argument with every '*' already resolved.
    auto num_spec = [&](const char* length) {
      std::string s = "%" + flags;
      if (has_width) s += std::to_string(width);
      if (has_precision) s += "." + std::to_string(precision < 0 ? 0 : precision);
      s += length;
      s.push_back(conv);
      return s;
    };
    // A negative precision from '*' means none, as in C.
    if (has_precision && precision < 0) has_precision = false;
    if (has_width && width < 0) {
      flags.push_back('-');
      width = -width;
    }

    bool ok = true;
    switch (conv) {
      case 'd':
      case 'i': {
        switch (len) {
          case Len::l: ok = append(out, num_spec("l"), va_arg(ap, long)); break;
          case Len::ll: ok = append(out, num_spec("ll"), va_arg(ap, long long)); break;
          case Len::i64: ok = append(out, num_spec("ll"), static_cast<long long>(va_arg(ap, int64_t))); break;
          case Len::j: ok = append(out, num_spec("j"), va_arg(ap, intmax_t)); break;
          case Len::z: ok = append(out, num_spec("z"), static_cast<ptrdiff_t>(va_arg(ap, size_t))); break;
          case Len::t: ok = append(out, num_spec("t"), va_arg(ap, ptrdiff_t)); break;
          case Len::hh: ok = append(out, num_spec("hh"), va_arg(ap, int)); break;
          case Len::h: ok = append(out, num_spec("h"), va_arg(ap, int)); break;
          default: ok = append(out, num_spec(""), va_arg(ap, int)); break;
        }
        break;
      }
      case 'u':
      case 'o':
      case 'x':
      case 'X': {
        switch (len) {
          case Len::l: ok = append(out, num_spec("l"), va_arg(ap, unsigned long)); break;
          case Len::ll: ok = append(out, num_spec("ll"), va_arg(ap, unsigned long long)); break;
          case Len::i64: ok = append(out, num_spec("ll"), static_cast<unsigned long long>(va_arg(ap, uint64_t))); break;
          case Len::j: ok = append(out, num_spec("j"), va_arg(ap, uintmax_t)); break;
          case Len::z: ok = append(out, num_spec("z"), va_arg(ap, size_t)); break;
          case Len::t: ok = append(out, num_spec("t"), va_arg(ap, ptrdiff_t)); break;
          case Len::hh: ok = append(out, num_spec("hh"), va_arg(ap, unsigned int)); break;
          case Len::h: ok = append(out, num_spec("h"), va_arg(ap, unsigned int)); break;
          default: ok = append(out, num_spec(""), va_arg(ap, unsigned int)); break;
        }
        break;
      }
      case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A':
        if (len == Len::L) ok = append(out, num_spec("L"), va_arg(ap, long double));
        else ok = append(out, num_spec(""), va_arg(ap, double));
        break;
      case 'p': {
        // Windows form: sixteen upper-case hex digits, no "0x" (callers write their own).
        auto value = static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(ap, void*)));
        char digits[17];
        std::snprintf(digits, sizeof(digits), "%016llX", value);
        ok = append_text(out, flags, width, has_width, 0, false, digits);
        break;
      }
      case 'c':
      case 'C': {
        // Wide unless asked narrow: %lc/%wc/%C in a narrow format, %c/%lc in a wide one.
        bool wide_arg = conv == 'C' ? !wide_fmt : (len == Len::l || len == Len::w || (wide_fmt && len != Len::h));
        int c = va_arg(ap, int);
        Text text = wide_arg ? narrow_of_char(static_cast<char32_t>(c & 0xFFFF))
                             : Text(1, static_cast<char>(c));
        ok = append_text(out, flags, width, has_width, 0, false, text);
        break;
      }
      case 's':
      case 'S': {
        bool wide_arg = conv == 'S' ? !wide_fmt : (len == Len::l || len == Len::w || (wide_fmt && len != Len::h));
        Text text;
        if (wide_arg) {
          text = narrow_of(va_arg(ap, const char16_t*));
        } else {
          const char* s = va_arg(ap, const char*);
          text = s ? s : "(null)";
        }
        ok = append_text(out, flags, width, has_width, precision, has_precision, text);
        break;
      }
      case 'n':
        // Writing through an argument pointer is never wanted from a log format.
        (void)va_arg(ap, void*);
        break;
      default:
        return false;
    }
    if (!ok) return false;
  }
  return true;
}

int finish(const Text& text, bool ok, char* buf, size_t size) {
  if (buf && size > 0) {
    size_t n = ok ? (text.size() < size ? text.size() : size - 1) : 0;
    std::memcpy(buf, text.data(), n);
    buf[n] = '\0';
  }
  if (!ok || text.size() > static_cast<size_t>(INT32_MAX)) return -1;
  return static_cast<int>(text.size());
}

template <typename Ch>
bool format_copy(Text& out, const Ch* fmt, va_list ap) {
  va_list copy;
  va_copy(copy, ap);
  bool ok = format_into(out, fmt, copy);
  va_end(copy);
  return ok;
}

}  // namespace

bool vformat_string(std::string& out, const char* fmt, va_list ap) {
  Text text;
  bool ok = format_copy(text, fmt, ap);
  out.assign(text.data(), text.size());
  return ok;
}

bool vformat_wide_string(std::string& out, const char16_t* fmt, va_list ap) {
  Text text;
  bool ok = format_copy(text, fmt, ap);
  out.assign(text.data(), text.size());
  return ok;
}

int vformat(char* buf, size_t size, const char* fmt, va_list ap) {
  Text text;
  bool ok = format_copy(text, fmt, ap);
  return finish(text, ok, buf, size);
}

int vformat_wide(char* buf, size_t size, const char16_t* fmt, va_list ap) {
  Text text;
  bool ok = format_copy(text, fmt, ap);
  return finish(text, ok, buf, size);
}

int format(char* buf, size_t size, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vformat(buf, size, fmt, ap);
  va_end(ap);
  return n;
}

}  // namespace platform
