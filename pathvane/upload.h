// The upload checks: a multipart POST of the test pattern to the retro
// (file-fetch) and submission servers and to the crash-dump URL.
#pragma once
#include <cstddef>
#include <cstdint>

#include "pathvane/pathvane.h"

// status of a file_fetch_data after a send.
constexpr uint32_t FILE_FETCH_BAD_SETTINGS = 0xC120000Du;
constexpr uint32_t FILE_FETCH_URL_TOO_LONG = 0xC120000Fu;
constexpr uint32_t FILE_FETCH_SEND_FAILED = 0xC1200012u;

// The working record of one retro or submit upload; texts are owned copies.
struct file_fetch_data {
  char* user_agent;
  char* form_guid;
  char* submit_server;
  char* retro_server;
  char* protocol;
  char* user;
  uint32_t max_size;  // carried, not used
  uint32_t ssl_flags;
  char message[256];  // text of the last failure
  uint32_t status;
  int32_t curl_code;
  int32_t http_status;
  uint8_t retro;
  char url[1024];
};

// The loopback comparison of one retro upload, judged piece by piece.
enum loopback_state : uint32_t {
  LOOPBACK_PARTIAL = 0,   // all matched so far, not all received
  LOOPBACK_MATCHED = 1,   // exactly what was sent
  LOOPBACK_MISMATCH = 2,  // other bytes, too many, or more after a match
  LOOPBACK_INVALID = 3,   // unusable context or a size overflow
};

struct loopback_ctx {
  const uint8_t* expected;
  size_t expected_len;
  size_t received;
  uint32_t state;
  // Where the echo first differed from what was sent; -1 while it has not.
  int64_t first_difference = -1;
};

constexpr const char* RETRO_FILE_ID = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr const char* SUBMIT_FILE_ID = "71114ed9c1d899aec9fd4eb5c3e1b12afdfe3e72739e0d799f7e74ed43d646b7";

file_fetch_data* file_fetch_data_create(const char* submit_server, const char* retro_server, const char* protocol,
                                        const char* user, uint32_t max_size, const char* user_agent,
                                        const char* form_guid, uint32_t ssl_flags);
void file_fetch_data_free(file_fetch_data** data);
int _validate_submit_settings(file_fetch_data* data, int retro);
// The upload URL into out (1024 bytes), or null when it does not fit.
char* _build_upload_url(file_fetch_data* data, char* out, const char* file_id, int retro);
int file_fetch_send_buffer(file_fetch_data* data, const proxy_info* proxy, const zel_trust_context* tls, int retro);
int _perform_file_fetch_upload(pathvane_handle* handle, int retro);
int file_fetch_send_crash_dump(const char* url, const char* user_agent, const proxy_info* proxy, uint32_t ssl_flags,
                               const zel_trust_context* tls, const char* guid, zel_transfer_status* result);

// One multipart upload of the test pattern: 0, or -1 with error_text (256 bytes) saying why.
int _http_send_buffer(const char* url, const char* user, const char* user_agent, const char* form_guid,
                      uint32_t ssl_flags, const zel_trust_context* tls, const proxy_info* proxy,
                      const char* file_name, char* error_text, int32_t* curl_code, int32_t* http_status,
                      int form_mode, int loopback, const char* module, const char* version);
// form_mode 1: the retro form; 0: the submit and crash-dump form.
int _build_upload_form(CURL* curl, curl_httppost** first, curl_httppost** last, const char* form_guid,
                       const char* file_name, char* error_text, int form_mode, const char* module,
                       const char* version);
// libcurl write callback of the retro upload: compares without buffering.
size_t _loopback_write_fn(char* data, size_t size, size_t count, void* context);
