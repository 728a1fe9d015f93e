// What the deciding of causes knows of the whole run beside one check's
// record: the local clock, how the proxy was chosen, what the trusted set
// holds of its own, and what earlier checks already told.
#pragma once
#include <ctime>
#include <string>
#include <utility>
#include <vector>

enum class ProxyChoice { kNone, kDiscovered, kStored };

struct DiagnosisContext {
  std::time_t now = 0;
  ProxyChoice proxy_source = ProxyChoice::kNone;
  bool stored_proxy_set = false;  // config/proxy/server holds a proxy (/PP would use it)
  // One-line subjects of the configured trusted certificates and the EST CA.
  std::vector<std::string> trusted_subjects;
  // Each cause told so far ("code key") and the check that told it first.
  std::vector<std::pair<std::string, std::string>> told;
  bool skew_told = false;
  bool proxy_echo_told = false;  // the passing checks through an altering proxy
};

// A clock and a Date header further apart than this are worth a hint.
constexpr long kClockSkewSeconds = 5 * 60;
