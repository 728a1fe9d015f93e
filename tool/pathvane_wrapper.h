// The run's owner of the test handle: settings loading and the check run.
#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "pathvane/pathvane.h"
#include "diagnosis/check_record.h"
#include "diagnosis/diagnosis_context.h"
#include "shared_agent/util/result_codes.h"

// One row of the check table.
struct CheckRow {
  const char* name;
  uint32_t bit;
  int (*check)(pathvane_handle* handle);  // null: not part of this build
};

// The fixed check table, in run order.
std::span<const CheckRow> default_check_table();
// Result slot of a check bit, 13 when the bit has none.
uint32_t slot_for_bit(uint32_t bit);

class PathvaneWrapper {
 public:
  PathvaneWrapper() = default;
  PathvaneWrapper(const PathvaneWrapper&) = delete;
  PathvaneWrapper& operator=(const PathvaneWrapper&) = delete;

  HRESULT Initialize(bool bypass, bool discover, bool verbose, const char* cmdline,
                     uint32_t policy_serial);
  HRESULT RunChecks(uint32_t mask);
  // The same run over another table (the tests inject their own checks).
  HRESULT RunChecks(uint32_t mask, std::span<const CheckRow> table);

  pathvane_handle*& handle() { return handle_; }
  // Every check of the last RunChecks, in run order.
  const std::vector<CheckRecord>& records() const { return records_; }

  // What Initialize learnt of the machine, kept for the results file:
  // the host identity once read, the agent's version once the
  // configuration store answered ("" before or without it).
  struct RunIdentity {
    bool host_read = false;
    ::os_info os{};
    ::host_info host{};
    std::string agent_version;
  };
  const RunIdentity& identity() const { return identity_; }

  // What the hints know of the run before any check: how the proxy was
  // chosen, whether a stored proxy is set, the trusted set's own subjects.
  DiagnosisContext& diagnosis_context() { return diagnosis_; }

  // The proxy description by discovery (libproxfind.so): 0, or 0x80004005
  // when discovery could not run (the proxy then stays unset).
  HRESULT LoadProxyConfigUsingDiscovery(pathvane_settings* settings);
  // The proxy description from the stored policy keys: 0, 0x80070490 (a
  // required key missing), 0xC1040004 (type not in the table) or the
  // password conversion's code; on failure no proxy.
  HRESULT LoadProxyConfigFromPolicy(pathvane_settings* settings);
  // The four policy URLs from their templates: 0, or the code of the first
  // row that failed (later rows untouched).
  HRESULT LoadPolicyUrls(pathvane_settings* settings);

  // The settings loaders of Initialize, each filling its part of the record.
  HRESULT LoadGuids(pathvane_settings* settings);
  HRESULT LoadEndpoints(pathvane_settings* settings);
  HRESULT LoadSubmissionServers(pathvane_settings* settings);
  HRESULT LoadUpdaterUrl(pathvane_settings* settings);
  HRESULT LoadPolicyFileName(pathvane_settings* settings);
  // 0, or 0xC1030003 when either switch was missing (it then defaults to 0).
  HRESULT LoadSslVerifySettings(int* verify_host, int* verify_peer);

 private:
  void KeepAgentVersion();

  pathvane_handle* handle_ = nullptr;
  std::vector<CheckRecord> records_;
  RunIdentity identity_;
  DiagnosisContext diagnosis_;
};
