// What a transfer's facts show, read the one way every decider reads them:
// the stages it reached, where it went, and the evidence every cause of a
// transfer carries (addresses, route, times).
#pragma once
#include <nlohmann/json.hpp>
#include <string>

#include "diagnosis/diagnosis_context.h"
#include "diagnosis/xfer_facts.h"

// A stage reached: the facts' own bit, or what the older fields show.
bool reached(const xfer_facts& t, uint32_t stage);
// "192.0.2.1:443", "[2001:db8::1]:443"; "" when no connection was made.
std::string address_of(const xfer_facts& t);
// The proxy's "host:port" from "scheme://[user@]host:port"; "" when direct.
std::string proxy_host_port(const xfer_facts& t);
// The proxy's host name alone.
std::string proxy_host(const xfer_facts& t);
// The URL's "host:port" (brackets around an IPv6 address).
std::string target_of(const xfer_facts& t);
// Where the TCP connection went or was meant to go: the address when one
// was made, else the proxy's host:port, else the URL's.
std::string peer_of(const xfer_facts& t);
// "https", "http", or "" when the facts do not say.
std::string scheme_of(const xfer_facts& t);

// The evidence every transfer cause carries: host, port, route, proxy and
// how it was chosen, address, stages reached, times, curl code.
nlohmann::json transfer_evidence(const xfer_facts& t, const DiagnosisContext& context);
