#include <cstdio>
#include <cstring>

#include "pathvane/handle_internal.h"
#include "pathvane/request.h"
#include "pathvane/upload.h"
#include "platform/format.h"
#include "diagnosis/xfer_facts.h"
#include "velta_client/src/common/zel_log.h"
#include "velta_client/src/common/zel_transfer.h"

namespace {

constexpr const char* kSend = "_http_send_buffer";
constexpr size_t kErrorText = 256;
// A server that takes the upload and never answers must not hold the run.
constexpr long kUploadTimeoutSeconds = 30;

const char* text_of(CURLcode rc) { return pathvane_curl.curl_easy_strerror(rc); }

// One option of the upload; on failure its text goes to error_text.
template <typename V>
bool set(CURL* curl, CURLoption option, V value, const char* what, char* error_text) {
  CURLcode rc = xfer_setopt(curl, option, value);
  if (rc == CURLE_OK) return true;
  platform::format(error_text, kErrorText, "curl_easy_setopt(%s) failed: %s", what, text_of(rc));
  return false;
}

// The response callback; its failure is logged, the error text left empty.
template <typename V>
bool set_logged(CURL* curl, CURLoption option, V value, const char* what, char* error_text) {
  if (zel_setopt(curl, option, value, kSend, what)) return true;
  error_text[0] = '\0';
  return false;
}

const char* loopback_text(uint32_t state) {
  switch (state) {
    case LOOPBACK_MISMATCH:
      return "Data recieved != sent";
    case LOOPBACK_INVALID:
      return "Internal error (invalid ctx)";
    default:
      return "Unknown error (Possible incomplete transfer or no data received)";
  }
}

// The GUID without its dashes, cut to the buffer.
void user_name_of(const char* user, char (&name)[kErrorText]) {
  size_t n = 0;
  for (const char* p = user; *p && n + 1 < sizeof(name); ++p) {
    if (*p != '-') name[n++] = *p;
  }
  name[n] = '\0';
}

// Everything after the transfer handle exists; the caller releases the handle.
// curl_error and context belong to the caller, whose frame outlives the handle.
int send_on(CURL* curl, char* curl_error, loopback_ctx& context, const char* url, const char* user,
            const char* user_agent, const char* form_guid, uint32_t ssl_flags, const zel_trust_context* tls,
            const proxy_info* proxy, const char* file_name, char* error_text, int32_t* curl_code,
            int32_t* http_status, int form_mode, int loopback, const char* module, const char* version) {
  if (xfer_setopt(curl, CURLOPT_ERRORBUFFER, curl_error) != CURLE_OK) {
    platform::format(error_text, kErrorText, "CURL set error buffer option failed");
    return -1;
  }
  int rc = zel_set_curl_opts(curl, user_agent, proxy, ssl_flags, tls, "+velta-send");
  if (rc != 0) {
    platform::format(error_text, kErrorText, "Set CURL network options failed (%d)", rc);
    return -1;
  }
  char name[kErrorText];
  user_name_of(user, name);
  if (!set(curl, CURLOPT_URL, url, "CURLOPT_URL", error_text) ||
      !set(curl, CURLOPT_TIMEOUT, kUploadTimeoutSeconds, "CURLOPT_TIMEOUT", error_text) ||
      !set(curl, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC), "CURLOPT_HTTPAUTH", error_text) ||
      !set(curl, CURLOPT_USERNAME, static_cast<const char*>(name), "CURLOPT_USERNAME", error_text)) {
    return -1;
  }
  curl_httppost* first = nullptr;
  curl_httppost* last = nullptr;
  if (_build_upload_form(curl, &first, &last, form_guid, file_name, error_text, form_mode, module, version) != 0) {
    return -1;
  }
  // Without loopback the answer is dropped: libcurl would print it into the report.
  bool ready = loopback ? set_logged(curl, CURLOPT_WRITEFUNCTION, _loopback_write_fn, "CURLOPT_WRITEFUNCTION",
                                     error_text) &&
                              set_logged(curl, CURLOPT_WRITEDATA, &context, "CURLOPT_WRITEDATA", error_text)
                        : set_logged(curl, CURLOPT_WRITEFUNCTION, discard_body, "CURLOPT_WRITEFUNCTION", error_text);
  if (!ready) {
    pathvane_curl.curl_formfree(first);
    return -1;
  }
  zel_install_curl_debug_callback(curl);
  CURLcode code = zel_curl_perform(curl, proxy);
  pathvane_curl.curl_formfree(first);
  // The context dies with this frame; libcurl must not keep its address.
  if (loopback) xfer_setopt(curl, CURLOPT_WRITEDATA, static_cast<void*>(nullptr));
  if (curl_code) *curl_code = code;
  if (code != CURLE_OK) {
    platform::format(error_text, kErrorText, "CURL perform failed: %s (%d) (%s)", text_of(code), static_cast<int>(code),
                  curl_error);
    return -1;
  }
  long status = 0;
  code = xfer_getinfo_long(curl, CURLINFO_RESPONSE_CODE, &status);
  if (code != CURLE_OK) {
    zel_error("%s: curl_easy_getinfo(CURLINFO_RESPONSE_CODE) failed: %s", kSend, text_of(code));
    if (http_status) *http_status = 0;
    platform::format(error_text, kErrorText,
                  "Upload status uncertain, curl_easy_getinfo(CURL_INFO_RESPONSE_CODE) failed.");
    return -1;
  }
  if (http_status) *http_status = static_cast<int32_t>(status);
  if (status == 401) {
    platform::format(error_text, kErrorText,
                  "Upload failed, unauthorized access (HTTP code: %ld). Are uploads authorized for this business?",
                  status);
    return -1;
  }
  if (status != 200) {
    platform::format(error_text, kErrorText, "Upload failed (HTTP code: %ld)", status);
    return -1;
  }
  zel_trace(0x8000000, "%s: upload succeeded", kSend);
  if (loopback) {
    xfer_facts_note_echo(context.expected_len, context.received, context.first_difference);
    if (context.state != LOOPBACK_MATCHED) {
      zel_error("%s: file fetch loopback error (comparison failed)", kSend);
      platform::format(error_text, kErrorText, "file fetch loopback error - %s (bytes sent %lu/ received %lu)",
                    loopback_text(context.state), static_cast<unsigned long>(context.expected_len),
                    static_cast<unsigned long>(context.received));
      return -1;
    }
    zel_trace(0x8000000, "%s: file fetch loopback succeeded", kSend);
  }
  return 0;
}

bool empty(const char* text) { return !text || !text[0]; }

// The offset in the whole echo of the first of the piece's first `overlap`
// bytes that differs from what was sent; past them when none does.
int64_t first_difference(const char* data, const loopback_ctx& context, size_t overlap) {
  const uint8_t* sent = context.expected + context.received;
  size_t at = 0;
  while (at < overlap && static_cast<uint8_t>(data[at]) == sent[at]) ++at;
  return static_cast<int64_t>(context.received + at);
}

}  // namespace

int _http_send_buffer(const char* url, const char* user, const char* user_agent, const char* form_guid,
                      uint32_t ssl_flags, const zel_trust_context* tls, const proxy_info* proxy,
                      const char* file_name, char* error_text, int32_t* curl_code, int32_t* http_status,
                      int form_mode, int loopback, const char* module, const char* version) {
  if (empty(url) || empty(user) || empty(user_agent) || empty(file_name) || !proxy || !error_text) {
    zel_error("%s(): Call error", kSend);
    if (error_text) platform::format(error_text, kErrorText, "Software error");
    return -1;
  }
  CURL* curl = pathvane_curl.curl_easy_init();
  if (!curl) {
    platform::format(error_text, kErrorText, "CURL init failed");
    return -1;
  }
  char curl_error[CURL_ERROR_SIZE] = {};
  loopback_ctx context{reinterpret_cast<const uint8_t*>(loopback_pattern), PATHVANE_LOOPBACK_SENT_BYTES, 0,
                       LOOPBACK_PARTIAL};
  int rc = send_on(curl, curl_error, context, url, user, user_agent, form_guid, ssl_flags, tls, proxy, file_name,
                   error_text, curl_code, http_status, form_mode, loopback, module, version);
  pathvane_curl.curl_easy_cleanup(curl);
  return rc;
}

int _build_upload_form(CURL* curl, curl_httppost** first, curl_httppost** last, const char* form_guid,
                       const char* file_name, char* error_text, int form_mode, const char* module,
                       const char* version) {
  const char* guid = form_guid ? form_guid : "";
  const bool retro = form_mode == 1;
  // The pattern goes by reference: it is never copied on our side.
  CURLFORMcode code = xfer_form_add_buffer(first, last, "file", file_name, loopback_pattern,
                                           static_cast<long>(PATHVANE_LOOPBACK_SENT_BYTES));
  if (code == CURL_FORMADD_OK) code = xfer_form_add_text(first, last, "version", version ? version : "4.0.0.0");
  if (code == CURL_FORMADD_OK) code = xfer_form_add_text(first, last, retro ? "agent-guid" : "guid", guid);
  if (code == CURL_FORMADD_OK) {
    code = xfer_form_add_text(first, last, retro ? "encrypted" : "module", retro ? "0" : (module ? module : "agent"));
  }
  if (code != CURL_FORMADD_OK) {
    platform::format(error_text, kErrorText, "curl_formadd failed (%d)", static_cast<int>(code));
    pathvane_curl.curl_formfree(*first);
    *first = nullptr;
    *last = nullptr;
    return -1;
  }
  CURLcode rc = xfer_setopt(curl, CURLOPT_HTTPPOST, *first);
  if (rc != CURLE_OK) {
    platform::format(error_text, kErrorText, "curl_easy_setopt(CURLOPT_HTTPPOST) failed: %s", text_of(rc));
    pathvane_curl.curl_formfree(*first);
    *first = nullptr;
    *last = nullptr;
    return -1;
  }
  return 0;
}

size_t _loopback_write_fn(char* data, size_t size, size_t count, void* user) {
  constexpr const char* kFn = "_loopback_write_fn";
  size_t length = 0;
  const bool overflow = !zel_safe_multiply(size, count, &length);
  if (overflow) length = size;
  auto* context = static_cast<loopback_ctx*>(user);
  // A count other than the one offered makes libcurl end the transfer.
  const size_t refuse = overflow || length == 0 ? 0 : length - 1;
  if (!context) return refuse;
  if (!context->expected || context->expected_len == 0) {
    context->state = LOOPBACK_INVALID;
    return refuse;
  }
  if (overflow) {
    zel_error("%s: overflow encountered with parameters in callback", kFn);
    context->state = LOOPBACK_INVALID;
    return 0;
  }
  switch (context->state) {
    case LOOPBACK_PARTIAL:
      if (length > context->expected_len - context->received) {
        zel_error("%s: Bytes received is greater than the number of bytes sent", kFn);
        context->state = LOOPBACK_MISMATCH;
        context->first_difference = first_difference(data, *context, context->expected_len - context->received);
      } else if (std::memcmp(data, context->expected + context->received, length) != 0) {
        zel_error("%s: Data received does not match data sent", kFn);
        context->state = LOOPBACK_MISMATCH;
        context->first_difference = first_difference(data, *context, length);
      } else if (context->received + length == context->expected_len) {
        context->state = LOOPBACK_MATCHED;
      }
      break;
    case LOOPBACK_MATCHED:
      if (length) {
        zel_error("%s: Data received matched what was sent but we received extra data we did not expect", kFn);
        context->state = LOOPBACK_MISMATCH;
        context->first_difference = static_cast<int64_t>(context->expected_len);
      }
      break;
    default:
      break;
  }
  if (context->state != LOOPBACK_INVALID) context->received += length;
  return length;
}
