// WinHTTP's proxy and bypass lists, as its proxy settings and proxy scripts
// give them, read for one test URL. Kept apart from WinHTTP itself so that
// the reading can be tested anywhere.
#pragma once
#include <string_view>
#include <vector>

#include "agent/proxfind/proxy_finder.h"

// The proxies proxy_list names for test_url, in list order (rank 0, 1, ...),
// with source PROXY_SOURCE_WINHTTP and url test_url. The list holds entries
// "[scope=][scheme://]host[:port]" separated by ';' or whitespace. An entry
// scoped to the URL's scheme ("https=" for an https URL) serves it; without
// one, the unscoped entries do; without those, the "socks=" entries. None
// when bypass_list covers the URL's host.
std::vector<DiscoveredProxy> winhttp_proxies_for(std::string_view proxy_list, std::string_view bypass_list,
                                                 std::string_view test_url);

// Whether bypass_list (entries separated by ';', ',' or whitespace) names
// host: "<local>" for a name without dots, '*' patterns such as
// "*.example.com" or "10.*", or the name itself; letter case aside.
bool winhttp_bypassed(std::string_view bypass_list, std::string_view host);
