// Copies a cloud request's status record into a check's result slot.
#pragma once
#include <cstring>

#include "pathvane/pathvane.h"

inline void copy_cloud_status(const zel_transfer_status& status, check_result& slot) {
  slot.curl_code = status.curl_code;
  slot.http_status = status.http_code;
  std::memcpy(slot.curl_error, status.error_text, sizeof(slot.curl_error));
  slot.curl_error[sizeof(slot.curl_error) - 1] = '\0';
}
