#include "platform/ascii_case.h"

namespace platform {
namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool starts_with_ignoring_ascii_case(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equal_ignoring_ascii_case(text.substr(0, prefix.size()), prefix);
}

}  // namespace platform
