// Hints: what a check's verdict means in an admin's words, each naming the
// stage that failed and what showed it. They are made from the runner's
// record of the check alone, and never guess past it: where the facts point
// to no single cause, a hint says what was seen.
#pragma once
#include <ctime>
#include <string>
#include <vector>

#include "diagnosis/check_record.h"

// The local clock the hints compare with, and whether a server's Date
// header far from it was already told (it is told once a run).
struct HintClock {
  std::time_t now = 0;
  bool skew_told = false;
};

// A clock and a Date header further apart than this are worth a hint.
constexpr long kClockSkewSeconds = 5 * 60;

// The hint lines for one check (without the "[hint] " prefix); none for a
// check that passed, unless it saw a server's clock far from ours.
std::vector<std::string> check_hints(const CheckRecord& record, HintClock& clock);
