// The plain request of the check library: common options, one GET or POST
// on the handle's shared transfer handle, and the verdict helpers.
#pragma once
#include <cstddef>
#include <cstdint>

#include "pathvane/pathvane.h"

// The TLS trust context handed to libcurl as the TLS-context callback's data.
using pathvane_trust_context = zel_trust_context;

// The trust context of the live handle's settings, in storage that outlives
// the request: the shared transfer handle keeps pointing at it afterwards.
const pathvane_trust_context* trust_context_of(const velta_client_settings& velta);

// Return codes of _proxy_http_request besides 0 (status read) and 1 (transfer failed).
constexpr int PATHVANE_REQUEST_NULL_ARG = 2;   // zel_err "Null argument passed to function"
constexpr int PATHVANE_REQUEST_EXTERNAL = 28;  // zel_err "External library error"

// Signals, TLS trust, verification, user agent and proxy: 0, or -1 after its error.
int _set_curl_opts(CURL* curl, const char* user_agent, const proxy_info* proxy, uint32_t ssl_flags,
                   const pathvane_trust_context* trust);

// libcurl's CURLOPT_SSL_CTX_FUNCTION: adds the trusted certificates to the connection.
CURLcode _sslctx_func(CURL* curl, void* ssl_ctx, void* trust_context);

// One plain request; post_body null means GET. Leaves its verdict inputs in result.
int _proxy_http_request(CURL* curl, const char* url, const char* user_agent, uint32_t ssl_flags,
                        const proxy_info* proxy, const pathvane_trust_context* trust, check_result* result,
                        const char* post_body);

// libcurl write callback that accepts and drops every body.
size_t discard_body(char* data, size_t size, size_t count, void* user);

// Outcome of a failed check from its transfer's code and HTTP status; never 0.
uint32_t outcome_from_transfer(int32_t curl_code, int32_t http_status);
