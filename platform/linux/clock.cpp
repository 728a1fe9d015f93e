#include "platform/clock.h"

#include <cerrno>
#include <cstdio>
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

std::string utc_timestamp() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm parts{};
  gmtime_r(&now.tv_sec, &parts);
  char stamp[96];
  std::snprintf(stamp, sizeof(stamp), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900, parts.tm_mon + 1,
                parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, static_cast<int>(now.tv_nsec / 1000000));
  return stamp;
}

bool utc_parts(std::time_t when, std::tm& parts) { return gmtime_r(&when, &parts) != nullptr; }

bool utc_seconds(const std::tm& parts, std::time_t& when) {
  std::tm copy = parts;
  errno = 0;
  when = timegm(&copy);
  return !(when == static_cast<std::time_t>(-1) && errno == EOVERFLOW);
}

}  // namespace platform
