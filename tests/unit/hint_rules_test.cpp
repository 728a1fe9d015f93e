// The hint rules on made-up check records: which hint each kind of failure
// gets, and that a passing check gets none.
#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "diagnosis/hints.h"

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
};

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
      {"no connection within the time-out",
       [] {
         auto t = transfer("cloud.example", "192.0.2.1", 443);
         t.curl_code = CURLE_OPERATION_TIMEDOUT;
         return record(0x1, -1, Counted::kFailed, 0, {t});
       },
       {"no connection to cloud.example (192.0.2.1:443) was made", "15.0 s", "dropped"}},
      {"connected, then silence",
       [] {
         auto t = transfer("127.0.0.1", "127.0.0.1", 4000);
         t.curl_code = CURLE_OPERATION_TIMEDOUT;
         t.connect_us = 300;
         return record(0x1, -1, Counted::kFailed, 0, {t});
       },
       {"127.0.0.1:4000 accepted the connection", "stayed silent"},
       {"dropped"}},
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
       {"answered CONNECT with HTTP 401 (Unauthorized", "it offered Basic, but the stored credentials use NTLM"}},
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
       {"HTTP 407", "offered NTLM, Negotiate", "use Basic"},
       {"is wrong"}},
      {"proxy asks, nothing stored",
       [] {
         auto t = transfer("cloud.example");
         PUT(t.proxy, "http://127.0.0.1:3128");
         t.proxy_auth_offered = CURLAUTH_BASIC;
         return record(0x1, -1, Counted::kIssues, 407, {t});
       },
       {"no credentials were stored", "offered Basic"}},
      {"CONNECT refused",
       [] {
         auto t = transfer("cloud.example");
         PUT(t.proxy, "http://127.0.0.1:3128");
         t.curl_code = CURLE_RECV_ERROR;
         t.connect_code = 403;
         return record(0x1, -1, Counted::kFailed, 0, {t});
       },
       {"refused to open a tunnel to cloud.example", "CONNECT with HTTP 403"}},
      {"chain ends in an unknown CA it did not send",
       [] {
         auto t = transfer("cloud.example");
         t.curl_code = CURLE_PEER_FAILED_VERIFICATION;
         t.verify_error = X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY;
         PUT(t.verify_error_text, "unable to get local issuer certificate");
         t.chain_count = 1;
         t.chain[0] = cert("/CN=cloud.example", "/CN=FilterBox Inspection CA", t.verify_error);
         return record(0x1, -1, Counted::kFailed, 0, {t});
       },
       {"ends in the CA \"/CN=FilterBox Inspection CA\"", "TLS-inspecting proxy", "intermediate",
        "config/agent/cloud/trustedcerts/cert"}},
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
       {"intermediate"}},
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
  };
  for (const auto& c : cases) {
    HintClock clock{kNow, false};
    const auto hints = check_hints(c.make(), clock);
    const std::string all = joined(hints);
    if (c.expected.empty()) {
      EXPECT_TRUE(hints.empty()) << c.label << "\n" << all;
    } else {
      EXPECT_FALSE(hints.empty()) << c.label;
    }
    for (const auto& part : c.expected) EXPECT_NE(all.find(part), std::string::npos) << c.label << ": " << part << "\n" << all;
    for (const auto& part : c.absent) EXPECT_EQ(all.find(part), std::string::npos) << c.label << ": " << part << "\n" << all;
    EXPECT_EQ(all.find("Clock:"), std::string::npos) << c.label;
  }
}

TEST(HintRules, ClockSkewIsToldOnceEvenWhenEveryCheckPasses) {
  auto dated = [](const std::string& date) {
    auto t = transfer("cloud.example");
    PUT(t.server_date, date);
    return record(0x1, 0, Counted::kSuccess, 200, {t});
  };
  HintClock clock{kNow, false};
  // Four minutes off is within bounds.
  EXPECT_TRUE(check_hints(dated("Fri, 11 Dec 2026 14:36:00 GMT"), clock).empty());
  EXPECT_FALSE(clock.skew_told);
  // Two hours behind the local clock.
  const auto hints = check_hints(dated("Fri, 11 Dec 2026 12:40:00 GMT"), clock);
  ASSERT_EQ(hints.size(), 1u);
  EXPECT_NE(hints[0].find("2 h 0 min ahead of the Date header of cloud.example"), std::string::npos) << hints[0];
  EXPECT_TRUE(clock.skew_told);
  EXPECT_TRUE(check_hints(dated("Fri, 11 Dec 2026 12:40:00 GMT"), clock).empty());
  // A date that does not parse says nothing.
  HintClock fresh{kNow, false};
  EXPECT_TRUE(check_hints(dated("yesterday"), fresh).empty());
}

}  // namespace
