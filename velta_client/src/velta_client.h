// The cloud client's exchanges that the connectivity checks run: the
// registration in loopback mode, the policy download and the updater seed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "velta_client/src/common/xfer_functions.h"
#include "velta_client/src/common/zel_err.h"
#include "velta_client/src/common/zel_records.h"

// Capacity of the registration body, its NUL included.
constexpr size_t ZEL_REG_POST_SIZE = 1025;

// The registration form into out (at least ZEL_REG_POST_SIZE bytes): 0; 1 the
// body cannot be composed; 2 an argument other than itoken absent; 3 a GUID
// not 36 characters long.
int zel_velta_build_reg_post(char* out, const velta_client_settings* settings, const host_info* host,
                             const os_info* os, const char* itoken);

// Posts the registration and compares the echo: 0 or a zel_err code.
// status, when given, receives what the transfer reached.
int _velta_register_client(const velta_client_settings* settings, const host_info* host, const proxy_info* proxy,
                           const os_info* os, const char* itoken, zel_transfer_status* status);

// The updater seed request record; its proxy texts are its own copies.
struct zel_updater_handle {
  proxy_info proxy;
  uint32_t ssl_flags;
  char user_agent[401];
  int32_t curl_code;
  // libcurl's error buffer during the seed transfer; after it, the cause of
  // an empty or oversized seed where the transfer itself succeeded.
  char error_text[256];
  int32_t http_code;
};

// Capacity of the seed buffer, its NUL included.
constexpr size_t ZEL_UPDATER_SEED_SIZE = 8193;

zel_updater_handle* zel_updater_handle_create(const char* user_agent, const proxy_info* proxy, uint32_t ssl_flags);
// Frees the record and its proxy texts, the credentials wiped first.
void zel_updater_handle_free(zel_updater_handle* handle);

// Fetches the seed on the caller's transfer handle into seed (ZEL_UPDATER_SEED_SIZE
// bytes): 0 copied; 1 not modified or no usable seed; 2, 27, 28 or 29.
int get_updater_seed(zel_updater_handle* handle, CURL* curl, const zel_trust_context* tls, const char* url,
                     char* seed);

// The longest base URL of a policy download, as settings loading can hold it.
constexpr size_t ZEL_POLICY_URL_MAX = 1023;

// Fetches "<url>-<serial>" into the file at path: 0, or 2, 3, 4, 11, 27, 28 or 29.
// A URL longer than ZEL_POLICY_URL_MAX is not requested (3). A failure that
// happens here, not in the transfer, is named in status->error_text.
int zel_velta_fetch_policy(const char* url, uint32_t serial, const char* path, const char* user_agent,
                           const proxy_info* proxy, uint32_t ssl_flags, const zel_trust_context* tls,
                           zel_transfer_status* status);

// How the policy file is closed; a test seam for a close that fails.
extern int (*zel_policy_file_close)(FILE* file);
