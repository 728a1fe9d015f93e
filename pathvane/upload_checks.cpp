#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "pathvane/cloud_status.h"
#include "pathvane/request.h"
#include "pathvane/upload.h"
#include "platform/format.h"
#include "velta_client/src/common/zel_log.h"

namespace {

constexpr size_t kMessage = 256;
constexpr int kRetroSlot = 4;
constexpr int kSubmitSlot = 5;
constexpr int kCrashDumpSlot = 3;

bool empty(const char* text) { return !text || !text[0]; }

// A text given as absent stays absent; false when the copy failed.
bool copy_text(const char* from, char*& to) {
  if (!from) return true;
  to = strdup(from);
  return to != nullptr;
}

int refuse(file_fetch_data* data, const char* text) {
  platform::format(data->message, sizeof(data->message), "%s", text);
  data->status = FILE_FETCH_BAD_SETTINGS;
  return -1;
}

}  // namespace

file_fetch_data* file_fetch_data_create(const char* submit_server, const char* retro_server, const char* protocol,
                                        const char* user, uint32_t max_size, const char* user_agent,
                                        const char* form_guid, uint32_t ssl_flags) {
  auto* data = static_cast<file_fetch_data*>(std::calloc(1, sizeof(file_fetch_data)));
  if (!data) return nullptr;
  if (!copy_text(user_agent, data->user_agent) || !copy_text(form_guid, data->form_guid) ||
      !copy_text(submit_server, data->submit_server) || !copy_text(retro_server, data->retro_server) ||
      !copy_text(protocol, data->protocol) || !copy_text(user, data->user)) {
    file_fetch_data_free(&data);
    return nullptr;
  }
  data->max_size = max_size;
  data->ssl_flags = ssl_flags;
  return data;
}

void file_fetch_data_free(file_fetch_data** reference) {
  if (!reference || !*reference) return;
  file_fetch_data* data = *reference;
  for (char* text : {data->user_agent, data->form_guid, data->submit_server, data->retro_server, data->protocol,
                     data->user}) {
    std::free(text);
  }
  std::free(data);
  *reference = nullptr;
}

int _validate_submit_settings(file_fetch_data* data, int retro) {
  if (retro) {
    if (empty(data->retro_server)) return refuse(data, "No retro submit server specified");
  } else if (empty(data->submit_server)) {
    return refuse(data, "No submit server specified");
  }
  if (empty(data->protocol)) return refuse(data, "No submit server protocol specified");
  if (std::strcmp(data->protocol, "http") != 0 && std::strcmp(data->protocol, "https") != 0) {
    char text[kMessage];
    platform::format(text, sizeof(text), "Bad submit server protocol (%s)", data->protocol);
    return refuse(data, text);
  }
  if (empty(data->user)) return refuse(data, "No submit server user specified");
  if (empty(data->user_agent)) return refuse(data, "No http user agent specified");
  return 0;
}

char* _build_upload_url(file_fetch_data* data, char* out, const char* file_id, int retro) {
  const char* server = retro ? data->retro_server : data->submit_server;
  int n = std::snprintf(nullptr, 0, "%s://%s/upload/%d/%s", data->protocol, server, 4, file_id);
  if (n < 0 || static_cast<size_t>(n) + 1 > sizeof(data->url)) return nullptr;
  std::snprintf(out, sizeof(data->url), "%s://%s/upload/%d/%s", data->protocol, server, 4, file_id);
  return out;
}

int file_fetch_send_buffer(file_fetch_data* data, const proxy_info* proxy, const zel_trust_context* tls, int retro) {
  if (!data) {
    zel_error("%s(): file fetch data is NULL", "file_fetch_send_buffer");
    return -1;
  }
  if (_validate_submit_settings(data, retro) != 0) return -1;
  if (!proxy) return refuse(data, "No proxy info specified");
  if (!_build_upload_url(data, data->url, data->retro ? RETRO_FILE_ID : SUBMIT_FILE_ID, retro)) {
    platform::format(data->message, sizeof(data->message), "Failed to build URL for file fetch");
    data->status = FILE_FETCH_URL_TOO_LONG;
    return -1;
  }
  zel_trace(0x8000000, "%s(): Attempting upload to URL: %s", "file_fetch_send_buffer", data->url);
  char error_text[kMessage] = {};
  if (_http_send_buffer(data->url, data->user, data->user_agent, data->form_guid, data->ssl_flags, tls, proxy,
                        "C:\\test.bin", error_text, &data->curl_code, &data->http_status, retro, data->retro, nullptr,
                        nullptr) != 0) {
    platform::format(data->message, sizeof(data->message), "http send failed (%s)", error_text);
    data->status = FILE_FETCH_SEND_FAILED;
    return -1;
  }
  data->status = 0;
  return 0;
}

int _perform_file_fetch_upload(pathvane_handle* handle, int retro) {
  constexpr const char* kFn = "_perform_file_fetch_upload";
  if (!handle) return OUTCOME_NULL_ARGS;
  const pathvane_settings& s = handle->settings;
  if (!(retro ? s.retro_server : s.submit_server)[0]) return OUTCOME_NOT_RUN;
  file_fetch_data* data = file_fetch_data_create(s.submit_server, s.retro_server, s.submit_protocol,
                                                 s.velta.agent_guid, s.max_upload_size, s.velta.user_agent,
                                                 s.velta.agent_guid, s.velta.ssl_flags);
  if (!data) return OUTCOME_OPEN;
  if (retro) data->retro = 1;
  check_result& slot = handle->results[retro ? kRetroSlot : kSubmitSlot];
  int rc = file_fetch_send_buffer(data, &s.proxy, trust_context_of(s.velta), retro);
  slot.curl_code = data->curl_code;
  slot.http_status = data->http_status;
  if (rc != 0) {
    zel_error("%s(): file fetch send failed", kFn);
    zel_error("%s(): %s (zel_err %u) (CURLcode %ld)", kFn, data->message, static_cast<unsigned>(data->status),
              static_cast<long>(data->curl_code));
    copy_slot_error(slot, data->message);
    slot.outcome = outcome_from_transfer(slot.curl_code, slot.http_status);
  } else {
    slot.outcome = OUTCOME_PASS;
  }
  file_fetch_data_free(&data);
  return static_cast<int>(slot.outcome);
}

int pathvane_retro_fetch_check(pathvane_handle* handle) { return _perform_file_fetch_upload(handle, 1); }

int pathvane_submit_upload_check(pathvane_handle* handle) { return _perform_file_fetch_upload(handle, 0); }

int file_fetch_send_crash_dump(const char* url, const char* user_agent, const proxy_info* proxy, uint32_t ssl_flags,
                               const zel_trust_context* tls, const char* guid, zel_transfer_status* result) {
  constexpr const char* kFn = "file_fetch_send_crash_dump";
  if (!url || !proxy || !guid || !result) {
    zel_error("%s(): NULL or invalid arguments", kFn);
    return -1;
  }
  if (_http_send_buffer(url, guid, user_agent, guid, ssl_flags, tls, proxy, "C:\\pathvane_crash_dump_upload_test.bin",
                        result->error_text, &result->curl_code, &result->http_code, 0, 0, "pathvane_test",
                        "9.9.9.9") != 0) {
    zel_error("%s(): crash dump upload failed (%s)", kFn, result->error_text);
    return -1;
  }
  return 0;
}

int pathvane_crash_dump_check(pathvane_handle* handle) {
  if (!handle) return OUTCOME_NULL_ARGS;
  const pathvane_settings& s = handle->settings;
  check_result& slot = handle->results[kCrashDumpSlot];
  if (!s.crash_dump_url[0]) {
    slot.outcome = OUTCOME_NOT_RUN;
    return OUTCOME_NOT_RUN;
  }
  zel_transfer_status result{};
  int rc = file_fetch_send_crash_dump(s.crash_dump_url, s.velta.user_agent, &s.proxy, s.velta.ssl_flags,
                                      trust_context_of(s.velta), s.velta.agent_guid, &result);
  slot.http_status = result.http_code;
  slot.curl_code = result.curl_code;
  if (rc != 0) {
    copy_slot_error(slot, result.error_text);
    slot.outcome = outcome_from_transfer(slot.curl_code, slot.http_status);
  } else {
    slot.outcome = OUTCOME_PASS;
  }
  return static_cast<int>(slot.outcome);
}
