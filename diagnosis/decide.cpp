#include "diagnosis/decide.h"

#include <cstring>

#include "diagnosis/evidence.h"

namespace {

// The transfer that explains the check: the first that failed, else the last.
const xfer_facts* telling_transfer(const CheckRecord& r) {
  for (const auto& t : r.transfers) {
    if (t.curl_code != CURLE_OK) return &t;
  }
  return r.transfers.empty() ? nullptr : &r.transfers.back();
}

void not_run(const CheckRecord& r, Causes& out) {
  if (r.transfers.empty()) {
    out.push_back({"settings.not_run", check_keys(r.bit), {{"settings", check_keys(r.bit)}}});
    return;
  }
  const xfer_facts& t = r.transfers.back();
  nlohmann::json e = {{"host", t.host[0] ? t.host : ""}, {"curl_code", t.curl_code}};
  if (r.slot_read && r.slot.http_status) e["status"] = r.slot.http_status;
  out.push_back({"check.nothing_to_do", target_of(t), std::move(e)});
}

void failure(const CheckRecord& r, DiagnosisContext& context, Causes& out) {
  const xfer_facts* telling = telling_transfer(r);
  if (!telling) {
    nlohmann::json e = {{"settings", check_keys(r.bit)}};
    if (r.slot_read && r.slot.curl_error[0]) e["error_text"] = std::string(r.slot.curl_error, strnlen(r.slot.curl_error, sizeof(r.slot.curl_error)));
    out.push_back({"check.stopped", check_keys(r.bit), std::move(e)});
    return;
  }
  const xfer_facts& t = *telling;
  if (decide_proxy(r, t, context, out) || decide_connection(t, context, out) || decide_tls(t, context, out)) return;
  if (t.curl_code == CURLE_OK && decide_answer(r, t, context, out)) return;
  nlohmann::json e = transfer_evidence(t, context);
  e["status"] = r.slot_read ? r.slot.http_status : 0;
  if (r.slot_read && r.slot.curl_error[0]) {
    e["error_text"] = std::string(r.slot.curl_error, strnlen(r.slot.curl_error, sizeof(r.slot.curl_error)));
  }
  out.push_back({t.curl_code == CURLE_OK ? "check.failed" : "transfer.failed", peer_of(t), std::move(e)});
}

}  // namespace

Causes decide_causes(const CheckRecord& record, DiagnosisContext& context) {
  Causes out;
  const bool not_run_check = record.rc == 6 || (record.slot_read && record.slot.outcome == OUTCOME_NOT_RUN);
  if (not_run_check) {
    not_run(record, out);
  } else if (record.rc != 0 || record.counted != Counted::kSuccess) {
    failure(record, context, out);
  }
  decide_clock(record, context, out);
  return out;
}
