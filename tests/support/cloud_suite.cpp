#include "tests/support/cloud_suite.h"

#include <string>

namespace testsupport {

TestCloud* CloudSuite::cloud = nullptr;

void CloudSuite::SetUpTestSuite() {
  cloud = new TestCloud;
  std::string error;
  if (!cloud->start(&error)) {
    delete cloud;
    cloud = nullptr;
    FAIL() << error;
  }
}

void CloudSuite::TearDownTestSuite() {
  delete cloud;
  cloud = nullptr;
}

void CloudSuite::SetUp() {
  ASSERT_NE(cloud, nullptr) << "the test cloud did not start";
  ASSERT_TRUE(cloud->reset());
}

}  // namespace testsupport
