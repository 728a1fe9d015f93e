// The Windows system time: 100-nanosecond intervals since 1601-01-01 UTC.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>

namespace platform {

int64_t GetSystemTimeAsFileTime();

// Now in UTC, ISO 8601 to the millisecond: "2026-12-11T01:02:03.456Z".
std::string utc_timestamp();

// Seconds since 1970 as a UTC calendar time, and back. False when the
// time is out of the system's range.
bool utc_parts(std::time_t when, std::tm& parts);
bool utc_seconds(const std::tm& parts, std::time_t& when);

}  // namespace platform
