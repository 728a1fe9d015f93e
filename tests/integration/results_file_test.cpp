// The built tool's results file (log/pathvane-results.json): what a default
// run through the stored proxy writes, what a run stopped by its settings
// writes, and that a file it cannot write leaves the run as it is.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/agent_dir.h"
#include "tests/support/cloud.h"
#include "tests/support/cloud_suite.h"
#include "tests/support/process.h"
#include "tests/support/proxies.h"
#include "tests/support/report.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testsupport::split_lines;
using Lines = std::vector<std::string>;

const char* kPassword = "pv-secret";
const char* kToken = "results-install-token";

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string utf16le(const std::string& ascii) {
  std::string out;
  for (char c : ascii) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

Lines with_prefix(const std::string& text, const std::string& prefix) {
  Lines found;
  for (const auto& line : split_lines(text)) {
    if (line.rfind(prefix, 0) == 0) found.push_back(line);
  }
  return found;
}

// Each check's name and verdict word as the report printed them, in order.
std::vector<std::pair<std::string, std::string>> report_verdicts(const std::string& out) {
  std::vector<std::pair<std::string, std::string>> found;
  const std::string start = "========>  Checking connectivity to: ";
  const std::regex verdict(R"(========> \[(pass|warning|error)\] .*)");
  std::smatch m;
  for (const auto& line : split_lines(out)) {
    if (line.rfind(start, 0) == 0) {
      found.emplace_back(line.substr(start.size()), "");
    } else if (!found.empty() && found.back().second.empty() && std::regex_match(line, m, verdict)) {
      found.back().second = m[1];
    }
  }
  return found;
}

class ResultsFile : public testsupport::CloudSuite {
 protected:
  void SetUp() override {
    CloudSuite::SetUp();
    if (HasFatalFailure()) return;
    std::string error;
    ASSERT_TRUE(proxy_.start("pvuser", kPassword, &error)) << error;
    tool_ = dir_.copy_program("pathvane");
  }

  // Every check of the default run at the test cloud over HTTPS, through
  // the stored proxy with a password.
  json config() const {
    auto https = [&](const std::string& path) { return cloud->https_url(path); };
    const std::string server = "127.0.0.1:" + std::to_string(cloud->https_port());
    json c = {
        {"version", "8.4.2.31122"},
        {"config/agent/uuid", "6f1c2b1e-8d1b-4b7e-9a55-0c8e3f6a9d21"},
        {"config/agent/affiliate/uuid", "11111111-2222-4333-8444-555555555555"},
        {"config/velta/business/uuid", "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee"},
        {"config/agent/urlscanner/urlreputationserver", https("/url-reputation")},
        {"config/proxy/testurl", https("/health")},
        {"config/velta/endpoint/mgmt", https("/agent/v1/")},
        {"config/velta/endpoint/event", https("/event/")},
        {"config/agent/directory/base", dir_.path()},
        {"config/velta/install/token", kToken},
        {"config/velta/policy/serial_number", 7},
        {"config/conn/varnholtssl/verifyhost", 1},
        {"config/conn/varnholtssl/verifypeer", 1},
        {"config/agent/cloud/trustedcerts/cert", json::array({read_file(cloud->ca_cert_path())})},
        {"config/proxy/type", "http_proxy"},
        {"config/proxy/server", "127.0.0.1"},
        {"config/proxy/port", proxy_.port()},
        {"config/proxy/authtype", 1},
        {"config/proxy/username", "pvuser"},
        {"config/proxy/password", json{{"base64", testsupport::encode_password(kPassword)}}},
        {"config/updater/server", "127.0.0.1:" + std::to_string(cloud->http_port())},
        {"config/updater/path", "/updater/seed"},
        {"config/agent/submission/retro/upload_server", server},
        {"config/agent/submission/http_upload_server", server},
        {"config/agent/submission/protocol", "https"},
        {"config/agent/crashdump/url", https("/crashdump")},
    };
    for (const char* kind : {"affiliate", "company", "policy", "agent"}) {
      c[std::string("config/velta/endpoint/policy/") + kind] =
          https(std::string("/policy/") + kind + "/[%set:config/velta/business/uuid%]");
    }
    return c;
  }

  std::string results_path() const { return dir_.path() + "/log/pathvane-results.json"; }

  testsupport::ProcessResult run(const Lines& args, const Lines& prefix = {},
                                 std::map<std::string, std::string> env = {}) {
    Lines argv = prefix;
    argv.push_back(tool_);
    argv.insert(argv.end(), args.begin(), args.end());
    for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "no_proxy", "HTTP_PROXY", "HTTPS_PROXY",
                             "ALL_PROXY", "NO_PROXY"}) {
      env.emplace(name, "");
    }
    auto r = testsupport::run_process(argv, env, dir_.path());
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.term_signal, 0) << r.err;
    return r;
  }

  json results() const {
    const std::string text = read_file(results_path());
    try {
      return json::parse(text);
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what() << "\n" << text;
      return json();
    }
  }

  testsupport::AgentDir dir_;
  testsupport::Tinyproxy proxy_;
  std::string tool_;
};

TEST_F(ResultsFile, DefaultRunHoldsEveryCheckOfTheReportAndNoSecret) {
  dir_.write_config(config());
  auto r = run({"/PP"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const auto shown = report_verdicts(r.out);
  ASSERT_EQ(shown.size(), 8u) << r.out;

  struct stat st {};
  ASSERT_EQ(lstat(results_path().c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(fs::exists(results_path() + ".tmp"));

  const json doc = results();
  EXPECT_EQ(doc["format"], 1);
  EXPECT_EQ(doc["exit_code"], 0);
  EXPECT_EQ(doc["proxy_mode"], "policy");
  EXPECT_EQ(doc["command_line"], tool_ + " /PP");
  EXPECT_EQ(doc["agent_version"], "8.4.2.31122");
  EXPECT_TRUE(std::regex_match(doc["tool_version"].get<std::string>(), std::regex(R"(\d+\.\d+\.\d+)")));
  EXPECT_TRUE(std::regex_match(doc["started"].get<std::string>(),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")));
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof(host) - 1), 0);
  EXPECT_EQ(doc["host"]["name"], host);
  EXPECT_EQ(doc["log"], dir_.path() + "/log/pathvane.log");
  EXPECT_EQ(doc["errors"].size(), with_prefix(r.err, "[error] ").size());

  ASSERT_EQ(doc["checks"].size(), shown.size());
  for (size_t i = 0; i < shown.size(); ++i) {
    const json& check = doc["checks"][i];
    EXPECT_EQ(check["name"], shown[i].first);
    EXPECT_EQ(check["verdict"], shown[i].second) << shown[i].first;
    EXPECT_EQ(check["counted"], "success") << shown[i].first;
    EXPECT_EQ(check["http_status"], 200) << shown[i].first;
    EXPECT_EQ(check["outcome"]["text"], "pass") << shown[i].first;
    ASSERT_FALSE(check["transfers"].empty()) << shown[i].first;
    const json& transfer = check["transfers"][0];
    EXPECT_EQ(transfer["proxy"], "http://127.0.0.1:" + std::to_string(proxy_.port())) << shown[i].first;
    EXPECT_EQ(transfer["proxy_has_credentials"], true) << shown[i].first;
  }

  const std::string raw = read_file(results_path());
  std::vector<std::string> secrets;
  for (const std::string& plain : {std::string(kPassword), std::string(kToken)}) {
    std::string percent;
    for (char c : plain) percent += c == '-' ? std::string("%2D") : std::string(1, c);
    secrets.insert(secrets.end(), {plain, percent});
  }
  secrets.push_back("cHZ1c2VyOnB2LXNlY3JldA==");  // base64 of pvuser:pv-secret
  const size_t narrow = secrets.size();
  for (size_t i = 0; i < narrow; ++i) secrets.push_back(utf16le(secrets[i]));
  for (const auto& secret : secrets) EXPECT_FALSE(contains(raw, secret)) << secret;
}

TEST_F(ResultsFile, RunStoppedBySettingsHoldsItsErrorLines) {
  json c = config();
  c.erase("config/agent/uuid");
  dir_.write_config(c);
  auto r = run({"/T", "/P-"});
  EXPECT_EQ(r.exit_code, 1);
  const json doc = results();
  EXPECT_EQ(doc["exit_code"], 1);
  EXPECT_EQ(doc["proxy_mode"], "none");
  EXPECT_TRUE(doc["checks"].empty());
  EXPECT_FALSE(doc["host"].is_null());
  const Lines shown = with_prefix(r.err, "[error] ");
  ASSERT_EQ(doc["errors"].size(), shown.size()) << r.err;
  for (size_t i = 0; i < shown.size(); ++i) EXPECT_EQ("[error] " + doc["errors"][i].get<std::string>(), shown[i]);
  EXPECT_TRUE(contains(r.err, "[error] Failed to load guids")) << r.err;
}

// Milliseconds since the epoch of "2026-12-11T01:02:03.456Z" (or the log's
// "2026-12-11T01:02:03.456Z " prefix); -1 when it has another form.
long long utc_ms(const std::string& stamp) {
  std::tm parts{};
  int ms = 0;
  char zone = 0;
  if (std::sscanf(stamp.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c", &parts.tm_year, &parts.tm_mon, &parts.tm_mday,
                  &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &ms, &zone) != 8 || zone != 'Z') {
    return -1;
  }
  parts.tm_year -= 1900;
  parts.tm_mon -= 1;
  return static_cast<long long>(timegm(&parts)) * 1000 + ms;
}

long long now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The start time and the log's stamps are this run's, in UTC, whatever the
// local zone.
TEST_F(ResultsFile, StartedAndLogStampsAreTheRunsUtcTime) {
  json c = config();
  dir_.write_config(c);
  for (const char* zone : {"UTC", "Asia/Kolkata"}) {
    const long long before = now_ms();
    auto r = run({"/T", "/P-"}, {}, {{"TZ", zone}});
    const long long after = now_ms();
    const json doc = results();
    const long long started = utc_ms(doc["started"].get<std::string>());
    EXPECT_GE(started, before) << zone << " " << doc["started"];
    EXPECT_LE(started, after) << zone << " " << doc["started"];
    const Lines log = split_lines(read_file(dir_.path() + "/log/pathvane.log"));
    ASSERT_FALSE(log.empty());
    for (const std::string& line : {log.front(), log.back()}) {
      const long long stamp = utc_ms(line.substr(0, 24));
      EXPECT_GE(stamp, before) << zone << " " << line;
      EXPECT_LE(stamp, after) << zone << " " << line;
    }
  }
}

// A failing check: its hints and causes are the check's, and the run's
// error lines hold only what standard error showed as "[error] " lines.
TEST_F(ResultsFile, FailingCheckCarriesItsCausesAndErrorsHoldNoHint) {
  json c = config();
  const int refused = testsupport::free_loopback_port();
  c["config/proxy/testurl"] = "http://127.0.0.1:" + std::to_string(refused) + "/health";
  dir_.write_config(c);
  auto r = run({"/T", "/P-"});
  ASSERT_TRUE(contains(r.err, "[hint] ")) << r.err;
  const json doc = results();
  const json& check = doc["checks"][0];
  ASSERT_FALSE(check["hints"].empty());
  ASSERT_EQ(check["causes"].size(), 1u) << check.dump(2);
  EXPECT_EQ(check["causes"][0]["code"], "tcp.refused");
  EXPECT_EQ(check["causes"][0]["key"], "127.0.0.1:" + std::to_string(refused));
  EXPECT_EQ(check["causes"][0]["evidence"]["route"], "direct");
  const Lines shown = with_prefix(r.err, "[error] ");
  ASSERT_EQ(doc["errors"].size(), shown.size()) << r.err;
  for (size_t i = 0; i < shown.size(); ++i) EXPECT_EQ("[error] " + doc["errors"][i].get<std::string>(), shown[i]);
  for (const auto& line : doc["errors"]) {
    for (const auto& hint : check["hints"]) EXPECT_FALSE(contains(line.get<std::string>(), hint.get<std::string>()));
  }
}

// A results file that cannot be written is one error line; the report, the
// exit code and the log stay as they are.
TEST_F(ResultsFile, FileThatCannotBeWrittenLeavesTheRunAsItIs) {
  dir_.write_config(config());
  const std::string expected_out = run({"/T", "/P-"}).out;
  ASSERT_TRUE(contains(expected_out, "[pass]")) << expected_out;
  struct Case {
    const char* what;
    std::function<void()> prepare;
    Lines prefix;
    std::string reason;
  };
  const std::string outside = dir_.path() + "/outside.txt";
  const Case cases[] = {
      {"link at the results path",
       [&] {
         dir_.write_file("outside.txt", "keep me\n");
         fs::create_directory(dir_.path() + "/log");
         fs::create_symlink(outside, results_path());
       },
       {},
       "not a regular file"},
      {"agent directory the user may not write to",
       [&] { dir_.prepare_for_unprivileged_user(); }, testsupport::unprivileged_prefix(),
       "No such file or directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::error_code ignored;
    fs::remove_all(dir_.path() + "/log", ignored);
    c.prepare();
    auto r = run({"/T", "/P-"}, c.prefix);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, expected_out);
    const Lines complaints = with_prefix(r.err, "[error] The results file ");
    ASSERT_EQ(complaints.size(), 1u) << r.err;
    EXPECT_EQ(complaints[0], "[error] The results file " + results_path() + " cannot be written: " + c.reason);
  }
  EXPECT_EQ(read_file(outside), "keep me\n");
  EXPECT_EQ(chmod(dir_.path().c_str(), 0700), 0);
}

}  // namespace
