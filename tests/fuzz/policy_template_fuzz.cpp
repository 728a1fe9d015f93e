// Placeholder expansion against the obvious loop it replaces: search the
// whole text with the regular expression again after every replacement.
// Inputs are UTF-8 (readable seeds); a byte that starts no valid sequence
// becomes a lone surrogate, so those are covered too. The first byte picks
// a small field size so that the cut is exercised on short inputs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

// g++ 12 with the sanitizers reports std::function inside <regex> as maybe
// uninitialized (a false positive of its own headers).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#include "tool/template_expand.h"

namespace {

// libstdc++'s matcher recurses once a character: keep it off long inputs.
constexpr size_t kMaxInput = 400;

std::u16string decode(const uint8_t* data, size_t size) {
  std::u16string out;
  size_t i = 0;
  while (i < size) {
    uint8_t b = data[i];
    size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    char32_t c = n == 1 ? b : n == 2 ? b & 0x1F : n == 3 ? b & 0x0F : b & 0x07;
    bool valid = n != 0 && i + n <= size;
    for (size_t k = 1; valid && k < n; ++k) {
      valid = (data[i + k] & 0xC0) == 0x80;
      c = (c << 6) | (data[i + k] & 0x3F);
    }
    if (!valid || c > 0x10FFFF) {
      out.push_back(static_cast<char16_t>(0xDC00 + b));
      ++i;
      continue;
    }
    if (c >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
    i += n;
  }
  return out;
}

// wchar_t holds a whole code point, so "." sees characters, not units.
std::wstring utf32_of(const std::u16string& text) {
  std::wstring out;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    out.push_back(static_cast<wchar_t>(c));
  }
  return out;
}

std::u16string utf16_of(const std::wstring& text) {
  std::u16string out;
  for (wchar_t wc : text) {
    auto c = static_cast<char32_t>(wc);
    if (c >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

std::u16string regex_loop(const std::u16string& text, const PlaceholderValue& value_of) {
  const std::wregex placeholder(LR"(\[%set:(.*?)%\])", std::regex::ECMAScript);
  std::u16string out = text;
  std::wstring working = utf32_of(out);
  std::wsmatch match;
  while (std::regex_search(working, match, placeholder)) {
    std::u16string expanded = utf16_of(match.prefix().str());
    expanded += value_of(utf16_of(match[1].str()));
    expanded += utf16_of(match.suffix().str());
    out = expanded;
    working = utf32_of(out);
  }
  return out;
}

// What the text costs in UTF-8, a lone surrogate as three bytes.
size_t utf8_size(std::u16string_view text) {
  size_t bytes = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      bytes += 4;
      ++i;
    } else {
      bytes += c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
    }
  }
  return bytes;
}

// Values as URL encoding makes them, some of them pieces of "[%set:".
std::u16string value_for(std::u16string_view name) {
  static const char16_t* const kValues[] = {u"", u"s", u"se", u"set", u"A", u"%5B", u"%3A%5D", u"x%25"};
  size_t pick = name.size();
  for (char16_t c : name) pick += c;
  return kValues[pick % (sizeof(kValues) / sizeof(kValues[0]))];
}

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > kMaxInput) return 0;
  const size_t field = 1 + data[0] % 96;
  const std::u16string text = decode(data + 1, size - 1);

  std::vector<std::u16string> old_names;
  const std::u16string expected = regex_loop(text, [&](std::u16string_view name) {
    old_names.emplace_back(name);
    return value_for(name);
  });
  std::vector<std::u16string> new_names;
  std::u16string out;
  const bool fits = ExpandPlaceholders(text, [&](std::u16string_view name) {
    new_names.emplace_back(name);
    return value_for(name);
  }, field, out);

  // The same lookups in the same order, as far as the expansion went.
  check(new_names.size() <= old_names.size());
  for (size_t i = 0; i < new_names.size(); ++i) check(new_names[i] == old_names[i]);
  if (utf8_size(expected) < field) {
    check(fits && out == expected && new_names.size() == old_names.size());
  } else {
    // Cut just past the unit (or pair) that reached the field's size.
    check(!fits && expected.compare(0, out.size(), out) == 0);
    check(utf8_size(out) >= field);
    size_t last = out.size() >= 2 && out[out.size() - 1] >= 0xDC00 && out[out.size() - 1] <= 0xDFFF &&
                          out[out.size() - 2] >= 0xD800 && out[out.size() - 2] <= 0xDBFF
                      ? 2
                      : 1;
    check(utf8_size(std::u16string_view(out).substr(0, out.size() - last)) < field);
  }
  return 0;
}
