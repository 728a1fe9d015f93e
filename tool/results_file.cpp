#include "tool/results_file.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "agent/kit/kit.h"
#include "diagnosis/evidence.h"
#include "pathvane/xfer_table.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/loader.h"

#ifndef PATHVANE_VERSION
#error "PATHVANE_VERSION comes from the CMake project version"
#endif

namespace {

using nlohmann::json;

// Cut to the bound on a character boundary; ill-formed bytes are left to
// the dump, which writes U+FFFD for them.
std::string bounded(std::string_view text) {
  if (text.size() <= kResultsTextMax) return std::string(text);
  size_t cut = kResultsTextMax - 3;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return std::string(text.substr(0, cut)) + "...";
}

// A fixed field that may lack its NUL.
template <size_t N>
std::string field(const char (&text)[N]) {
  return bounded(std::string_view(text, strnlen(text, N)));
}

json text_or_null(const std::string& text) { return text.empty() ? json(nullptr) : json(text); }

const char* curl_code_text(int32_t code) {
  if (!pathvane_curl.curl_easy_strerror) return "Unknown error";
  const char* text = pathvane_curl.curl_easy_strerror(static_cast<CURLcode>(code));
  return text ? text : "Unknown error";
}

const char* counted_word(Counted counted) {
  switch (counted) {
    case Counted::kSuccess:
      return "success";
    case Counted::kIssues:
      return "issues";
    default:
      return "failed";
  }
}

bool tls_failed(const xfer_facts& facts) {
  if (facts.verify_error != 0) return true;
  switch (facts.curl_code) {
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return true;
    default:
      return false;
  }
}

json time_us(int64_t value) { return value < 0 ? json(nullptr) : json(value); }

json transfer_json(const xfer_facts& facts) {
  json t = {
      {"curl_code", facts.curl_code},
      {"reached", stage_names(facts.reached)},
      {"times_us",
       {{"name_lookup", time_us(facts.name_lookup_us)},
        {"connect", time_us(facts.connect_us)},
        {"tls", time_us(facts.tls_us)},
        {"first_byte", time_us(facts.first_byte_us)},
        {"total", time_us(facts.total_us)}}},
      {"remote_ip", text_or_null(field(facts.remote_ip))},
      {"remote_port", facts.remote_port},
      {"proxy", text_or_null(field(facts.proxy))},
      {"proxy_has_credentials", facts.proxy_has_credentials != 0},
      {"proxy_auth_offered", facts.proxy_auth_offered},
      {"proxy_auth_used", facts.proxy_auth_used},
      {"connect_code", facts.connect_code},
      {"http_version", text_or_null(field(facts.http_version))},
      {"server_date", text_or_null(field(facts.server_date))},
      {"tls_version", text_or_null(field(facts.tls_version))},
      {"tls_cipher", text_or_null(field(facts.tls_cipher))},
      {"verify_error", facts.verify_error},
      {"verify_error_text", text_or_null(field(facts.verify_error_text))},
      {"chain_count", facts.chain_count},
  };
  // The chain is what explains a refused connection; a good one is noise.
  json chain = json::array();
  if (tls_failed(facts)) {
    const unsigned kept = facts.chain_count < XFER_CHAIN_MAX ? facts.chain_count : XFER_CHAIN_MAX;
    for (unsigned i = 0; i < kept; ++i) {
      const xfer_chain_cert& cert = facts.chain[i];
      chain.push_back({{"subject", field(cert.subject)},
                       {"issuer", field(cert.issuer)},
                       {"not_before", field(cert.not_before)},
                       {"not_after", field(cert.not_after)},
                       {"sha256", field(cert.sha256)},
                       {"known", cert.known != 0},
                       {"verify_error", cert.verify_error}});
    }
  }
  t["chain"] = std::move(chain);
  return t;
}

json check_json(const CheckRecord& record) {
  json c = {
      {"name", bounded(record.name)},
      {"verdict", verdict_word(record.rc)},
      {"rc", record.rc},
      {"counted", counted_word(record.counted)},
  };
  if (record.slot_read) {
    const char* outcome_text = pathvane_outcome_text(record.slot.outcome);
    c["outcome"] = {{"code", record.slot.outcome}, {"text", outcome_text ? json(outcome_text) : json(nullptr)}};
    c["curl"] = {{"code", record.slot.curl_code}, {"text", curl_code_text(record.slot.curl_code)}};
    c["error_text"] = field(record.slot.curl_error);
    c["http_status"] = record.slot.http_status;
  } else {
    c["outcome"] = nullptr;
    c["curl"] = nullptr;
    c["error_text"] = nullptr;
    c["http_status"] = nullptr;
  }
  json transfers = json::array();
  for (const xfer_facts& facts : record.transfers) transfers.push_back(transfer_json(facts));
  c["transfers"] = std::move(transfers);
  json hints = json::array();
  for (const std::string& hint : record.hints) hints.push_back(bounded(hint));
  c["hints"] = std::move(hints);
  json causes = json::array();
  for (const Cause& cause : record.causes) {
    causes.push_back({{"code", cause.code}, {"key", bounded(cause.key)}, {"evidence", cause.evidence}});
  }
  c["causes"] = std::move(causes);
  return c;
}

json host_json(const PathvaneWrapper::RunIdentity* identity) {
  if (!identity || !identity->host_read) return nullptr;
  const os_info& os = identity->os;
  return {{"name", field(identity->host.hostname)},
          {"os",
           {{"major", os.major},
            {"minor", os.minor},
            {"build", os.build},
            {"architecture", os.architecture},
            {"product_type", os.os_product_type}}}};
}

}  // namespace

std::string results_time_now() { return platform::utc_timestamp(); }

std::string results_document(const ResultsRun& run) {
  json checks = json::array();
  if (run.checks) {
    for (const CheckRecord& record : *run.checks) checks.push_back(check_json(record));
  }
  json errors = json::array();
  for (const std::string& line : run.errors) errors.push_back(bounded(line));
  const std::string agent_version = run.identity ? bounded(run.identity->agent_version) : std::string();
  json document = {
      {"format", kResultsFormat},
      {"started", run.started},
      {"tool_version", PATHVANE_VERSION},
      {"agent_version", text_or_null(agent_version)},
      {"host", host_json(run.identity)},
      {"proxy_mode", run.proxy_mode ? run.proxy_mode : "none"},
      {"command_line", bounded(run.command_line)},
      {"exit_code", run.exit_code},
      {"log", text_or_null(bounded(run.log_path))},
      {"errors", std::move(errors)},
      {"checks", std::move(checks)},
  };
  return document.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

bool write_results_file(const std::string& directory, const std::string& text, std::string& why, const char* name) {
  platform::Folder folder;
  if (!folder.open(directory, /*create=*/false, why)) return false;
  // A rename would replace a link rather than follow it, but a link or a
  // folder at the path is not ours to replace.
  const platform::EntryKind kind = folder.kind_of(name);
  if (kind != platform::EntryKind::kMissing && kind != platform::EntryKind::kRegular) {
    why = "not a regular file";
    return false;
  }
  // A temporary of this run's own: a run beside it never takes or removes it.
  platform::File file;
  std::string temporary;
  if (!folder.create_temporary(name, file, temporary, why)) return false;
  bool ok = file.write_all(text, why) && file.sync(why);
  std::string close_why;
  if (!file.close(close_why) && ok) {
    ok = false;
    why = close_why;
  }
  if (ok) ok = folder.replace(temporary, name, why);
  if (!ok) folder.remove(temporary);
  return ok;
}

std::string results_directory() {
  const std::string log = trace_log_path();
  const size_t separator = log.find_last_of(static_cast<char>(platform::kPathSeparator[0]));
  if (separator != std::string::npos) return log.substr(0, separator);
  // Without a log: where trace_open would have put it.
  const std::string tool_directory = platform::executable_directory();
  return platform::join_path(tool_directory.empty() ? std::string(".") : tool_directory, "log");
}

void write_run_results(const ResultsRun& run) {
  const std::string directory = results_directory();
  const std::string text = results_document(run);
  // A run beside another keeps its own document too, named like its log.
  const std::string own = trace_own_results_name();
  for (const std::string& name : {std::string(kResultsFileName), own}) {
    if (name.empty()) continue;
    std::string why;
    if (!write_results_file(directory, text, why, name.c_str())) {
      error("The results file %s cannot be written: %s", platform::join_path(directory, name).c_str(), why.c_str());
    }
  }
}
