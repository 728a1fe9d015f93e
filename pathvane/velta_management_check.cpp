#include "pathvane/cloud_status.h"
#include "pathvane/request.h"
#include "velta_client/src/common/zel_log.h"
#include "velta_client/src/velta_client.h"

namespace {
constexpr const char* kFn = "pathvane_velta_management_check";
constexpr int kSlot = 2;
}  // namespace

int pathvane_velta_management_check(pathvane_handle* handle) {
  if (!handle) {
    zel_error("%s: handle is NULL", kFn);
    return OUTCOME_NULL_ARGS;
  }
  // Without a token the registration is still attempted.
  if (!handle->token) zel_trace(0x8000000, "%s: token not defined", kFn);
  const pathvane_settings& s = handle->settings;
  check_result& slot = handle->results[kSlot];
  zel_transfer_status status{};
  int rc = _velta_register_client(&s.velta, &s.host_info, &s.proxy, &s.os_info, handle->token, &status);
  copy_cloud_status(status, slot);
  if (rc == ZEL_ERR_REGISTRATION) {
    zel_error("%s: velta registration failed, response recieved from server (status: %ld)", kFn,
              static_cast<long>(slot.http_status));
    slot.outcome = OUTCOME_REGISTRATION_ERROR;
  } else if (rc != ZEL_OK) {
    zel_error("%s: velta registration failed, curl error: %d, err %s", kFn, static_cast<int>(slot.curl_code),
              zel_strerror(rc));
    slot.outcome = outcome_from_transfer(slot.curl_code, slot.http_status);
  } else {
    slot.outcome = OUTCOME_PASS;
  }
  return static_cast<int>(slot.outcome);
}
