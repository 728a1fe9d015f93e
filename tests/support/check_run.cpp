#include "tests/support/check_run.h"

#include <gtest/gtest.h>

namespace testsupport {

CheckRun run_check(pathvane_handle* handle, int (*check)(pathvane_handle*), int slot) {
  CheckRun r;
  ::testing::internal::CaptureStderr();
  r.rc = check(handle);
  r.errors = ::testing::internal::GetCapturedStderr();
  r.slot = handle->results[slot];
  return r;
}

}  // namespace testsupport
