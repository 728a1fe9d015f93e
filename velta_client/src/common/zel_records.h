// Records the cloud client takes from its callers: the proxy description,
// the identity and TLS settings, the host identity and a request's status.
// The check library builds on them, so they live here, below it.
#pragma once
#include <openssl/types.h>

#include <cstdint>

#include "shared_agent/util/host_records.h"

constexpr uint32_t ZEL_NO_PROXY = 0xFFFFFFFFu;

struct proxy_info {
  uint32_t proxy_type;  // ZEL_NO_PROXY, or libcurl's proxy type
  char* proxy_server;
  int32_t proxy_port;
  uint32_t proxy_auth;  // libcurl auth bits; only Basic (1) and NTLM (8) pass
  char* proxy_username;
  char* proxy_password;
};

// Adds the trusted certificates to a TLS context's store.
using zel_trust_callback = void (*)(X509_STORE* store, X509* cert);

constexpr uint32_t SSL_FLAG_NO_VERIFY_HOST = 0x1;
constexpr uint32_t SSL_FLAG_NO_VERIFY_PEER = 0x2;

struct velta_client_settings {
  char agent_guid[37];
  char business_guid[37];
  char affiliate_guid[37];
  char user_agent[401];
  char mgmt_url[1025];
  uint32_t ssl_flags;
  X509* trust_cert;  // one reference owned
  zel_trust_callback trust_callback;
};

// The TLS trust context handed to libcurl as the TLS-context callback's data:
// the same two fields, in the same order, as at the end of the settings.
struct zel_trust_context {
  X509* trust_cert;
  zel_trust_callback trust_callback;
};

// What one cloud request reports to its caller; zero-filled by the caller.
struct zel_transfer_status {
  int32_t curl_code;
  int32_t http_code;
  char error_text[256];  // libcurl's error buffer for the transfer
};
