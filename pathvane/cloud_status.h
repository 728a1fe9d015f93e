// Copies what a request reports into a check's result slot.
#pragma once
#include <cstring>

#include "pathvane/pathvane.h"

// A 256-byte error text into the slot, its last byte forced to NUL.
inline void copy_slot_error(check_result& slot, const char (&text)[sizeof(check_result::curl_error)]) {
  std::memcpy(slot.curl_error, text, sizeof(slot.curl_error));
  slot.curl_error[sizeof(slot.curl_error) - 1] = '\0';
}

inline void copy_cloud_status(const zel_transfer_status& status, check_result& slot) {
  slot.curl_code = status.curl_code;
  slot.http_status = status.http_code;
  copy_slot_error(slot, status.error_text);
}
