// Declarations shared by the check library's own files.
#pragma once
#include <cstddef>
#include <cstdint>

#include "pathvane/pathvane.h"

// Frees (and wipes the credentials of) one proxy description; marks it "no proxy".
void _free_proxy_info(proxy_info* proxy);

// How the handle gives its texts back (free); a test seam to see that
// secrets are wiped before they go.
extern void (*pathvane_release_text)(void* block);

// libcurl's debug callback: traces libcurl's informational text, nothing else.
int _curl_debug(CURL* curl, curl_infotype type, char* data, size_t size, void* user);

// The bytes every loopback upload sends: word i holds i, the last word 0.
constexpr size_t PATHVANE_LOOPBACK_WORDS = 65536;
constexpr size_t PATHVANE_LOOPBACK_SENT_BYTES = (PATHVANE_LOOPBACK_WORDS - 1) * 2;
extern uint16_t loopback_pattern[PATHVANE_LOOPBACK_WORDS];
