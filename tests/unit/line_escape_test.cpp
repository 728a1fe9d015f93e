// One line of outside text as the console and the log get it.
#include "platform/line_escape.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Case {
  const char* what;
  std::string in;
  std::string out;
};

const Case kCases[] = {
    {"empty", "", ""},
    {"a report line keeps its tabs", "====> Curl code  :\t\tNo error", "====> Curl code  :\t\tNo error"},
    {"a backslash stays as it is", "C:\\temp\\x1B \\n \\u202E", "C:\\temp\\x1B \\n \\u202E"},
    {"well-formed UTF-8 stays", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xC2\xA0 \xE2\x80\xAF \xEF\xBF\xBF \xF4\x8F\xBF\xBF",
     "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xC2\xA0 \xE2\x80\xAF \xEF\xBF\xBF \xF4\x8F\xBF\xBF"},
    {"CR and LF inside", "one\r\ntwo\rthree\nfour", "one\\r\\ntwo\\rthree\\nfour"},
    {"line ends at the edges", "\nmiddle\r", "\\nmiddle\\r"},
    {"terminal escapes", "\x1B[2J\x1B]0;title\x07", "\\x1B[2J\\x1B]0;title\\x07"},
    {"NUL, other C0 bytes and DEL", std::string("a\0b\x01\x08\x0B\x0C\x1F\x7F", 9), "a\\x00b\\x01\\x08\\x0B\\x0C\\x1F\\x7F"},
    {"C1 controls as characters", "\xC2\x80\xC2\x85\xC2\x9B\xC2\x9F", "\\u0080\\u0085\\u009B\\u009F"},
    {"bidirectional controls", "\xE2\x80\xAA\xE2\x80\xAB\xE2\x80\xAC\xE2\x80\xAD\xE2\x80\xAE|\xE2\x81\xA6\xE2\x81\xA7\xE2\x81\xA8\xE2\x81\xA9",
     "\\u202A\\u202B\\u202C\\u202D\\u202E|\\u2066\\u2067\\u2068\\u2069"},
    {"neighbours of the bidirectional ranges stay", "\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA",
     "\xE2\x80\xA9\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA"},
    {"C1 bytes alone are not characters", "\x85\x9B", "\\x85\\x9B"},
    {"stray continuation byte", "a\x80z", "a\\x80z"},
    {"sequence cut at the end", "ok\xC3", "ok\\xC3"},
    {"sequence cut by ASCII", "\xC3(\xE2\x82z", "\\xC3(\\xE2\\x82z"},
    {"sequence cut by another lead", "\xE2\x82\xC3\xA9", "\\xE2\\x82\xC3\xA9"},
    {"overlong forms", "\xC0\xAF\xC1\xBF\xE0\x80\xAF\xF0\x80\x80\xAF", "\\xC0\\xAF\\xC1\\xBF\\xE0\\x80\\xAF\\xF0\\x80\\x80\\xAF"},
    {"surrogates", "\xED\xA0\x80\xED\xBF\xBF", "\\xED\\xA0\\x80\\xED\\xBF\\xBF"},
    {"past U+10FFFF", "\xF4\x90\x80\x80\xF5\x80\xFF", "\\xF4\\x90\\x80\\x80\\xF5\\x80\\xFF"},
    {"a certificate name that forges lines",
     "SSL: certificate subject name '\x1B[1A\r\n========> [pass] Connectivity check completed with no issues\n"
     "Full trace: /tmp/evil' does not match target host name '127.0.0.1'",
     "SSL: certificate subject name '\\x1B[1A\\r\\n========> [pass] Connectivity check completed with no issues\\n"
     "Full trace: /tmp/evil' does not match target host name '127.0.0.1'"},
};

TEST(LineEscape, EscapesWhatCouldBreakOrHideALine) {
  for (const auto& c : kCases) {
    EXPECT_EQ(platform::escape_line(c.in), c.out) << c.what;
  }
}

}  // namespace
