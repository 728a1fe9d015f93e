// Where the built tool's lines go: the report alone on standard output, every
// line in the trace log behind a time stamp, errors and the log's path on
// standard error, traces there too only with /V or without a writable log,
// and a progress line only when standard error is a terminal.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/agent_dir.h"
#include "tests/support/cloud.h"
#include "tests/support/cloud_suite.h"
#include "tests/support/process.h"
#include "tests/support/report.h"
#include "tests/support/terminal.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testsupport::AgentDir;
using testsupport::split_lines;
using testsupport::TerminalRun;
using testsupport::run_on_terminal;
using Lines = std::vector<std::string>;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

Lines with_prefix(const std::string& text, const std::string& prefix) {
  Lines found;
  for (const auto& line : split_lines(text)) {
    if (line.rfind(prefix, 0) == 0) found.push_back(line);
  }
  return found;
}

const Lines kHealthReport = testsupport::health_pass_report();

class Console : public testsupport::CloudSuite {
 protected:
  void SetUp() override {
    CloudSuite::SetUp();
    if (HasFatalFailure()) return;
    tool_ = dir_.copy_program("pathvane");
    dir_.write_config(config("/health"));
  }

  json config(const std::string& health_path) const {
    return json{
        {"version", "8.4.2.31122"},
        {"config/agent/uuid", "6f1c2b1e-8d1b-4b7e-9a55-0c8e3f6a9d21"},
        {"config/agent/affiliate/uuid", "11111111-2222-4333-8444-555555555555"},
        {"config/velta/business/uuid", "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee"},
        {"config/agent/urlscanner/urlreputationserver", cloud->https_url("/url-reputation")},
        {"config/proxy/testurl", cloud->https_url(health_path)},
        {"config/agent/directory/base", dir_.path()},
        {"config/velta/install/token", "console-token"},
        {"config/agent/cloud/trustedcerts/cert", json::array({testsupport::file_text(cloud->ca_cert_path())})},
    };
  }

  std::string log_path() const { return dir_.path() + "/log/pathvane.log"; }

  // The health check alone, no proxy; prefix runs the tool under another program.
  testsupport::ProcessResult run(const Lines& args = {}, const Lines& prefix = {}) {
    Lines argv = prefix;
    argv.push_back(tool_);
    argv.insert(argv.end(), {"/T", "/P-"});
    argv.insert(argv.end(), args.begin(), args.end());
    auto r = testsupport::run_process(argv, {}, dir_.path());
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r;
  }

  AgentDir dir_;
  std::string tool_;
};

TEST_F(Console, TracesGoToTheLogAndStandardErrorNamesIt) {
  auto r = run();
  EXPECT_EQ(split_lines(r.out), kHealthReport);

  // Standard error: the error lines, then where the log is; nothing else.
  Lines err = split_lines(r.err);
  ASSERT_FALSE(err.empty());
  EXPECT_EQ(err.back(), "Full trace: " + log_path());
  for (size_t i = 0; i + 1 < err.size(); ++i) EXPECT_EQ(err[i].rfind("[error] ", 0), 0u) << err[i];
  EXPECT_FALSE(contains(r.err, "\r"));

  struct stat st {};
  ASSERT_EQ(stat((dir_.path() + "/log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(lstat(log_path().c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // The log: every line stamped, in order, with the report, the errors and the traces.
  const std::string raw = testsupport::file_text(log_path());
  const std::regex stamp(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z .*)");
  std::string previous;
  for (const auto& line : split_lines(raw)) {
    ASSERT_TRUE(std::regex_match(line, stamp)) << line;
    EXPECT_LE(previous, line.substr(0, 24));
    previous = line.substr(0, 24);
  }
  const std::string log = dir_.log_text();
  Lines report_in_log;
  for (const auto& line : split_lines(log)) {
    if (line.rfind("[trace] ", 0) != 0 && line.rfind("[error] ", 0) != 0) report_in_log.push_back(line);
  }
  EXPECT_EQ(report_in_log, kHealthReport);
  EXPECT_EQ(with_prefix(log, "[error] "), Lines(err.begin(), err.end() - 1));
  EXPECT_TRUE(contains(log, "[trace] The ROOT store has been opened.\n")) << log;
  EXPECT_FALSE(contains(log, "Full trace"));
}

TEST_F(Console, EachRunKeepsOnlyThePreviousLog) {
  run();
  const std::string first = testsupport::file_text(log_path());
  run();
  const std::string second = testsupport::file_text(log_path());
  EXPECT_EQ(testsupport::file_text(log_path() + ".1"), first);
  run();
  EXPECT_EQ(testsupport::file_text(log_path() + ".1"), second);
  EXPECT_NE(testsupport::file_text(log_path()), second);
  Lines names;
  for (const auto& entry : fs::directory_iterator(dir_.path() + "/log")) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (Lines{"pathvane-results.json", "pathvane.log", "pathvane.log.1"}));
}

TEST_F(Console, VerboseTracesReachStandardErrorAndTheLog) {
  auto r = run({"/V"});
  EXPECT_EQ(split_lines(r.out), kHealthReport);
  const Lines traces = with_prefix(r.err, "[trace] ");
  EXPECT_FALSE(traces.empty());
  EXPECT_TRUE(contains(r.err, "[trace] _curl_debug:")) << r.err;
  // The log also holds what the tool traces while it exits, after the closing line.
  const Lines logged = with_prefix(dir_.log_text(), "[trace] ");
  ASSERT_GE(logged.size(), traces.size());
  EXPECT_EQ(Lines(logged.begin(), logged.begin() + static_cast<long>(traces.size())), traces);
  EXPECT_EQ(split_lines(r.err).back(), "Full trace: " + log_path());
}

// Whatever keeps the log from being written, the run and its report stay as
// they are: one error line names the file and why, and the traces go to
// standard error instead.
TEST_F(Console, LogThatCannotBeWrittenLeavesTheRunAsItIs) {
  const std::string expected_out = run().out;
  struct Case {
    const char* what;
    std::function<void()> prepare;
    Lines prefix;
    std::string reason;
  };
  const std::string outside = dir_.path() + "/outside.txt";
  const Case cases[] = {
      {"agent directory the user may not write to",
       [&] { dir_.prepare_for_unprivileged_user(); }, testsupport::unprivileged_prefix(),
       "cannot be written: Permission denied"},
      {"log is a regular file", [&] { dir_.write_file("log", "not a folder\n"); }, {},
       "cannot be written: " + dir_.path() + "/log is not a directory"},
      {"link at the log's path",
       [&] {
         dir_.write_file("outside.txt", "keep me\n");
         fs::create_directory(dir_.path() + "/log");
         fs::create_symlink(outside, log_path());
       },
       {}, "cannot be written: not a regular file"},
      {"file size limit reached mid-run", [] {}, {"/usr/bin/prlimit", "--fsize=3000", "--"},
       "could not be written: File too large"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::error_code ignored;
    fs::remove_all(dir_.path() + "/log", ignored);
    c.prepare();
    auto r = run({}, c.prefix);
    EXPECT_EQ(r.out, expected_out);
    const Lines complaints = with_prefix(r.err, "[error] The trace log ");
    ASSERT_EQ(complaints.size(), 1u) << r.err;
    EXPECT_EQ(complaints[0], "[error] The trace log " + log_path() + " " + c.reason + "; traces go to standard error");
    EXPECT_TRUE(contains(r.err, "[trace] CertMgrLoader::Init certs loaded")) << r.err;
    EXPECT_FALSE(contains(r.err, "Full trace")) << r.err;
  }
  EXPECT_EQ(testsupport::file_text(outside), "keep me\n");
  EXPECT_EQ(chmod(dir_.path().c_str(), 0700), 0);
}

TEST_F(Console, ProgressLineOnATerminalOnly) {
  dir_.write_config(config("/health?_delay_ms=3200"));
  TerminalRun r = run_on_terminal({tool_, "/T", "/P-"}, dir_.path());
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(split_lines(r.out), kHealthReport);

  // Every drawing of the line starts at the line's beginning and clears what
  // was left of the previous one; an erase follows the last before any line.
  const std::string erase = "\r\033[K";
  const std::regex draw(R"(\r(\[1/1\] Health Test: (\d+) s of 15 s[^\r\n\x1b]*)\x1b\[K)");
  Lines seconds;
  std::string rest;
  std::string::const_iterator from = r.terminal.cbegin();
  for (std::sregex_iterator it(r.terminal.cbegin(), r.terminal.cend(), draw), end; it != end; ++it) {
    rest.append(from, (*it)[0].first);
    if (seconds.empty() || seconds.back() != (*it)[2].str()) seconds.push_back((*it)[2].str());
    from = (*it)[0].second;
    // The next thing written after a drawing is another drawing or the erase.
    const std::string after(from, r.terminal.cend());
    EXPECT_TRUE(after.rfind("\r[1/1]", 0) == 0 || after.rfind(erase, 0) == 0) << after;
  }
  rest.append(from, r.terminal.cend());
  ASSERT_GE(seconds.size(), 3u) << "the line rewrites itself as the seconds pass:\n" << r.terminal;
  EXPECT_EQ(seconds.front(), "0");
  // Without the line and its erases, standard error reads as it does on a pipe.
  std::string plain = std::regex_replace(rest, std::regex("\r\033\\[K"), "");
  auto piped = run();
  EXPECT_EQ(plain, piped.err);
  EXPECT_FALSE(contains(piped.err, "\r"));
}

}  // namespace
