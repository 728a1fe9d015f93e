// The built tool's hints on real failures: each failing check's block on
// standard output stays the report, and right after its end line the hints
// on standard error (and in the log) name the stage and what showed it.
#include <gtest/gtest.h>

#include <ctime>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/agent_dir.h"
#include "tests/support/cloud.h"
#include "tests/support/cloud_suite.h"
#include "tests/support/process.h"
#include "tests/support/proxies.h"
#include "tests/support/report.h"

namespace {

using nlohmann::json;
using testsupport::AgentDir;
using testsupport::encode_password;
using testsupport::run_process;
using testsupport::split_lines;
using Lines = std::vector<std::string>;

const std::string kEnd = "********* -END- *********";
const std::string kRetroPath = "/upload/4/e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string read_file(const std::string& path) { return run_process({"/bin/cat", path}).out; }

// The "[hint] " lines of standard error, without the prefix.
Lines hints_in(const std::string& err) {
  Lines hints;
  for (const auto& line : split_lines(err)) {
    if (line.rfind("[hint] ", 0) == 0) hints.push_back(line.substr(7));
  }
  return hints;
}

std::string joined(const Lines& lines) {
  std::string all;
  for (const auto& l : lines) all += l + "\n";
  return all;
}

class Hints : public testsupport::CloudSuite {
 protected:
  void SetUp() override {
    CloudSuite::SetUp();
    if (HasFatalFailure()) return;
    cloud_ = cloud;
    tool_ = dir_.copy_program("pathvane");
  }

  json base_config(const testsupport::TestCloud& cloud) const {
    const int http = cloud.http_port();
    return json{
        {"version", "8.4.2.31122"},
        {"config/agent/uuid", "6f1c2b1e-8d1b-4b7e-9a55-0c8e3f6a9d21"},
        {"config/agent/affiliate/uuid", "11111111-2222-4333-8444-555555555555"},
        {"config/velta/business/uuid", "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee"},
        {"config/agent/urlscanner/urlreputationserver", cloud.https_url("/url-reputation")},
        {"config/proxy/testurl", cloud.https_url("/health")},
        {"config/velta/endpoint/mgmt", cloud.http_url("/agent/v1/")},
        {"config/velta/endpoint/event", cloud.https_url("/event/")},
        {"config/agent/directory/base", dir_.path()},
        {"config/velta/install/token", "install-token"},
        {"config/velta/policy/serial_number", 7},
        {"config/conn/varnholtssl/verifyhost", 1},
        {"config/conn/varnholtssl/verifypeer", 1},
        {"config/agent/cloud/trustedcerts/cert", json::array({read_file(cloud.ca_cert_path())})},
        {"config/agent/submission/retro/upload_server", "127.0.0.1:" + std::to_string(http)},
        {"config/agent/submission/http_upload_server", "127.0.0.1:" + std::to_string(http)},
        {"config/agent/submission/protocol", "http"},
        {"config/agent/submission/http_max_size", 10485760},
        {"config/agent/crashdump/url", cloud.http_url("/crashdump")},
    };
  }

  testsupport::ProcessResult run(const Lines& args) {
    std::vector<std::string> argv = {tool_};
    argv.insert(argv.end(), args.begin(), args.end());
    std::map<std::string, std::string> env;
    for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "no_proxy", "HTTP_PROXY", "HTTPS_PROXY",
                             "ALL_PROXY", "NO_PROXY"}) {
      env.emplace(name, "");
    }
    auto r = run_process(argv, env, dir_.path());
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    // Hints never reach the report.
    EXPECT_FALSE(contains(r.out, "[hint]")) << r.out;
    return r;
  }

  // The hints printed after the block of the check named; they must follow
  // that block's end line on standard error, where the verdict's own lines
  // (errors) come before it.
  static Lines hints_after(const testsupport::ProcessResult& r, const std::string& name) {
    EXPECT_FALSE(testsupport::block_in(r.out, name).empty()) << name << "\n" << r.out;
    return hints_in(r.err);
  }

  testsupport::TestCloud* cloud_ = nullptr;
  AgentDir dir_;
  std::string tool_;
};

struct FailureCase {
  const char* label;
  Lines args;
  std::function<void(json&)> change;
  std::string rule;  // a rule for the cloud, when set
  std::string check;
  std::vector<std::string> expected;  // each in the hints
};

TEST_F(Hints, RealFailuresAreExplained) {
  const int refused = testsupport::free_loopback_port();
  const FailureCase cases[] = {
      {"unresolvable host", {"/T"},
       [](json& c) { c["config/proxy/testurl"] = "https://pathvane-hint-test.invalid/health"; }, "", "Health Test",
       {"Name lookup: the cloud host name \"pathvane-hint-test.invalid\" did not resolve (directly, no proxy)"}},
      {"refused port", {"/J"},
       [&](json& c) { c["config/velta/endpoint/mgmt"] = "http://127.0.0.1:" + std::to_string(refused) + "/agent/v1/"; },
       "", "Velta Registration",
       {"Connect: the connection to 127.0.0.1:" + std::to_string(refused) + " was refused", "directly, no proxy"}},
      {"certificate of an unknown CA", {"/T"},
       [](json& c) { c.erase("config/agent/cloud/trustedcerts/cert"); }, "", "Health Test",
       {"\"/O=Pathvane Test Cloud/CN=Pathvane Test Cloud CA\", which the trusted set does not hold",
        "TLS-inspecting proxy"}},
      {"registration refused", {"/J"}, nullptr, R"({"path": "/agent/v1/register", "status": 401})",
       "Velta Registration",
       {"Cloud: 127.0.0.1 refused this agent's registration (HTTP 401)", "config/velta/install/token"}},
      {"service failure", {"/T"}, nullptr, R"({"path": "/health", "status": 503})", "Health Test",
       {"Cloud: the service at 127.0.0.1 failed (HTTP 503)"}},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(cloud_->reset());
    json config = base_config(*cloud_);
    if (c.change) c.change(config);
    dir_.write_config(config);
    if (!c.rule.empty()) {
      ASSERT_TRUE(cloud_->add_rule(c.rule)) << c.label;
    }
    auto r = run(c.args);
    const Lines hints = hints_after(r, c.check);
    const std::string all = joined(hints);
    EXPECT_FALSE(hints.empty()) << c.label << "\n" << r.err;
    for (const auto& part : c.expected) EXPECT_TRUE(contains(all, part)) << c.label << ": " << part << "\n" << r.err;
    // The log holds the same hints.
    for (const auto& hint : hints) EXPECT_TRUE(contains(dir_.log_text(), "[hint] " + hint)) << c.label;
  }
}

// Every HTTPS check fails on the same unknown CA: the first says it in
// full, each later one in a line naming the first.
TEST_F(Hints, ASharedCauseIsToldInFullOnce) {
  json config = base_config(*cloud_);
  config.erase("config/agent/cloud/trustedcerts/cert");
  dir_.write_config(config);
  auto r = run({"/T", "/U"});
  const Lines hints = hints_in(r.err);
  ASSERT_EQ(hints.size(), 3u) << r.err;
  EXPECT_TRUE(contains(hints[0], "Pathvane Test Cloud CA")) << hints[0];
  EXPECT_TRUE(contains(hints[2], "the same cause as told for \"Health Test\"")) << hints[2];
  EXPECT_TRUE(contains(hints[2], "/O=Pathvane Test Cloud/CN=Pathvane Test Cloud CA")) << hints[2];
}

TEST_F(Hints, PassingChecksGetNone) {
  dir_.write_config(base_config(*cloud_));
  auto r = run({"/T", "/J"});
  EXPECT_EQ(testsupport::block_in(r.out, "Health Test")[2], "========> [pass] Connectivity check completed with no issues");
  EXPECT_TRUE(hints_in(r.err).empty()) << r.err;
}

TEST_F(Hints, HintsFollowTheEndOfTheirCheck) {
  json config = base_config(*cloud_);
  config["config/proxy/testurl"] = "https://pathvane-hint-test.invalid/health";
  dir_.write_config(config);
  auto r = run({"/T", "/J"});
  // Standard error holds only errors and hints here; the log has the whole
  // run in order: the health test's hint comes after its end line and
  // before the registration's start.
  const Lines log = split_lines(dir_.log_text());
  size_t end = log.size(), hint = log.size(), next = log.size();
  for (size_t i = 0; i < log.size(); ++i) {
    if (end == log.size() && contains(log[i], kEnd)) end = i;
    if (hint == log.size() && contains(log[i], "[hint] Name lookup")) hint = i;
    if (contains(log[i], "Checking connectivity to: Velta Registration")) next = i;
  }
  ASSERT_LT(end, log.size()) << dir_.log_text();
  EXPECT_EQ(hint, end + 1) << dir_.log_text();
  EXPECT_LT(hint, next) << dir_.log_text();
  EXPECT_EQ(hints_in(r.err).size(), 1u) << r.err;
}

TEST_F(Hints, SilentServerIsToldApartFromDroppedPackets) {
  json config = base_config(*cloud_);
  config["config/proxy/testurl"] = "http://127.0.0.1:" + std::to_string(cloud_->silent_port()) + "/health";
  dir_.write_config(config);
  auto r = run({"/T"});
  const std::string all = joined(hints_after(r, "Health Test"));
  EXPECT_TRUE(contains(all, "Answer: 127.0.0.1:" + std::to_string(cloud_->silent_port()) +
                                " accepted the connection"))
      << r.err;
  EXPECT_TRUE(contains(all, "stayed silent until the time-out")) << r.err;
}

TEST_F(Hints, AlteredEchoesNameTheFirstDifferingByte) {
  dir_.write_config(base_config(*cloud_));
  ASSERT_TRUE(cloud_->add_rule(json{{"path", kRetroPath}, {"alter", true}}.dump()));
  ASSERT_TRUE(cloud_->add_rule(json{{"path", "/agent/v1/register"}, {"alter", true}}.dump()));
  auto r = run({});
  const std::string all = joined(hints_in(r.err));
  // The retro upload sends 131070 bytes of its pattern; the last came back other.
  EXPECT_TRUE(contains(all, "Echo: the echo from 127.0.0.1 came back altered: the first differing byte is at offset "
                            "131069; 131070 bytes sent, 131070 received"))
      << r.err;
  auto sent = cloud_->requests("/agent/v1/register");
  ASSERT_EQ(sent.size(), 1u);
  const size_t length = sent[0].body.size();
  EXPECT_TRUE(contains(all, "offset " + std::to_string(length - 1) + "; " + std::to_string(length) + " bytes sent, " +
                                std::to_string(length) + " received"))
      << r.err;
}

TEST_F(Hints, ServerClockTwoHoursOffIsToldOnceEvenWhenAllPass) {
  char date[64];
  const std::time_t off = std::time(nullptr) - 2 * 3600;
  std::tm parts{};
  gmtime_r(&off, &parts);
  std::strftime(date, sizeof(date), "%a, %d %b %Y %H:%M:%S GMT", &parts);
  dir_.write_config(base_config(*cloud_));
  for (const char* path : {"/health", "/url-reputation"}) {
    ASSERT_TRUE(cloud_->add_rule(json{{"path", path}, {"headers", {{"Date", date}}}}.dump()));
  }
  auto r = run({"/T", "/U"});
  EXPECT_TRUE(contains(r.out, "====>  * Completed successfully\t2")) << r.out;
  const Lines hints = hints_in(r.err);
  ASSERT_EQ(hints.size(), 1u) << r.err;
  EXPECT_TRUE(contains(hints[0], "Clock: ")) << hints[0];
  EXPECT_TRUE(contains(hints[0], "2 h 0 min ahead of the Date header of 127.0.0.1 (\"" + std::string(date) + "\")"))
      << hints[0];
}

// Certificates the cloud itself presents wrongly, each on a cloud of its own.
TEST_F(Hints, ExpiredAndMisnamedCertificates) {
  struct CertCase {
    const char* kind;
    std::vector<std::string> expected;
  };
  const CertCase cases[] = {
      {"expired",
       {"TLS: the server's certificate \"/O=Pathvane Test Cloud/CN=localhost\" (depth 0", "is expired",
        "local clock says"}},
      {"other-host", {"does not hold the name \"127.0.0.1\"", "it holds DNS:other-host.example"}},
  };
  for (const auto& c : cases) {
    testsupport::TestCloud cloud;
    std::string error;
    ASSERT_TRUE(cloud.start(&error, {"--server-cert", c.kind})) << error;
    dir_.write_config(base_config(cloud));
    auto r = run({"/T"});
    const std::string all = joined(hints_after(r, "Health Test"));
    for (const auto& part : c.expected) EXPECT_TRUE(contains(all, part)) << c.kind << ": " << part << "\n" << r.err;
  }
}

TEST_F(Hints, ProxyAskingForAuthentication) {
  testsupport::Tinyproxy proxy;
  std::string error;
  ASSERT_TRUE(proxy.start("pvuser", "pv-secret", &error)) << error;
  for (const bool https : {false, true}) {
    json config = base_config(*cloud_);
    config["config/proxy/testurl"] = https ? cloud_->https_url("/health") : cloud_->http_url("/health");
    config["config/proxy/type"] = "http_proxy";
    config["config/proxy/server"] = "127.0.0.1";
    config["config/proxy/port"] = proxy.port();
    config["config/proxy/authtype"] = 1;
    config["config/proxy/username"] = "pvuser";
    config["config/proxy/password"] = json{{"base64", encode_password("wrong")}};
    dir_.write_config(config);
    auto r = run({"/PP", "/T"});
    const std::string all = joined(hints_after(r, "Health Test"));
    const std::string proxy_url = "http://127.0.0.1:" + std::to_string(proxy.port());
    // This tinyproxy answers 401, not 407, whether it carries the request
    // itself or was asked to CONNECT.
    if (https) {
      EXPECT_TRUE(contains(all, "Proxy: the proxy " + proxy_url +
                                    " asked for authentication: it answered CONNECT with HTTP 401 (Unauthorized"))
          << r.err;
      EXPECT_TRUE(contains(all, "the transfer itself ended with curl code 56")) << r.err;
    } else {
      EXPECT_TRUE(contains(all, "HTTP 401 came back through the proxy " + proxy_url)) << r.err;
      EXPECT_TRUE(contains(all, "WWW-Authenticate: Basic realm=\"Tinyproxy\"")) << r.err;
    }
    EXPECT_TRUE(contains(all, "sent with Basic")) << https << "\n" << r.err;
    EXPECT_TRUE(contains(all, "is wrong")) << https << "\n" << r.err;
  }
}

}  // namespace
