// The causes and hints on made-up check records: which cause each kind of
// failure is decided as (code and key), which words it gets, and that a
// passing check gets none.
#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "diagnosis/hints.h"
#include "diagnosis/hint_words.h"

namespace {

constexpr std::time_t kNow = 1797000000;  // 2026-12-11 14:40:00 UTC

void put(char* field, size_t size, const std::string& value) {
  std::memset(field, 0, size);
  std::memcpy(field, value.data(), std::min(value.size(), size - 1));
}
#define PUT(field, value) put(field, sizeof(field), value)

xfer_facts transfer(const std::string& host, const std::string& ip = "", int port = 0) {
  xfer_facts t{};
  PUT(t.host, host);
  PUT(t.remote_ip, ip);
  t.remote_port = port;
  t.name_lookup_us = 1000;
  t.connect_us = -1;
  t.tls_us = -1;
  t.first_byte_us = -1;
  t.total_us = 15000000;
  return t;
}

xfer_chain_cert cert(const std::string& subject, const std::string& issuer, int error = 0) {
  xfer_chain_cert c{};
  PUT(c.subject, subject);
  PUT(c.issuer, issuer);
  PUT(c.not_before, "2026-11-01 00:00:00 UTC");
  PUT(c.not_after, "2026-12-01 00:00:00 UTC");
  c.verify_error = error;
  return c;
}

CheckRecord record(uint32_t bit, int rc, Counted counted, int status, std::vector<xfer_facts> transfers) {
  CheckRecord r;
  r.name = "made up";
  r.bit = bit;
  r.rc = rc;
  r.slot_read = true;
  r.slot.outcome = rc == 0 ? OUTCOME_PASS : rc == 6 ? OUTCOME_NOT_RUN : OUTCOME_FAILED;
  r.slot.http_status = status;
  r.counted = counted;
  r.transfers = std::move(transfers);
  return r;
}

std::string joined(const std::vector<std::string>& hints) {
  std::string all;
  for (const auto& h : hints) all += h + "\n";
  return all;
}

struct RuleCase {
  const char* label;
  std::function<CheckRecord()> make;
  std::vector<std::string> expected;  // each in the hints; none at all when empty
  std::vector<std::string> absent = {};
  const char* code = nullptr;  // the first cause's, when set
  const char* key = nullptr;
  ProxyChoice source = ProxyChoice::kNone;
  bool stored_proxy_set = false;
};

xfer_facts proxied(const std::string& host, const std::string& scheme, int connect_code = 0) {
  auto t = transfer(host, "10.0.0.8", 3128);
  PUT(t.proxy, "http://10.0.0.8:3128");
  PUT(t.url_scheme, scheme);
  t.url_port = scheme == "https" ? 443 : 80;
  t.connect_code = connect_code;
  return t;
}

TEST(HintRules, EachFailureNamesItsStageAndEvidence) {
  const RuleCase cases[] = {
      {"pass", [] { return record(0x1, 0, Counted::kSuccess, 200, {transfer("cloud.example", "192.0.2.1", 443)}); },
       {}},
      {"not run, no transfer",
       [] { return record(0x20, 6, Counted::kFailed, 0, {}); },
       {"not run", "config/agent/submission/http_upload_server"}},
      {"stopped before a transfer",
       [] {
         auto r = record(0x20, -1, Counted::kIssues, 0, {});
         PUT(r.slot.curl_error, "Bad submit server protocol (HTTP)");
         return r;
       },
       {"before any transfer: Bad submit server protocol (HTTP)"}},
      {"cloud host does not resolve",
       [] {
         auto t = transfer("nowhere.invalid");
         t.curl_code = CURLE_COULDNT_RESOLVE_HOST;
         return record(0x1, -1, Counted::kFailed, 0, {t});
       },
       {"Name lookup", "cloud host name \"nowhere.invalid\" did not resolve", "directly"}},
      {"proxy host does not resolve",
       [] {
         auto t = transfer("cloud.example");
         PUT(t.proxy, "http://proxy.invalid:3128");
         t.curl_code = CURLE_COULDNT_RESOLVE_PROXY;
         return record(0x1, -1, Counted::kFailed, 0, {t});
       },
       {"proxy's host name \"proxy.invalid\"", "http://proxy.invalid:3128"},
       {"cloud host name"}},
      {"refused directly",
       [] {
         auto t = transfer("127.0.0.1", "127.0.0.1", 9);
         t.curl_code = CURLE_COULDNT_CONNECT;
         return record(0x4, -1, Counted::kFailed, 0, {t});
       },
       {"Connect", "127.0.0.1:9", "refused", "directly"}},
      {"refused at the proxy",
       [] {
         auto t = transfer("cloud.example", "10.0.0.8", 3128);
         PUT(t.proxy, "http://10.0.0.8:3128");
         t.curl_code = CURLE_COULDNT_CONNECT;
         return record(0x4, -1, Counted::kFailed, 0, {t});
       },
       {"proxy http://10.0.0.8:3128 at 10.0.0.8:3128 was refused"}},
      {"no connection within the time-out: no address was ever connected",
       [] {
         auto t = transfer("cloud.example");
         t.url_port = 443;
         t.curl_code = CURLE_OPERATION_TIMEDOUT;
         return record(0x1, -1, Counted::kFailed, 0, {t});
       },
       {"no connection to cloud.example:443 was made", "15.0 s", "dropped"}, {}, "tcp.dropped", "cloud.example:443"},
      {"connected, then silence",
       [] {
         auto t = transfer("127.0.0.1", "127.0.0.1", 4000);
         t.curl_code = CURLE_OPERATION_TIMEDOUT;
         t.connect_us = 300;
         return record(0x1, -1, Counted::kFailed, 0, {t});
       },
       {"127.0.0.1:4000 accepted the connection", "stayed silent"},
       {"dropped"}, "cloud.silent", "127.0.0.1:4000"},
      {"proxy 407 in the CONNECT, wrong password",
       [] {
         auto t = transfer("cloud.example", "127.0.0.1", 3128);
         PUT(t.proxy, "http://127.0.0.1:3128");
         t.curl_code = CURLE_RECV_ERROR;
         t.connect_code = 407;
         t.proxy_auth_offered = CURLAUTH_BASIC;
         t.proxy_auth_used = CURLAUTH_BASIC;
         t.proxy_has_credentials = 1;
         return record(0x1, -1, Counted::kFailed, 0, {t});
       },
       {"answered CONNECT with HTTP 407", "curl code 56 and no answer", "sent with Basic, which it offered",
        "is wrong"}},
      {"proxy 401 to CONNECT with a challenge",
       [] {
         auto t = transfer("cloud.example");
         PUT(t.proxy, "http://127.0.0.1:3128");
         PUT(t.server_challenge, "Basic realm=\"Filter\"");
         t.curl_code = CURLE_RECV_ERROR;
         t.connect_code = 401;
         t.proxy_auth_used = CURLAUTH_NTLM;
         t.proxy_has_credentials = 1;
         return record(0x1, -1, Counted::kFailed, 0, {t});
       },
       {"answered CONNECT with HTTP 401 (Unauthorized", "it offered Basic, but the credentials are sent with NTLM"},
       {}, "proxy.auth_method", "127.0.0.1:3128 401"},
      {"401 through a proxy that carried the request",
       [] {
         auto t = transfer("cloud.example");
         PUT(t.proxy, "http://127.0.0.1:3128");
         PUT(t.server_software, "FilterBox/2");
         t.proxy_auth_used = CURLAUTH_BASIC;
         t.proxy_has_credentials = 1;
         return record(0x1, -1, Counted::kIssues, 401, {t});
       },
       {"HTTP 401 came back through the proxy http://127.0.0.1:3128", "Server: FilterBox/2", "or the server asked",
        "sent with Basic"}},
      {"proxy offers another method",
       [] {
         auto t = transfer("cloud.example");
         PUT(t.proxy, "http://127.0.0.1:3128");
         t.proxy_auth_offered = CURLAUTH_NTLM | CURLAUTH_NEGOTIATE;
         t.proxy_auth_used = CURLAUTH_BASIC;
         t.proxy_has_credentials = 1;
         return record(0x1, -1, Counted::kIssues, 407, {t});
       },
       {"HTTP 407", "offered NTLM, Negotiate", "sent with Basic", "(config/proxy/authtype)"},
       {"is wrong"}, "proxy.auth_method", "127.0.0.1:3128 407", ProxyChoice::kStored},
      {"proxy asks, nothing stored",
       [] {
         auto t = transfer("cloud.example");
         PUT(t.proxy, "http://127.0.0.1:3128");
         t.proxy_auth_offered = CURLAUTH_BASIC;
         return record(0x1, -1, Counted::kIssues, 407, {t});
       },
       {"no credentials were given", "offered Basic", "(config/proxy/username, config/proxy/password)",
        "the agent's stored proxy"},
       {"discovery"}, "proxy.auth_missing", "127.0.0.1:3128 407", ProxyChoice::kStored},
      {"CONNECT refused",
       [] {
         auto t = transfer("cloud.example");
         PUT(t.proxy, "http://127.0.0.1:3128");
         t.curl_code = CURLE_RECV_ERROR;
         t.connect_code = 403;
         return record(0x1, -1, Counted::kFailed, 0, {t});
       },
       {"refused to open a tunnel to cloud.example", "CONNECT with HTTP 403", "allowed CONNECT ports"},
       {}, "proxy.connect_denied", "127.0.0.1:3128 403"},
      {"leaf sent alone, its issuer not self-signed: the missing intermediate comes first",
       [] {
         auto t = transfer("cloud.example");
         t.curl_code = CURLE_PEER_FAILED_VERIFICATION;
         t.verify_error = X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY;
         PUT(t.verify_error_text, "unable to get local issuer certificate");
         t.chain_count = 1;
         t.chain[0] = cert("/CN=cloud.example", "/CN=FilterBox Inspection CA", t.verify_error);
         return record(0x1, -1, Counted::kFailed, 0, {t});
       },
       {"presented its certificate \"/CN=cloud.example\" alone", "issued by \"/CN=FilterBox Inspection CA\"",
        "the first most likely: the server does not send its intermediate certificate", "TLS-inspecting proxy",
        "config/agent/cloud/trustedcerts/cert"},
       {}, "tls.missing_intermediate", "/CN=FilterBox Inspection CA"},
      {"chain ends in an unknown root it sent",
       [] {
         auto t = transfer("cloud.example");
         t.curl_code = CURLE_PEER_FAILED_VERIFICATION;
         t.verify_error = X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN;
         t.chain_count = 2;
         t.chain[0] = cert("/CN=cloud.example", "/CN=Other Root");
         t.chain[1] = cert("/CN=Other Root", "/CN=Other Root", t.verify_error);
         return record(0x1, -1, Counted::kFailed, 0, {t});
       },
       {"ends in the CA \"/CN=Other Root\"", "TLS-inspecting proxy"},
       {"intermediate"}, "tls.untrusted_ca", "/CN=Other Root"},
      {"expired",
       [] {
         auto t = transfer("cloud.example");
         t.curl_code = CURLE_PEER_FAILED_VERIFICATION;
         t.verify_error = X509_V_ERR_CERT_HAS_EXPIRED;
         t.chain_count = 1;
         t.chain[0] = cert("/CN=localhost", "/CN=Cloud CA", t.verify_error);
         return record(0x1, -1, Counted::kFailed, 0, {t});
       },
       {"\"/CN=localhost\"", "is expired", "2026-12-01 00:00:00 UTC", "local clock says 2026-12-11 14:40:00 UTC"}},
      {"name not in the certificate",
       [] {
         auto t = transfer("127.0.0.1");
         t.curl_code = CURLE_PEER_FAILED_VERIFICATION;
         t.chain_count = 1;
         t.chain[0] = cert("/CN=other-host.example", "/CN=Cloud CA");
         PUT(t.leaf_names, "DNS:other-host.example");
         return record(0x1, -1, Counted::kFailed, 0, {t});
       },
       {"does not hold the name \"127.0.0.1\"", "it holds DNS:other-host.example"}},
      {"name covered by a wildcard: no mismatch claimed",
       [] {
         auto t = transfer("api.cloud.example");
         t.curl_code = CURLE_PEER_FAILED_VERIFICATION;
         t.chain_count = 1;
         t.chain[0] = cert("/CN=cloud", "/CN=Cloud CA");
         PUT(t.leaf_names, "DNS:*.cloud.example");
         return record(0x1, -1, Counted::kFailed, 0, {t});
       },
       {"OpenSSL named no error"},
       {"does not hold"}},
      {"registration refused",
       [] { return record(0x4, -1, Counted::kIssues, 401, {transfer("cloud.example")}); },
       {"refused this agent's registration (HTTP 401)", "config/velta/install/token"}},
      {"upload refused",
       [] { return record(0x20, -1, Counted::kIssues, 403, {transfer("cloud.example")}); },
       {"refused this agent's upload (HTTP 403)", "GUID"}},
      {"service failed",
       [] { return record(0x800, -1, Counted::kFailed, 503, {transfer("cloud.example")}); },
       {"service at cloud.example failed (HTTP 503)"}},
      {"echo altered",
       [] {
         auto t = transfer("cloud.example");
         t.echo_compared = 1;
         t.echo_sent = 131070;
         t.echo_received = 131070;
         t.echo_first_difference = 131069;
         return record(0x10, -1, Counted::kIssues, 200, {t});
       },
       {"came back altered", "offset 131069", "131070 bytes sent, 131070 received"}},
      {"echo short",
       [] {
         auto t = transfer("cloud.example");
         t.echo_compared = 1;
         t.echo_sent = 131070;
         t.echo_received = 1000;
         t.echo_first_difference = -1;
         return record(0x10, -1, Counted::kIssues, 200, {t});
       },
       {"came back short: 1000 of 131070 bytes"},
       {"altered"}},
      {"passed with a redirect",
       [] {
         auto t = transfer("cloud.example");
         PUT(t.redirect_url, "https://moved.example/health");
         return record(0x1, 0, Counted::kIssues, 301, {t});
       },
       {"HTTP 301", "sends the request to https://moved.example/health", "config/proxy/testurl"}},
      {"other status",
       [] { return record(0x1, -1, Counted::kIssues, 404, {transfer("cloud.example", "192.0.2.1", 443)}); },
       {"cloud.example (192.0.2.1:443) answered HTTP 404"}},
      {"TLS hello sent, nothing came back",
       [] {
         auto t = transfer("cloud.example", "192.0.2.1", 443);
         t.curl_code = CURLE_OPERATION_TIMEDOUT;
         t.connect_us = 0;  // libcurl's 0 while the handshake is unfinished
         t.tls_start_us = 2500;
         return record(0x1, -1, Counted::kFailed, 0, {t});
       },
       {"cloud.example (192.0.2.1:443) accepted the TCP connection", "client hello went out at 0.0 s",
        "filters TLS by the server name"},
       {"dropped", "after 0.0 s"}, "tls.handshake_unanswered", "192.0.2.1:443"},
      {"IPv6 peer silent after the hello: the address in brackets",
       [] {
         auto t = transfer("cloud.example", "2001:db8::1", 443);
         t.curl_code = CURLE_OPERATION_TIMEDOUT;
         t.tls_start_us = 2500;
         return record(0x1, -1, Counted::kFailed, 0, {t});
       },
       {"cloud.example ([2001:db8::1]:443)"}, {}, "tls.handshake_unanswered", "[2001:db8::1]:443"},
      {"answer began and did not end",
       [] {
         auto t = transfer("cloud.example", "192.0.2.1", 443);
         t.curl_code = CURLE_OPERATION_TIMEDOUT;
         t.first_byte_us = 4000000;
         return record(0x1, -1, Counted::kFailed, 0, {t});
       },
       {"began to answer (after 4.0 s)", "did not end"}, {"silent"}, "cloud.answer_unfinished", "cloud.example"},
      {"proxy accepted, never answered CONNECT",
       [] {
         auto t = proxied("cloud.example", "https");
         t.curl_code = CURLE_OPERATION_TIMEDOUT;
         return record(0x1, -1, Counted::kFailed, 0, {t});
       },
       {"the proxy http://10.0.0.8:3128 accepted the connection but never answered the request to open a tunnel to "
        "cloud.example:443"},
       {"dropped", "cannot be told"}, "proxy.silent", "10.0.0.8:3128 0"},
      {"tunnel opened, then silence",
       [] {
         auto t = proxied("cloud.example", "https", 200);
         t.curl_code = CURLE_OPERATION_TIMEDOUT;
         t.tls_start_us = 3000;
         return record(0x1, -1, Counted::kFailed, 0, {t});
       },
       {"opened the tunnel to cloud.example:443 (CONNECT answered 200), but nothing came back"},
       {"dropped", "never answered the request"}, "proxy.tunnel_silent", "10.0.0.8:3128 200"},
      {"plain request through a silent proxy",
       [] {
         auto t = proxied("cloud.example", "http");
         t.curl_code = CURLE_OPERATION_TIMEDOUT;
         return record(0x1, -1, Counted::kFailed, 0, {t});
       },
       {"took the request for cloud.example", "cannot be told from a silent cloud.example"}, {"dropped"},
       "proxy_or_cloud.silent", "10.0.0.8:3128 0"},
      {"IPv6 refused",
       [] {
         auto t = transfer("2001:db8::1", "2001:db8::1", 443);
         t.curl_code = CURLE_COULDNT_CONNECT;
         return record(0x1, -1, Counted::kFailed, 0, {t});
       },
       {"connection to [2001:db8::1]:443 was refused"}, {}, "tcp.refused", "[2001:db8::1]:443"},
      {"proxy could not reach the cloud's port",
       [] {
         auto t = proxied("cloud.example", "https", 503);
         t.curl_code = CURLE_RECV_ERROR;
         PUT(t.connect_server, "squid/5.7");
         PUT(t.connect_error, "X-Squid-Error: ERR_CONNECT_FAIL 111");
         return record(0x1, -1, Counted::kFailed, 0, {t});
       },
       {"could not open its own connection to cloud.example:443", "CONNECT with HTTP 503",
        "Its answer says: Server: squid/5.7; X-Squid-Error: ERR_CONNECT_FAIL 111"},
       {"refused"}, "proxy.connect_failed", "10.0.0.8:3128 503"},
      {"proxy could not reach the cloud, no reason given",
       [] {
         auto t = proxied("cloud.example", "https", 502);
         t.curl_code = CURLE_RECV_ERROR;
         return record(0x1, -1, Counted::kFailed, 0, {t});
       },
       {"could not open its own connection", "Its answer gives no reason."}, {"refused"}, "proxy.connect_failed",
       "10.0.0.8:3128 502"},
      {"plain request: the proxy's own error answer",
       [] {
         auto t = proxied("cloud.example", "http");
         PUT(t.server_software, "squid/5.7");
         PUT(t.proxy_error, "X-Squid-Error: ERR_CANNOT_FORWARD 0");
         return record(0x1, -1, Counted::kFailed, 500, {t});
       },
       {"answered the request for cloud.example:80 itself with HTTP 500", "X-Squid-Error: ERR_CANNOT_FORWARD 0",
        "the proxy's own answer"},
       {"server's side"}, "proxy.error_answer", "10.0.0.8:3128 500"},
      {"plain request: 502 with Via alone cannot be told apart",
       [] {
         auto t = proxied("cloud.example", "http");
         PUT(t.via, "1.1 gw.example (squid/5.7)");
         return record(0x1, -1, Counted::kFailed, 502, {t});
       },
       {"HTTP 502", "Via: 1.1 gw.example (squid/5.7) shows only that it passed through a proxy", "cannot be told"},
       {}, "cloud.server_error", "cloud.example:80"},
      {"direct 500 is the server's fault",
       [] { return record(0x800, -1, Counted::kFailed, 500, {transfer("cloud.example")}); },
       {"failed (HTTP 500): the fault is on the server's side"}, {"gateway"}, "cloud.server_error", "cloud.example"},
      {"direct 502 is a gateway's",
       [] { return record(0x800, -1, Counted::kFailed, 502, {transfer("cloud.example")}); },
       {"HTTP 502", "a gateway or load balancer in front of the service"}, {"fault is on the server's side"}},
      {"CONNECT answered 200, then plain text",
       [] {
         auto t = proxied("cloud.example", "https", 200);
         t.curl_code = CURLE_SSL_CONNECT_ERROR;
         auto r = record(0x1, -1, Counted::kFailed, 0, {t});
         PUT(r.slot.curl_error, "error:0A00010B:SSL routines::wrong version number");
         return r;
       },
       {"answered CONNECT to cloud.example:443 with HTTP 200", "wrong version number", "captive portal",
        "answered in plain text"},
       {}, "tls.not_tunnelled", "10.0.0.8:3128 200"},
      {"expired intermediate is named as such",
       [] {
         auto t = transfer("cloud.example");
         t.curl_code = CURLE_PEER_FAILED_VERIFICATION;
         t.verify_error = X509_V_ERR_CERT_HAS_EXPIRED;
         t.chain_count = 3;
         t.chain[0] = cert("/CN=cloud.example", "/CN=Cloud Intermediate");
         t.chain[1] = cert("/CN=Cloud Intermediate", "/CN=Cloud Root", t.verify_error);
         t.chain[2] = cert("/CN=Cloud Root", "/CN=Cloud Root");
         return record(0x1, -1, Counted::kFailed, 0, {t});
       },
       {"the intermediate certificate \"/CN=Cloud Intermediate\" (depth 1", "is expired"},
       {"\"/CN=cloud.example\""}, "tls.expired", "/CN=Cloud Intermediate"},
      {"not yet valid",
       [] {
         auto t = transfer("cloud.example");
         t.curl_code = CURLE_PEER_FAILED_VERIFICATION;
         t.verify_error = X509_V_ERR_CERT_NOT_YET_VALID;
         t.chain_count = 1;
         t.chain[0] = cert("/CN=cloud.example", "/CN=Cloud CA", t.verify_error);
         return record(0x1, -1, Counted::kFailed, 0, {t});
       },
       {"\"/CN=cloud.example\"", "is not valid yet", "issued for later"}, {"expired"}, "tls.not_yet_valid",
       "/CN=cloud.example"},
      {"the certificate's second name matches the host: no mismatch claimed",
       [] {
         auto t = transfer("cloud.example");
         t.curl_code = CURLE_PEER_FAILED_VERIFICATION;
         t.chain_count = 1;
         t.chain[0] = cert("/CN=other.example", "/CN=Cloud CA");
         PUT(t.leaf_names, "DNS:other.example, DNS:cloud.example");
         return record(0x1, -1, Counted::kFailed, 0, {t});
       },
       {"OpenSSL named no error"}, {"does not hold"}, "tls.verify_failed"},
      {"crash-dump upload refused with 403: no identity claimed",
       [] { return record(0x8, -1, Counted::kIssues, 403, {transfer("dumps.example")}); },
       {"crash-dump server dumps.example refused the upload (HTTP 403)", "config/agent/crashdump/url",
        "a firewall or web filter in front of the cloud may answer 403 too"},
       {"GUID"}, "cloud.refused", "dumps.example"},
      {"health test 404 names the setting holding the URL",
       [] { return record(0x1, -1, Counted::kIssues, 404, {transfer("cloud.example")}); },
       {"HTTP 404", "config/proxy/testurl"}, {}, "cloud.not_found", "cloud.example"},
      {"echo through a proxy: the passing checks may be the proxy's",
       [] {
         auto t = proxied("cloud.example", "http");
         t.echo_compared = 1;
         t.echo_sent = 500;
         t.echo_received = 812;
         t.echo_first_difference = 0;
         return record(0x4, -1, Counted::kIssues, 200, {t});
       },
       {"offset 0; 500 bytes sent, 812 received", "may have been answered by the proxy itself, not the cloud"}, {},
       "echo.altered", "cloud.example:80"},
      {"discovered proxy asks: discovery's sources, no stored keys",
       [] {
         auto t = proxied("cloud.example", "https", 407);
         t.curl_code = CURLE_RECV_ERROR;
         t.proxy_auth_offered = CURLAUTH_BASIC;
         return record(0x1, -1, Counted::kFailed, 0, {t});
       },
       {"found by proxy discovery", "environment variables, the desktop's proxy settings and an auto-configuration",
        "/PP would use the agent's stored proxy (config/proxy/server)"},
       {"config/proxy/username", "config/proxy/password"}, "proxy.auth_missing", "10.0.0.8:3128 407",
       ProxyChoice::kDiscovered, true},
      {"discovered proxy, no stored proxy: /PP not offered",
       [] {
         auto t = proxied("cloud.example", "https", 407);
         t.curl_code = CURLE_RECV_ERROR;
         t.proxy_auth_offered = CURLAUTH_BASIC;
         t.proxy_auth_used = CURLAUTH_BASIC;
         t.proxy_has_credentials = 1;
         return record(0x1, -1, Counted::kFailed, 0, {t});
       },
       {"found by proxy discovery", "is wrong"}, {"/PP", "config/proxy/"}, "proxy.auth_refused",
       "10.0.0.8:3128 407", ProxyChoice::kDiscovered, false},
  };
  for (const auto& c : cases) {
    DiagnosisContext context;
    context.now = kNow;
    context.proxy_source = c.source;
    context.stored_proxy_set = c.stored_proxy_set;
    CheckRecord r = c.make();
    diagnose_check(r, context);
    const auto& hints = r.hints;
    const std::string all = joined(hints);
    if (c.expected.empty()) {
      EXPECT_TRUE(hints.empty()) << c.label << "\n" << all;
      EXPECT_TRUE(r.causes.empty()) << c.label;
    } else {
      EXPECT_FALSE(hints.empty()) << c.label;
    }
    if (c.code) {
      ASSERT_FALSE(r.causes.empty()) << c.label;
      EXPECT_EQ(r.causes[0].code, c.code) << c.label << "\n" << all;
      if (c.key) {
        EXPECT_EQ(r.causes[0].key, c.key) << c.label;
      }
    }
    for (const auto& part : c.expected) EXPECT_NE(all.find(part), std::string::npos) << c.label << ": " << part << "\n" << all;
    for (const auto& part : c.absent) EXPECT_EQ(all.find(part), std::string::npos) << c.label << ": " << part << "\n" << all;
    EXPECT_EQ(all.find("Clock:"), std::string::npos) << c.label;
  }
}

std::vector<std::string> hints_of(CheckRecord r, DiagnosisContext& context) {
  diagnose_check(r, context);
  return r.hints;
}

CheckRecord dated(const std::string& date) {
  auto t = transfer("cloud.example");
  PUT(t.server_date, date);
  return record(0x1, 0, Counted::kSuccess, 200, {t});
}

TEST(HintRules, ClockSkewIsToldOnceEvenWhenEveryCheckPasses) {
  DiagnosisContext context;
  context.now = kNow;
  // Four minutes off is within bounds.
  EXPECT_TRUE(hints_of(dated("Fri, 11 Dec 2026 14:36:00 GMT"), context).empty());
  EXPECT_FALSE(context.skew_told);
  // Two hours behind the local clock, on a check that passed.
  CheckRecord passed = dated("Fri, 11 Dec 2026 12:40:00 GMT");
  diagnose_check(passed, context);
  ASSERT_EQ(passed.hints.size(), 1u);
  EXPECT_NE(passed.hints[0].find("2 h 0 min ahead of the Date header of cloud.example"), std::string::npos)
      << passed.hints[0];
  ASSERT_EQ(passed.causes.size(), 1u);
  EXPECT_EQ(passed.causes[0].code, "clock.skew");
  EXPECT_EQ(passed.causes[0].key, "cloud.example");
  EXPECT_TRUE(context.skew_told);
  EXPECT_TRUE(hints_of(dated("Fri, 11 Dec 2026 12:40:00 GMT"), context).empty());
  // A date that does not parse says nothing.
  DiagnosisContext fresh;
  fresh.now = kNow;
  EXPECT_TRUE(hints_of(dated("yesterday"), fresh).empty());
}

TEST(HintRules, SkewPastFiveMinutesAndItsDuration) {
  const struct {
    const char* date;
    const char* words;  // "" when within bounds
  } cases[] = {
      {"Fri, 11 Dec 2026 14:35:00 GMT", ""},                       // exactly five minutes
      {"Fri, 11 Dec 2026 14:34:00 GMT", "6 min 0 s ahead of"},     // six minutes
      {"Fri, 11 Dec 2026 14:46:40 GMT", "6 min 40 s behind"},      // the other way
      {"Fri, 11 Dec 2026 12:10:00 GMT", "2 h 30 min ahead of"},
  };
  for (const auto& c : cases) {
    DiagnosisContext context;
    context.now = kNow;
    const auto hints = hints_of(dated(c.date), context);
    if (!c.words[0]) {
      EXPECT_TRUE(hints.empty()) << c.date << "\n" << joined(hints);
      continue;
    }
    ASSERT_EQ(hints.size(), 1u) << c.date;
    EXPECT_NE(hints[0].find(c.words), std::string::npos) << c.date << "\n" << hints[0];
  }
}

CheckRecord untrusted(const char* name) {
  auto t = transfer("cloud.example");
  t.curl_code = CURLE_PEER_FAILED_VERIFICATION;
  t.verify_error = X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN;
  t.chain_count = 2;
  t.chain[0] = cert("/CN=cloud.example", "/CN=FilterBox CA");
  t.chain[1] = cert("/CN=FilterBox CA", "/CN=FilterBox CA", t.verify_error);
  auto r = record(0x1, -1, Counted::kFailed, 0, {t});
  r.name = name;
  return r;
}

TEST(HintRules, ACauseToldBeforeIsOneLineNamingTheFirstCheckAndKeepsItsCauses) {
  DiagnosisContext context;
  context.now = kNow;
  context.trusted_subjects = {"/O=Orvix/CN=Orvix Cloud CA", "/CN=Orvix EST CA"};
  CheckRecord first = untrusted("Health Test");
  diagnose_check(first, context);
  ASSERT_EQ(first.hints.size(), 2u) << joined(first.hints);
  EXPECT_NE(first.hints[0].find("\"/O=Orvix/CN=Orvix Cloud CA\", \"/CN=Orvix EST CA\""), std::string::npos)
      << first.hints[0];
  CheckRecord later = untrusted("Event Intake");
  diagnose_check(later, context);
  ASSERT_EQ(later.hints.size(), 1u) << joined(later.hints);
  EXPECT_EQ(later.hints[0], "TLS: the same cause as told for \"Health Test\" (tls.untrusted_ca, /CN=FilterBox CA).");
  ASSERT_EQ(later.causes.size(), 1u);
  EXPECT_EQ(later.causes[0].code, first.causes[0].code);
  EXPECT_EQ(later.causes[0].key, first.causes[0].key);
  EXPECT_EQ(later.causes[0].evidence, first.causes[0].evidence);
  // Another cause still gets its full words.
  CheckRecord other = record(0x4, -1, Counted::kFailed, 503, {transfer("cloud.example")});
  diagnose_check(other, context);
  EXPECT_NE(joined(other.hints).find("failed (HTTP 503)"), std::string::npos) << joined(other.hints);
}

// The words come from the cause alone: what its evidence lacks, they never name.
TEST(HintRules, WordsNameOnlyWhatTheEvidenceHolds) {
  const Cause bare{"tcp.refused", "192.0.2.1:443", {{"route", "direct"}, {"address", "192.0.2.1:443"}}};
  const auto lines = hint_words(bare);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("192.0.2.1:443"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[0].find("proxy http"), std::string::npos) << lines[0];
  const Cause skew{"clock.skew", "cloud.example",
                   {{"host", "cloud.example"}, {"server_date", "Fri, 11 Dec 2026 12:40:00 GMT"},
                    {"local_clock", kNow}, {"ahead_s", 9000}}};
  EXPECT_NE(hint_words(skew)[0].find("2026-12-11 14:40:00 UTC) is 2 h 30 min ahead of"), std::string::npos)
      << hint_words(skew)[0];
}

}  // namespace
