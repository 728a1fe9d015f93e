#include "diagnosis/hints.h"

#include "diagnosis/decide.h"
#include "diagnosis/hint_words.h"

void diagnose_check(CheckRecord& record, DiagnosisContext& context) {
  record.causes = decide_causes(record, context);
  record.hints.clear();
  for (const Cause& cause : record.causes) {
    const std::string told = cause.code + " " + cause.key;
    const std::string* first = nullptr;
    for (const auto& [name, check] : context.told) {
      if (name == told) first = &check;
    }
    if (first && *first != record.name) {
      record.hints.push_back(repeat_words(cause, *first));
      continue;
    }
    if (!first) context.told.emplace_back(told, record.name);
    for (auto& line : hint_words(cause)) record.hints.push_back(std::move(line));
  }
}
