// What the cloud's answer shows once a transfer ended well: a refusal, a
// failure, a missing URL, a redirect, or an echo that came back other than
// it was sent.
#include <cstring>

#include "diagnosis/decide.h"
#include "diagnosis/evidence.h"

namespace {

const char* check_kind(uint32_t bit) {
  switch (bit) {
    case 0x4:
      return "registration";
    case 0x10:
    case 0x20:
      return "upload";
    case 0x8:
      return "crash_dump";
    default:
      return "request";
  }
}

nlohmann::json answer_evidence(const CheckRecord& r, const xfer_facts& t, const DiagnosisContext& context,
                               int status) {
  nlohmann::json e = transfer_evidence(t, context);
  e["status"] = status;
  e["check"] = check_kind(r.bit);
  e["settings"] = check_keys(r.bit);
  // A plain request through a proxy is answered by the proxy, for itself
  // or on the cloud's behalf; only a tunnel's answer is the cloud's own.
  if (t.proxy[0] && !reached(t, XFER_REACHED_TUNNEL)) {
    e["told_apart"] = false;
    if (t.via[0]) e["via"] = std::string(t.via, strnlen(t.via, sizeof(t.via)));
    if (t.server_software[0]) e["server"] = std::string(t.server_software, strnlen(t.server_software, sizeof(t.server_software)));
  }
  return e;
}

bool echo(const xfer_facts& t, DiagnosisContext& context, Causes& out) {
  if (!t.echo_compared) return false;
  const bool altered = t.echo_first_difference >= 0;
  if (!altered && t.echo_received == t.echo_sent) return false;
  nlohmann::json e = transfer_evidence(t, context);
  e["sent"] = t.echo_sent;
  e["received"] = t.echo_received;
  if (altered) e["first_difference"] = t.echo_first_difference;
  if (altered && t.proxy[0] && !context.proxy_echo_told) {
    // What passed through the same proxy may be the proxy's own answer.
    e["passing_may_be_proxy"] = true;
    context.proxy_echo_told = true;
  }
  out.push_back({altered ? "echo.altered" : "echo.short", target_of(t), std::move(e)});
  return true;
}

}  // namespace

bool decide_answer(const CheckRecord& r, const xfer_facts& t, DiagnosisContext& context, Causes& out) {
  const int status = r.slot_read ? r.slot.http_status : 0;
  const std::string target = target_of(t);
  if (status == 401 || status == 403) {
    out.push_back({"cloud.refused", target, answer_evidence(r, t, context, status)});
    return true;
  }
  if (status >= 500 && status < 600) {
    out.push_back({"cloud.server_error", target, answer_evidence(r, t, context, status)});
    return true;
  }
  if (status == 404) {
    out.push_back({"cloud.not_found", target, answer_evidence(r, t, context, status)});
    return true;
  }
  if (echo(t, context, out)) return true;
  if (status >= 300 && status < 400 && t.redirect_url[0]) {
    nlohmann::json e = answer_evidence(r, t, context, status);
    e["location"] = std::string(t.redirect_url, strnlen(t.redirect_url, sizeof(t.redirect_url)));
    out.push_back({"cloud.redirect", target, std::move(e)});
    return true;
  }
  if (status != 0 && status != 200) {
    out.push_back({"cloud.answer_status", target, answer_evidence(r, t, context, status)});
    return true;
  }
  return false;
}
