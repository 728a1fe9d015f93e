#include <cstring>
#include <ctime>

#include "agent/kit/kit.h"
#include "pathvane/xfer_table.h"
#include "diagnosis/hints.h"
#include "tool/pathvane_wrapper.h"
#include "diagnosis/xfer_facts.h"
#include "velta_client/src/common/xfer_progress.h"

namespace {

constexpr int64_t kReport = 0x80000000LL;

const char* curl_code_text(int32_t code) {
  if (!pathvane_curl.curl_easy_strerror) return "Unknown error";
  const char* text = pathvane_curl.curl_easy_strerror(static_cast<CURLcode>(code));
  return text ? text : "Unknown error";
}

struct Counters {
  uint8_t success = 0;
  uint8_t issues = 0;
  uint8_t failed = 0;
  uint8_t total = 0;
};

Counted classify(uint32_t bit, const check_result& result, const char* curl_error, Counters& counters) {
  switch (result.outcome) {
    case OUTCOME_NOT_RUN:
      if (bit == 0x400) {
        trace(kReport, "========> No connector update was available (not executed)");
        ++counters.issues;
        return Counted::kIssues;
      }
      if (bit == 0x8) {
        trace(kReport, "========> Crash dump is disabled (not executed)");
        ++counters.issues;
        return Counted::kIssues;
      }
      trace(kReport, "========> [error] host not found");
      ++counters.failed;
      return Counted::kFailed;
    case OUTCOME_UNTOUCHED:
      error("Failed to get check result details");
      ++counters.failed;
      return Counted::kFailed;
    default:
      break;
  }
  trace(kReport, "====> Curl code  :\t\t%s", curl_code_text(result.curl_code));
  trace(kReport, "====> Curl err   :\t\t%s", curl_error[0] ? curl_error : "No error");
  trace(kReport, "====> HTTP status:\t\t%ld", static_cast<long>(result.http_status));
  if (result.curl_code != 0 || result.http_status >= 500) {
    ++counters.failed;
    return Counted::kFailed;
  }
  if (result.http_status == 200 && result.outcome == OUTCOME_PASS) {
    // A 200 whose check failed (an echo that did not match) is no success.
    ++counters.success;
    return Counted::kSuccess;
  }
  if (result.outcome == OUTCOME_PASS && result.http_status == 0) {
    ++counters.success;
    return Counted::kSuccess;
  }
  ++counters.issues;
  return Counted::kIssues;
}

// What the runner keeps of a check that ran: the transfers' facts of it.
void keep_transfers(CheckRecord& record) {
  for (unsigned i = 0; i < xfer_facts_count(); ++i) record.transfers.push_back(*xfer_facts_at(i));
}

}  // namespace

HRESULT PathvaneWrapper::RunChecks(uint32_t mask) { return RunChecks(mask, default_check_table()); }

HRESULT PathvaneWrapper::RunChecks(uint32_t mask, std::span<const CheckRow> table) {
  if (!handle_) return E_HANDLE;
  records_.clear();
  Counters counters;
  DiagnosisContext context = diagnosis_;
  context.told.clear();
  context.skew_told = false;
  context.proxy_echo_told = false;
  char curl_error[256];
  unsigned selected = 0;
  for (const CheckRow& row : table) {
    if (mask & row.bit) ++selected;
  }
  unsigned number = 0;
  for (const CheckRow& row : table) {
    if (!(mask & row.bit)) continue;
    std::memset(curl_error, 0, sizeof(curl_error));
    trace(kReport, "********* START");
    trace(kReport, "========>  Checking connectivity to: %s", row.name);
    xfer_progress_begin(row.name, ++number, selected);
    xfer_facts_begin_check();
    int rc = row.check ? row.check(handle_) : -1;
    xfer_progress_end();
    CheckRecord record;
    record.name = row.name;
    record.bit = row.bit;
    record.rc = rc;
    keep_transfers(record);
    ++counters.total;
    if (rc == 0) {
      trace(kReport, "========> [pass] Connectivity check completed with no issues");
    } else if (rc == 6) {
      trace(kReport, "========> [warning] Test was not run, no host was specified");
    } else {
      trace(kReport, "========> [error] Connectivity check completed with *ERRORS*");
    }
    uint32_t slot = slot_for_bit(row.bit);
    if (slot >= PATHVANE_SLOT_COUNT || !handle_) {
      error("Failed to get check result details");
      ++counters.failed;
      record.counted = Counted::kFailed;
    } else {
      const check_result& result = handle_->results[slot];
      std::memcpy(curl_error, result.curl_error, sizeof(curl_error));
      curl_error[sizeof(curl_error) - 1] = '\0';
      record.slot_read = true;
      record.slot = result;
      record.counted = classify(row.bit, result, curl_error, counters);
    }
    trace(kReport, "********* -END- *********");
    context.now = std::time(nullptr);
    diagnose_check(record, context);
    for (const std::string& hint : record.hints) trace_hint("%s", hint.c_str());
    records_.push_back(std::move(record));
  }
  trace(kReport, "********* SUMMARY *********");
  trace(kReport, "====>  * Completed successfully\t%u", static_cast<unsigned>(counters.success));
  trace(kReport, "====>  * Completed with issues\t%u", static_cast<unsigned>(counters.issues));
  trace(kReport, "====>  * Failed checks\t\t%u", static_cast<unsigned>(counters.failed));
  trace(kReport, "====>  ** TOTAL CHECKS **\t\t%u", static_cast<unsigned>(counters.total));
  trace(kReport, "********* -DONE- *********");
  return S_OK;
}
