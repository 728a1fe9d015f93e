// The connectivity check library: the test handle, the records inside it,
// the outcome codes and the checks.
#pragma once
#include <curl/curl.h>
#include <openssl/types.h>

#include <cstdint>

#include "velta_client/src/common/zel_records.h"

constexpr uint32_t PATHVANE_NO_PROXY = ZEL_NO_PROXY;

using pathvane_trust_callback = zel_trust_callback;

struct pathvane_settings {
  char health_url[2048];
  char crash_dump_url[1024];
  char event_url[1024];
  char policy_affiliate_url[1024];
  char policy_agent_url[1024];
  char policy_company_url[1024];
  char policy_policy_url[1024];
  char updater_url[1024];
  char retro_server[1024];
  char submit_server[1024];
  char submit_protocol[12];
  char url_reputation_url[1024];
  uint32_t max_upload_size;
  velta_client_settings velta;
  ::os_info os_info;
  ::host_info host_info;
  uint32_t policy_serial;
  char policy_file_name[260];
  char cmdline[2048];
  proxy_info proxy;
};

struct check_result {
  uint32_t outcome;
  int32_t curl_code;
  char curl_error[256];
  int32_t http_status;
};

constexpr int PATHVANE_SLOT_COUNT = 13;

struct pathvane_handle {
  CURL* curl;
  pathvane_settings settings;
  char* token;
  check_result results[PATHVANE_SLOT_COUNT];
};

enum pathvane_outcome : uint32_t {
  OUTCOME_PASS = 0,
  OUTCOME_FAILED = 1,
  OUTCOME_NULL_ARGS = 2,
  OUTCOME_NO_MEM = 3,
  OUTCOME_NO_TOKEN = 4,
  OUTCOME_OPEN = 5,
  OUTCOME_NOT_RUN = 6,
  OUTCOME_UNRESOLVED_HOST = 7,
  OUTCOME_COULDNT_CONNECT = 8,
  OUTCOME_CONNECTION_REFUSED = 9,
  OUTCOME_SSL_ERROR = 10,
  OUTCOME_UNKNOWN_CA = 11,
  OUTCOME_SERVER_ERROR = 12,
  OUTCOME_NO_CB = 13,
  OUTCOME_READ_FAILED = 14,
  OUTCOME_REGISTRATION_ERROR = 15,
  OUTCOME_UNTOUCHED = 16,
};

// Text of an outcome code as the event report spells it; null for 16 and above.
const char* pathvane_outcome_text(uint32_t outcome);
// JSON name of a result slot as the event reports it; null for slot 12 and above.
const char* pathvane_slot_name(uint32_t slot);

pathvane_handle* pathvane_init(const pathvane_settings* settings, const char* token, int verify_host,
                               int verify_peer, int debug);
void pathvane_free(pathvane_handle** handle);

// The checks: 0 passed, 6 not run (no host), anything else an error.
int pathvane_health_check(pathvane_handle* handle);
int pathvane_velta_management_check(pathvane_handle* handle);
int pathvane_policy_check(pathvane_handle* handle);
int pathvane_retro_fetch_check(pathvane_handle* handle);
int pathvane_submit_upload_check(pathvane_handle* handle);
int pathvane_crash_dump_check(pathvane_handle* handle);
int pathvane_updater_host_check(pathvane_handle* handle);
int pathvane_event_intake_check(pathvane_handle* handle);
int pathvane_url_reputation_check(pathvane_handle* handle);
