#include <cstdio>
#include <cstring>

#include "platform/format.h"
#include "diagnosis/xfer_facts.h"
#include "velta_client/src/common/zel_log.h"
#include "velta_client/src/common/zel_transfer.h"
#include "velta_client/src/post_form.h"
#include "velta_client/src/string_resp.h"
#include "velta_client/src/velta_client.h"
#include "platform/wipe.h"

namespace {

constexpr const char* kBuild = "zel_velta_build_reg_post";
constexpr const char* kRegister = "_velta_register_client";
constexpr size_t kGuidLength = 36;

bool guid_length_ok(const char* guid) { return strnlen(guid, kGuidLength + 1) == kGuidLength; }

// The echo passes when it is the body itself: the same bytes, the same
// length. Where it first differs goes to the transfer's facts.
bool echo_matches(const string_resp& resp, const char* body) {
  const size_t length = std::strlen(body);
  const size_t held = resp.data ? resp.len : 0;
  size_t at = 0;
  while (at < held && at < length && resp.data[at] == body[at]) ++at;
  const bool differs = at < held && at < length;
  // A longer echo differs where the body ended; a shorter one only ended early.
  const int64_t first_difference = differs || held > length || resp.too_long ? static_cast<int64_t>(at) : -1;
  xfer_facts_note_echo(length, held, first_difference);
  if (!resp.data || resp.too_long) return false;
  return resp.len == length && std::memcmp(resp.data, body, length + 1) == 0;
}

// Names the first GUID whose length is wrong, in the order the message lists them.
void name_bad_guid(const velta_client_settings& settings, char* cause) {
  const struct {
    const char* name;
    const char* guid;
  } guids[] = {{"agent", settings.agent_guid}, {"affiliate", settings.affiliate_guid},
               {"business", settings.business_guid}};
  for (const auto& g : guids) {
    if (guid_length_ok(g.guid)) continue;
    // A full field has no NUL: its length is only known to pass 36.
    const size_t length = strnlen(g.guid, sizeof(settings.agent_guid));
    platform::format(cause, CURL_ERROR_SIZE, "Invalid %s GUID: %s%zu characters, %zu expected", g.name,
                     length == sizeof(settings.agent_guid) ? "at least " : "", length, kGuidLength);
    return;
  }
}

static_assert(ZEL_REG_POST_SIZE == 1025, "the fault text names the body's limit");

const char* post_fault_text(zel_post_fault fault) {
  switch (fault) {
    case ZEL_POST_FAULT_PARAM:
      return "a value is absent";
    case ZEL_POST_FAULT_NAME:
      return "a field name is too long";
    case ZEL_POST_FAULT_ESCAPE:
      return "a text cannot be percent-encoded";
    case ZEL_POST_FAULT_NO_ROOM:
      return "the form passes 1024 characters";
    default:
      return "unknown failure";
  }
}

// The body into out; when cause is given (CURL_ERROR_SIZE bytes), a failure
// is named in it for the admin.
int build_reg_post(char* out, const velta_client_settings* settings, const host_info* host, const os_info* os,
                   const char* itoken, char* cause) {
  if (!out || !settings || !host || !os) {
    zel_error("%s: Null argument error", kBuild);
    return ZEL_ERR_NULL_ARG;
  }
  if (!guid_length_ok(settings->agent_guid) || !guid_length_ok(settings->affiliate_guid) ||
      !guid_length_ok(settings->business_guid)) {
    // The fields may be full, so each is printed within its own size.
    zel_error("%s: Invalid guid detected. ag:%.37s afg:%.37s bg:%.37s", kBuild, settings->agent_guid,
              settings->affiliate_guid, settings->business_guid);
    if (cause) name_bad_guid(*settings, cause);
    return ZEL_ERR_INVALID_ARG;
  }
  CURL* curl = pathvane_curl.curl_easy_init();
  if (!curl) {
    zel_error("%s: curl_easy_init failed", kBuild);
    if (cause) platform::format(cause, CURL_ERROR_SIZE, "Can't compose the registration request: curl_easy_init failed");
    return ZEL_ERR_FAILED;
  }
  zel_post post{curl, out, ZEL_REG_POST_SIZE, 0, 0};
  out[0] = '\0';

  _zel_post_str(&post, settings->affiliate_guid, "affiliate_guid");
  _zel_post_str(&post, settings->agent_guid, "agent_guid");
  _zel_post_str(&post, settings->business_guid, "business_guid");
  _zel_post_str(&post, host->hostname, "hostname");
  _zel_post_str(&post, itoken ? itoken : "", "itoken");
  _zel_post_uint(&post, 1, "loopback");
  const unsigned nics = host->nic_count < kMaxNics ? host->nic_count : kMaxNics;
  for (unsigned i = 0; i < nics; ++i) {
    const nic_info& nic = host->nics[i];
    _zel_post_str(&post, nic.friendly_name, "nics[%u][friendly_name]", i);
    _zel_post_str(&post, nic.ip, "nics[%u][ip]", i);
    _zel_post_str(&post, nic.ipv6, "nics[%u][ipv6]", i);
    _zel_post_str(&post, nic.mac, "nics[%u][mac]", i);
  }
  _zel_post_uint(&post, os->architecture, "os[architecture]");
  _zel_post_uint(&post, os->build, "os[build]");
  _zel_post_uint(&post, os->major, "os[major]");
  _zel_post_uint(&post, os->minor, "os[minor]");
  _zel_post_uint(&post, os->platform_id, "os[platform_id]");
  _zel_post_uint(&post, os->product_info_type, "os[product_info_type]");
  _zel_post_uint(&post, static_cast<uint64_t>(static_cast<int64_t>(os->product_type)), "os[product_type]");
  _zel_post_uint(&post, os->service_pack_major, "os[service_pack_major]");
  _zel_post_uint(&post, os->service_pack_minor, "os[service_pack_minor]");
  _zel_post_uint(&post, os->suite_mask, "os[suite_mask]");
  _zel_post_uint(&post, os->sm_server_r2, "os[sm_server_r2]");

  pathvane_curl.curl_easy_cleanup(curl);
  if (post.error) {
    zel_error("%s: unable to compose registration request", kBuild);
    if (cause) {
      platform::format(cause, CURL_ERROR_SIZE, "Can't compose the registration request: %s",
                       post_fault_text(post.fault));
    }
    return ZEL_ERR_FAILED;
  }
  return ZEL_OK;
}

}  // namespace

int zel_velta_build_reg_post(char* out, const velta_client_settings* settings, const host_info* host,
                             const os_info* os, const char* itoken) {
  return build_reg_post(out, settings, host, os, itoken, nullptr);
}

namespace {

int register_with(CURL* curl, const velta_client_settings& settings, const proxy_info& proxy, const char* body,
                  char* error_buffer, zel_transfer_status* status) {
  const zel_trust_context tls{settings.trust_cert, settings.trust_callback};
  if (zel_set_curl_opts(curl, settings.user_agent, &proxy, settings.ssl_flags, &tls, "+velta-register-client") == -1) {
    return ZEL_ERR_EXTERNAL;
  }
  // Room for the whole management URL: a cut one would post elsewhere.
  char url[sizeof(settings.mgmt_url) - 1 + sizeof("/register")];
  const size_t base = strnlen(settings.mgmt_url, sizeof(settings.mgmt_url));
  const bool slash = base > 0 && settings.mgmt_url[base - 1] == '/';
  std::snprintf(url, sizeof(url), slash ? "%.*sregister" : "%.*s/register", static_cast<int>(base),
                settings.mgmt_url);
  zel_trace(0x8000000, "Registering with Talvane Orvix (%s) %s: %s", settings.user_agent, url, body);

  if (!zel_setopt(curl, CURLOPT_URL, url, kRegister, "CURLOPT_URL") || !zel_setopt(curl, CURLOPT_TIMEOUT, 15L, kRegister, "CURLOPT_TIMEOUT") ||
      !zel_setopt(curl, CURLOPT_POSTFIELDS, body, kRegister, "CURLOPT_POSTFIELDS") ||
      !zel_setopt(curl, CURLOPT_ERRORBUFFER, error_buffer, kRegister, "CURLOPT_ERRORBUFFER")) {
    return ZEL_ERR_EXTERNAL;
  }
  string_resp* resp = _string_resp_create();
  if (!resp) {
    zel_error("%s: _string_resp_create() failed", kRegister);
    return ZEL_ERR_EXTERNAL;
  }
  int result = ZEL_OK;
  if (!zel_setopt(curl, CURLOPT_WRITEFUNCTION, _string_resp_write, kRegister, "CURLOPT_WRITEFUNCTION") ||
      !zel_setopt(curl, CURLOPT_WRITEDATA, resp, kRegister, "CURLOPT_WRITEDATA")) {
    result = ZEL_ERR_EXTERNAL;
  } else {
    zel_install_curl_debug_callback(curl);
    CURLcode rc = zel_curl_perform(curl, &proxy);
    if (status) status->curl_code = rc;
    long http = 0;
    if (rc != CURLE_OK) {
      zel_error("%s: POST %s failed (%d): %s (%s)", kRegister, url, static_cast<int>(rc),
                pathvane_curl.curl_easy_strerror(rc), error_buffer);
      result = (rc == CURLE_COULDNT_CONNECT || rc == CURLE_SSL_CONNECT_ERROR) ? ZEL_ERR_CONNECT : ZEL_ERR_NETWORK;
    } else if ((rc = xfer_getinfo_long(curl, CURLINFO_RESPONSE_CODE, &http)) != CURLE_OK) {
      zel_error("%s: curl_easy_getinfo(CURLINFO_RESPONSE_CODE) failed: %s", kRegister,
                pathvane_curl.curl_easy_strerror(rc));
      result = ZEL_ERR_EXTERNAL;
    } else {
      if (status) status->http_code = static_cast<int32_t>(http);
      if (http != 200) {
        zel_error("%s: Registration failed (HTTP code: %ld)", kRegister, http);
        result = ZEL_ERR_REGISTRATION;
      } else {
        zel_trace(0x8000000, "%s: registered", kRegister);
        zel_trace(0x8000000, "%s: loopback response (%lu) - %s", kRegister, static_cast<unsigned long>(resp->len),
                  resp->data ? resp->data : "");
        if (echo_matches(*resp, body)) {
          zel_trace(0x8000000, "%s: registration loopback is good, response matches expected post body", kRegister);
        } else {
          zel_error("%s: Registration loopback failed, post body does not match response", kRegister);
          result = ZEL_ERR_QUERY;
        }
      }
    }
  }
  _string_resp_free(resp);
  return result;
}

}  // namespace

int _velta_register_client(const velta_client_settings* settings, const host_info* host, const proxy_info* proxy,
                           const os_info* os, const char* itoken, zel_transfer_status* status) {
  char local_error[CURL_ERROR_SIZE] = {};
  char* error_buffer = status ? status->error_text : local_error;
  if (!settings || !host || !proxy || !os) {
    zel_error("%s: Null argument error", kRegister);
    return ZEL_ERR_NULL_ARG;
  }
  char body[ZEL_REG_POST_SIZE];
  int result = build_reg_post(body, settings, host, os, itoken, error_buffer);
  if (result == ZEL_OK && strnlen(settings->mgmt_url, sizeof(settings->mgmt_url)) == sizeof(settings->mgmt_url)) {
    // A field without its NUL holds more than settings loading accepts.
    zel_error("%s: management URL longer than %zu characters", kRegister, sizeof(settings->mgmt_url) - 1);
    platform::format(error_buffer, CURL_ERROR_SIZE, "Management URL longer than %zu characters",
                     sizeof(settings->mgmt_url) - 1);
    result = ZEL_ERR_INVALID_ARG;
  }
  if (result == ZEL_OK) {
    CURL* curl = pathvane_curl.curl_easy_init();
    if (!curl) {
      zel_error("%s: curl_easy_init failed", kRegister);
      platform::format(error_buffer, CURL_ERROR_SIZE, "curl_easy_init failed");
      result = ZEL_ERR_EXTERNAL;
    } else {
      result = register_with(curl, *settings, *proxy, body, error_buffer, status);
      pathvane_curl.curl_easy_cleanup(curl);
    }
  }
  // The body carries the installation token.
  platform::wipe(body, sizeof(body));
  return result;
}
