// The encoder of URL-encoded form bodies: name=value pairs joined by "&",
// names and texts percent-encoded by libcurl, into a fixed buffer.
#pragma once
#include <curl/curl.h>

#include <cstddef>
#include <cstdint>
#include "platform/format.h"

// What the first failure of an encoder was, for its caller to name.
enum zel_post_fault : uint8_t {
  ZEL_POST_FAULT_NONE = 0,
  ZEL_POST_FAULT_PARAM,      // a value or name format absent
  ZEL_POST_FAULT_NAME,       // a name of 100 characters or more
  ZEL_POST_FAULT_ESCAPE,     // libcurl could not percent-encode a text
  ZEL_POST_FAULT_NO_ROOM,    // a write did not fit into the buffer
};

struct zel_post {
  CURL* curl;  // only for curl_easy_escape
  char* buf;
  size_t size;  // capacity of buf, the NUL included
  size_t len;   // characters written so far
  uint8_t error;  // set by the first failure; every later write is skipped
  zel_post_fault fault = ZEL_POST_FAULT_NONE;  // set with error
};

// Writes the separator and the escaped name with "=".
void _zel_post_name(zel_post* post, const char* format, ...) PLATFORM_PRINTF(2, 3);
// One text field; value percent-encoded.
void _zel_post_str(zel_post* post, const char* value, const char* format, ...) PLATFORM_PRINTF(3, 4);
// One number field, in decimal.
void _zel_post_uint(zel_post* post, uint64_t value, const char* format, ...) PLATFORM_PRINTF(3, 4);
