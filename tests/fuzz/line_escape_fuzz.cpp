// The line escaping, judged by rules of its own rather than by its code:
// what comes out is well-formed UTF-8 without a control character (TAB
// aside), a C1 control or a bidirectional control; each escape in it stands
// for a byte or character that had to be escaped, and undoing the escapes
// gives the input back. A backslash is never escaped, so the input is judged
// in the pieces between its backslashes, each of which must escape alone as
// it does inside the whole.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/line_escape.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

bool bidi_control(char32_t c) { return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069); }
bool c1_control(char32_t c) { return c >= 0x80 && c <= 0x9F; }

// What may never reach a line as it is.
bool must_be_escaped(char32_t c) { return (c < 0x20 && c != '\t') || c == 0x7F || c1_control(c) || bidi_control(c); }

// The code points of well-formed UTF-8; nothing when it is ill-formed.
std::optional<std::u32string> code_points(std::string_view text) {
  const auto units = fuzz::utf16_of_utf8(text);
  if (!units) return std::nullopt;
  std::u32string out;
  for (size_t i = 0; i < units->size(); ++i) {
    const char16_t u = (*units)[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units->size()) {
      out.push_back(0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + ((*units)[++i] - 0xDC00));
    } else {
      out.push_back(u);
    }
  }
  return out;
}

// Whether one well-formed UTF-8 character starts at text[at].
bool character_at(std::string_view text, size_t at) {
  for (size_t n = 2; n <= 4 && at + n <= text.size(); ++n) {
    const auto points = code_points(text.substr(at, n));
    if (points && points->size() == 1) return true;
  }
  return false;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// n upper-case hex digits at text[at]; the run fails on anything else.
uint32_t hex_at(std::string_view text, size_t at, size_t n) {
  FUZZ_CHECK(at + n <= text.size());
  uint32_t value = 0;
  for (size_t i = 0; i < n; ++i) {
    const int digit = hex_digit(text[at + i]);
    FUZZ_CHECK(digit >= 0);
    value = value << 4 | static_cast<uint32_t>(digit);
  }
  return value;
}

void put_utf8(std::string& out, char32_t c) {
  if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | c >> 6));
  } else {
    out.push_back(static_cast<char>(0xE0 | c >> 12));
    out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
  }
  out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
}

// One piece of input without a backslash and what the escaping made of it.
void judge_piece(std::string_view piece, std::string_view escaped) {
  std::string undone;
  std::vector<size_t> escaped_bytes;  // where in the piece a "\xHH" of a byte >= 0x80 stood
  for (size_t i = 0; i < escaped.size(); ++i) {
    if (escaped[i] != '\\') {
      undone.push_back(escaped[i]);
      continue;
    }
    FUZZ_CHECK(i + 1 < escaped.size());
    const char kind = escaped[++i];
    if (kind == 'r' || kind == 'n') {
      undone.push_back(kind == 'r' ? '\r' : '\n');
    } else if (kind == 'x') {
      const uint32_t byte = hex_at(escaped, i + 1, 2);
      i += 2;
      FUZZ_CHECK(byte != '\r' && byte != '\n' && byte != '\t');
      FUZZ_CHECK(byte < 0x20 || byte >= 0x7F);
      if (byte >= 0x80) escaped_bytes.push_back(undone.size());
      undone.push_back(static_cast<char>(byte));
    } else {
      FUZZ_CHECK(kind == 'u');
      const char32_t c = hex_at(escaped, i + 1, 4);
      i += 4;
      FUZZ_CHECK(c1_control(c) || bidi_control(c));
      put_utf8(undone, c);
    }
  }
  FUZZ_CHECK(undone == piece);
  // A byte is escaped alone only where no character starts.
  for (size_t at : escaped_bytes) FUZZ_CHECK(!character_at(piece, at));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string escaped = platform::escape_line(input);

  const auto points = code_points(escaped);
  FUZZ_CHECK(points.has_value());
  for (char32_t c : *points) FUZZ_CHECK(!must_be_escaped(c));

  const auto input_points = code_points(input);
  bool clean = input_points.has_value();
  for (size_t i = 0; clean && i < input_points->size(); ++i) clean = !must_be_escaped((*input_points)[i]);
  if (clean) FUZZ_CHECK(escaped == input);

  std::string joined;
  size_t start = 0;
  while (true) {
    const size_t end = std::min(input.find('\\', start), input.size());
    const std::string_view piece = input.substr(start, end - start);
    const std::string piece_escaped = platform::escape_line(piece);
    judge_piece(piece, piece_escaped);
    joined += piece_escaped;
    if (end == input.size()) break;
    joined += '\\';
    start = end + 1;
  }
  FUZZ_CHECK(joined == escaped);
  return 0;
}
