// The results file's document on made-up check records (valid UTF-8 and
// bounded whatever the outside texts hold), and its writing into a folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tool/results_file.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A refused TLS connection whose server named itself in bytes that are no
// UTF-8, with a hint and an error line far past any sensible length.
CheckRecord refused_tls_check() {
  CheckRecord record;
  record.name = "Health Test";
  record.bit = 0x1;
  record.rc = 1;
  record.slot_read = true;
  record.slot.outcome = OUTCOME_UNKNOWN_CA;
  record.slot.curl_code = CURLE_PEER_FAILED_VERIFICATION;
  std::memset(record.slot.curl_error, 'e', sizeof(record.slot.curl_error));  // no NUL at all
  record.counted = Counted::kFailed;
  xfer_facts facts{};
  facts.curl_code = CURLE_PEER_FAILED_VERIFICATION;
  facts.total_us = 1500;
  facts.name_lookup_us = -1;
  facts.verify_error = 20;
  facts.chain_count = 2;
  std::snprintf(facts.chain[0].subject, sizeof(facts.chain[0].subject), "CN=caf\xC3\xA9 \xFF\xFE bad \xE2\x82");
  std::memset(facts.chain[1].issuer, 0xC0, sizeof(facts.chain[1].issuer));  // overlong leads, no NUL
  record.transfers.push_back(facts);
  record.hints.push_back(std::string(100000, 'h'));
  return record;
}

TEST(ResultsDocument, OutsideTextsStayValidAndBounded) {
  const std::vector<CheckRecord> checks = {refused_tls_check()};
  ResultsRun run;
  run.started = "2026-12-11T01:02:03.456Z";
  run.proxy_mode = "policy";
  run.command_line = "/T /PP";
  run.exit_code = 0;
  run.checks = &checks;
  run.errors = {std::string(50000, 'x') + "\xE2\x82\xAC", "short \x80 line"};

  const std::string text = results_document(run);
  json doc;
  // The parser refuses ill-formed UTF-8, so parsing is the validity test.
  ASSERT_NO_THROW(doc = json::parse(text)) << text.substr(0, 2000);
  EXPECT_EQ(doc["format"], 1);
  EXPECT_EQ(doc["exit_code"], 0);
  EXPECT_EQ(doc["proxy_mode"], "policy");
  EXPECT_TRUE(doc["host"].is_null());
  EXPECT_TRUE(doc["agent_version"].is_null());
  ASSERT_EQ(doc["checks"].size(), 1u);
  const json& check = doc["checks"][0];
  EXPECT_EQ(check["verdict"], "error");
  EXPECT_EQ(check["counted"], "failed");
  EXPECT_EQ(check["outcome"]["code"], OUTCOME_UNKNOWN_CA);
  EXPECT_EQ(check["curl"]["code"], CURLE_PEER_FAILED_VERIFICATION);
  EXPECT_EQ(check["error_text"], std::string(sizeof(check_result::curl_error), 'e'));

  const json& transfer = check["transfers"][0];
  EXPECT_TRUE(transfer["times_us"]["name_lookup"].is_null());
  EXPECT_EQ(transfer["times_us"]["total"], 1500);
  ASSERT_EQ(transfer["chain"].size(), 2u);
  EXPECT_EQ(transfer["chain"][0]["subject"], "CN=caf\xC3\xA9 \xEF\xBF\xBD\xEF\xBF\xBD bad \xEF\xBF\xBD");
  const std::string issuer = transfer["chain"][1]["issuer"];
  EXPECT_LE(issuer.size(), kResultsTextMax * 3);  // each byte at most one U+FFFD
  EXPECT_EQ(issuer.find('\xC0'), std::string::npos);

  for (const std::string& cut :
       {check["hints"][0].get<std::string>(), doc["errors"][0].get<std::string>()}) {
    EXPECT_LE(cut.size(), kResultsTextMax);
    EXPECT_EQ(cut.substr(cut.size() - 3), "...");
  }
  EXPECT_EQ(doc["errors"][1], "short \xEF\xBF\xBD line");
}

TEST(ResultsDocument, ChainOnlyWhereTlsFailed) {
  CheckRecord passed = refused_tls_check();
  passed.rc = 0;
  passed.transfers[0].curl_code = 0;
  passed.transfers[0].verify_error = 0;
  CheckRecord unread;
  unread.name = "Event Intake";
  unread.rc = -1;
  const std::vector<CheckRecord> checks = {passed, unread};
  ResultsRun run;
  run.checks = &checks;
  const json doc = json::parse(results_document(run));
  EXPECT_EQ(doc["checks"][0]["transfers"][0]["chain_count"], 2);
  EXPECT_TRUE(doc["checks"][0]["transfers"][0]["chain"].empty());
  EXPECT_EQ(doc["checks"][1]["verdict"], "error");
  EXPECT_TRUE(doc["checks"][1]["outcome"].is_null());
  EXPECT_TRUE(doc["checks"][1]["http_status"].is_null());
}

class ResultsFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/results-folder-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const char* name) const { return dir_ + "/" + name; }
  std::string dir_;
};

TEST_F(ResultsFolder, ReplacesTheFileOwnerOnlyAndLeavesNoTemporary) {
  {
    std::ofstream(path("pathvane-results.json")) << "previous run\n";
  }
  ASSERT_EQ(chmod(path("pathvane-results.json").c_str(), 0644), 0);
  // A link at the name a temporary once had is neither followed nor taken:
  // each write makes a temporary of its own.
  std::ofstream(path("outside")) << "keep me\n";
  fs::create_symlink(path("outside"), path("pathvane-results.json.tmp"));

  std::string why;
  ASSERT_TRUE(write_results_file(dir_, "{}\n", why)) << why;
  EXPECT_EQ(read_file(path("pathvane-results.json")), "{}\n");
  struct stat st {};
  ASSERT_EQ(lstat(path("pathvane-results.json").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(fs::is_symlink(path("pathvane-results.json.tmp")));
  EXPECT_EQ(read_file(path("outside")), "keep me\n");
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"outside", "pathvane-results.json", "pathvane-results.json.tmp"}));
}

TEST_F(ResultsFolder, RefusesWhatIsNotARegularFileOrFolder) {
  std::ofstream(path("outside")) << "keep me\n";
  fs::create_symlink(path("outside"), path("pathvane-results.json"));
  std::string why;
  EXPECT_FALSE(write_results_file(dir_, "{}\n", why));
  EXPECT_EQ(why, "not a regular file");
  EXPECT_EQ(read_file(path("outside")), "keep me\n");

  fs::create_symlink(dir_, path("linked-folder"));
  EXPECT_FALSE(write_results_file(path("linked-folder"), "{}\n", why));
  EXPECT_EQ(why, path("linked-folder") + " is not a directory");
  EXPECT_FALSE(write_results_file(path("missing"), "{}\n", why));
  EXPECT_EQ(why, "No such file or directory");
}

}  // namespace
