// The encoder of URL-encoded form bodies: name=value pairs joined by "&",
// names and texts percent-encoded by libcurl, into a fixed buffer.
#pragma once
#include <curl/curl.h>

#include <cstddef>
#include <cstdint>

struct zel_post {
  CURL* curl;  // only for curl_easy_escape
  char* buf;
  size_t size;  // capacity of buf, the NUL included
  size_t len;   // characters written so far
  uint8_t error;  // set by the first failure; every later write is skipped
};

// Writes the separator and the escaped name with "=".
void _zel_post_name(zel_post* post, const char* format, ...) __attribute__((format(printf, 2, 3)));
// One text field; value percent-encoded.
void _zel_post_str(zel_post* post, const char* value, const char* format, ...) __attribute__((format(printf, 3, 4)));
// One number field, in decimal.
void _zel_post_uint(zel_post* post, uint64_t value, const char* format, ...) __attribute__((format(printf, 3, 4)));
