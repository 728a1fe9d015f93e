// A test suite that shares one test cloud among its tests.
#pragma once
#include <gtest/gtest.h>

#include "tests/support/cloud.h"

namespace testsupport {

// Starts the test cloud before the suite's first test and stops it after its
// last; each test starts with no rules and an empty request record.
class CloudSuite : public ::testing::Test {
 public:
  static void SetUpTestSuite();
  static void TearDownTestSuite();

  // The running suite's cloud; null when it did not start.
  static TestCloud* cloud;

 protected:
  // Fails when the cloud is not running or cannot be reset; a fixture's own
  // SetUp checks HasFatalFailure() after it.
  void SetUp() override;
};

}  // namespace testsupport
