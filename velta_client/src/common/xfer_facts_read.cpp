#include "velta_client/src/common/xfer_facts_read.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "diagnosis/xfer_facts.h"
#include "platform/format.h"
#include "velta_client/src/common/xfer_functions.h"
#include "velta_client/src/common/zel_log.h"

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

// The first header of that name in the last answer or a proxy's CONNECT answer.
void header_text(CURL* curl, const char* name, char* out, size_t size) {
  curl_header* header = nullptr;
  if (pathvane_curl.curl_easy_header &&
      pathvane_curl.curl_easy_header(curl, name, 0, CURLH_HEADER | CURLH_CONNECT, -1, &header) == CURLHE_OK &&
      header && header->value) {
    platform::format(out, size, "%s", header->value);
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
    if (scheme == 4 && strncasecmp(url, "http", 4) == 0) *port = 80;
    if (scheme == 5 && strncasecmp(url, "https", 5) == 0) *port = 443;
  }
  if (length >= size) length = size - 1;
  std::memcpy(out, host, length);
  out[length] = '\0';
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
    header_text(curl, "Proxy-Authenticate", facts->proxy_challenge, sizeof(facts->proxy_challenge));
    header_text(curl, "WWW-Authenticate", facts->server_challenge, sizeof(facts->server_challenge));
    header_text(curl, "Server", facts->server_software, sizeof(facts->server_software));
  }
  char line[512];
  xfer_facts_timing_line(*facts, line, sizeof(line));
  zel_trace(-1, "%s", line);
}

