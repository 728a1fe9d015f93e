#include <gtest/gtest.h>

#include <string>

#include "tests/support/process.h"

namespace {

using testsupport::run_process;

const std::string kUsageHead = "Varnholt Orvix Pathvane\n";
const std::string kUsageTail =
    "Performs a connectivity check against Orvix infrastructure\n\n"
    "Pathvane [/D] [/F[policynum]] [/H] [/I] [/J] [/T] [/P[proxy]]\n\n"
    "  /D          Performs a Crash Dump test\n"
    "  /F          Performs a fetch of a policy\n"
    "  policynum    Policy serial number (optional, must be greater than 0)\n"
    "  /H          Performs a HTTP Upload test\n"
    "  /U          Performs a Url Scanner Reputation Server connection test\n"
    "  /I          Verifies connectivity to the event intake server\n"
    "  /J          Performs Velta Registration\n"
    "  /T          Performs a connectivity test against a test url\n"
    "  /P          Perform tests with specified proxy. **\n"
    "  proxy        D  Discover Proxy (default)   P  From Policy.xml\n"
    "               -  Bypass Proxy\n"
    "  /V          Enable verbose mode\n"
    "\n"
    "  Examples:\n\n"
    "   Run with no arguments to perform all checks using proxy discovery\n"
    "    ...> Pathvane\n\n"
    "   Perform all checks in verbose mode bypassing any proxies\n"
    "    ...> Pathvane /V /P-\n\n"
    "   Perform a download of policy with serial number 20\n"
    "    ...> Pathvane /F20\n\n"
    "   Performs a Velta registration reachability test\n"
    "    ...> Pathvane /J\n"
    "\n"
    "  ** The tool will only use a proxy if one is available\n";

std::string tool() { return testsupport::bin_dir() + "/pathvane"; }

// The usage text with its copyright line checked for shape and build year.
void expect_usage(const std::string& out) {
  ASSERT_EQ(out.compare(0, kUsageHead.size(), kUsageHead), 0) << out;
  size_t line2_end = out.find("\n\n", kUsageHead.size());
  ASSERT_NE(line2_end, std::string::npos);
  std::string line2 = out.substr(kUsageHead.size(), line2_end - kUsageHead.size());
  std::string year = std::string(__DATE__).substr(7);
  EXPECT_EQ(line2.rfind("Copyright ", 0), 0u) << line2;
  EXPECT_NE(line2.find("Varnholt"), std::string::npos) << line2;
  EXPECT_NE(line2.find("-" + year + " "), std::string::npos) << line2;
  EXPECT_EQ(line2.find('\n'), std::string::npos);
  EXPECT_EQ(out.substr(line2_end + 2), kUsageTail);
}

class RejectedArgument : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(RejectedArgument, ShowsUsageAndExitsWithOne) {
  std::vector<std::string> argv = {tool()};
  for (const auto& a : GetParam()) argv.push_back(a);
  auto r = run_process(argv);
  EXPECT_EQ(r.exit_code, 1);
  expect_usage(r.out);
  EXPECT_EQ(r.err, "");
}

INSTANTIATE_TEST_SUITE_P(Arguments, RejectedArgument,
                         ::testing::Values(std::vector<std::string>{"/?"}, std::vector<std::string>{"/"},
                                           std::vector<std::string>{"-T"}, std::vector<std::string>{"T"},
                                           std::vector<std::string>{"/TT"}, std::vector<std::string>{"/P"},
                                           std::vector<std::string>{"/PX"}, std::vector<std::string>{"/P--"},
                                           std::vector<std::string>{"/F0"}, std::vector<std::string>{"/F-1"},
                                           std::vector<std::string>{"/F268435456"},
                                           std::vector<std::string>{"/F4294967297"},
                                           std::vector<std::string>{"/F", "20"}, std::vector<std::string>{"/X"},
                                           std::vector<std::string>{"/VV"}, std::vector<std::string>{"/T", "/Q"},
                                           std::vector<std::string>{"/F+5"}, std::vector<std::string>{"/F 5"}));

TEST(CommandLine, NonNumericSerialPrintsItsMessageFirst) {
  auto r = run_process({tool(), "/F12a"});
  EXPECT_EQ(r.exit_code, 1);
  const std::string message = "[error] serial number must be numeric\n";
  ASSERT_EQ(r.out.compare(0, message.size(), message), 0) << r.out;
  expect_usage(r.out.substr(message.size()));
}

class AcceptedArgument : public ::testing::TestWithParam<std::vector<std::string>> {};

// Accepted options reach settings loading; without an agent configuration the
// run stops there: exit code 1 and no report.
TEST_P(AcceptedArgument, ReachesSettingsLoading) {
  std::vector<std::string> argv = {tool()};
  for (const auto& a : GetParam()) argv.push_back(a);
  auto r = run_process(argv);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err, "");
}

INSTANTIATE_TEST_SUITE_P(Arguments, AcceptedArgument,
                         ::testing::Values(std::vector<std::string>{}, std::vector<std::string>{"/F268435455"},
                                           std::vector<std::string>{"/F"}, std::vector<std::string>{"/p-"},
                                           std::vector<std::string>{"/pd"}, std::vector<std::string>{"/Pp"},
                                           std::vector<std::string>{"/v"}, std::vector<std::string>{"/C"},
                                           std::vector<std::string>{"/V", "/P-", "/T", "/u", "/f20"}));

}  // namespace
