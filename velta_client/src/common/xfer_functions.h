// The process-wide table of transfer functions, resolved at run time from
// the agent's libxferlib.so by the check library. Every transfer, the cloud
// client's included, calls libcurl through it; it is also the seam the
// tests use to record option sequences.
#pragma once
#include <curl/curl.h>

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
};

extern curl_function_table pathvane_curl;

// The debug callback verbose transfers install; null until a pathvane_init
// with debugging on sets it, and never cleared.
extern curl_debug_callback curl_debug_function;
