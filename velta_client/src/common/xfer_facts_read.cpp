#include "velta_client/src/common/xfer_facts_read.h"

#include <cstdlib>
#include <cstring>

#include "diagnosis/xfer_facts.h"
#include "platform/format.h"
#include "velta_client/src/common/xfer_functions.h"
#include "velta_client/src/common/zel_log.h"
#include "platform/ascii_case.h"

namespace {

int64_t stage_time(CURL* curl, CURLINFO info, bool zero_is_unreached) {
  curl_off_t value = 0;
  if (xfer_getinfo_off_t(curl, info, &value) != CURLE_OK) return -1;
  if (value == 0 && zero_is_unreached) return -1;
  return static_cast<int64_t>(value);
}

const char* http_version_text(long version) {
  switch (version) {
    case CURL_HTTP_VERSION_1_0:
      return "1.0";
    case CURL_HTTP_VERSION_1_1:
      return "1.1";
    case CURL_HTTP_VERSION_2_0:
      return "2";
    case CURL_HTTP_VERSION_3:
      return "3";
    default:
      return "";
  }
}

// The first header of that name among those of origin: the last answer's
// (CURLH_HEADER) or a proxy's answer to CONNECT (CURLH_CONNECT).
bool header_text(CURL* curl, const char* name, unsigned origin, char* out, size_t size) {
  curl_header* header = nullptr;
  if (!pathvane_curl.curl_easy_header ||
      pathvane_curl.curl_easy_header(curl, name, 0, origin, -1, &header) != CURLHE_OK || !header || !header->value) {
    return false;
  }
  platform::format(out, size, "%s", header->value);
  return true;
}

// Headers a proxy puts on an answer of its own to say what failed.
constexpr const char* kProxyErrorHeaders[] = {"X-Squid-Error"};

// The first proxy error header of origin, as "Name: value".
void proxy_error_text(CURL* curl, unsigned origin, char* out, size_t size) {
  for (const char* name : kProxyErrorHeaders) {
    char value[160] = {};
    if (header_text(curl, name, origin, value, sizeof(value))) {
      platform::format(out, size, "%s: %s", name, value);
      return;
    }
  }
}

// The host of a URL: past the scheme and any user, before port and path;
// its port, or the scheme's.
void url_host(const char* url, char* out, size_t size, int32_t* port) {
  const char* start = std::strstr(url, "://");
  start = start ? start + 3 : url;
  const size_t authority = std::strcspn(start, "/?#");
  const char* at = static_cast<const char*>(std::memchr(start, '@', authority));
  const char* host = at ? at + 1 : start;
  const size_t rest = authority - static_cast<size_t>(host - start);
  size_t length = 0;
  if (rest > 0 && host[0] == '[') {
    const char* close = static_cast<const char*>(std::memchr(host, ']', rest));
    length = close ? static_cast<size_t>(close - host) + 1 : rest;
  } else {
    const char* colon = static_cast<const char*>(std::memchr(host, ':', rest));
    length = colon ? static_cast<size_t>(colon - host) : rest;
  }
  *port = 0;
  if (length < rest && host[length] == ':') {
    *port = static_cast<int32_t>(std::strtol(host + length + 1, nullptr, 10));
  } else if (start != url) {
    const size_t scheme = static_cast<size_t>(start - 3 - url);
    if (scheme == 4 && platform::starts_with_ignoring_ascii_case(url, "http")) *port = 80;
    if (scheme == 5 && platform::starts_with_ignoring_ascii_case(url, "https")) *port = 443;
  }
  if (length >= size) length = size - 1;
  std::memcpy(out, host, length);
  out[length] = '\0';
}

// Each stage from what showed it, never from a time alone: libcurl leaves the
// connect time 0 whenever a tunnel or handshake did not finish.
uint32_t stages_before_tls(const xfer_facts& facts, CURLcode code, bool answered) {
  uint32_t reached = 0;
  const bool unresolved = code == CURLE_COULDNT_RESOLVE_HOST || code == CURLE_COULDNT_RESOLVE_PROXY;
  // libcurl notes the peer's address once TCP connected, none when the SYN went unanswered.
  const bool connected = facts.remote_ip[0] && code != CURLE_COULDNT_CONNECT;
  if (answered || connected || (!unresolved && facts.name_lookup_us > 0)) reached |= XFER_REACHED_LOOKUP;
  if (answered || connected) reached |= XFER_REACHED_CONNECT;
  if (facts.connect_code >= 200 && facts.connect_code < 300) reached |= XFER_REACHED_TUNNEL;
  if (answered) reached |= XFER_REACHED_ANSWER;
  return reached;
}

}  // namespace

void xfer_facts_after(CURL* curl, CURLcode code) {
  xfer_facts* facts = xfer_facts_take_in_flight();
  if (!facts) return;
  facts->curl_code = code;
  facts->name_lookup_us = stage_time(curl, CURLINFO_NAMELOOKUP_TIME_T, false);
  facts->connect_us = stage_time(curl, CURLINFO_CONNECT_TIME_T, true);
  facts->tls_us = stage_time(curl, CURLINFO_APPCONNECT_TIME_T, true);
  facts->first_byte_us = stage_time(curl, CURLINFO_STARTTRANSFER_TIME_T, true);
  facts->total_us = stage_time(curl, CURLINFO_TOTAL_TIME_T, false);
  const char* ip = nullptr;
  if (xfer_getinfo_string(curl, CURLINFO_PRIMARY_IP, &ip) == CURLE_OK && ip) {
    platform::format(facts->remote_ip, sizeof(facts->remote_ip), "%s", ip);
  }
  const char* url = nullptr;
  if (xfer_getinfo_string(curl, CURLINFO_EFFECTIVE_URL, &url) == CURLE_OK && url) {
    url_host(url, facts->host, sizeof(facts->host), &facts->url_port);
    const char* scheme_end = std::strstr(url, "://");
    if (scheme_end) {
      platform::format(facts->url_scheme, sizeof(facts->url_scheme), "%.*s", static_cast<int>(scheme_end - url), url);
    }
  }
  const char* redirect = nullptr;
  if (xfer_getinfo_string(curl, CURLINFO_REDIRECT_URL, &redirect) == CURLE_OK && redirect) {
    platform::format(facts->redirect_url, sizeof(facts->redirect_url), "%s", redirect);
  }
  long value = 0;
  if (xfer_getinfo_long(curl, CURLINFO_PRIMARY_PORT, &value) == CURLE_OK) facts->remote_port = static_cast<int32_t>(value);
  if (xfer_getinfo_long(curl, CURLINFO_HTTP_CONNECTCODE, &value) == CURLE_OK) {
    facts->connect_code = static_cast<int32_t>(value);
  }
  long status = 0;
  xfer_getinfo_long(curl, CURLINFO_RESPONSE_CODE, &status);
  if (status > 0 && xfer_getinfo_long(curl, CURLINFO_HTTP_VERSION, &value) == CURLE_OK) {
    platform::format(facts->http_version, sizeof(facts->http_version), "%s", http_version_text(value));
  }
  if (xfer_getinfo_long(curl, CURLINFO_PROXYAUTH_AVAIL, &value) == CURLE_OK) facts->proxy_auth_offered = value;
  // A library without the header interface gives no date, and that is all.
  curl_header* date = nullptr;
  if (status > 0 && pathvane_curl.curl_easy_header &&
      pathvane_curl.curl_easy_header(curl, "Date", 0, CURLH_HEADER, -1, &date) == CURLHE_OK && date && date->value) {
    platform::format(facts->server_date, sizeof(facts->server_date), "%s", date->value);
  }
  if (status > 0 || facts->connect_code > 0) {
    const unsigned any = CURLH_HEADER | CURLH_CONNECT;
    header_text(curl, "Proxy-Authenticate", any, facts->proxy_challenge, sizeof(facts->proxy_challenge));
    header_text(curl, "WWW-Authenticate", any, facts->server_challenge, sizeof(facts->server_challenge));
    header_text(curl, "Server", any, facts->server_software, sizeof(facts->server_software));
  }
  // The proxy's own word, kept apart from the server's: its CONNECT answer
  // is readable even when the tunnel failed.
  if (facts->connect_code > 0) {
    header_text(curl, "Server", CURLH_CONNECT, facts->connect_server, sizeof(facts->connect_server));
    proxy_error_text(curl, CURLH_CONNECT, facts->connect_error, sizeof(facts->connect_error));
  }
  if (status > 0) {
    proxy_error_text(curl, CURLH_HEADER, facts->proxy_error, sizeof(facts->proxy_error));
    header_text(curl, "Via", CURLH_HEADER, facts->via, sizeof(facts->via));
  }
  facts->reached = stages_before_tls(*facts, code, status > 0) |
                   xfer_facts_tls_reached(*facts, platform::equal_ignoring_ascii_case(facts->url_scheme, "https"), status > 0);
  char line[512];
  xfer_facts_timing_line(*facts, line, sizeof(line));
  zel_trace(-1, "%s", line);
}

