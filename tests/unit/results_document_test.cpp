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

#include "pathvane/xfer_table.h"
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

const char* numbered_strerror(CURLcode code) {
  static std::string text;
  text = "curl text " + std::to_string(static_cast<int>(code));
  return text.c_str();
}

template <size_t N>
void put(char (&field)[N], const std::string& value) {
  std::snprintf(field, N, "%s", value.c_str());
}

// One check whose every field holds a value no neighbouring field holds, so
// a field written from its neighbour's source shows.
CheckRecord distinct_check() {
  CheckRecord r;
  r.name = "Retro File Fetch";
  r.bit = 0x10;
  r.rc = 1;
  r.slot_read = true;
  r.slot.outcome = OUTCOME_UNKNOWN_CA;  // 11
  r.slot.curl_code = CURLE_PEER_FAILED_VERIFICATION;  // 60
  put(r.slot.curl_error, "SSL certificate problem: self-signed certificate in certificate chain");
  r.slot.http_status = 0;
  r.counted = Counted::kIssues;
  xfer_facts f{};
  f.curl_code = CURLE_PEER_FAILED_VERIFICATION;
  f.reached = XFER_REACHED_LOOKUP | XFER_REACHED_CONNECT | XFER_REACHED_TUNNEL;
  f.tls_start_us = 700;
  f.name_lookup_us = 110;
  f.connect_us = 220;
  f.tls_us = 330;
  f.first_byte_us = 440;
  f.total_us = 550;
  put(f.remote_ip, "10.0.0.8");
  f.remote_port = 3128;
  f.url_port = 443;
  f.connect_code = 200;
  put(f.http_version, "1.1");
  f.proxy_auth_offered = CURLAUTH_NTLM;
  f.proxy_auth_used = CURLAUTH_BASIC;
  f.proxy_has_credentials = 1;
  put(f.proxy, "http://10.0.0.8:3128");
  put(f.server_date, "Fri, 11 Dec 2026 01:02:03 GMT");
  put(f.tls_version, "TLSv1.3");
  put(f.tls_cipher, "TLS_AES_256_GCM_SHA384");
  f.verify_error = 19;
  put(f.verify_error_text, "self-signed certificate in certificate chain");
  f.chain_count = 2;
  put(f.chain[0].subject, "/CN=cloud.example");
  put(f.chain[0].issuer, "/CN=Box CA");
  put(f.chain[0].not_before, "2026-01-01 00:00:00 UTC");
  put(f.chain[0].not_after, "2027-01-01 00:00:00 UTC");
  put(f.chain[0].sha256, "AA:BB");
  f.chain[0].known = 0;
  f.chain[0].verify_error = 0;
  put(f.chain[1].subject, "/CN=Box CA");
  put(f.chain[1].issuer, "/CN=Box CA");
  put(f.chain[1].not_before, "2025-01-01 00:00:00 UTC");
  put(f.chain[1].not_after, "2035-01-01 00:00:00 UTC");
  put(f.chain[1].sha256, "CC:DD");
  f.chain[1].known = 1;
  f.chain[1].verify_error = 19;
  r.transfers.push_back(f);
  r.causes.push_back({"tls.untrusted_ca", "/CN=Box CA", {{"ca", "/CN=Box CA"}, {"route", "proxy"}}});
  r.hints = {"TLS: first line", "TLS: second line"};
  return r;
}

TEST(ResultsDocument, EveryFieldFromItsOwnSource) {
  const auto saved = pathvane_curl;
  pathvane_curl.curl_easy_strerror = numbered_strerror;
  const std::vector<CheckRecord> checks = {distinct_check()};
  PathvaneWrapper::RunIdentity identity;
  identity.host_read = true;
  identity.os.major = 6;
  identity.os.minor = 8;
  identity.os.build = 12;
  identity.os.architecture = 9;
  identity.os.os_product_type = 1;
  put(identity.host.hostname, "ws-0142");
  identity.agent_version = "8.4.2.31122";
  ResultsRun run;
  run.started = "2026-12-11T01:02:03.456Z";
  run.proxy_mode = "discover";
  run.command_line = "/opt/orvix/pathvane /H";
  run.exit_code = 0;
  run.identity = &identity;
  run.checks = &checks;
  run.errors = {"one error"};
  run.log_path = "/opt/orvix/log/pathvane.log";
  const json doc = json::parse(results_document(run));
  pathvane_curl = saved;

  const json expected_host = {{"name", "ws-0142"},
                              {"os", {{"major", 6}, {"minor", 8}, {"build", 12}, {"architecture", 9}, {"product_type", 1}}}};
  EXPECT_EQ(doc["host"], expected_host);
  EXPECT_EQ(doc["agent_version"], "8.4.2.31122");
  EXPECT_EQ(doc["proxy_mode"], "discover");
  EXPECT_EQ(doc["command_line"], "/opt/orvix/pathvane /H");
  EXPECT_EQ(doc["log"], "/opt/orvix/log/pathvane.log");
  EXPECT_EQ(doc["errors"], json::array({"one error"}));
  EXPECT_EQ(doc["started"], "2026-12-11T01:02:03.456Z");

  const json& c = doc["checks"][0];
  const json expected_check = {
      {"name", "Retro File Fetch"},
      {"verdict", "error"},
      {"rc", 1},
      {"counted", "issues"},
      {"outcome", {{"code", 11}, {"text", pathvane_outcome_text(OUTCOME_UNKNOWN_CA)}}},
      {"curl", {{"code", 60}, {"text", "curl text 60"}}},
      {"error_text", "SSL certificate problem: self-signed certificate in certificate chain"},
      {"http_status", 0},
      {"hints", {"TLS: first line", "TLS: second line"}},
      {"causes", {{{"code", "tls.untrusted_ca"}, {"key", "/CN=Box CA"},
                   {"evidence", {{"ca", "/CN=Box CA"}, {"route", "proxy"}}}}}},
  };
  for (const auto& [name, value] : expected_check.items()) EXPECT_EQ(c[name], value) << name;

  const json expected_transfer = {
      {"curl_code", 60},
      {"reached", {"lookup", "connect", "tunnel"}},
      {"times_us", {{"name_lookup", 110}, {"connect", 220}, {"tls", 330}, {"first_byte", 440}, {"total", 550}}},
      {"remote_ip", "10.0.0.8"},
      {"remote_port", 3128},
      {"proxy", "http://10.0.0.8:3128"},
      {"proxy_has_credentials", true},
      {"proxy_auth_offered", CURLAUTH_NTLM},
      {"proxy_auth_used", CURLAUTH_BASIC},
      {"connect_code", 200},
      {"http_version", "1.1"},
      {"server_date", "Fri, 11 Dec 2026 01:02:03 GMT"},
      {"tls_version", "TLSv1.3"},
      {"tls_cipher", "TLS_AES_256_GCM_SHA384"},
      {"verify_error", 19},
      {"verify_error_text", "self-signed certificate in certificate chain"},
      {"chain_count", 2},
      {"chain",
       {{{"subject", "/CN=cloud.example"}, {"issuer", "/CN=Box CA"}, {"not_before", "2026-01-01 00:00:00 UTC"},
         {"not_after", "2027-01-01 00:00:00 UTC"}, {"sha256", "AA:BB"}, {"known", false}, {"verify_error", 0}},
        {{"subject", "/CN=Box CA"}, {"issuer", "/CN=Box CA"}, {"not_before", "2025-01-01 00:00:00 UTC"},
         {"not_after", "2035-01-01 00:00:00 UTC"}, {"sha256", "CC:DD"}, {"known", true}, {"verify_error", 19}}}},
  };
  EXPECT_EQ(c["transfers"][0], expected_transfer) << c["transfers"][0].dump(2);
}

TEST(ResultsDocument, ChainKeptOnACurlVerifyFailureAndCutToEight) {
  CheckRecord quiet = distinct_check();
  // libcurl refused the peer though OpenSSL named no error at any depth.
  quiet.transfers[0].verify_error = 0;
  quiet.transfers[0].chain[1].verify_error = 0;
  CheckRecord long_chain = distinct_check();
  long_chain.transfers[0].chain_count = 12;
  for (unsigned i = 0; i < XFER_CHAIN_MAX; ++i) put(long_chain.transfers[0].chain[i].subject, "/CN=c" + std::to_string(i));
  const std::vector<CheckRecord> checks = {quiet, long_chain};
  ResultsRun run;
  run.checks = &checks;
  const json doc = json::parse(results_document(run));
  EXPECT_EQ(doc["checks"][0]["transfers"][0]["chain"].size(), 2u);
  const json& cut = doc["checks"][1]["transfers"][0];
  EXPECT_EQ(cut["chain_count"], 12);
  ASSERT_EQ(cut["chain"].size(), 8u);
  EXPECT_EQ(cut["chain"][7]["subject"], "/CN=c7");
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
