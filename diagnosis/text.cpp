#include "diagnosis/text.h"

#include <cstdarg>
#include <cstdio>

#include "platform/clock.h"

std::string text(const char* fmt, ...) {
  char line[1024];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(line, sizeof(line), fmt, args);
  va_end(args);
  return line;
}

std::string utc_text(std::time_t when) {
  std::tm parts{};
  platform::utc_parts(when, parts);
  char out[32];
  std::strftime(out, sizeof(out), "%Y-%m-%d %H:%M:%S UTC", &parts);
  return out;
}

std::string duration_text(long long seconds) {
  if (seconds >= 3600) return text("%lld h %lld min", seconds / 3600, (seconds % 3600) / 60);
  if (seconds >= 60) return text("%lld min %lld s", seconds / 60, seconds % 60);
  return text("%lld s", seconds);
}

std::string seconds_text(int64_t us) { return text("%.1f s", static_cast<double>(us) / 1e6); }
