#include "diagnosis/evidence.h"

#include <cstring>

#include "diagnosis/text.h"

namespace {

std::string host_port(const std::string& host, long port) {
  const bool v6 = host.find(':') != std::string::npos && host[0] != '[';
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

}  // namespace

bool reached(const xfer_facts& t, uint32_t stage) {
  if (t.reached & stage) return true;
  switch (stage) {
    case XFER_REACHED_LOOKUP:
      return t.name_lookup_us >= 0 || t.remote_ip[0];
    case XFER_REACHED_CONNECT:
      // libcurl sets the primary address once TCP connected; its connect
      // time stays 0 while a handshake or tunnel is unfinished.
      return t.remote_ip[0] != '\0';
    case XFER_REACHED_TUNNEL:
      return t.connect_code >= 200 && t.connect_code < 300;
    case XFER_REACHED_TLS:
      return t.tls_version[0] != '\0';
    case XFER_REACHED_ANSWER:
      return t.first_byte_us >= 0 || t.http_version[0];
    default:
      return false;
  }
}

std::string address_of(const xfer_facts& t) {
  if (!t.remote_ip[0]) return "";
  return host_port(t.remote_ip, t.remote_port);
}

std::string proxy_host_port(const xfer_facts& t) {
  const char* start = std::strstr(t.proxy, "://");
  start = start ? start + 3 : t.proxy;
  if (const char* at = std::strchr(start, '@')) start = at + 1;
  return std::string(start, std::strcspn(start, "/"));
}

std::string proxy_host(const xfer_facts& t) {
  const std::string both = proxy_host_port(t);
  if (!both.empty() && both[0] == '[') return both.substr(0, both.find(']') + 1);
  return both.substr(0, both.find(':'));
}

std::string target_of(const xfer_facts& t) {
  if (!t.host[0]) return "the server";
  return t.url_port > 0 ? host_port(t.host, t.url_port) : std::string(t.host);
}

std::string peer_of(const xfer_facts& t) {
  const std::string address = address_of(t);
  if (!address.empty()) return address;
  if (t.proxy[0]) return proxy_host_port(t);
  return target_of(t);
}

std::string scheme_of(const xfer_facts& t) {
  if (t.url_scheme[0]) return t.url_scheme;
  // A handshake or a tunnel shows TLS was asked for.
  if (t.tls_start_us >= 0 && t.tls_start_us != 0) return "https";
  if (reached(t, XFER_REACHED_TUNNEL)) return "https";
  return "";
}

nlohmann::json transfer_evidence(const xfer_facts& t, const DiagnosisContext& context) {
  nlohmann::json e = nlohmann::json::object();
  if (t.host[0]) e["host"] = t.host;
  if (t.url_port > 0) e["port"] = t.url_port;
  e["route"] = t.proxy[0] ? "proxy" : "direct";
  if (t.proxy[0]) {
    e["proxy"] = t.proxy;
    e["proxy_address"] = proxy_host_port(t);
    e["proxy_source"] = context.proxy_source == ProxyChoice::kDiscovered ? "discovered"
                        : context.proxy_source == ProxyChoice::kStored   ? "stored"
                                                                          : "unknown";
    if (context.proxy_source == ProxyChoice::kDiscovered) e["stored_proxy_set"] = context.stored_proxy_set;
  }
  const std::string address = address_of(t);
  if (!address.empty()) e["address"] = address;
  nlohmann::json stages = nlohmann::json::array();
  static const struct {
    uint32_t bit;
    const char* name;
  } kStages[] = {{XFER_REACHED_LOOKUP, "lookup"},
                 {XFER_REACHED_CONNECT, "connect"},
                 {XFER_REACHED_TUNNEL, "tunnel"},
                 {XFER_REACHED_TLS, "tls"},
                 {XFER_REACHED_ANSWER, "answer"}};
  for (const auto& s : kStages) {
    if (reached(t, s.bit)) stages.push_back(s.name);
  }
  e["reached"] = std::move(stages);
  nlohmann::json times = nlohmann::json::object();
  auto time = [&](const char* name, int64_t us) {
    if (us >= 0) times[name] = us;
  };
  time("name_lookup", t.name_lookup_us);
  // libcurl's 0 stands for "not known" when the connection is unfinished.
  if (t.connect_us > 0 || (t.connect_us == 0 && reached(t, XFER_REACHED_TLS))) time("connect", t.connect_us);
  if (t.tls_start_us > 0) time("tls_start", t.tls_start_us);
  time("tls", t.tls_us);
  time("first_byte", t.first_byte_us);
  time("total", t.total_us);
  e["times_us"] = std::move(times);
  e["curl_code"] = t.curl_code;
  return e;
}
