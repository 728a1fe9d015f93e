#include "pathvane/request.h"
#include "velta_client/src/common/zel_log.h"

namespace {
constexpr int kSlot = 0;
}

int pathvane_health_check(pathvane_handle* handle) {
  if (!handle) return OUTCOME_NULL_ARGS;
  const pathvane_settings& s = handle->settings;
  if (!s.health_url[0]) return OUTCOME_NOT_RUN;
  check_result& result = handle->results[kSlot];
  int rc = _proxy_http_request(handle->curl, s.health_url, s.velta.user_agent, s.velta.ssl_flags, &s.proxy,
                               trust_context_of(s.velta), &result, nullptr);
  const int32_t status = result.http_status;
  if (status == 200 || status == 301 || status == 302) {
    result.outcome = OUTCOME_PASS;
    if (rc == 0) return OUTCOME_PASS;
  } else {
    zel_error("Connectivity test failed for URL '%s' (HTTP code: %ld)", s.health_url, static_cast<long>(status));
  }
  result.outcome = outcome_from_transfer(result.curl_code, result.http_status);
  return static_cast<int>(result.outcome);
}
