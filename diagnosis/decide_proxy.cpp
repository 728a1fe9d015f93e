// What a proxy answered of its own: a demand for credentials, a CONNECT it
// could not or would not carry out, a tunnel that carried no TLS, and an
// error answer that shows it was made by the proxy rather than the cloud.

#include <cstring>

#include "diagnosis/decide.h"
#include "diagnosis/evidence.h"
#include "platform/ascii_case.h"

namespace {

int64_t challenge_bits(const char* challenge) {
  static const struct {
    const char* name;
    int64_t bit;
  } kNames[] = {{"Basic", CURLAUTH_BASIC}, {"Digest", CURLAUTH_DIGEST}, {"NTLM", CURLAUTH_NTLM},
                {"Negotiate", CURLAUTH_NEGOTIATE}, {"Bearer", CURLAUTH_BEARER}};
  const size_t length = std::strcspn(challenge, " ,");
  for (const auto& n : kNames) {
    if (platform::equal_ignoring_ascii_case(std::string_view(challenge, length), n.name)) return n.bit;
  }
  return 0;
}

// What the proxy offered: libcurl's methods after a 407, else its challenge.
int64_t offered_bits(const xfer_facts& t) {
  if (t.proxy_auth_offered) return t.proxy_auth_offered;
  return challenge_bits(t.proxy_challenge[0] ? t.proxy_challenge : t.server_challenge);
}

std::string field(const char* value, size_t size) { return std::string(value, strnlen(value, size)); }
#define FIELD(f) field(f, sizeof(f))

// Whether text holds word, ASCII letters compared case-blind.
bool contains_case_blind(const char* text, const char* word) {
  for (; *text; ++text) {
    if (platform::starts_with_ignoring_ascii_case(text, word)) return true;
  }
  return false;
}

// The Server header names proxy software (checked case-blind).
bool names_a_proxy(const char* server) {
  static const char* const kProxies[] = {"squid",  "tinyproxy", "privoxy",  "polipo",   "3proxy", "ccproxy",
                                         "wingate", "bluecoat", "proxysg",  "zscaler",  "web gateway",
                                         "trafficserver", "apache traffic server", "forcepoint"};
  for (const char* name : kProxies) {
    if (contains_case_blind(server, name)) return true;
  }
  return false;
}

Cause auth_cause(const xfer_facts& t, int code, bool tunnel, const DiagnosisContext& context) {
  nlohmann::json e = transfer_evidence(t, context);
  const int64_t offered = offered_bits(t);
  e["asked_by"] = tunnel ? "CONNECT" : "request";
  e["status"] = code;
  e["has_credentials"] = t.proxy_has_credentials != 0;
  e["auth_offered"] = offered;
  e["auth_used"] = t.proxy_auth_used;
  const char* name = !t.proxy_has_credentials                           ? "proxy.auth_missing"
                     : offered && !(offered & t.proxy_auth_used)        ? "proxy.auth_method"
                                                                        : "proxy.auth_refused";
  return {name, proxy_host_port(t) + " " + std::to_string(code), std::move(e)};
}

void quote_answer(const xfer_facts& t, bool connect, nlohmann::json& e) {
  const std::string server = connect ? FIELD(t.connect_server) : FIELD(t.server_software);
  const std::string error = connect ? FIELD(t.connect_error) : FIELD(t.proxy_error);
  if (!server.empty()) e["server"] = server;
  if (!error.empty()) e["proxy_error"] = error;
  if (!connect && t.via[0]) e["via"] = FIELD(t.via);
}

}  // namespace

bool decide_proxy(const CheckRecord& r, const xfer_facts& t, const DiagnosisContext& context, Causes& out) {
  if (!t.proxy[0]) return false;
  const int status = r.slot_read ? r.slot.http_status : 0;
  const std::string proxy = proxy_host_port(t);
  if (t.connect_code == 407 || t.connect_code == 401 || status == 407 || t.proxy_auth_offered) {
    const bool tunnel = t.connect_code != 0;
    out.push_back(auth_cause(t, tunnel ? t.connect_code : status, tunnel, context));
    return true;
  }
  if (t.connect_code == 0 && t.curl_code == CURLE_OK && status == 401) {
    // Some proxies answer 401 where 407 is the rule; the server may ask too.
    nlohmann::json e = transfer_evidence(t, context);
    e["status"] = 401;
    e["has_credentials"] = t.proxy_has_credentials != 0;
    e["auth_offered"] = offered_bits(t);
    e["auth_used"] = t.proxy_auth_used;
    quote_answer(t, false, e);
    if (t.server_challenge[0]) e["www_authenticate"] = FIELD(t.server_challenge);
    if (t.proxy_challenge[0]) e["proxy_authenticate"] = FIELD(t.proxy_challenge);
    out.push_back({"proxy_or_cloud.auth", proxy + " 401", std::move(e)});
    return true;
  }
  if (t.connect_code >= 300) {
    nlohmann::json e = transfer_evidence(t, context);
    e["connect_code"] = t.connect_code;
    quote_answer(t, true, e);
    const char* name = t.connect_code >= 500   ? "proxy.connect_failed"
                       : t.connect_code == 403 ? "proxy.connect_denied"
                                               : "proxy.connect_refused";
    out.push_back({name, proxy + " " + std::to_string(t.connect_code), std::move(e)});
    return true;
  }
  if (reached(t, XFER_REACHED_TUNNEL) && t.curl_code == CURLE_SSL_CONNECT_ERROR && !t.tls_server_spoke &&
      !reached(t, XFER_REACHED_TLS)) {
    nlohmann::json e = transfer_evidence(t, context);
    e["connect_code"] = t.connect_code;
    if (r.slot_read && r.slot.curl_error[0]) e["error_text"] = FIELD(r.slot.curl_error);
    out.push_back({"tls.not_tunnelled", proxy + " " + std::to_string(t.connect_code), std::move(e)});
    return true;
  }
  if (t.curl_code == CURLE_OK && t.connect_code == 0 && status >= 400 &&
      (t.proxy_error[0] || names_a_proxy(t.server_software))) {
    nlohmann::json e = transfer_evidence(t, context);
    e["status"] = status;
    quote_answer(t, false, e);
    out.push_back({"proxy.error_answer", proxy + " " + std::to_string(status), std::move(e)});
    return true;
  }
  return false;
}
