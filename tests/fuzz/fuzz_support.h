// Shared pieces of the fuzz targets: a failed check that aborts (a crash to
// libFuzzer and to the replay program alike), a reader over the input, and a
// strict UTF-8 decoder of our own to judge the production conversions by.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#define FUZZ_CHECK(condition)                                                             \
  do {                                                                                    \
    if (!(condition)) fuzz::fail(__FILE__, __LINE__, #condition);                         \
  } while (0)

namespace fuzz {

[[noreturn]] inline void fail(const char* file, int line, const char* condition) {
  std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
  std::abort();
}

// Takes values off the front of the input; an exhausted input reads as zeros,
// so every input is a valid program.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return at_ >= size_; }
  size_t remaining() const { return size_ - at_; }

  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  bool flag() { return byte() & 1; }
  uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
  uint32_t u32() { return u16() | static_cast<uint32_t>(u16()) << 16; }
  uint64_t u64() { return u32() | static_cast<uint64_t>(u32()) << 32; }
  // A value in [0, bound), bound > 0.
  uint32_t below(uint32_t bound) { return (bound <= 256 ? byte() : u32()) % bound; }

  // Up to n bytes, fewer at the end of the input.
  std::string bytes(size_t n) {
    n = n < remaining() ? n : remaining();
    std::string out(reinterpret_cast<const char*>(data_ + at_), n);
    at_ += n;
    return out;
  }
  std::string rest() { return bytes(remaining()); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// The text up to its first NUL, as a C string function would see it.
inline std::string c_text(std::string s) {
  size_t nul = s.find('\0');
  if (nul != std::string::npos) s.resize(nul);
  return s;
}

// UTF-16 of the code points of a well-formed UTF-8 text; nothing when the text
// is ill-formed (overlong forms, surrogates, values above U+10FFFF, cut
// sequences and stray continuation bytes all are).
inline std::optional<std::u16string> utf16_of_utf8(std::string_view text) {
  std::u16string out;
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<uint8_t>(text[i]);
    size_t extra = 0;
    char32_t c = 0;
    char32_t least = 0;
    if (lead < 0x80) {
      c = lead;
    } else if (lead >= 0xC0 && lead < 0xE0) {
      extra = 1, c = lead & 0x1Fu, least = 0x80;
    } else if (lead >= 0xE0 && lead < 0xF0) {
      extra = 2, c = lead & 0x0Fu, least = 0x800;
    } else if (lead >= 0xF0 && lead < 0xF8) {
      extra = 3, c = lead & 0x07u, least = 0x10000;
    } else {
      return std::nullopt;
    }
    if (text.size() - i <= extra) return std::nullopt;
    for (size_t k = 1; k <= extra; ++k) {
      const auto next = static_cast<uint8_t>(text[i + k]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      c = c << 6 | (next & 0x3Fu);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
    if (c >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
    i += extra + 1;
  }
  return out;
}

// UTF-8 of a UTF-16 text, each unpaired surrogate as U+FFFD.
inline std::string utf8_of_utf16(std::u16string_view text) {
  std::string out;
  auto put = [&out](char32_t c) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | c >> 6));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | c >> 12));
      out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | c >> 18));
      out.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      put(0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      put(0xFFFD);
    } else {
      put(u);
    }
  }
  return out;
}

}  // namespace fuzz
