#include "velta_client/src/common/zel_log.h"
#include "diagnosis/xfer_facts.h"
#include "velta_client/src/common/xfer_facts_read.h"
#include "velta_client/src/common/xfer_progress.h"
#include "velta_client/src/common/zel_transfer.h"

void zel_install_curl_debug_callback(CURL* curl) {
  if (!curl || !curl_debug_function) return;
  CURLcode rc = xfer_setopt(curl, CURLOPT_DEBUGFUNCTION, curl_debug_function);
  if (rc != CURLE_OK) {
    zel_error("%s: failed to install curl debug function %s", "zel_install_curl_debug_callback",
              pathvane_curl.curl_easy_strerror(rc));
    return;
  }
  xfer_setopt(curl, CURLOPT_VERBOSE, 1L);
  zel_trace(0x8000000, "%s: curl debug function installed", "zel_install_curl_debug_callback");
}

CURLcode zel_curl_perform(CURL* curl, const proxy_info* /*proxy*/) {
  xfer_progress_attach(curl);
  xfer_facts_before(curl);
  const CURLcode code = pathvane_curl.curl_easy_perform(curl);
  xfer_facts_after(curl, code);
  return code;
}

bool zel_safe_multiply(size_t len, size_t mul, size_t* out) {
  size_t product = len * mul;
  if (len != 0 && product / len != mul) {
    zel_error("%s:  len: %lu, mul: %lu overflow detected... ", "zel_safe_multiply", static_cast<unsigned long>(len),
              static_cast<unsigned long>(mul));
    return false;
  }
  *out = product;
  return true;
}

bool zel_safe_add(size_t len, size_t inc, size_t* out) {
  size_t sum = len + inc;
  if (sum < len) {
    zel_error("%s: len: %lu, inc: %lu overflow detected... ", "zel_safe_add", static_cast<unsigned long>(len),
              static_cast<unsigned long>(inc));
    return false;
  }
  *out = sum;
  return true;
}
