#include "pathvane/request.h"

#include "pathvane/xfer_table.h"
#include "diagnosis/xfer_facts.h"
#include "velta_client/src/common/xfer_facts_read.h"
#include "velta_client/src/common/xfer_progress.h"
#include "velta_client/src/common/zel_log.h"

namespace {

// What a result holds until its transfer has run.
constexpr int32_t kNotPerformed = 94;

// One option of the request itself; the message is given whole.
template <typename V>
bool set(CURL* curl, CURLoption option, V value, const char* message, const char* fn = nullptr) {
  CURLcode rc = xfer_setopt(curl, option, value);
  if (rc == CURLE_OK) return true;
  const char* text = pathvane_curl.curl_easy_strerror(rc);
  if (fn) {
    zel_error(message, fn, text);
  } else {
    zel_error(message, text);
  }
  return false;
}

}  // namespace

const pathvane_trust_context* trust_context_of(const velta_client_settings& velta) {
  static pathvane_trust_context context;  // one handle per process, so one context
  context = {velta.trust_cert, velta.trust_callback};
  return &context;
}

size_t discard_body(char* /*data*/, size_t size, size_t count, void* /*user*/) { return size * count; }

int _proxy_http_request(CURL* curl, const char* url, const char* user_agent, uint32_t ssl_flags,
                        const proxy_info* proxy, const pathvane_trust_context* trust, check_result* result,
                        const char* post_body) {
  if (!curl || !url || !user_agent || !proxy || !trust || !result) return PATHVANE_REQUEST_NULL_ARG;
  result->curl_code = kNotPerformed;
  result->outcome = OUTCOME_FAILED;
  result->http_status = 0;

  xfer_setopt(curl, CURLOPT_ERRORBUFFER, result->curl_error);
  if (_set_curl_opts(curl, user_agent, proxy, ssl_flags, trust) == -1) return PATHVANE_REQUEST_EXTERNAL;

  if (!set(curl, CURLOPT_URL, url, "curl_easy_setopt(CURLOPT_URL) failed: %s") ||
      !set(curl, CURLOPT_TIMEOUT, 15L, "curl_easy_setopt(CURLOPT_TIMEOUT) failed: %s") ||
      !set(curl, CURLOPT_FRESH_CONNECT, 1L, "curl_easy_setopt(CURLOPT_FRESH_CONNECT) failed: %s") ||
      !set(curl, CURLOPT_WRITEFUNCTION, discard_body, "%s: curl_easy_setopt(CURLOPT_WRITEFUNCTION) failed: %s",
           "_proxy_http_request")) {
    return PATHVANE_REQUEST_EXTERNAL;
  }
  if (post_body) {
    if (!set(curl, CURLOPT_COPYPOSTFIELDS, post_body, "curl_easy_setopt(CURLOPT_COPYPOSTFIELDS) failed: %s") ||
        !set(curl, CURLOPT_WRITEDATA, static_cast<void*>(nullptr), "%s: curl_easy_setopt(CURLOPT_WRITEDATA) failed: %s",
             "_proxy_http_request")) {
      return PATHVANE_REQUEST_EXTERNAL;
    }
  } else if (!set(curl, CURLOPT_HTTPGET, 1L, "curl_easy_setopt(CURLOPT_HTTPGET) failed: %s")) {
    // The shared handle may still carry an earlier check's POST body.
    return PATHVANE_REQUEST_EXTERNAL;
  }

  xfer_progress_attach(curl);
  xfer_facts_before(curl);
  CURLcode rc = pathvane_curl.curl_easy_perform(curl);
  xfer_facts_after(curl, rc);
  result->curl_code = rc;
  if (rc != CURLE_OK) {
    zel_error("connectivity test failed for URL '%s': %d (%s) (%s)", url, static_cast<int>(rc),
              pathvane_curl.curl_easy_strerror(rc), result->curl_error);
    return 1;
  }
  long status = 0;
  rc = xfer_getinfo_long(curl, CURLINFO_RESPONSE_CODE, &status);
  if (rc != CURLE_OK) {
    zel_error("curl_easy_getinfo(CURLINFO_RESPONSE_CODE) failed: %s", pathvane_curl.curl_easy_strerror(rc));
    return PATHVANE_REQUEST_EXTERNAL;
  }
  result->http_status = static_cast<int32_t>(status);
  return 0;
}
