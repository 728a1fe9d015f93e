// A growable response text for the cloud client's transfers.
#pragma once
#include <cstddef>
#include <cstdint>

struct string_resp {
  char* data;  // always NUL-terminated when present
  size_t len;  // characters held, without the NUL
  // Set once bytes were dropped to keep the text within its collector's bound.
  uint8_t too_long;
};

// A registration answer longer than this can never repeat the body, so no more is kept.
constexpr size_t ZEL_REGISTRATION_RESPONSE_MAX = 1025;

// A new response whose data is one zero byte; null after its error.
string_resp* _string_resp_create();
// Appends count bytes: 0, or -1 (a failed reallocation empties the text).
int _string_resp_append(string_resp* resp, const char* bytes, size_t count);
// libcurl write callback of the registration answer, kept up to ZEL_REGISTRATION_RESPONSE_MAX bytes.
size_t _string_resp_write(char* bytes, size_t size, size_t nmemb, void* resp);
void _string_resp_free(string_resp* resp);
