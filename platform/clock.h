// The Windows system time: 100-nanosecond intervals since 1601-01-01 UTC.
#pragma once
#include <cstdint>

namespace platform {

int64_t GetSystemTimeAsFileTime();

}  // namespace platform
