// Outside text (a certificate's name, a header's value, libcurl's messages)
// made safe to print as part of one line on a terminal or in a log.
#pragma once
#include <string>
#include <string_view>

namespace platform {

// The text unchanged except for what could break the line, move the cursor
// or reorder what a reader sees: CR and LF become "\r" and "\n", every other
// control byte (TAB is kept), DEL, and each byte that does not belong to
// well-formed UTF-8 become "\xHH"; the C1 controls (U+0080..U+009F) and the
// bidirectional embeddings, overrides and isolates (U+202A..U+202E,
// U+2066..U+2069) become "\uHHHH". Hex digits are upper-case. A backslash is
// kept as it is, so the form is for reading, not for decoding.
std::string escape_line(std::string_view text);

}  // namespace platform
