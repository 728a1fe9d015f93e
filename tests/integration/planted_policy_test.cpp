// The policy download run as root by the built tool in an agent directory
// where someone else planted a link, a hard link or a FIFO: what lies
// outside the agent directory stays as it was, byte for byte.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
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
using Lines = std::vector<std::string>;
using testsupport::file_text;
using testsupport::names_in;

constexpr uid_t kNobody = 65534;
const std::string kPolicyBody = R"(<?xml version="1.0" encoding="UTF-8"?><policy serial="1073741831"/>)";
const std::string kVictimText = "root's own settings\n";

// A command run as the unprivileged user; it must succeed.
void as_nobody(const Lines& command) {
  Lines argv = testsupport::unprivileged_prefix();
  argv.insert(argv.end(), command.begin(), command.end());
  auto r = testsupport::run_process(argv);
  ASSERT_EQ(r.exit_code, 0) << command[0] << ": " << r.err;
}

class PlantedPolicy : public testsupport::CloudSuite {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: the tool runs as root and the user 65534 plants the links";
    CloudSuite::SetUp();
    if (HasFatalFailure()) return;
    tool_ = dir_.copy_program("pathvane");
    // The other user may reach into the agent directory.
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    char pattern[] = "/tmp/pathvane-victim-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    victim_dir_ = pattern;
    ASSERT_EQ(chmod(victim_dir_.c_str(), 0755), 0);
    json config = {
        {"version", "8.4.2.31122"},
        {"config/agent/uuid", "6f1c2b1e-8d1b-4b7e-9a55-0c8e3f6a9d21"},
        {"config/agent/affiliate/uuid", "11111111-2222-4333-8444-555555555555"},
        {"config/velta/business/uuid", "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee"},
        {"config/agent/urlscanner/urlreputationserver", cloud->http_url("/url-reputation")},
        {"config/agent/directory/base", dir_.path()},
        {"config/velta/policy/serial_number", 7},
    };
    for (const char* kind : {"affiliate", "company", "policy", "agent"}) {
      config[std::string("config/velta/endpoint/policy/") + kind] = cloud->http_url(std::string("/policy/") + kind + "/x");
    }
    dir_.write_config(config);
  }
  void TearDown() override {
    std::error_code ignored;
    if (!victim_dir_.empty()) fs::remove_all(victim_dir_, ignored);
  }

  std::string victim_file() const { return victim_dir_ + "/settings.conf"; }

  // Root's folder outside the agent directory, holding one file of root's.
  void make_victim() const {
    for (const auto& entry : fs::directory_iterator(victim_dir_)) fs::remove_all(entry.path());
    std::ofstream(victim_file()) << kVictimText;
    ASSERT_EQ(chmod(victim_file().c_str(), 0644), 0);
  }
  std::string tmp() const { return dir_.path() + "/tmp"; }
  std::string policy() const { return tmp() + "/policy.xml"; }

  testsupport::ProcessResult run_policy_check() {
    auto r = testsupport::run_process({tool_, "/F", "/P-"}, {}, dir_.path());
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r;
  }

  json results() const {
    try {
      return json::parse(file_text(dir_.path() + "/log/pathvane-results.json"));
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
      return json();
    }
  }

  testsupport::AgentDir dir_;
  std::string tool_;
  std::string victim_dir_;
};

TEST_F(PlantedPolicy, NothingOutsideTheAgentDirectoryIsWrittenThrough) {
  int fifo_reader = -1;
  struct Row {
    const char* what;
    std::function<void()> plant;
    bool stored;               // the policy lands at its name; else the check refuses
    std::string error_text;    // the "Curl err" line and the results' error_text when refused
  };
  const std::string refused_folder = "Can't open " + policy() + " for writing: Not a directory";
  const Row rows[] = {
      {"hard link to root's file (planted by root)",
       [&] {
         ASSERT_TRUE(fs::create_directory(tmp()));
         ASSERT_EQ(link(victim_file().c_str(), policy().c_str()), 0);
       },
       true, ""},
      {"symbolic link to root's file",
       [&] {
         ASSERT_TRUE(fs::create_directory(tmp()));
         ASSERT_EQ(chown(tmp().c_str(), kNobody, kNobody), 0);
         as_nobody({"/bin/ln", "-s", victim_file(), policy()});
       },
       true, ""},
      {"FIFO someone reads",
       [&] {
         ASSERT_TRUE(fs::create_directory(tmp()));
         ASSERT_EQ(chown(tmp().c_str(), kNobody, kNobody), 0);
         as_nobody({"/usr/bin/mkfifo", policy()});
         fifo_reader = open(policy().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
         ASSERT_GE(fifo_reader, 0);
       },
       true, ""},
      {"tmp a symbolic link to another folder",
       [&] {
         ASSERT_EQ(chown(dir_.path().c_str(), kNobody, kNobody), 0);
         as_nobody({"/bin/ln", "-s", victim_dir_, tmp()});
       },
       false, refused_folder},
      {"tmp a symbolic link to a folder not there yet",
       [&] {
         ASSERT_EQ(chown(dir_.path().c_str(), kNobody, kNobody), 0);
         as_nobody({"/bin/ln", "-s", victim_dir_ + "/later", tmp()});
       },
       false, refused_folder},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_TRUE(cloud->reset());
    std::error_code ignored;
    fs::remove_all(tmp(), ignored);
    ASSERT_EQ(chown(dir_.path().c_str(), 0, 0), 0);
    make_victim();
    row.plant();
    if (HasFatalFailure()) return;

    auto r = run_policy_check();
    const Lines expected =
        row.stored ? testsupport::report_block("Policy D/L (company)",
                                               "========> [pass] Connectivity check completed with no issues",
                                               "No error", "No error", 200)
                   : testsupport::report_block("Policy D/L (company)",
                                               "========> [error] Connectivity check completed with *ERRORS*",
                                               "No error", row.error_text, 0);
    EXPECT_EQ(testsupport::block_in(r.out, "Policy D/L (company)"), expected) << r.out << r.err;
    const json doc = results();
    ASSERT_EQ(doc["checks"].size(), 1u);
    EXPECT_EQ(doc["checks"][0]["rc"], row.stored ? 0 : 1);
    EXPECT_EQ(doc["checks"][0]["counted"], row.stored ? "success" : "issues");
    EXPECT_EQ(doc["checks"][0]["error_text"], row.error_text);
    if (row.stored) {
      struct stat st {};
      ASSERT_EQ(lstat(policy().c_str(), &st), 0);
      EXPECT_TRUE(S_ISREG(st.st_mode));
      EXPECT_EQ(st.st_mode & 07777, 0600u);
      EXPECT_EQ(st.st_uid, 0u);
      EXPECT_EQ(st.st_nlink, 1u);
      // Reading a FIFO still there would wait for a writer.
      if (S_ISREG(st.st_mode)) {
        EXPECT_EQ(file_text(policy()), kPolicyBody);
      }
      EXPECT_EQ(names_in(tmp()), Lines{"policy.xml"});
    } else {
      EXPECT_TRUE(r.err.find("[error] zel_velta_fetch_policy: Can't open " + policy() +
                             " for writing: Not a directory\n") != std::string::npos)
          << r.err;
      EXPECT_TRUE(cloud->requests().empty());
    }

    // Outside: the file with its text, its mode and no second name; the folder as it was.
    struct stat st {};
    ASSERT_EQ(lstat(victim_file().c_str(), &st), 0);
    EXPECT_EQ(file_text(victim_file()), kVictimText);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_EQ(names_in(victim_dir_), Lines{"settings.conf"});
    if (fifo_reader >= 0) {
      char received[256];
      EXPECT_LE(read(fifo_reader, received, sizeof(received)), 0) << "the policy went into the FIFO";
      close(fifo_reader);
      fifo_reader = -1;
    }
  }
}

}  // namespace
