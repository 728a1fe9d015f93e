// Bounded formatting for the words of hints, and the few forms they share.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>
#include "platform/format.h"

// printf into at most 1023 bytes; a longer text is cut.
std::string text(const char* fmt, ...) PLATFORM_PRINTF(1, 2);
// "2026-12-11 14:40:00 UTC".
std::string utc_text(std::time_t when);
// "2 h 30 min", "6 min 40 s", "12 s".
std::string duration_text(long long seconds);
// "1.5 s" from microseconds.
std::string seconds_text(int64_t us);
