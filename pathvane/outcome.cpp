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

// The JSON names of the result slots; the last slot has none.
const char* const kSlotName[PATHVANE_SLOT_COUNT] = {
    "health_test",      "cloud_test",       "velta_registration", "crash_dump_test", "retro_fetch_test",
    "http_upload_test", "policy_af_test",   "policy_ag_test",     "policy_fetch_test", "policy_py_test",
    "update_seed_test", "event_intake_test", nullptr,
};

}  // namespace

const char* pathvane_slot_name(uint32_t slot) { return slot < PATHVANE_SLOT_COUNT ? kSlotName[slot] : nullptr; }

const char* pathvane_outcome_text(uint32_t outcome) {
  return outcome < sizeof(kOutcomeText) / sizeof(kOutcomeText[0]) ? kOutcomeText[outcome] : nullptr;
}
