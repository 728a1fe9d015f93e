#include "platform/line_escape.h"

#include <cstddef>

namespace platform {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

// The length of the well-formed UTF-8 sequence at text[at] and its code
// point; 0 when none starts there (overlong forms, surrogates, values past
// U+10FFFF and cut sequences are none).
size_t sequence_at(std::string_view text, size_t at, char32_t& code) {
  const auto lead = static_cast<unsigned char>(text[at]);
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0Fu;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07u;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - at < length) return 0;
  for (size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[at + i]);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return 0;
    code = code << 6 | (next & 0x3Fu);
  }
  return length;
}

bool hidden_control(char32_t code) {
  return (code >= 0x80 && code <= 0x9F) || (code >= 0x202A && code <= 0x202E) || (code >= 0x2066 && code <= 0x2069);
}

bool plain_ascii(unsigned char byte) { return (byte >= 0x20 && byte < 0x7F) || byte == '\t'; }

}  // namespace

std::string escape_line(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t at = 0;
  while (at < text.size()) {
    size_t run = at;
    while (run < text.size() && plain_ascii(static_cast<unsigned char>(text[run]))) ++run;
    out.append(text, at, run - at);
    at = run;
    if (at == text.size()) break;
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte == '\r' || byte == '\n') {
      out += byte == '\r' ? "\\r" : "\\n";
      ++at;
      continue;
    }
    char32_t code = 0;
    const size_t length = byte >= 0x80 ? sequence_at(text, at, code) : 0;
    if (length == 0) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
      ++at;
    } else if (hidden_control(code)) {
      out += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(code >> shift) & 0xF];
      at += length;
    } else {
      out.append(text, at, length);
      at += length;
    }
  }
  return out;
}

}  // namespace platform
