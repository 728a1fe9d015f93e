#include "diagnosis/hint_words.h"

#include <curl/curl.h>

#include <cstdlib>
#include <ctime>

#include "diagnosis/text.h"
#include "platform/system_words.h"

namespace {

using nlohmann::json;
using Lines = std::vector<std::string>;

std::string str(const json& e, const char* name, const char* otherwise = "") {
  const auto it = e.find(name);
  return it != e.end() && it->is_string() ? it->get<std::string>() : std::string(otherwise);
}

long long num(const json& e, const char* name, long long otherwise = -1) {
  const auto it = e.find(name);
  return it != e.end() && it->is_number() ? it->get<long long>() : otherwise;
}

bool flag(const json& e, const char* name) {
  const auto it = e.find(name);
  return it != e.end() && it->is_boolean() && it->get<bool>();
}

long long time_us(const json& e, const char* stage) {
  const auto it = e.find("times_us");
  return it == e.end() ? -1 : num(*it, stage);
}

std::string seconds(const json& e, const char* stage) {
  const long long us = time_us(e, stage);
  return us < 0 ? std::string("unknown") : seconds_text(us);
}

bool proxied(const json& e) { return str(e, "route") == "proxy"; }

std::string route(const json& e) {
  return proxied(e) ? "through the proxy " + str(e, "proxy") : std::string("directly, no proxy");
}

std::string host(const json& e, const char* otherwise = "the server") { return str(e, "host", otherwise); }

// "host:port" of the URL.
std::string target(const json& e) {
  const std::string h = host(e);
  const long long port = num(e, "port");
  if (port <= 0 || !e.contains("host")) return h;
  return (h.find(':') != std::string::npos ? "[" + h + "]" : h) + ":" + std::to_string(port);
}

// "cloud.example (192.0.2.1:443)", or the address or target alone.
std::string server(const json& e) {
  const std::string address = str(e, "address");
  if (proxied(e) || address.empty()) return target(e);
  if (!e.contains("host") || address.rfind(host(e), 0) == 0 || address.rfind("[" + host(e) + "]", 0) == 0) {
    return address;
  }
  return host(e) + " (" + address + ")";
}

std::string the_proxy(const json& e) {
  const std::string address = str(e, "address");
  const std::string named = str(e, "proxy_address");
  return "the proxy " + str(e, "proxy") + (address.empty() || address == named ? "" : " (" + address + ")");
}

std::string after(const json& e, const char* stage) {
  return time_us(e, stage) < 0 ? "" : " (after " + seconds(e, stage) + ")";
}

std::string methods(long long bits) {
  static const struct {
    long long bit;
    const char* name;
  } kMethods[] = {{CURLAUTH_BASIC, "Basic"},         {CURLAUTH_DIGEST, "Digest"},
                  {CURLAUTH_NTLM, "NTLM"},           {CURLAUTH_NEGOTIATE, "Negotiate"},
                  {CURLAUTH_DIGEST_IE, "Digest (IE)"}, {CURLAUTH_BEARER, "Bearer"}};
  std::string out;
  for (const auto& m : kMethods) {
    if (bits & m.bit) out += (out.empty() ? "" : ", ") + std::string(m.name);
  }
  return out.empty() ? "none it could name" : out;
}

// How the proxy was chosen, and the settings of that source only.
std::string source_line(const json& e) {
  const std::string source = str(e, "proxy_source");
  if (source == "stored") {
    return "Proxy: " + str(e, "proxy") +
           " is the agent's stored proxy (/PP: config/proxy/type, config/proxy/server, config/proxy/port).";
  }
  if (source == "discovered") {
    return "Proxy: " + str(e, "proxy") +
           " was found by proxy discovery, which reads " + platform::proxy_discovery_words() +
           "; that is where it is set." +
           (flag(e, "stored_proxy_set") ? " /PP would use the agent's stored proxy (config/proxy/server) and its "
                                          "stored credentials instead."
                                        : "");
  }
  return "";
}

std::string credentials_where(const json& e) {
  const std::string source = str(e, "proxy_source");
  if (source == "stored") return "(config/proxy/username, config/proxy/password)";
  if (source == "discovered") return "(given with the proxy where discovery found it)";
  return "";
}

Lines auth(const Cause& c) {
  const json& e = c.evidence;
  const bool connect = str(e, "asked_by") == "CONNECT";
  const long long status = num(e, "status");
  const long long curl = num(e, "curl_code", 0);
  Lines out;
  out.push_back(text("Proxy: %s asked for authentication: it answered %s with HTTP %lld%s%s.", the_proxy(e).c_str(),
                     connect ? "CONNECT" : "the request", status,
                     status == 401 ? " (Unauthorized, where a proxy usually answers 407)" : "",
                     connect && curl ? text("; the transfer itself ended with curl code %lld and no answer", curl).c_str()
                                     : ""));
  const long long offered = num(e, "auth_offered", 0);
  const long long used = num(e, "auth_used", 0);
  const std::string where = credentials_where(e);
  if (c.code == "proxy.auth_missing") {
    out.push_back(text("Proxy: no credentials were given for it%s%s. Give a user name and password%s%s.",
                       offered ? "; it offered " : "", offered ? methods(offered).c_str() : "",
                       where.empty() ? "" : " ", where.c_str()));
  } else if (c.code == "proxy.auth_method") {
    out.push_back(text("Proxy: it offered %s, but the credentials are sent with %s%s.", methods(offered).c_str(),
                       methods(used).c_str(),
                       str(e, "proxy_source") == "stored" ? " (config/proxy/authtype)" : ""));
  } else {
    out.push_back(text("Proxy: credentials were sent with %s%s; they were refused: the user name or password%s%s is "
                       "wrong, or the account is not allowed through.",
                       methods(used).c_str(), offered ? ", which it offered" : "", where.empty() ? "" : " ",
                       where.c_str()));
  }
  return out;
}

Lines proxy_or_cloud_auth(const json& e) {
  std::string seen;
  if (e.contains("server")) seen += "; Server: " + str(e, "server");
  if (e.contains("www_authenticate")) seen += "; WWW-Authenticate: " + str(e, "www_authenticate");
  if (e.contains("proxy_authenticate")) seen += "; Proxy-Authenticate: " + str(e, "proxy_authenticate");
  Lines out;
  out.push_back(text("Proxy or server: HTTP 401 came back through the proxy %s for %s%s. Either the proxy refused the "
                     "credentials (some proxies answer 401 where 407 is the rule) or the server asked for its own.",
                     str(e, "proxy").c_str(), host(e).c_str(), seen.c_str()));
  const std::string where = credentials_where(e);
  if (!flag(e, "has_credentials")) {
    out.push_back(text("Proxy: no credentials were given for the proxy%s%s.", where.empty() ? "" : " ", where.c_str()));
  } else {
    out.push_back(text("Proxy: credentials were sent with %s; if the 401 is the proxy's, the user name or password%s%s "
                       "is wrong.",
                       methods(num(e, "auth_used", 0)).c_str(), where.empty() ? "" : " ", where.c_str()));
  }
  return out;
}

// "Server: squid/5.7; X-Squid-Error: ERR_CONNECT_FAIL 111", or "".
std::string quoted(const json& e) {
  std::string out;
  if (e.contains("server")) out = "Server: " + str(e, "server");
  if (e.contains("proxy_error")) out += (out.empty() ? "" : "; ") + str(e, "proxy_error");
  return out;
}

Lines connect_answer(const Cause& c) {
  const json& e = c.evidence;
  const std::string said = quoted(e);
  const std::string why = said.empty() ? " Its answer gives no reason." : " Its answer says: " + said + ".";
  const long long code = num(e, "connect_code");
  if (c.code == "proxy.connect_failed") {
    return {text("Proxy: %s could not open its own connection to %s: it answered CONNECT with HTTP %lld.%s The "
                 "proxy reached, the step from the proxy to the cloud failed.",
                 the_proxy(e).c_str(), target(e).c_str(), code, why.c_str())};
  }
  if (c.code == "proxy.connect_denied") {
    return {text("Proxy: %s refused to open a tunnel to %s: it answered CONNECT with HTTP 403.%s Usual causes: port "
                 "%lld is not among the proxy's allowed CONNECT ports, or its policy denies this destination.",
                 the_proxy(e).c_str(), target(e).c_str(), why.c_str(), num(e, "port", 443))};
  }
  return {text("Proxy: %s did not open a tunnel to %s: it answered CONNECT with HTTP %lld.%s", the_proxy(e).c_str(),
               target(e).c_str(), code, why.c_str())};
}

Lines silences(const Cause& c) {
  const json& e = c.evidence;
  const std::string total = seconds(e, "total");
  if (c.code == "tcp.dropped") {
    const std::string peer = proxied(e) ? "the proxy " + str(e, "proxy") : target(e);
    return {text("Connect: no connection to %s was made within the time-out (%s, %s): packets are dropped on the "
                 "way (a firewall) or the host is down.",
                 peer.c_str(), total.c_str(), route(e).c_str())};
  }
  if (c.code == "tls.handshake_unanswered") {
    return {text("TLS: %s accepted the TCP connection%s and the TLS client hello went out%s, but no answer to it came "
                 "back before the time-out (%s, %s). A firewall that filters TLS by the server name it reads in the "
                 "hello does exactly this; so does a server that takes connections and does not speak TLS.",
                 server(e).c_str(), after(e, "connect").c_str(),
                 time_us(e, "tls_start") < 0 ? "" : (" at " + seconds(e, "tls_start")).c_str(), total.c_str(),
                 route(e).c_str())};
  }
  if (c.code == "tls.handshake_unfinished") {
    return {text("TLS: %s began the TLS handshake but did not finish it before the time-out (%s, %s).",
                 server(e).c_str(), total.c_str(), route(e).c_str())};
  }
  if (c.code == "proxy.silent") {
    return {text("Proxy: %s accepted the connection%s but never answered the request to open a tunnel to %s before "
                 "the time-out (%s): the proxy is hung or overloaded, or what listens there is no HTTP proxy.",
                 the_proxy(e).c_str(), after(e, "connect").c_str(), target(e).c_str(), total.c_str())};
  }
  if (c.code == "proxy.tunnel_silent") {
    return {text("Proxy: %s opened the tunnel to %s (CONNECT answered 200), but %s came back through it before the "
                 "time-out (%s): the proxy's own connection to the cloud or the server behind it is silent; a "
                 "firewall beyond the proxy that filters TLS by server name does this.",
                 the_proxy(e).c_str(), target(e).c_str(),
                 flag(e, "tls_server_spoke") ? "the TLS handshake did not finish: too little" : "nothing",
                 total.c_str())};
  }
  if (c.code == "proxy_or_cloud.silent") {
    return {text("Answer: %s took the request for %s%s and no answer came before the time-out (%s). Over plain http "
                 "the proxy carries the request itself, so a silent proxy cannot be told from a silent %s behind it.",
                 the_proxy(e).c_str(), host(e).c_str(), after(e, "connect").c_str(), total.c_str(), host(e).c_str())};
  }
  if (c.code == "cloud.answer_unfinished") {
    return {text("Answer: %s began to answer (after %s) but the answer did not end within the time-out (%s, %s).",
                 server(e).c_str(), seconds(e, "first_byte").c_str(), total.c_str(), route(e).c_str())};
  }
  // cloud.silent
  return {text("Answer: %s accepted the connection%s and stayed silent until the time-out (%s, %s): a server or a "
               "device on the path that takes connections and does not answer.",
               server(e).c_str(), after(e, "connect").c_str(), total.c_str(), route(e).c_str())};
}

std::string trusted_text(const json& e) {
  const auto it = e.find("trusted");
  if (it == e.end() || !it->is_array() || it->empty()) {
    return std::string("It holds no configured certificate (config/agent/cloud/trustedcerts/cert) and no EST CA, "
                       "only ") +
           platform::system_trust_words() + ".";
  }
  std::string names;
  for (const auto& s : *it) names += (names.empty() ? "\"" : ", \"") + s.get<std::string>() + "\"";
  return std::string("Besides ") + platform::system_trust_words() + " it holds " + names +
         " (config/agent/cloud/trustedcerts/cert and the EST CA).";
}

Lines tls(const Cause& c) {
  const json& e = c.evidence;
  const long long count = num(e, "chain_count", 0);
  if (c.code == "tls.missing_intermediate") {
    return {text("TLS: %s presented its certificate \"%s\" alone (%s), issued by \"%s\", which the trusted set does "
                 "not hold (%s). %s",
                 host(e).c_str(), str(e, "leaf").c_str(), route(e).c_str(), str(e, "issuer").c_str(),
                 str(e, "verify_error_text", "no issuer").c_str(), trusted_text(e).c_str()),
            "TLS: causes that fit, the first most likely: the server does not send its intermediate certificate "
            "(the issuer named above), which it must; or a TLS-inspecting proxy or firewall on the path signs with "
            "its own CA; or the trusted set (config/agent/cloud/trustedcerts/cert) lacks the cloud's CA."};
  }
  if (c.code == "tls.untrusted_ca") {
    const bool sent = flag(e, "ca_sent");
    return {text("TLS: the certificate chain %s presented (%lld certificate%s, %s) ends in the CA \"%s\", which the "
                 "trusted set does not hold (%s). %s",
                 host(e).c_str(), count, count == 1 ? "" : "s", route(e).c_str(), c.key.c_str(),
                 str(e, "verify_error_text", "no issuer").c_str(), trusted_text(e).c_str()),
            text("TLS: causes that fit: a TLS-inspecting proxy or firewall on the path (it signs with its own CA, "
                 "whose name often names the product)%s; or the trusted set (config/agent/cloud/trustedcerts/cert) "
                 "lacks the cloud's CA.",
                 sent ? "" : "; the server does not send its intermediate certificate")};
  }
  if (c.code == "tls.expired" || c.code == "tls.not_yet_valid") {
    const json cert = e.value("certificate", json::object());
    const bool expired = c.code == "tls.expired";
    const long long depth = num(cert, "depth", 0);
    const std::string role = str(cert, "role", "leaf");
    return {text("TLS: the %s certificate \"%s\" (depth %lld of the chain %s presented) is %s: valid from %s to %s, "
                 "and the local clock says %s. If the clock is right, %s",
                 role == "leaf" ? "server's" : role.c_str(), str(cert, "subject").c_str(), depth, host(e).c_str(),
                 expired ? "expired" : "not valid yet", str(cert, "not_before").c_str(),
                 str(cert, "not_after").c_str(), utc_text(static_cast<std::time_t>(num(e, "local_clock", 0))).c_str(),
                 expired ? (role == "leaf" ? "the server's certificate must be renewed."
                                           : "the server must send a renewed certificate in its place.")
                         : "the certificate was issued for later.")};
  }
  if (c.code == "tls.name_mismatch") {
    const std::string names = str(e, "leaf_names");
    return {text("TLS: the certificate %s presented (\"%s\") does not hold the name \"%s\"; it holds %s. The "
                 "configured URL names another host than the certificate, or another server answered.",
                 host(e).c_str(), str(e, "leaf").c_str(), c.key.c_str(),
                 names.empty() ? "no alternative names" : names.c_str())};
  }
  const long long error = num(e, "verify_error", 0);
  if (error != 0) {
    return {text("TLS: verifying the certificate of %s failed: %s (OpenSSL error %lld).", host(e).c_str(),
                 str(e, "verify_error_text").c_str(), error)};
  }
  return {text("TLS: verifying the certificate of %s failed; OpenSSL named no error at any depth.", host(e).c_str())};
}

std::string through_proxy_caveat(const json& e) {
  if (!e.contains("told_apart")) return "";
  std::string out = " It came through the proxy " + str(e, "proxy") + ", which carries a plain request itself";
  if (e.contains("via")) out += " (Via: " + str(e, "via") + " shows only that it passed through a proxy)";
  return out + ", so whether the proxy or the cloud made it cannot be told.";
}

Lines answers(const Cause& c) {
  const json& e = c.evidence;
  const long long status = num(e, "status", 0);
  const std::string kind = str(e, "check");
  const std::string caveat = through_proxy_caveat(e);
  if (c.code == "cloud.refused") {
    std::string usual;
    if (kind == "registration") {
      usual = text("%s refused this agent's registration (HTTP %lld). Usually the agent's identity (its GUIDs) or the "
                   "installation token (config/velta/install/token) was not accepted",
                   host(e).c_str(), status);
    } else if (kind == "upload") {
      usual = text("%s refused this agent's upload (HTTP %lld). Usually the agent's identity (its GUID, sent as the "
                   "upload's user) was not accepted for uploads",
                   host(e).c_str(), status);
    } else if (kind == "crash_dump") {
      usual = text("the crash-dump server %s refused the upload (HTTP %lld). Usually the configured URL "
                   "(config/agent/crashdump/url) points at a server that does not take this agent's crash dumps",
                   host(e).c_str(), status);
    } else {
      usual = text("%s refused the request (HTTP %lld). Usually the service does not accept this agent or the URL "
                   "asked for (%s)",
                   host(e).c_str(), status, str(e, "settings").c_str());
    }
    return {"Cloud: " + usual +
            (status == 403 ? "; a firewall or web filter in front of the cloud may answer 403 too." : ".") + caveat};
  }
  if (c.code == "cloud.server_error") {
    std::string what;
    if (status == 502) {
      what = "a gateway or load balancer in front of the service got no valid answer from the service behind it";
    } else if (status == 504) {
      what = "a gateway or load balancer in front of the service got no answer in time from the service behind it";
    } else if (status == 503) {
      what = "the service is unavailable (overloaded or down for maintenance)";
    } else {
      what = "the fault is on the server's side";
    }
    return {text("Cloud: the service at %s failed (HTTP %lld): %s.%s", host(e, "the cloud").c_str(), status,
                 what.c_str(), caveat.c_str())};
  }
  if (c.code == "cloud.not_found") {
    return {text("Cloud: %s answered HTTP 404 (Not Found, %s): the URL asked for is not there; the setting that holds "
                 "it (%s) may be out of date.%s",
                 server(e).c_str(), route(e).c_str(), str(e, "settings").c_str(), caveat.c_str())};
  }
  if (c.code == "cloud.redirect") {
    return {text("Redirect: %s answered HTTP %lld and sends the request to %s, which the check does not follow; the "
                 "configured URL (%s) may be out of date.",
                 host(e).c_str(), status, str(e, "location").c_str(), str(e, "settings").c_str())};
  }
  return {text("Answer: %s answered HTTP %lld (%s).%s", server(e).c_str(), status, route(e).c_str(), caveat.c_str())};
}

Lines echoes(const Cause& c) {
  const json& e = c.evidence;
  const auto sent = static_cast<unsigned long long>(num(e, "sent", 0));
  const auto received = static_cast<unsigned long long>(num(e, "received", 0));
  if (c.code == "echo.short") {
    return {text("Echo: the echo from %s came back short: %llu of %llu bytes, matching as far as it went.",
                 host(e).c_str(), received, sent)};
  }
  Lines out = {text("Echo: the echo from %s came back altered: the first differing byte is at offset %lld; %llu bytes "
                    "sent, %llu received. The data changed on the way (a proxy or filter that rewrites content, %s) "
                    "or at the server.",
                    host(e).c_str(), num(e, "first_difference", 0), sent, received, route(e).c_str())};
  if (flag(e, "passing_may_be_proxy")) {
    out.push_back("Echo: the checks that passed through the same proxy (" + str(e, "proxy") +
                  ") may have been answered by the proxy itself, not the cloud: a device that answers every "
                  "request with its own page (a captive portal or login page) passes them and alters every echo.");
  }
  return out;
}

}  // namespace

std::vector<std::string> hint_words(const Cause& c) {
  const json& e = c.evidence;
  const std::string& code = c.code;
  Lines out;
  if (code == "settings.not_run") {
    out.push_back(text("Settings: the check was not run: a setting it needs is missing or switches it off (it reads "
                       "%s).",
                       str(e, "settings").c_str()));
  } else if (code == "check.nothing_to_do") {
    out.push_back(text("The check found nothing to do after asking %s%s%s.", host(e, "its server").c_str(),
                       num(e, "status", 0) ? text(" (HTTP %lld)", num(e, "status", 0)).c_str() : "",
                       num(e, "curl_code", 0) ? text(", whose transfer ended with curl code %lld", num(e, "curl_code", 0)).c_str()
                                              : ""));
  } else if (code == "check.stopped") {
    out.push_back(e.contains("error_text")
                      ? text("The check stopped before any transfer: %.200s. It reads %s.", str(e, "error_text").c_str(),
                             str(e, "settings").c_str())
                      : text("The check stopped before any transfer and left no cause; it reads %s.",
                             str(e, "settings").c_str()));
  } else if (code == "dns.proxy_host") {
    out.push_back(text("Name lookup: the proxy's host name \"%s\" (proxy %s) did not resolve; check the proxy setting "
                       "and this machine's DNS server.",
                       c.key.c_str(), str(e, "proxy").c_str()));
  } else if (code == "dns.cloud_host") {
    out.push_back(text("Name lookup: the cloud host name \"%s\" did not resolve (%s); check the configured URL and "
                       "this machine's DNS server.",
                       c.key.c_str(), route(e).c_str()));
  } else if (code == "tcp.refused") {
    if (proxied(e)) {
      out.push_back(text("Connect: the connection to the proxy %s at %s was refused or could not be made: nothing "
                         "listens there, or a firewall rejects it.",
                         str(e, "proxy").c_str(), c.key.c_str()));
    } else {
      out.push_back(text("Connect: the connection to %s was refused or could not be made (directly, no proxy): "
                         "nothing listens on that port, or a firewall rejects it.",
                         server(e).c_str()));
    }
  } else if (code == "tcp.dropped" || code == "cloud.silent" || code == "cloud.answer_unfinished" ||
             code == "proxy.silent" || code == "proxy.tunnel_silent" || code == "proxy_or_cloud.silent" ||
             code.rfind("tls.handshake_", 0) == 0) {
    out = silences(c);
  } else if (code.rfind("proxy.auth_", 0) == 0) {
    out = auth(c);
  } else if (code == "proxy_or_cloud.auth") {
    out = proxy_or_cloud_auth(e);
  } else if (code.rfind("proxy.connect_", 0) == 0) {
    out = connect_answer(c);
  } else if (code == "tls.not_tunnelled") {
    const std::string error = str(e, "error_text");
    out.push_back(text("TLS: %s answered CONNECT to %s with HTTP %lld, but what came back then was no TLS%s%s%s: the "
                       "proxy, or a device behind it such as a captive portal or login page, answered in plain text "
                       "instead of opening the tunnel.",
                       the_proxy(e).c_str(), target(e).c_str(), num(e, "connect_code"), error.empty() ? "" : " (\"",
                       error.c_str(), error.empty() ? "" : "\")"));
  } else if (code == "proxy.error_answer") {
    out.push_back(text("Proxy: %s answered the request for %s itself with HTTP %lld (%s): the error is the proxy's "
                       "own answer, not the cloud's.",
                       the_proxy(e).c_str(), target(e).c_str(), num(e, "status"), quoted(e).c_str()));
  } else if (code.rfind("tls.", 0) == 0) {
    out = tls(c);
  } else if (code.rfind("cloud.", 0) == 0) {
    out = answers(c);
  } else if (code.rfind("echo.", 0) == 0) {
    out = echoes(c);
  } else if (code == "clock.skew") {
    const long long apart = num(e, "ahead_s", 0);
    out.push_back(text("Clock: the local clock (%s) is %s %s the Date header of %s (\"%s\"); certificate checks fail "
                       "on a wrong clock, so set this machine's clock right if it is the one that is off.",
                       utc_text(static_cast<std::time_t>(num(e, "local_clock", 0))).c_str(),
                       duration_text(std::llabs(apart)).c_str(), apart > 0 ? "ahead of" : "behind",
                       str(e, "host").c_str(), str(e, "server_date").c_str()));
  } else {
    const std::string said = str(e, "error_text");
    const long long curl = num(e, "curl_code", 0);
    out.push_back(curl == 0 ? text("The transfer to %s (%s) ended well (HTTP %lld), but the check failed%s%.200s.",
                                   server(e).c_str(), route(e).c_str(), num(e, "status", 0), said.empty() ? "" : ": ",
                                   said.c_str())
                            : text("The transfer to %s (%s) ended with curl code %lld%s%.200s.", server(e).c_str(),
                                   route(e).c_str(), curl, said.empty() ? "" : ": ", said.c_str()));
  }
  if (proxied(e) && (code.rfind("proxy", 0) == 0 || code == "dns.proxy_host" || code == "tls.not_tunnelled" ||
                     code.rfind("tcp.", 0) == 0)) {
    const std::string source = source_line(e);
    if (!source.empty()) out.push_back(source);
  }
  return out;
}

std::string repeat_words(const Cause& c, const std::string& first_check) {
  // The stage word of the full hint ("TLS", "Connect", ...) leads it too.
  const Lines full = hint_words(c);
  const std::string& first = full.empty() ? c.code : full.front();
  const size_t colon = first.find(": ");
  const std::string stage = colon == std::string::npos || colon > 16 ? "" : first.substr(0, colon + 2);
  return text("%sthe same cause as told for \"%s\" (%s, %s).", stage.c_str(), first_check.c_str(), c.code.c_str(),
              c.key.c_str());
}
