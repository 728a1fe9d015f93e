// The process-wide table of transfer functions, resolved at run time from
// the agent's libxferlib.so by the check library. Every transfer, the cloud
// client's included, calls libcurl through it; it is also the seam the
// tests use to record option sequences.
#pragma once
#include <curl/curl.h>

#include <cstddef>
#include <type_traits>

struct curl_function_table {
  void (*curl_easy_cleanup)(CURL* curl);
  CURL* (*curl_easy_init)();
  CURLcode (*curl_easy_perform)(CURL* curl);
  CURLcode (*curl_easy_send)(CURL* curl, const void* buffer, size_t length, size_t* sent);
  CURLcode (*curl_easy_setopt)(CURL* curl, CURLoption option, ...);
  const char* (*curl_easy_strerror)(CURLcode code);
  char* (*curl_easy_escape)(CURL* curl, const char* text, int length);
  char* (*curl_easy_unescape)(CURL* curl, const char* text, int length, int* out_length);
  char* (*curl_escape)(const char* text, int length);
  char* (*curl_unescape)(const char* text, int length);
  CURLFORMcode (*curl_formadd)(struct curl_httppost** first, struct curl_httppost** last, ...);
  void (*curl_formfree)(struct curl_httppost* form);
  void (*curl_free)(void* block);
  struct curl_slist* (*curl_slist_append)(struct curl_slist* list, const char* text);
  void (*curl_slist_free_all)(struct curl_slist* list);
  CURLcode (*curl_easy_getinfo)(CURL* curl, CURLINFO info, ...);
  // Optional: null when the agent's library has no header interface.
  CURLHcode (*curl_easy_header)(CURL* curl, const char* name, size_t index, unsigned int origin, int request,
                                struct curl_header** header);
};

extern curl_function_table pathvane_curl;

// The debug callback verbose transfers install; null until a pathvane_init
// with debugging on sets it, and never cleared.
extern curl_debug_callback curl_debug_function;

// The typed way to the table's variadic calls. libcurl reads each option's
// value by the option's kind (long, pointer, callback), so each
// kind has its own overload and an int or bool does not compile: an int
// read as a long takes garbage in its upper half. A value of the wrong kind
// for the option's number is refused with CURLE_BAD_FUNCTION_ARGUMENT
// before libcurl sees it.
CURLcode xfer_setopt(CURL* curl, CURLoption option, long value);
CURLcode xfer_setopt_pointer(CURL* curl, CURLoption option, const void* value);
CURLcode xfer_setopt_callback(CURL* curl, CURLoption option, void (*callback)());

template <typename T>
  requires std::is_integral_v<T> || std::is_enum_v<T> || std::is_floating_point_v<T>
CURLcode xfer_setopt(CURL* curl, CURLoption option, T value) = delete;

template <typename T>
  requires std::is_pointer_v<T> && (!std::is_function_v<std::remove_pointer_t<T>>)
CURLcode xfer_setopt(CURL* curl, CURLoption option, T value) {
  return xfer_setopt_pointer(curl, option, value);
}

inline CURLcode xfer_setopt(CURL* curl, CURLoption option, std::nullptr_t) {
  return xfer_setopt_pointer(curl, option, nullptr);
}

// A callback travels as a generic function pointer; the table hands libcurl
// the same bits it would have had from the callback's own type.
template <typename R, typename... A>
CURLcode xfer_setopt(CURL* curl, CURLoption option, R (*callback)(A...)) {
  return xfer_setopt_callback(curl, option, reinterpret_cast<void (*)()>(callback));
}

// CURLINFO_RESPONSE_CODE and the other long answers; the times (*_TIME_T)
// and the texts, which stay libcurl's.
CURLcode xfer_getinfo_long(CURL* curl, CURLINFO info, long* value);
CURLcode xfer_getinfo_off_t(CURL* curl, CURLINFO info, curl_off_t* value);
CURLcode xfer_getinfo_string(CURL* curl, CURLINFO info, const char** value);

// One part of a form: a named in-memory file, by reference (length as the
// long libcurl reads), or a named text, copied.
CURLFORMcode xfer_form_add_buffer(curl_httppost** first, curl_httppost** last, const char* name,
                                  const char* file_name, const void* data, long length);
CURLFORMcode xfer_form_add_text(curl_httppost** first, curl_httppost** last, const char* name,
                                const char* contents);
