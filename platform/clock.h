// The Windows system time: 100-nanosecond intervals since 1601-01-01 UTC.
#pragma once
#include <cstdint>
#include <string>

namespace platform {

int64_t GetSystemTimeAsFileTime();

// Now in UTC, ISO 8601 to the millisecond: "2026-12-11T01:02:03.456Z".
std::string utc_timestamp();

}  // namespace platform
