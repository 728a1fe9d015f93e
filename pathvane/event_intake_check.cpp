#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "pathvane/event.h"
#include "pathvane/request.h"
#include "platform/clock.h"
#include "velta_client/src/common/xfer_functions.h"
#include "velta_client/src/common/zel_err.h"
#include "velta_client/src/common/zel_log.h"

namespace {

constexpr int kSlot = 11;
constexpr unsigned kEventTypeId = 553648187u;  // 0x2100003B
// Field names, the four numbers and the NUL.
constexpr size_t kBodyExtra = 131;

}  // namespace

int _json_result_data(pathvane_handle* handle, char** out, json_buf* w) {
  constexpr const char* kFn = "_json_result_data";
  if (!handle || !out || !w) {
    zel_error("%s(): NULL argument passed to function", kFn);
    return -1;
  }
  _json_begin(w);
  _json_add_string(w, "cmdline", handle->settings.cmdline);
  _json_begin_results(w);
  bool first = true;
  for (uint32_t slot = 0; slot < PATHVANE_SLOT_COUNT; ++slot) {
    const check_result& result = handle->results[slot];
    const char* name = pathvane_slot_name(slot);
    // A failed step dropped the text; starting a new one would hide that.
    if (result.outcome == OUTCOME_UNTOUCHED || !name || !w->data) continue;
    _json_append(w, first ? "{" : ",{");
    first = false;
    w->first = 1;
    char curl_error[sizeof(result.curl_error)];
    std::memcpy(curl_error, result.curl_error, sizeof(curl_error));
    curl_error[sizeof(curl_error) - 1] = '\0';
    _json_add_string(w, "name", name);
    _json_add_string(w, "result", pathvane_outcome_text(result.outcome));
    _json_add_int(w, "CURLcode", result.curl_code);
    _json_add_string(w, "curlerr", curl_error);
    _json_add_int(w, "httpstatus", result.http_status);
    if (w->data) _json_append(w, "}");
    w->first = 0;
  }
  if (w->data) _json_append(w, "]");
  w->first = 0;
  _json_end(w);
  *out = w->data;
  if (!w->data) {
    zel_error("%s(): JSON generation failed", kFn);
    return -1;
  }
  zel_trace(-1, "%s(): json data %s", kFn, w->data);
  return 0;
}

int _velta_event_completed_post_create(CURL* curl, const char* affiliate_guid, const char* business_guid,
                                       const char* agent_guid, const char* json, char** out) {
  // The GUIDs are stored text: escaped like the JSON, a "&" or "=" in one
  // cannot add a field, while a real GUID goes out byte for byte.
  const char* texts[] = {json, affiliate_guid, business_guid, agent_guid};
  char* escaped[4] = {};
  auto release = [&escaped] {
    for (char* text : escaped) {
      if (text) pathvane_curl.curl_free(text);
    }
  };
  for (size_t i = 0; i < 4; ++i) {
    escaped[i] = pathvane_curl.curl_easy_escape(curl, texts[i], 0);
    if (!escaped[i]) {
      zel_error("%s: curl_easy_escape failed", "_velta_event_completed_post_create");
      release();
      return ZEL_ERR_EXTERNAL;
    }
  }
  std::srand(static_cast<unsigned>(std::time(nullptr)));
  size_t size = kBodyExtra;
  for (const char* text : escaped) size += std::strlen(text);
  char* body = static_cast<char*>(std::calloc(size, 1));
  if (!body) {
    release();
    return ZEL_ERR_NO_MEM;
  }
  const int64_t first = platform::GetSystemTimeAsFileTime();
  const int64_t second = platform::GetSystemTimeAsFileTime();
  const int64_t third = platform::GetSystemTimeAsFileTime();
  const int random = std::rand();
  std::snprintf(body, size, "fg=%s&ag=%s&bg=%s&tid=%u&id=%llu&ts=%lld&tsn=%lld&data=%s", escaped[1], escaped[3],
                escaped[2], kEventTypeId, static_cast<unsigned long long>(third) + static_cast<unsigned>(random % 1000),
                static_cast<long long>(second), static_cast<long long>(first), escaped[0]);
  release();
  *out = body;
  return ZEL_OK;
}

int pathvane_event_intake_check(pathvane_handle* handle) {
  constexpr const char* kFn = "pathvane_event_intake_check";
  json_buf writer{};
  char* json = nullptr;
  if (_json_result_data(handle, &json, &writer) != 0) {
    zel_error("%s(): failed to create json for velta event", kFn);
    std::free(writer.data);
    return OUTCOME_FAILED;
  }
  const pathvane_settings& s = handle->settings;
  char* body = nullptr;
  if (_velta_event_completed_post_create(handle->curl, s.velta.affiliate_guid, s.velta.business_guid,
                                         s.velta.agent_guid, json, &body) != ZEL_OK) {
    zel_error("%s(): Failed to create post", kFn);
    std::free(json);
    return OUTCOME_FAILED;
  }
  check_result& result = handle->results[kSlot];
  int rc = _proxy_http_request(handle->curl, s.event_url, s.velta.user_agent, s.velta.ssl_flags, &s.proxy,
                               trust_context_of(s.velta), &result, body);
  std::free(body);
  std::free(json);
  const int32_t status = result.http_status;
  if (status == 200 || status == 301 || status == 302) {
    result.outcome = OUTCOME_PASS;
    if (rc == 0) return OUTCOME_PASS;
  } else {
    zel_error("Connectivity test failed for URL '%s' (HTTP code: %ld)", s.event_url, static_cast<long>(status));
  }
  result.outcome = outcome_from_transfer(result.curl_code, result.http_status);
  return static_cast<int>(result.outcome);
}
