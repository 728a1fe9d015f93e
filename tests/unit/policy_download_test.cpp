// The company policy check's request, recorded through the transfer
// function table.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "pathvane/pathvane.h"
#include "tests/support/fake_curl.h"

namespace {

using ::testing::ElementsAre;

using Call = testsupport::CurlCall;
testsupport::FakeCurl& fake = testsupport::fake_curl;

const char* fake_strerror(CURLcode) { return "some libcurl error"; }

class PolicyDownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pathvane-policy-download-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    handle_ = std::make_unique<pathvane_handle>();
    pathvane_settings& s = handle_->settings;
    s.proxy.proxy_type = PATHVANE_NO_PROXY;
    std::strcpy(s.velta.user_agent, "Corvanta/2.0");
    std::strcpy(s.policy_company_url, "http://cloud/policy/company/x");
    std::snprintf(s.policy_file_name, sizeof(s.policy_file_name), "%s/policy.xml", dir_.c_str());
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string stored() const {
    std::ifstream in(dir_ + "/policy.xml", std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }

  testsupport::FakeCurlTable table_{{}, fake_strerror};
  std::unique_ptr<pathvane_handle> handle_;
  std::string dir_;
};

TEST_F(PolicyDownloadTest, AsksForTheNumberedCompanyPolicyWithin30Seconds) {
  handle_->settings.policy_serial = 20;
  handle_->settings.velta.ssl_flags = SSL_FLAG_NO_VERIFY_HOST | SSL_FLAG_NO_VERIFY_PEER;
  fake.answer = [](const std::string&) { return std::string("<policy serial=\"1073741844\"/>"); };
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(pathvane_policy_check(handle_.get()), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_THAT(fake.calls,
              ElementsAre(Call{CURLOPT_NOSIGNAL, "1"}, Call{CURLOPT_SSL_CTX_FUNCTION, "ptr"},
                          Call{CURLOPT_SSL_CTX_DATA, "ptr"}, Call{CURLOPT_USE_SSL, "3"},
                          Call{CURLOPT_SSL_VERIFYPEER, "0"}, Call{CURLOPT_SSL_VERIFYHOST, "0"},
                          Call{CURLOPT_PROXY_SSL_VERIFYPEER, "0"}, Call{CURLOPT_PROXY_SSL_VERIFYHOST, "0"},
                          Call{CURLOPT_USERAGENT, "Corvanta/2.0"}, Call{CURLOPT_PROXY, ""},
                          Call{CURLOPT_ERRORBUFFER, "ptr"},
                          // 20 with bit 30 set: the company's policy of that serial.
                          Call{CURLOPT_URL, "http://cloud/policy/company/x-1073741844"}, Call{CURLOPT_TIMEOUT, "30"},
                          Call{CURLOPT_WRITEFUNCTION, "ptr"}, Call{CURLOPT_WRITEDATA, "ptr"}));
  EXPECT_EQ(fake.performs, 1);
  // The body goes straight into the file.
  EXPECT_EQ(reinterpret_cast<void*>(fake.write), reinterpret_cast<void*>(&std::fwrite));
  EXPECT_EQ(stored(), "<policy serial=\"1073741844\"/>");
  EXPECT_EQ(handle_->results[8].outcome, 0u);
  EXPECT_EQ(handle_->results[8].http_status, 200);
  EXPECT_EQ(fake.inits, 1);
  EXPECT_EQ(fake.cleanups, 1);
}

}  // namespace
