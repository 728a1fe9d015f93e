#include "platform/clock.h"

#include <windows.h>

#include <cstdio>
#include <ctime>

namespace platform {

int64_t GetSystemTimeAsFileTime() {
  FILETIME now{};
  ::GetSystemTimeAsFileTime(&now);
  return static_cast<int64_t>((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}

std::string utc_timestamp() {
  SYSTEMTIME now{};
  ::GetSystemTime(&now);
  char stamp[96];
  std::snprintf(stamp, sizeof(stamp), "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", now.wYear, now.wMonth, now.wDay,
                now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
  return stamp;
}

bool utc_parts(std::time_t when, std::tm& parts) {
  const __time64_t at = when;
  return ::_gmtime64_s(&parts, &at) == 0;
}

bool utc_seconds(const std::tm& parts, std::time_t& when) {
  std::tm copy = parts;
  const __time64_t at = ::_mkgmtime64(&copy);
  // The CRT has no time before 1970, so -1 is never a real answer.
  if (at == -1) return false;
  when = static_cast<std::time_t>(at);
  return true;
}

}  // namespace platform
