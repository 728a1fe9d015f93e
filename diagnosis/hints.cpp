#include "diagnosis/hints.h"

#include "diagnosis/decide.h"
#include "diagnosis/hint_words.h"

namespace {

// Causes on the path that every check crossing it meets alike; an answer
// or an echo is one service's own and is told in full each time.
bool shared_by_checks(const std::string& code) {
  for (const char* family : {"tcp.", "dns.", "tls.", "proxy.", "proxy_or_cloud."}) {
    if (code.rfind(family, 0) == 0) return true;
  }
  return false;
}

}  // namespace

void diagnose_check(CheckRecord& record, DiagnosisContext& context) {
  record.causes = decide_causes(record, context);
  record.hints.clear();
  for (const Cause& cause : record.causes) {
    const std::string told = cause.code + " " + cause.key;
    const std::string* first = nullptr;
    for (const auto& [name, check] : context.told) {
      if (name == told) first = &check;
    }
    if (first && *first != record.name && shared_by_checks(cause.code)) {
      record.hints.push_back(repeat_words(cause, *first));
      continue;
    }
    if (!first) context.told.emplace_back(told, record.name);
    for (auto& line : hint_words(cause)) record.hints.push_back(std::move(line));
  }
}
