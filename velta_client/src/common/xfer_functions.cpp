#include "velta_client/src/common/xfer_functions.h"

#include "diagnosis/xfer_facts.h"

curl_function_table pathvane_curl = {};
curl_debug_callback curl_debug_function = nullptr;

namespace {

// The kind libcurl reads an option's value as, from the option's number.
bool option_in(CURLoption option, int first, int end) { return option >= first && option < end; }

}  // namespace

CURLcode xfer_setopt(CURL* curl, CURLoption option, long value) {
  if (!option_in(option, CURLOPTTYPE_LONG, CURLOPTTYPE_OBJECTPOINT)) return CURLE_BAD_FUNCTION_ARGUMENT;
  xfer_facts_note_long(curl, option, value);
  return pathvane_curl.curl_easy_setopt(curl, option, value);
}

CURLcode xfer_setopt_pointer(CURL* curl, CURLoption option, const void* value) {
  if (!option_in(option, CURLOPTTYPE_OBJECTPOINT, CURLOPTTYPE_FUNCTIONPOINT)) return CURLE_BAD_FUNCTION_ARGUMENT;
  xfer_facts_note_pointer(curl, option, value);
  return pathvane_curl.curl_easy_setopt(curl, option, value);
}

CURLcode xfer_setopt_callback(CURL* curl, CURLoption option, void (*callback)()) {
  if (!option_in(option, CURLOPTTYPE_FUNCTIONPOINT, CURLOPTTYPE_OFF_T)) return CURLE_BAD_FUNCTION_ARGUMENT;
  return pathvane_curl.curl_easy_setopt(curl, option, callback);
}

CURLcode xfer_getinfo_long(CURL* curl, CURLINFO info, long* value) {
  if ((info & CURLINFO_TYPEMASK) != CURLINFO_LONG) return CURLE_BAD_FUNCTION_ARGUMENT;
  return pathvane_curl.curl_easy_getinfo(curl, info, value);
}

CURLcode xfer_getinfo_off_t(CURL* curl, CURLINFO info, curl_off_t* value) {
  if ((info & CURLINFO_TYPEMASK) != CURLINFO_OFF_T) return CURLE_BAD_FUNCTION_ARGUMENT;
  return pathvane_curl.curl_easy_getinfo(curl, info, value);
}

CURLcode xfer_getinfo_string(CURL* curl, CURLINFO info, const char** value) {
  if ((info & CURLINFO_TYPEMASK) != CURLINFO_STRING) return CURLE_BAD_FUNCTION_ARGUMENT;
  return pathvane_curl.curl_easy_getinfo(curl, info, value);
}

CURLFORMcode xfer_form_add_buffer(curl_httppost** first, curl_httppost** last, const char* name,
                                  const char* file_name, const void* data, long length) {
  return pathvane_curl.curl_formadd(first, last, CURLFORM_COPYNAME, name, CURLFORM_BUFFER, file_name,
                                    CURLFORM_BUFFERPTR, data, CURLFORM_BUFFERLENGTH, length, CURLFORM_END);
}

CURLFORMcode xfer_form_add_text(curl_httppost** first, curl_httppost** last, const char* name,
                                const char* contents) {
  return pathvane_curl.curl_formadd(first, last, CURLFORM_COPYNAME, name, CURLFORM_COPYCONTENTS, contents,
                                    CURLFORM_END);
}
