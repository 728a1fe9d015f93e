#include "pathvane/cloud_status.h"
#include "pathvane/request.h"
#include "velta_client/src/common/zel_log.h"
#include "velta_client/src/velta_client.h"

namespace {
constexpr int kSlot = 10;
}  // namespace

int pathvane_updater_host_check(pathvane_handle* handle) {
  if (!handle) return OUTCOME_NULL_ARGS;
  const pathvane_settings& s = handle->settings;
  check_result& slot = handle->results[kSlot];
  if (!s.updater_url[0]) {
    zel_trace(-1, "%s(): updater URL not present, no pending update", "pathvane_updater_host_check");
    slot.outcome = OUTCOME_NOT_RUN;
    return OUTCOME_NOT_RUN;
  }
  zel_updater_handle* request = zel_updater_handle_create(s.velta.user_agent, &s.proxy, s.velta.ssl_flags);
  if (!request) {
    slot.outcome = OUTCOME_NO_MEM;
    return OUTCOME_NO_MEM;
  }
  char seed[ZEL_UPDATER_SEED_SIZE] = {};
  // The shared transfer handle keeps the trust context's address after the request.
  int rc = get_updater_seed(request, handle->curl, trust_context_of(s.velta), s.updater_url, seed);
  slot.curl_code = request->curl_code;
  copy_slot_error(slot, request->error_text);
  // A 200 without a usable seed shows its 200; its outcome keeps it out of
  // the successes, and the error text names why.
  slot.http_status = request->http_code;
  uint32_t outcome = OUTCOME_FAILED;
  if (rc == ZEL_OK) {
    outcome = OUTCOME_PASS;
  } else if (rc == ZEL_ERR_REGISTRATION || rc == ZEL_ERR_POLICY) {
    outcome = outcome_from_transfer(slot.curl_code, slot.http_status);
  }
  zel_updater_handle_free(request);
  slot.outcome = outcome;
  return static_cast<int>(outcome);
}
