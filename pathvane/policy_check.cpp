#include "pathvane/cloud_status.h"
#include "velta_client/src/velta_client.h"

namespace {

constexpr int kSlot = 8;
// The cloud asks for a company policy by its serial with this bit set.
constexpr uint32_t kCompanyPolicyBit = 0x40000000u;

// The policy download's own outcome table: unlike the plain checks', codes
// 35 and 47 are not singled out and of the statuses below 500 only 403 is.
uint32_t policy_outcome(int32_t curl_code, int32_t http_status) {
  switch (curl_code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
      return OUTCOME_UNRESOLVED_HOST;
    case CURLE_COULDNT_CONNECT:
      return OUTCOME_COULDNT_CONNECT;
    case CURLE_SSL_CERTPROBLEM:
      return OUTCOME_SSL_ERROR;
    case CURLE_PEER_FAILED_VERIFICATION:
      return OUTCOME_UNKNOWN_CA;
    default:
      break;
  }
  if (http_status == 403) return OUTCOME_CONNECTION_REFUSED;
  if (http_status >= 500) return OUTCOME_SERVER_ERROR;
  return OUTCOME_FAILED;
}

int _policy_download_check(pathvane_handle* handle, const char* url) {
  check_result& slot = handle->results[kSlot];
  if (!url || !url[0]) {
    slot.outcome = OUTCOME_NOT_RUN;
    return OUTCOME_NOT_RUN;
  }
  slot.http_status = 0;
  const pathvane_settings& s = handle->settings;
  const char* path = s.policy_file_name[0] ? s.policy_file_name : "test-policy.xml";
  const zel_trust_context tls{s.velta.trust_cert, s.velta.trust_callback};
  zel_transfer_status status{};
  int rc = zel_velta_fetch_policy(url, s.policy_serial | kCompanyPolicyBit, path, s.velta.user_agent, &s.proxy,
                                  s.velta.ssl_flags, &tls, &status);
  copy_cloud_status(status, slot);
  slot.outcome = rc == ZEL_OK ? OUTCOME_PASS : policy_outcome(slot.curl_code, slot.http_status);
  return static_cast<int>(slot.outcome);
}

}  // namespace

int pathvane_policy_check(pathvane_handle* handle) {
  if (!handle) return OUTCOME_NULL_ARGS;
  return _policy_download_check(handle, handle->settings.policy_company_url);
}
