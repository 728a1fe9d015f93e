// Case-blind comparison of protocol texts (schemes, host names, header
// words): ASCII letters only, whatever the C library's locale.
#pragma once
#include <string_view>

namespace platform {

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b);
bool starts_with_ignoring_ascii_case(std::string_view text, std::string_view prefix);

}  // namespace platform
