#include "pathvane/pathvane.h"

namespace {

const char* const kOutcomeText[] = {
    "pass",
    "failed",
    "internal failure (null args)",
    "internal failure (no mem)",
    "failed (no token)",
    "failed (open)",
    "not run (no host)",
    "failed (unresolved host)",
    "failed (couldn't connect)",
    "failed (connection refused)",
    "failed (SSL error)",
    "failed (unknown CA)",
    "failed (server error)",
    "internal failure (no cb)",
    "failed (read failed)",
    "failed (registration error)",
};

}  // namespace

const char* pathvane_outcome_text(uint32_t outcome) {
  return outcome < sizeof(kOutcomeText) / sizeof(kOutcomeText[0]) ? kOutcomeText[outcome] : nullptr;
}
