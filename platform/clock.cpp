#include "platform/clock.h"

#include <ctime>

namespace platform {

namespace {
// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDifference = 11644473600LL;
}  // namespace

int64_t GetSystemTimeAsFileTime() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  return (static_cast<int64_t>(now.tv_sec) + kEpochDifference) * 10000000LL + now.tv_nsec / 100;
}

}  // namespace platform
