// What each transfer showed beside its result: the times of its stages,
// where it went (directly or through which proxy), what the proxy and the
// server answered, the TLS it made and the chain the server presented. The
// facts of the running check's transfers are kept from one check's start to
// the next; the records the checks fill stay as they are.
#pragma once
#include <curl/curl.h>

#include <cstdint>

constexpr unsigned XFER_CHAIN_MAX = 8;  // certificates kept of a presented chain
constexpr unsigned XFER_FACTS_MAX = 4;  // transfers kept of one check

struct xfer_chain_cert {
  char subject[256];
  char issuer[256];
  char not_before[32];  // "2026-12-11 01:02:03 UTC"
  char not_after[32];
  char sha256[96];      // upper-case hex pairs joined by ':'
  int32_t known;        // the trusted set holds this very certificate
  int32_t verify_error;  // OpenSSL's verification error at this depth, 0 none
};

// Stages a transfer reached, as bits of xfer_facts::reached.
constexpr uint32_t XFER_REACHED_LOOKUP = 0x1;  // the first hop's name resolved
constexpr uint32_t XFER_REACHED_CONNECT = 0x2;  // TCP connected to the first hop
constexpr uint32_t XFER_REACHED_TUNNEL = 0x4;  // a proxy answered CONNECT with 2xx
constexpr uint32_t XFER_REACHED_TLS = 0x8;  // the TLS handshake with the server finished
constexpr uint32_t XFER_REACHED_ANSWER = 0x10;  // an answer's first byte arrived

struct xfer_facts {
  int32_t curl_code;
  uint32_t reached;  // XFER_REACHED_* bits
  // When the client hello went out, -1 when no handshake started; whether
  // any handshake message came back from the server.
  int64_t tls_start_us;
  int32_t tls_server_spoke;
  // Times in microseconds from the transfer's start; -1 when not reached.
  int64_t name_lookup_us;
  int64_t connect_us;
  int64_t tls_us;
  int64_t first_byte_us;
  int64_t total_us;
  char remote_ip[64];
  int32_t remote_port;
  int32_t connect_code;        // the proxy's answer to CONNECT, 0 when none
  char http_version[8];        // "1.0", "1.1", "2", "3"; "" when no answer
  int64_t proxy_auth_offered;  // CURLAUTH_* bits a proxy offered after a 407
  int64_t proxy_auth_used;     // the method set for the stored credentials
  int32_t proxy_has_credentials;
  char proxy[320];             // "http://host:port"; "" when direct
  char server_date[64];        // the answer's Date header; "" when none
  char tls_version[16];
  char tls_cipher[64];
  int32_t verify_error;  // the first verification error, 0 none
  char verify_error_text[128];
  uint32_t chain_count;  // certificates seen, even past XFER_CHAIN_MAX
  xfer_chain_cert chain[XFER_CHAIN_MAX];
  char host[256];           // the host name of the URL asked for
  int32_t url_port;         // its port, or its scheme's (0 when unknown)
  char url_scheme[8];       // "http", "https"; "" when unknown (a proxy tunnels only https)
  char redirect_url[512];   // where a redirect answer pointed; "" none
  // The challenges of the last answer (or the proxy's CONNECT answer):
  // Proxy-Authenticate and WWW-Authenticate, and its Server header.
  char proxy_challenge[128];
  char server_challenge[128];
  char server_software[64];
  // What a proxy's own answer said of itself: the Server header and any
  // proxy error header ("X-Squid-Error: ERR_CONNECT_FAIL 111") of its
  // CONNECT answer, and of a plain answer; the Via header of a plain answer.
  char connect_server[64];
  char connect_error[160];
  char proxy_error[160];
  char via[160];
  char leaf_names[512];     // the leaf's "DNS:name, IP:address" entries, cut at a whole entry
  // An echo the check compared with what it sent (echo_compared set):
  // the lengths, and the offset of the first byte that differed, -1 when
  // every byte received matched.
  int32_t echo_compared;
  uint64_t echo_sent;
  uint64_t echo_received;
  int64_t echo_first_difference;
};

// The running check: its transfers' facts start afresh.
void xfer_facts_begin_check();
unsigned xfer_facts_count();
// Null past the count.
const xfer_facts* xfer_facts_at(unsigned index);

// Before each perform: a fresh record for it, which the reader of the
// finished transfer takes (null when none is being performed).
void xfer_facts_before(CURL* curl);
xfer_facts* xfer_facts_take_in_flight();

// Called with each TLS context the trust hook sees: watches the handshake
// for the TLS version, cipher and the presented chain, keeping the verify
// mode libcurl chose.
void xfer_facts_watch_tls(void* ssl_ctx);

// The options a check set that the facts report (proxy, its port, type and
// authentication, whether credentials were given) and its time-out, as
// xfer_setopt sees them.
void xfer_facts_note_long(CURL* curl, CURLoption option, long value);
void xfer_facts_note_pointer(CURL* curl, CURLoption option, const void* value);
// The CURLOPT_TIMEOUT last set on the handle; 0 when none was.
long xfer_facts_timeout(CURL* curl);

// The echo comparison of the check's newest transfer.
void xfer_facts_note_echo(uint64_t sent, uint64_t received, int64_t first_difference);

// The "[timing]" line's text for one transfer (exposed for its tests).
void xfer_facts_timing_line(const xfer_facts& facts, char* line, size_t size);
