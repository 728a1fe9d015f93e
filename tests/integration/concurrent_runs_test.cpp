// Runs of the built tool in one agent directory at once: each keeps a log
// of its own and its "Full trace:" line names it, the results file is always
// one whole document, and the per-run files of runs that ended do not pile up.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/agent_dir.h"
#include "tests/support/cloud.h"
#include "tests/support/cloud_suite.h"
#include "tests/support/process.h"
#include "tests/support/report.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testsupport::split_lines;
using Lines = std::vector<std::string>;
using testsupport::file_text;
using testsupport::names_in;

const Lines kHealthReport = testsupport::health_pass_report();

// The report lines of a log: its lines without their time stamps, traces
// and errors left out.
Lines report_in(const std::string& log) {
  constexpr size_t kStamp = 25;  // "2026-12-11T01:02:03.456Z "
  Lines report;
  for (const auto& line : split_lines(file_text(log))) {
    const std::string text = line.size() >= kStamp ? line.substr(kStamp) : line;
    if (text.rfind("[trace] ", 0) != 0 && text.rfind("[error] ", 0) != 0) report.push_back(text);
  }
  return report;
}

json parsed(const std::string& path) {
  const std::string text = file_text(path);
  try {
    return json::parse(text);
  } catch (const std::exception& e) {
    ADD_FAILURE() << path << ": " << e.what() << "\n" << text;
    return json();
  }
}

// A file left as another run would leave it, its time moved back.
void plant(const std::string& path, const std::string& text, int age_seconds) {
  std::ofstream(path) << text;
  const timespec when[2] = {{std::time(nullptr) - age_seconds, 0}, {std::time(nullptr) - age_seconds, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), when, 0), 0) << path;
}

class RunsTogether : public testsupport::CloudSuite {
 protected:
  void SetUp() override {
    CloudSuite::SetUp();
    if (HasFatalFailure()) return;
    tool_ = dir_.copy_program("pathvane");
    const std::string ca = file_text(cloud->ca_cert_path());
    const std::string server = "127.0.0.1:" + std::to_string(cloud->https_port());
    // Every setting, so that a good run has no error line.
    json config = {
        {"version", "8.4.2.31122"},
        {"config/agent/uuid", "6f1c2b1e-8d1b-4b7e-9a55-0c8e3f6a9d21"},
        {"config/agent/affiliate/uuid", "11111111-2222-4333-8444-555555555555"},
        {"config/velta/business/uuid", "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee"},
        {"config/velta/install/token", "together-token"},
        {"config/velta/policy/serial_number", 7},
        {"config/agent/directory/base", dir_.path()},
        {"config/proxy/testurl", cloud->https_url("/health")},
        {"config/agent/urlscanner/urlreputationserver", cloud->https_url("/url-reputation")},
        {"config/velta/endpoint/mgmt", cloud->https_url("/agent/v1/")},
        {"config/velta/endpoint/event", cloud->https_url("/event/")},
        {"config/agent/submission/retro/upload_server", server},
        {"config/agent/submission/http_upload_server", server},
        {"config/agent/submission/protocol", "https"},
        {"config/agent/submission/http_max_size", 10485760},
        {"config/agent/crashdump/url", cloud->https_url("/crashdump")},
        {"config/updater/server", "127.0.0.1:" + std::to_string(cloud->http_port())},
        {"config/updater/path", "/updater/seed"},
        {"config/conn/varnholtssl/verifyhost", 1},
        {"config/conn/varnholtssl/verifypeer", 1},
        {"config/agent/cloud/trustedcerts/cert", json::array({ca})},
        {"config/agent/cloud/est/cert", ca},
    };
    for (const char* kind : {"affiliate", "company", "policy", "agent"}) {
      config[std::string("config/velta/endpoint/policy/") + kind] = cloud->https_url(std::string("/policy/") + kind + "/x");
    }
    dir_.write_config(config);
  }

  std::string log_dir() const { return dir_.path() + "/log"; }
  std::string usual_log() const { return log_dir() + "/pathvane.log"; }
  std::string results() const { return log_dir() + "/pathvane-results.json"; }

  testsupport::ProcessSpec health_run() const {
    testsupport::ProcessSpec spec;
    spec.argv = {tool_, "/P-", "/T"};
    spec.cwd = dir_.path();
    return spec;
  }

  // A finished run's report and its log: the report alone on standard
  // output, nothing on standard error but the "Full trace:" line, whose file
  // is returned ("" when there was none).
  std::string checked_run(const testsupport::ProcessResult& r) {
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(split_lines(r.out), kHealthReport) << r.err;
    const Lines err = split_lines(r.err);
    const std::string prefix = "Full trace: ";
    if (err.size() != 1 || err[0].rfind(prefix, 0) != 0) {
      ADD_FAILURE() << "standard error holds more than the log's path:\n" << r.err;
      return "";
    }
    return err[0].substr(prefix.size());
  }

  // The per-run log's pid ("pathvane.<pid>.log" in the log folder), or "".
  std::string per_run_pid(const std::string& log) const {
    const std::string prefix = log_dir() + "/pathvane.";
    if (log.size() <= prefix.size() + 4 || log.rfind(prefix, 0) != 0 || !log.ends_with(".log")) return "";
    const std::string pid = log.substr(prefix.size(), log.size() - prefix.size() - 4);
    return !pid.empty() && pid.find_first_not_of("0123456789") == std::string::npos ? pid : "";
  }

  testsupport::AgentDir dir_;
  std::string tool_;
};

// A run started while another holds the usual log writes its own log and
// keeps its own results document; the held log is neither moved nor written.
TEST_F(RunsTogether, RunBesideAHeldLogWritesItsOwn) {
  ASSERT_EQ(mkdir(log_dir().c_str(), 0700), 0);
  plant(usual_log(), "a run still going\n", 0);
  const int held = open(usual_log().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);

  const std::string own = checked_run(testsupport::run_process(health_run().argv, {}, dir_.path()));
  const std::string pid = per_run_pid(own);
  ASSERT_FALSE(pid.empty()) << own;
  EXPECT_EQ(report_in(own), kHealthReport);
  struct stat st {};
  ASSERT_EQ(lstat(own.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(file_text(usual_log()), "a run still going\n");
  const std::string own_results = "pathvane-results." + pid + ".json";
  EXPECT_EQ(names_in(log_dir()), (Lines{own_results, "pathvane-results.json", "pathvane." + pid + ".log", "pathvane.log"}));
  const json doc = parsed(results());
  EXPECT_EQ(doc["log"], own);
  EXPECT_EQ(parsed(log_dir() + "/" + own_results), doc);

  // That run over, the next takes the usual log and keeps the old one as the previous.
  close(held);
  const std::string next = checked_run(testsupport::run_process(health_run().argv, {}, dir_.path()));
  EXPECT_EQ(next, usual_log());
  EXPECT_EQ(report_in(usual_log()), kHealthReport);
  EXPECT_EQ(file_text(usual_log() + ".1"), "a run still going\n");
  EXPECT_EQ(parsed(results())["log"], usual_log());
  EXPECT_EQ(report_in(own), kHealthReport);
}

// The run that takes the usual log removes the per-run files of runs that
// ended, but the newest ten, and results temporaries never renamed; a run
// still going keeps its log however old it is.
TEST_F(RunsTogether, UsualLogRunRemovesEndedRunsFilesButTheNewestTen) {
  ASSERT_EQ(mkdir(log_dir().c_str(), 0700), 0);
  Lines expected = {"pathvane-results.json", "pathvane.log"};
  for (int i = 1; i <= 13; ++i) {
    const std::string pid = std::to_string(900000 + i);
    for (const std::string& name : {"pathvane." + pid + ".log", "pathvane-results." + pid + ".json"}) {
      plant(log_dir() + "/" + name, "ended run " + pid + "\n", 100 + 10 * i);
      if (i <= 10) expected.push_back(name);
    }
  }
  plant(log_dir() + "/pathvane.899999.log", "a run still going\n", 86400);
  const int held = open((log_dir() + "/pathvane.899999.log").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  expected.push_back("pathvane.899999.log");
  plant(log_dir() + "/pathvane-results.json.AbCd1234.tmp", "{", 7200);
  plant(log_dir() + "/pathvane-results.json.EfGh5678.tmp", "{", 0);
  expected.push_back("pathvane-results.json.EfGh5678.tmp");

  EXPECT_EQ(checked_run(testsupport::run_process(health_run().argv, {}, dir_.path())), usual_log());
  close(held);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names_in(log_dir()), expected);
  EXPECT_EQ(file_text(log_dir() + "/pathvane.900001.log"), "ended run 900001\n");
}

// 100 pairs started together: no run loses its log or writes its traces to
// standard error, each log holds its run's report, and after each pair the
// results file is one whole document of one of them.
TEST_F(RunsTogether, PairsOfRunsKeepTheirLogsAndOneWholeResultsFile) {
  const auto started = std::chrono::steady_clock::now();
  int side_by_side = 0;
  for (int pair = 0; pair < 100 && !HasFailure(); ++pair) {
    SCOPED_TRACE("pair " + std::to_string(pair));
    const auto runs = testsupport::run_processes({health_run(), health_run()}, 60);
    const std::string logs[2] = {checked_run(runs[0]), checked_run(runs[1])};
    if (logs[0] != logs[1]) {
      ++side_by_side;
      for (const auto& log : logs) EXPECT_EQ(report_in(log), kHealthReport) << log;
      EXPECT_TRUE(logs[0] == usual_log() || logs[1] == usual_log()) << logs[0] << " " << logs[1];
    } else {
      // One ended before the other began: the later took the usual log and kept the earlier's.
      EXPECT_EQ(logs[0], usual_log());
      EXPECT_EQ(report_in(usual_log()), kHealthReport);
      EXPECT_EQ(report_in(usual_log() + ".1"), kHealthReport);
    }
    const json doc = parsed(results());
    EXPECT_TRUE(doc["log"] == logs[0] || doc["log"] == logs[1]) << doc["log"];
    ASSERT_EQ(doc["checks"].size(), 1u);
    EXPECT_EQ(doc["checks"][0]["verdict"], "pass");
    EXPECT_TRUE(doc["errors"].empty());
    for (const auto& log : logs) {
      const std::string pid = per_run_pid(log);
      if (!pid.empty()) {
        EXPECT_EQ(parsed(log_dir() + "/pathvane-results." + pid + ".json")["log"], log);
      }
    }
    for (const auto& name : names_in(log_dir())) EXPECT_FALSE(name.ends_with(".tmp")) << name;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("100 pairs in %.1f s, %d of them side by side\n", seconds, side_by_side);
  // Without runs at the same time this would test nothing.
  EXPECT_GT(side_by_side, 0);
  // Ten ended runs' files are kept, and the last pair's.
  size_t per_run_logs = 0;
  for (const auto& name : names_in(log_dir())) per_run_logs += !per_run_pid(log_dir() + "/" + name).empty();
  EXPECT_LE(per_run_logs, 11u);
}

}  // namespace
