// The UTF-8/UTF-16 conversions and the URL encoders. The input is read both as
// UTF-8 and as UTF-16 (little-endian pairs). Well-formed text round-trips;
// ill-formed UTF-8 fails and leaves the output alone; unpaired surrogates
// become U+FFFD. The URL encoders write only ASCII letters, digits and %XX
// (upper-case), and decoding that gives back the text's UTF-8 bytes.
#include <cstdint>
#include <string>

#include "shared_agent/util/text_encoding.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_alnum(unsigned char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The bytes of a URL-encoded text; fails the run on anything but the
// encoder's own alphabet, or %XX standing for a letter or digit.
std::string url_decode(const std::string& encoded) {
  std::string bytes;
  for (size_t i = 0; i < encoded.size(); ++i) {
    const auto c = static_cast<unsigned char>(encoded[i]);
    if (is_alnum(c)) {
      bytes.push_back(static_cast<char>(c));
      continue;
    }
    FUZZ_CHECK(c == '%' && i + 2 < encoded.size());
    const int high = hex_value(encoded[i + 1]);
    const int low = hex_value(encoded[i + 2]);
    FUZZ_CHECK(high >= 0 && low >= 0);
    const auto byte = static_cast<unsigned char>(high << 4 | low);
    FUZZ_CHECK(!is_alnum(byte));
    bytes.push_back(static_cast<char>(byte));
    i += 2;
  }
  return bytes;
}

void check_url_encoders(const std::u16string& wide) {
  const std::string utf8 = fuzz::utf8_of_utf16(wide);
  std::string encoded;
  FUZZ_CHECK(UrlEncode(wide, encoded) == S_OK);
  FUZZ_CHECK(url_decode(encoded) == utf8);
  std::u16string encoded_wide;
  FUZZ_CHECK(UrlEncodeW(wide, encoded_wide) == S_OK);
  FUZZ_CHECK(encoded_wide == std::u16string(encoded.begin(), encoded.end()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  // As UTF-8, up to the first NUL.
  const std::string text = fuzz::c_text(bytes);
  const auto expected_wide = fuzz::utf16_of_utf8(text);
  const std::u16string untouched = u"untouched";
  std::u16string wide = untouched;
  const HRESULT hr = Utf8ToWide(bytes, wide);
  if (expected_wide) {
    FUZZ_CHECK(hr == S_OK && wide == *expected_wide);
    std::string back = "untouched";
    FUZZ_CHECK(WideToUtf8(wide, back) == S_OK && back == text);
    check_url_encoders(wide);
  } else {
    FUZZ_CHECK(hr == E_INVALIDARG && wide == untouched);
  }

  // As UTF-16, up to the first NUL unit.
  std::u16string units;
  for (size_t i = 0; i + 1 < size; i += 2) units.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  const std::u16string cut = units.substr(0, units.find(u'\0'));
  const std::string expected_utf8 = fuzz::utf8_of_utf16(cut);
  std::string utf8 = "untouched";
  FUZZ_CHECK(WideToUtf8(units, utf8) == S_OK && utf8 == expected_utf8);
  std::u16string again = untouched;
  FUZZ_CHECK(Utf8ToWide(utf8, again) == S_OK);
  // The same units, but each unpaired surrogate is now U+FFFD.
  FUZZ_CHECK(again.size() == cut.size());
  for (size_t i = 0; i < cut.size(); ++i) FUZZ_CHECK(again[i] == cut[i] || again[i] == u'\uFFFD');
  FUZZ_CHECK(fuzz::utf8_of_utf16(again) == expected_utf8);
  check_url_encoders(cut);
  return 0;
}
