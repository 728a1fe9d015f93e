// One connectivity check run on a test handle, and what it left behind.
#pragma once
#include <string>

#include "pathvane/pathvane.h"

namespace testsupport {

struct CheckRun {
  int rc = -1;
  check_result slot{};
  std::string errors;  // what the check wrote to standard error
};

// Runs check on handle and keeps its result slot.
CheckRun run_check(pathvane_handle* handle, int (*check)(pathvane_handle*), int slot);

}  // namespace testsupport
