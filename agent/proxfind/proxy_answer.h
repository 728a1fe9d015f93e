// One proxy answer ("http://user:pw@host:port", as libproxy gives them) as a
// discovered record.
#pragma once
#include <string_view>

#include "agent/proxfind/proxy_finder.h"

// false for "direct://", a scheme that names no proxy type, or an answer
// without a usable host or port; record is then unchanged.
bool parse_proxy_answer(std::string_view answer, DiscoveredProxy& record);

// out = the UTF-16 form of a UTF-8 text (bad sequences become U+FFFD),
// converted in place; what out held before is wiped.
void assign_wide(std::u16string& out, std::string_view text);

