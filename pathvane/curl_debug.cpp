#include <cstdlib>
#include <cstring>

#include "pathvane/handle_internal.h"
#include "velta_client/src/common/zel_log.h"

int _curl_debug(CURL* /*curl*/, curl_infotype type, char* data, size_t size, void* /*user*/) {
  // Headers and bodies may carry credentials and tokens: only libcurl's own text is traced.
  if (type != CURLINFO_TEXT) return 0;
  if (size + 1 < size) {
    zel_error("%s: len: %lu, inc: %lu overflow detected... ", "zel_safe_add", static_cast<unsigned long>(size), 1ul);
    zel_error("%s overflow encountered", "_curl_debug");
    return 0;
  }
  char* text = static_cast<char*>(std::calloc(size + 1, 1));
  if (!text) return 0;
  if (size) std::memcpy(text, data, size);
  zel_trace(-1, "%s: %s", "_curl_debug", text);
  std::free(text);
  return 0;
}
