// A server's Date header far from the local clock, told once a run: a
// wrong clock makes certificates look expired or not yet valid.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diagnosis/decide.h"
#include "platform/clock.h"

namespace {

// "Sun, 06 Nov 1994 08:49:37 GMT"; false for anything else.
bool parse_http_date(const char* value, std::time_t* when) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char month[4] = {};
  std::tm parts{};
  if (std::sscanf(value, "%*3s, %d %3s %d %d:%d:%d GMT", &parts.tm_mday, month, &parts.tm_year, &parts.tm_hour,
                  &parts.tm_min, &parts.tm_sec) != 6) {
    return false;
  }
  parts.tm_mon = -1;
  for (int i = 0; i < 12; ++i) {
    if (std::strcmp(month, kMonths[i]) == 0) parts.tm_mon = i;
  }
  if (parts.tm_mon < 0) return false;
  parts.tm_year -= 1900;
  return platform::utc_seconds(parts, *when);
}

}  // namespace

void decide_clock(const CheckRecord& record, DiagnosisContext& context, Causes& out) {
  if (context.skew_told) return;
  for (const auto& t : record.transfers) {
    std::time_t date = 0;
    if (!t.server_date[0] || !parse_http_date(t.server_date, &date)) continue;
    const long long apart = static_cast<long long>(context.now) - static_cast<long long>(date);
    if (std::llabs(apart) <= kClockSkewSeconds) continue;
    const std::string host = t.host[0] ? t.host : "the server";
    out.push_back({"clock.skew",
                   host,
                   {{"host", host},
                    {"server_date", std::string(t.server_date, strnlen(t.server_date, sizeof(t.server_date)))},
                    {"local_clock", context.now},
                    {"ahead_s", apart}}});
    context.skew_told = true;
    return;
  }
}
