#include "diagnosis/hints.h"

#include <openssl/x509_vfy.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <iterator>

namespace {

using Hints = std::vector<std::string>;

// Bounded formatting: a hint longer than this is cut.
std::string text(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string text(const char* fmt, ...) {
  char line[1024];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(line, sizeof(line), fmt, args);
  va_end(args);
  return line;
}

struct CheckKeys {
  uint32_t bit;
  const char* keys;
};

// The settings each check reads, as the README lists them.
const CheckKeys kKeys[] = {
    {0x1, "config/proxy/testurl"},
    {0x4, "config/velta/endpoint/mgmt, config/velta/install/token"},
    {0x100,
     "config/velta/endpoint/policy/affiliate, .../company, .../policy, .../agent, "
     "config/velta/policy/serial_number, config/agent/directory/base"},
    {0x10, "config/agent/submission/retro/upload_server, config/agent/submission/protocol"},
    {0x20, "config/agent/submission/http_upload_server, config/agent/submission/protocol"},
    {0x8, "config/agent/crashdump/url"},
    {0x400, "config/updater/server, config/updater/path"},
    {0x800, "config/velta/endpoint/event"},
    {0x1000, "config/agent/urlscanner/urlreputationserver"},
};

const char* keys_of(uint32_t bit) {
  for (const auto& k : kKeys) {
    if (k.bit == bit) return k.keys;
  }
  return "its settings";
}

bool is_upload(uint32_t bit) { return bit == 0x10 || bit == 0x20 || bit == 0x8; }

std::string utc_text(std::time_t when) {
  std::tm parts{};
  gmtime_r(&when, &parts);
  char out[32];
  std::strftime(out, sizeof(out), "%Y-%m-%d %H:%M:%S UTC", &parts);
  return out;
}

// "Sun, 06 Nov 1994 08:49:37 GMT"; false for anything else.
bool parse_http_date(const char* value, std::time_t* when) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char month[4] = {};
  std::tm parts{};
  if (std::sscanf(value, "%*3s, %d %3s %d %d:%d:%d GMT", &parts.tm_mday, month, &parts.tm_year, &parts.tm_hour,
                  &parts.tm_min, &parts.tm_sec) != 6) {
    return false;
  }
  parts.tm_mon = -1;
  for (int i = 0; i < 12; ++i) {
    if (std::strcmp(month, kMonths[i]) == 0) parts.tm_mon = i;
  }
  if (parts.tm_mon < 0) return false;
  parts.tm_year -= 1900;
  *when = timegm(&parts);
  return true;
}

std::string duration_text(long long seconds) {
  if (seconds >= 3600) return text("%lld h %lld min", seconds / 3600, (seconds % 3600) / 60);
  if (seconds >= 60) return text("%lld min %lld s", seconds / 60, seconds % 60);
  return text("%lld s", seconds);
}

// The host of "scheme://host:port".
std::string proxy_host(const char* proxy) {
  const char* start = std::strstr(proxy, "://");
  start = start ? start + 3 : proxy;
  const char* at = std::strchr(start, '@');
  if (at) start = at + 1;
  if (*start == '[') {
    const char* close = std::strchr(start, ']');
    return close ? std::string(start, static_cast<size_t>(close - start) + 1) : std::string(start);
  }
  return std::string(start, std::strcspn(start, ":/"));
}

std::string address_of(const xfer_facts& t) {
  if (!t.remote_ip[0]) return "";
  return text(std::strchr(t.remote_ip, ':') ? "[%s]:%d" : "%s:%d", t.remote_ip, t.remote_port);
}

// "cloud.example (192.0.2.1:443)", or the address or name alone.
std::string server_of(const xfer_facts& t) {
  const std::string address = address_of(t);
  if (!t.proxy[0] && address.empty() && t.host[0] && t.url_port > 0) {
    return text(std::strchr(t.host, ':') && t.host[0] != '[' ? "[%s]:%d" : "%s:%d", t.host, t.url_port);
  }
  if (t.proxy[0] || address.empty()) return t.host[0] ? t.host : "the server";
  if (!t.host[0] || address.rfind(t.host, 0) == 0) return address;
  return text("%s (%s)", t.host, address.c_str());
}

std::string route_of(const xfer_facts& t) {
  return t.proxy[0] ? text("through the proxy %s", t.proxy) : std::string("directly, no proxy");
}

std::string seconds_of(int64_t us) { return text("%.1f s", static_cast<double>(us) / 1e6); }

std::string auth_methods(int64_t bits) {
  static const struct {
    int64_t bit;
    const char* name;
  } kMethods[] = {{CURLAUTH_BASIC, "Basic"},     {CURLAUTH_DIGEST, "Digest"}, {CURLAUTH_NTLM, "NTLM"},
                  {CURLAUTH_NEGOTIATE, "Negotiate"}, {CURLAUTH_DIGEST_IE, "Digest (IE)"}, {CURLAUTH_BEARER, "Bearer"}};
  std::string out;
  for (const auto& m : kMethods) {
    if (bits & m.bit) out += (out.empty() ? "" : ", ") + std::string(m.name);
  }
  return out.empty() ? "none it could name" : out;
}

// The methods a challenge text names first ("Basic realm=..."), as bits.
int64_t challenge_bits(const char* challenge) {
  static const struct {
    const char* name;
    int64_t bit;
  } kNames[] = {{"Basic", CURLAUTH_BASIC}, {"Digest", CURLAUTH_DIGEST}, {"NTLM", CURLAUTH_NTLM},
                {"Negotiate", CURLAUTH_NEGOTIATE}, {"Bearer", CURLAUTH_BEARER}};
  const size_t length = std::strcspn(challenge, " ,");
  for (const auto& n : kNames) {
    if (length == std::strlen(n.name) && strncasecmp(challenge, n.name, length) == 0) return n.bit;
  }
  return 0;
}

// What the proxy offered: libcurl's methods after a 407, else its challenge.
int64_t offered_bits(const xfer_facts& t) {
  if (t.proxy_auth_offered) return t.proxy_auth_offered;
  return challenge_bits(t.proxy_challenge[0] ? t.proxy_challenge : t.server_challenge);
}

// Whether credentials were stored, and how they fare against the offer.
void credentials_hint(const xfer_facts& t, Hints& out) {
  const int64_t offered = offered_bits(t);
  if (!t.proxy_has_credentials) {
    out.push_back(text("Proxy: no credentials were stored for it%s%s. Store a user name and password "
                       "(config/proxy/username, config/proxy/password) or choose another proxy mode.",
                       offered ? "; it offered " : "", offered ? auth_methods(offered).c_str() : ""));
    return;
  }
  if (offered && !(offered & t.proxy_auth_used)) {
    out.push_back(text("Proxy: it offered %s, but the stored credentials use %s (config/proxy/authtype).",
                       auth_methods(offered).c_str(), auth_methods(t.proxy_auth_used).c_str()));
    return;
  }
  out.push_back(text("Proxy: credentials were stored and sent with %s%s; they were refused: the user name or "
                     "password (config/proxy/username, config/proxy/password) is wrong.",
                     auth_methods(t.proxy_auth_used).c_str(), offered ? ", which it offered" : ""));
}

void proxy_auth(const xfer_facts& t, int status, Hints& out) {
  const bool tunnel = t.connect_code != 0;
  const int code = tunnel ? t.connect_code : status;
  out.push_back(text("Proxy: the proxy %s asked for authentication: it answered %s with HTTP %d%s%s.", t.proxy,
                     tunnel ? "CONNECT" : "the request", code,
                     code == 401 ? " (Unauthorized, where a proxy usually answers 407)" : "",
                     tunnel && t.curl_code ? text("; the transfer itself ended with curl code %d and no answer",
                                                  t.curl_code).c_str()
                                           : ""));
  credentials_hint(t, out);
}

// A 401 through a proxy that carried the request itself may be either's.
void proxy_or_server_401(const xfer_facts& t, Hints& out) {
  std::string seen;
  if (t.server_software[0]) seen += text("; Server: %s", t.server_software);
  if (t.server_challenge[0]) seen += text("; WWW-Authenticate: %s", t.server_challenge);
  if (t.proxy_challenge[0]) seen += text("; Proxy-Authenticate: %s", t.proxy_challenge);
  out.push_back(text("Proxy or server: HTTP 401 came back through the proxy %s for %s%s. Either the proxy refused "
                     "the stored credentials (some proxies answer 401 where 407 is the rule) or the server asked for "
                     "its own.",
                     t.proxy, t.host[0] ? t.host : "the server", seen.c_str()));
  credentials_hint(t, out);
}

const xfer_chain_cert* chain_at(const xfer_facts& t, unsigned depth) {
  const unsigned kept = t.chain_count < XFER_CHAIN_MAX ? t.chain_count : XFER_CHAIN_MAX;
  return depth < kept ? &t.chain[depth] : nullptr;
}

// The certificate a verification error concerns; the leaf when none says.
const xfer_chain_cert* cert_with_error(const xfer_facts& t, int error) {
  for (unsigned i = 0; chain_at(t, i); ++i) {
    if (t.chain[i].verify_error == error) return &t.chain[i];
  }
  return chain_at(t, 0);
}

// A certificate name matches the host: equal, or a "*." wildcard over one label.
bool name_matches(const std::string& name, const char* host) {
  if (strcasecmp(name.c_str(), host) == 0) return true;
  if (name.rfind("*.", 0) != 0) return false;
  const char* dot = std::strchr(host, '.');
  return dot && strcasecmp(name.c_str() + 1, dot) == 0;
}

bool leaf_holds(const xfer_facts& t) {
  std::string names = t.leaf_names;
  size_t at = 0;
  while (at < names.size()) {
    size_t end = names.find(", ", at);
    if (end == std::string::npos) end = names.size();
    const std::string entry = names.substr(at, end - at);
    const size_t colon = entry.find(':');
    if (colon != std::string::npos && name_matches(entry.substr(colon + 1), t.host)) return true;
    at = end + 2;
  }
  return false;
}

bool tls_failure(const xfer_facts& t, const HintClock& clock, Hints& out) {
  const int error = t.verify_error;
  const bool verification = t.curl_code == CURLE_PEER_FAILED_VERIFICATION || error != 0;
  if (!verification) return false;
  const std::string host = t.host[0] ? t.host : "the server";
  switch (error) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE: {
      const unsigned kept = t.chain_count < XFER_CHAIN_MAX ? t.chain_count : XFER_CHAIN_MAX;
      if (kept == 0) break;
      const xfer_chain_cert& last = t.chain[kept - 1];
      const bool self_signed = std::strcmp(last.subject, last.issuer) == 0;
      out.push_back(text("TLS: the certificate chain %s presented (%u certificate%s, %s) ends in the CA \"%s\", "
                         "which the trusted set does not hold (%s).",
                         host.c_str(), t.chain_count, t.chain_count == 1 ? "" : "s", route_of(t).c_str(),
                         self_signed ? last.subject : last.issuer, t.verify_error_text));
      out.push_back(text("TLS: causes that fit: a TLS-inspecting proxy or firewall on the path (it signs with its own "
                         "CA, whose name often names the product)%s; or the trusted set "
                         "(config/agent/cloud/trustedcerts/cert) lacks the cloud's CA.",
                         self_signed ? "" : "; the server does not send its intermediate certificate"));
      return true;
    }
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID: {
      const xfer_chain_cert* cert = cert_with_error(t, error);
      if (!cert) break;
      const bool expired = error == X509_V_ERR_CERT_HAS_EXPIRED;
      out.push_back(text("TLS: the certificate \"%s\" that %s presented is %s: valid from %s to %s, and the local "
                         "clock says %s. %s",
                         cert->subject, host.c_str(), expired ? "expired" : "not valid yet", cert->not_before,
                         cert->not_after, utc_text(clock.now).c_str(),
                         expired ? "If the clock is right, the server's certificate must be renewed."
                                 : "If the clock is right, the certificate was issued for later."));
      return true;
    }
    default:
      break;
  }
  if ((error == 0 || error == X509_V_ERR_HOSTNAME_MISMATCH) && t.curl_code == CURLE_PEER_FAILED_VERIFICATION &&
      t.host[0] && chain_at(t, 0) && !leaf_holds(t)) {
    out.push_back(text("TLS: the certificate %s presented (\"%s\") does not hold the name \"%s\"; it holds %s. The "
                       "configured URL names another host than the certificate, or another server answered.",
                       host.c_str(), t.chain[0].subject, t.host, t.leaf_names[0] ? t.leaf_names : "no alternative names"));
    return true;
  }
  if (error != 0) {
    out.push_back(text("TLS: verifying the certificate of %s failed: %s (OpenSSL error %d).", host.c_str(),
                       t.verify_error_text, error));
  } else {
    out.push_back(text("TLS: verifying the certificate of %s failed; OpenSSL named no error at any depth.", host.c_str()));
  }
  return true;
}

bool connection_failure(const xfer_facts& t, Hints& out) {
  switch (t.curl_code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
      out.push_back(text("Name lookup: the proxy's host name \"%s\" (proxy %s) did not resolve; check the proxy "
                         "setting and this machine's DNS server.",
                         proxy_host(t.proxy).c_str(), t.proxy));
      return true;
    case CURLE_COULDNT_RESOLVE_HOST:
      out.push_back(text("Name lookup: the cloud host name \"%s\" did not resolve (%s); check the configured URL and "
                         "this machine's DNS server.",
                         t.host, route_of(t).c_str()));
      return true;
    case CURLE_COULDNT_CONNECT: {
      const std::string address = address_of(t);
      if (t.proxy[0]) {
        out.push_back(text("Connect: the connection to the proxy %s%s%s was refused or could not be made: nothing "
                           "listens there, or a firewall rejects it.",
                           t.proxy, address.empty() ? "" : " at ", address.c_str()));
      } else {
        out.push_back(text("Connect: the connection to %s was refused or could not be made (directly, no proxy): "
                           "nothing listens on that port, or a firewall rejects it.",
                           server_of(t).c_str()));
      }
      return true;
    }
    case CURLE_OPERATION_TIMEDOUT: {
      const std::string peer = t.proxy[0] ? text("the proxy %s", t.proxy) : server_of(t);
      if (t.connect_us < 0) {
        out.push_back(text("Connect: no connection to %s was made within the time-out (%s): packets are dropped on the "
                           "way (a firewall) or the host is down.",
                           peer.c_str(), seconds_of(t.total_us).c_str()));
      } else if (t.first_byte_us < 0) {
        out.push_back(text("Answer: %s accepted the connection (after %s) and stayed silent until the time-out (%s): "
                           "a server or a device on the path that takes connections and does not answer.",
                           peer.c_str(), seconds_of(t.connect_us).c_str(), seconds_of(t.total_us).c_str()));
      } else {
        out.push_back(text("Answer: %s began to answer (after %s) but the answer did not end within the time-out (%s).",
                           peer.c_str(), seconds_of(t.first_byte_us).c_str(), seconds_of(t.total_us).c_str()));
      }
      return true;
    }
    default:
      return false;
  }
}

bool echo_failure(const xfer_facts& t, Hints& out) {
  if (!t.echo_compared) return false;
  const std::string host = t.host[0] ? t.host : "the server";
  if (t.echo_first_difference >= 0) {
    out.push_back(text("Echo: the echo from %s came back altered: the first differing byte is at offset %lld; %llu "
                       "bytes sent, %llu received. The data changed on the way (a proxy or filter that rewrites "
                       "content, %s) or at the server.",
                       host.c_str(), static_cast<long long>(t.echo_first_difference),
                       static_cast<unsigned long long>(t.echo_sent), static_cast<unsigned long long>(t.echo_received),
                       route_of(t).c_str()));
    return true;
  }
  if (t.echo_received != t.echo_sent) {
    out.push_back(text("Echo: the echo from %s came back short: %llu of %llu bytes, matching as far as it went.",
                       host.c_str(), static_cast<unsigned long long>(t.echo_received),
                       static_cast<unsigned long long>(t.echo_sent)));
    return true;
  }
  return false;
}

bool cloud_refusal(const CheckRecord& r, const xfer_facts& t, int status, Hints& out) {
  const std::string host = t.host[0] ? t.host : "the cloud";
  if ((status == 401 || status == 403) && (r.bit == 0x4 || is_upload(r.bit))) {
    if (r.bit == 0x4) {
      out.push_back(text("Cloud: %s refused this agent's registration (HTTP %d): the agent's identity (its GUIDs) or "
                         "the installation token (config/velta/install/token) was not accepted.",
                         host.c_str(), status));
    } else {
      out.push_back(text("Cloud: %s refused this agent's upload (HTTP %d): the agent's identity (its GUID, sent as "
                         "the upload's user) was not accepted for uploads.",
                         host.c_str(), status));
    }
    return true;
  }
  if (status >= 500 && status < 600) {
    out.push_back(text("Cloud: the service at %s failed (HTTP %d): the fault is on the server's side%s.", host.c_str(),
                       status, t.proxy[0] ? " or the proxy's" : ""));
    return true;
  }
  return false;
}

void not_run(const CheckRecord& r, Hints& out) {
  if (r.transfers.empty()) {
    out.push_back(text("Settings: the check was not run: a setting it needs is missing or switches it off (it reads "
                       "%s).",
                       keys_of(r.bit)));
    return;
  }
  const xfer_facts& t = r.transfers.back();
  out.push_back(text("The check found nothing to do after asking %s%s%s.", t.host[0] ? t.host : "its server",
                     r.slot_read && r.slot.http_status ? text(" (HTTP %d)", r.slot.http_status).c_str() : "",
                     t.curl_code ? text(", whose transfer ended with curl code %d", t.curl_code).c_str() : ""));
}

// The transfer that explains the check: the first that failed, else the last.
const xfer_facts* telling_transfer(const CheckRecord& r) {
  for (const auto& t : r.transfers) {
    if (t.curl_code != CURLE_OK) return &t;
  }
  return r.transfers.empty() ? nullptr : &r.transfers.back();
}

void failure(const CheckRecord& r, const HintClock& clock, Hints& out) {
  const xfer_facts* telling = telling_transfer(r);
  const int status = r.slot_read ? r.slot.http_status : 0;
  if (!telling) {
    if (r.slot_read && r.slot.curl_error[0]) {
      out.push_back(text("The check stopped before any transfer: %.200s. It reads %s.", r.slot.curl_error,
                         keys_of(r.bit)));
    } else {
      out.push_back(text("The check stopped before any transfer and left no cause; it reads %s.", keys_of(r.bit)));
    }
    return;
  }
  const xfer_facts& t = *telling;
  if (t.connect_code == 407 || t.connect_code == 401 || status == 407 || (t.proxy[0] && t.proxy_auth_offered)) {
    proxy_auth(t, status, out);
    return;
  }
  if (t.proxy[0] && t.connect_code == 0 && t.curl_code == CURLE_OK && status == 401) {
    proxy_or_server_401(t, out);
    return;
  }
  if (t.connect_code >= 300) {
    out.push_back(text("Proxy: the proxy %s refused to open a tunnel to %s: it answered CONNECT with HTTP %d.",
                       t.proxy, t.host[0] ? t.host : "the server", t.connect_code));
    return;
  }
  if (connection_failure(t, out) || tls_failure(t, clock, out)) return;
  if (t.curl_code == CURLE_OK) {
    if (cloud_refusal(r, t, status, out) || echo_failure(t, out)) return;
    if (status >= 300 && status < 400 && t.redirect_url[0]) {
      out.push_back(text("Redirect: %s answered HTTP %d and sends the request to %s, which the check does not "
                         "follow; the configured URL (%s) may be out of date.",
                         t.host[0] ? t.host : "the server", status, t.redirect_url, keys_of(r.bit)));
      return;
    }
    if (status != 0 && status != 200) {
      out.push_back(text("Answer: %s answered HTTP %d (%s).", server_of(t).c_str(), status, route_of(t).c_str()));
      return;
    }
  }
  const char* said = r.slot_read && r.slot.curl_error[0] ? r.slot.curl_error : "";
  if (t.curl_code == CURLE_OK) {
    out.push_back(text("The transfer to %s (%s) ended well (HTTP %d), but the check failed%s%.200s.",
                       server_of(t).c_str(), route_of(t).c_str(), status, said[0] ? ": " : "", said));
  } else {
    out.push_back(text("The transfer to %s (%s) ended with curl code %d%s%.200s.", server_of(t).c_str(),
                       route_of(t).c_str(), t.curl_code, said[0] ? ": " : "", said));
  }
}

void clock_skew(const CheckRecord& r, HintClock& clock, Hints& out) {
  if (clock.skew_told) return;
  for (const auto& t : r.transfers) {
    std::time_t date = 0;
    if (!t.server_date[0] || !parse_http_date(t.server_date, &date)) continue;
    const long long apart = static_cast<long long>(clock.now) - static_cast<long long>(date);
    if (std::llabs(apart) <= kClockSkewSeconds) continue;
    out.push_back(text("Clock: the local clock (%s) is %s %s the Date header of %s (\"%s\"); certificate checks fail "
                       "on a wrong clock, so set this machine's clock right if it is the one that is off.",
                       utc_text(clock.now).c_str(), duration_text(std::llabs(apart)).c_str(),
                       apart > 0 ? "ahead of" : "behind", t.host[0] ? t.host : "the server", t.server_date));
    clock.skew_told = true;
    return;
  }
}

}  // namespace

std::vector<std::string> check_hints(const CheckRecord& record, HintClock& clock) {
  Hints out;
  const bool not_run_check = record.rc == 6 || (record.slot_read && record.slot.outcome == OUTCOME_NOT_RUN);
  if (not_run_check) {
    not_run(record, out);
  } else if (record.rc != 0 || record.counted != Counted::kSuccess) {
    failure(record, clock, out);
  }
  clock_skew(record, clock, out);
  return out;
}
