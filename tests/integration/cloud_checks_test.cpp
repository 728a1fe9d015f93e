// The registration, company policy and updater seed checks with the real
// libcurl, against the test cloud.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include "pathvane/pathvane.h"
#include "platform/loader.h"
#include "tests/support/check_run.h"
#include "tests/support/cloud.h"
#include "tests/support/cloud_suite.h"
#include "tests/support/process.h"
#include "tests/support/proxies.h"
#include "tests/support/test_certs.h"
#include "velta_client/src/velta_client.h"

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr const char* kUserAgent = "Corvanta/8.4.2.31122";
constexpr const char* kAgentGuid = "0f8fad5b-d9cb-469f-a165-70867728950e";
constexpr const char* kBusinessGuid = "7c9e6679-7425-40de-944b-e07fc1f90ae7";
constexpr const char* kAffiliateGuid = "c9bf9e57-1685-4c89-bafb-ff5af830be8a";
constexpr const char* kHostname = "ws-0042";

// Serial 7 asked for as a company policy (bit 30 set).
constexpr const char* kPolicyPath = "/policy/company/x-1073741831";
constexpr const char* kPolicyBody = R"(<?xml version="1.0" encoding="UTF-8"?><policy serial="1073741831"/>)";

constexpr int kRegistrationSlot = 2;
constexpr int kPolicySlot = 8;
constexpr int kUpdaterSlot = 10;

template <size_t N>
void set_text(char (&field)[N], const std::string& value) {
  std::snprintf(field, N, "%s", value.c_str());
}

std::string refused_url(const std::string& path) {
  return "http://127.0.0.1:" + std::to_string(testsupport::free_loopback_port()) + path;
}

std::optional<std::string> file_contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool exists_at(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool write_file(const std::string& path, const std::string& text, mode_t mode) {
  {
    std::ofstream out(path, std::ios::binary);
    if (!(out << text)) return false;
  }
  return chmod(path.c_str(), mode) == 0;
}

using testsupport::CheckRun;
using testsupport::run_check;

class CloudCheckTest : public testsupport::CloudSuite {
 protected:
  void SetUp() override {
    CloudSuite::SetUp();
    if (HasFatalFailure()) return;
    platform::set_library_directory(testsupport::bin_dir(), true);
    char pattern[] = "/tmp/pathvane-cloud-checks-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    std::memset(&settings_, 0, sizeof(settings_));
    settings_.proxy.proxy_type = PATHVANE_NO_PROXY;
    set_text(settings_.velta.user_agent, kUserAgent);
    set_text(settings_.velta.agent_guid, kAgentGuid);
    set_text(settings_.velta.business_guid, kBusinessGuid);
    set_text(settings_.velta.affiliate_guid, kAffiliateGuid);
    set_text(settings_.velta.mgmt_url, cloud->http_url("/agent/v1"));
    set_text(settings_.host_info.hostname, kHostname);
  }
  void TearDown() override {
    pathvane_free(&handle_);
    X509_free(settings_.velta.trust_cert);
    platform::set_library_directory("");
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // The handle takes over one reference, as it does from settings loading.
  void trust_cloud_ca() {
    X509_free(settings_.velta.trust_cert);
    settings_.velta.trust_cert = testsupport::read_certificate(cloud->ca_cert_path());
    ASSERT_NE(settings_.velta.trust_cert, nullptr);
    settings_.velta.trust_callback = testsupport::add_to_store;
  }

  void distrust_cloud_ca() {
    X509_free(settings_.velta.trust_cert);
    settings_.velta.trust_cert = nullptr;
    settings_.velta.trust_callback = nullptr;
  }

  bool open_handle(const char* token) {
    pathvane_free(&handle_);
    handle_ = pathvane_init(&settings_, token, 1, 1, 0);
    if (!handle_) return false;
    settings_.velta.trust_cert = nullptr;  // now the handle's
    return true;
  }

  // A fresh handle from the settings, one check on it.
  CheckRun run(int (*check)(pathvane_handle*), int slot, const char* token = "install-token") {
    if (!open_handle(token)) {
      ADD_FAILURE() << "pathvane_init failed";
      return {};
    }
    return run_check(handle_, check, slot);
  }

  pathvane_settings settings_{};
  pathvane_handle* handle_ = nullptr;
  std::string dir_;
};

TEST_F(CloudCheckTest, NullHandleIsAnInternalFailure) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(pathvane_velta_management_check(nullptr), 2);
  std::string errors = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(errors, "[error] pathvane_velta_management_check: handle is NULL\n");
  EXPECT_EQ(pathvane_policy_check(nullptr), 2);
  EXPECT_EQ(pathvane_updater_host_check(nullptr), 2);
  EXPECT_TRUE(cloud->requests().empty());
}

// ---------------------------------------------------------------------------
// Registration (slot 2)

class RegistrationCheck : public CloudCheckTest {};

TEST_F(RegistrationCheck, EchoedFormPasses) {
  struct Case {
    std::string name;
    bool https;
    const char* token;
    std::string itoken;  // as it must appear in the form
  } cases[] = {
      {"http with a token", false, "inst tok/1", "inst%20tok%2F1"},
      {"http without a token", false, nullptr, ""},
      {"http with an empty token", false, "", ""},
      {"https with a token", true, "inst-token", "inst-token"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(cloud->reset());
    if (c.https) {
      set_text(settings_.velta.mgmt_url, cloud->https_url("/agent/v1"));
      trust_cloud_ca();
    }
    CheckRun r = run(pathvane_velta_management_check, kRegistrationSlot, c.token);
    EXPECT_EQ(r.rc, 0) << c.name << ": " << r.errors;
    EXPECT_EQ(r.slot.outcome, 0u) << c.name;
    EXPECT_EQ(r.slot.curl_code, 0) << c.name;
    EXPECT_EQ(r.slot.http_status, 200) << c.name;
    EXPECT_EQ(r.errors, "") << c.name;

    auto seen = cloud->requests("/agent/v1/register");
    ASSERT_EQ(seen.size(), 1u) << c.name;
    EXPECT_EQ(seen[0].method, "POST") << c.name;
    EXPECT_EQ(seen[0].scheme, c.https ? "https" : "http") << c.name;
    EXPECT_EQ(seen[0].peer_addr, "127.0.0.1") << c.name;
    EXPECT_EQ(seen[0].headers["user-agent"], kUserAgent) << c.name;
    EXPECT_EQ(seen[0].headers["content-type"], "application/x-www-form-urlencoded") << c.name;
    EXPECT_THAT(seen[0].body, StartsWith(std::string("affiliate_guid=") + kAffiliateGuid + "&agent_guid=" + kAgentGuid +
                                         "&business_guid=" + kBusinessGuid + "&hostname=" + kHostname +
                                         "&itoken=" + c.itoken + "&loopback=1&"))
        << c.name;
  }
}

TEST_F(RegistrationCheck, AnswerThatIsNotTheEchoFails) {
  struct Case {
    std::string name;
    std::string rule;  // reply fields added to the echo
  } cases[] = {
      {"last byte altered", R"("alter": true)"},
      {"body plus extra", R"("append": "&extra=1")"},
      {"empty answer", R"("body": "")"},
      {"64 MiB answer", R"("fill": 67108864)"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(cloud->reset());
    ASSERT_TRUE(cloud->add_rule(R"({"path": "/agent/v1/register", )" + c.rule + "}")) << c.name;
    CheckRun r = run(pathvane_velta_management_check, kRegistrationSlot);
    EXPECT_EQ(r.rc, 1) << c.name;
    EXPECT_EQ(r.slot.outcome, 1u) << c.name;
    EXPECT_EQ(r.slot.curl_code, 0) << c.name;
    EXPECT_EQ(r.slot.http_status, 200) << c.name;
    EXPECT_THAT(r.errors, HasSubstr("Registration loopback failed, post body does not match response")) << c.name;
    EXPECT_EQ(cloud->requests("/agent/v1/register").size(), 1u) << c.name;
  }
}

TEST_F(RegistrationCheck, RefusalIsARegistrationError) {
  for (int status : {401, 403}) {
    ASSERT_TRUE(cloud->reset());
    ASSERT_TRUE(cloud->add_rule(R"({"path": "/agent/v1/register", "status": )" + std::to_string(status) + "}"));
    CheckRun r = run(pathvane_velta_management_check, kRegistrationSlot);
    EXPECT_EQ(r.rc, 15) << status;
    EXPECT_EQ(r.slot.outcome, 15u) << status;
    EXPECT_EQ(r.slot.curl_code, 0) << status;
    EXPECT_EQ(r.slot.http_status, status);
    EXPECT_THAT(r.errors, HasSubstr("[error] pathvane_velta_management_check: velta registration failed, "
                                    "response recieved from server (status: " +
                                    std::to_string(status) + ")\n"));
    EXPECT_EQ(cloud->requests("/agent/v1/register").size(), 1u) << status;
  }
}

TEST_F(RegistrationCheck, UnreachableServiceCannotConnect) {
  set_text(settings_.velta.mgmt_url, refused_url("/agent/v1"));
  CheckRun r = run(pathvane_velta_management_check, kRegistrationSlot);
  EXPECT_EQ(r.rc, 8);
  EXPECT_EQ(r.slot.outcome, 8u);
  EXPECT_EQ(r.slot.curl_code, CURLE_COULDNT_CONNECT);
  EXPECT_EQ(r.slot.http_status, 0);
  EXPECT_STRNE(r.slot.curl_error, "");
  EXPECT_THAT(r.errors, HasSubstr("[error] pathvane_velta_management_check: velta registration failed, "
                                  "curl error: 7, err Can't connect to host\n"));
  EXPECT_TRUE(cloud->requests().empty());
}

TEST_F(RegistrationCheck, RegisterIsJoinedToTheBaseWithOneSlash) {
  struct Case {
    std::string base;
    std::string path;
  } cases[] = {
      {"/agent/v1", "/agent/v1/register"},
      {"/agent/v1/", "/agent/v1/register"},
      {"", "/register"},
      {"/", "/register"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(cloud->reset());
    set_text(settings_.velta.mgmt_url, cloud->http_url(c.base));
    CheckRun r = run(pathvane_velta_management_check, kRegistrationSlot);
    EXPECT_EQ(r.rc, 0) << "base '" << c.base << "': " << r.errors;
    auto seen = cloud->requests();
    ASSERT_EQ(seen.size(), 1u) << "base '" << c.base << "'";
    EXPECT_EQ(seen[0].target, c.path) << "base '" << c.base << "'";
  }
}

TEST_F(RegistrationCheck, GuidOfWrongLengthSendsNothing) {
  struct Case {
    std::string name;
    char* field;
    size_t length;  // filled with hex digits; 37 leaves no terminator
    const char* slot_error;
  } cases[] = {
      {"agent GUID of 35", settings_.velta.agent_guid, 35, "Invalid agent GUID: 35 characters, 36 expected"},
      {"business GUID of 35", settings_.velta.business_guid, 35, "Invalid business GUID: 35 characters, 36 expected"},
      {"affiliate GUID filling its field", settings_.velta.affiliate_guid, 37,
       "Invalid affiliate GUID: at least 37 characters, 36 expected"},
  };
  for (const auto& c : cases) {
    set_text(settings_.velta.agent_guid, kAgentGuid);
    set_text(settings_.velta.business_guid, kBusinessGuid);
    set_text(settings_.velta.affiliate_guid, kAffiliateGuid);
    std::memset(c.field, 0, 37);
    std::memset(c.field, 'a', c.length);
    CheckRun r = run(pathvane_velta_management_check, kRegistrationSlot);
    EXPECT_EQ(r.rc, 1) << c.name;
    EXPECT_EQ(r.slot.outcome, 1u) << c.name;
    EXPECT_EQ(r.slot.curl_code, 0) << c.name;
    EXPECT_EQ(r.slot.http_status, 0) << c.name;
    EXPECT_THAT(r.errors, HasSubstr("zel_velta_build_reg_post: Invalid guid detected.")) << c.name;
    EXPECT_STREQ(r.slot.curl_error, c.slot_error) << c.name;
  }
  EXPECT_TRUE(cloud->requests().empty());
}

TEST_F(RegistrationCheck, BodyThatCannotBeComposedIsNamed) {
  // Blanks go out as %20: this hostname alone takes the form past 1024 characters.
  std::memset(settings_.host_info.hostname, ' ', sizeof(settings_.host_info.hostname) - 1);
  CheckRun r = run(pathvane_velta_management_check, kRegistrationSlot);
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.slot.outcome, 1u);
  EXPECT_EQ(r.slot.curl_code, 0);
  EXPECT_EQ(r.slot.http_status, 0);
  EXPECT_STREQ(r.slot.curl_error, "Can't compose the registration request: the form passes 1024 characters");
  EXPECT_THAT(r.errors, HasSubstr("[error] zel_velta_build_reg_post: unable to compose registration request\n"));
  EXPECT_TRUE(cloud->requests().empty());
}

// The management URL as long as settings loading takes it (1024 characters)
// is posted whole; a field without its NUL is refused before any request.
TEST_F(RegistrationCheck, ManagementUrlIsUsedWholeOrNotAtAll) {
  constexpr size_t kLongest = sizeof(settings_.velta.mgmt_url) - 1;
  // The echo answers on /register; the padding rides in the query.
  const std::string base = cloud->http_url("/register?pad=");
  struct Case {
    std::string name;
    std::string mgmt_url;  // empty: the field filled without a NUL
    std::string target;    // as the cloud must see it
  } cases[] = {
      {"1024 characters", base + std::string(kLongest - base.size(), 'p'),
       "/register?pad=" + std::string(kLongest - base.size(), 'p') + "/register"},
      {"1024 characters ending in a slash", base + std::string(kLongest - base.size() - 1, 'p') + "/",
       "/register?pad=" + std::string(kLongest - base.size() - 1, 'p') + "/register"},
      {"field without its NUL", "", ""},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(cloud->reset());
    if (c.mgmt_url.empty()) {
      std::memset(settings_.velta.mgmt_url, 'p', sizeof(settings_.velta.mgmt_url));
    } else {
      ASSERT_EQ(c.mgmt_url.size(), kLongest) << c.name;
      set_text(settings_.velta.mgmt_url, c.mgmt_url);
    }
    CheckRun r = run(pathvane_velta_management_check, kRegistrationSlot);
    auto seen = cloud->requests();
    if (c.target.empty()) {
      EXPECT_EQ(r.rc, 1) << c.name;
      EXPECT_EQ(r.slot.outcome, 1u) << c.name;
      EXPECT_EQ(r.slot.curl_code, 0) << c.name;
      EXPECT_EQ(r.slot.http_status, 0) << c.name;
      EXPECT_STREQ(r.slot.curl_error, "Management URL longer than 1024 characters") << c.name;
      EXPECT_TRUE(seen.empty()) << c.name;
    } else {
      EXPECT_EQ(r.rc, 0) << c.name << ": " << r.errors;
      EXPECT_EQ(r.slot.http_status, 200) << c.name;
      ASSERT_EQ(seen.size(), 1u) << c.name;
      EXPECT_EQ(seen[0].method, "POST") << c.name;
      EXPECT_EQ(seen[0].target, c.target) << c.name;
    }
  }
}

// ---------------------------------------------------------------------------
// Company policy download (slot 8)

class PolicyCheck : public CloudCheckTest {
 protected:
  void SetUp() override {
    CloudCheckTest::SetUp();
    if (HasFatalFailure()) return;
    settings_.policy_serial = 7;
    set_text(settings_.policy_company_url, cloud->http_url("/policy/company/x"));
    path_ = dir_ + "/policy.xml";
    set_text(settings_.policy_file_name, path_);
  }

  std::string path_;
};

TEST_F(PolicyCheck, StoresTheNumberedPolicyForItsOwnerOnly) {
  struct Case {
    std::string name;
    std::optional<std::string> before;  // a file already at the path, mode 0644
  } cases[] = {
      {"new file", std::nullopt},
      {"longer file already there", std::string(300, 'z')},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(cloud->reset());
    std::filesystem::remove(path_);
    if (c.before) {
      ASSERT_TRUE(write_file(path_, *c.before, 0644));
    }
    CheckRun r = run(pathvane_policy_check, kPolicySlot);
    EXPECT_EQ(r.rc, 0) << c.name << ": " << r.errors;
    EXPECT_EQ(r.slot.outcome, 0u) << c.name;
    EXPECT_EQ(r.slot.curl_code, 0) << c.name;
    EXPECT_EQ(r.slot.http_status, 200) << c.name;
    EXPECT_EQ(r.errors, "") << c.name;

    auto seen = cloud->requests(kPolicyPath);
    ASSERT_EQ(seen.size(), 1u) << c.name;
    EXPECT_EQ(seen[0].method, "GET");
    EXPECT_EQ(seen[0].headers["user-agent"], kUserAgent);
    EXPECT_EQ(file_contents(path_), std::optional<std::string>(kPolicyBody)) << c.name;
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0) << c.name;
    EXPECT_TRUE(S_ISREG(st.st_mode)) << c.name;
    EXPECT_EQ(st.st_mode & 07777, 0600u) << c.name;
  }
}

TEST_F(PolicyCheck, RefusedDownloadLeavesNoFile) {
  struct Case {
    int status;
    bool file_before;
    int outcome;
  } cases[] = {{404, false, 1}, {404, true, 1}, {403, false, 9},  {403, true, 9},
               {502, false, 12}, {500, false, 12}, {204, false, 1}, {204, true, 1}};
  for (const auto& c : cases) {
    ASSERT_TRUE(cloud->reset());
    std::filesystem::remove(path_);
    if (c.file_before) {
      ASSERT_TRUE(write_file(path_, "<policy serial=\"3\"/>", 0600));
    }
    ASSERT_TRUE(cloud->add_rule(std::string(R"({"path": ")") + kPolicyPath + R"(", "status": )" +
                                std::to_string(c.status) + "}"));
    CheckRun r = run(pathvane_policy_check, kPolicySlot);
    std::string name = std::to_string(c.status) + (c.file_before ? " over a file" : "");
    EXPECT_EQ(r.rc, c.outcome) << name;
    EXPECT_EQ(r.slot.outcome, static_cast<uint32_t>(c.outcome)) << name;
    EXPECT_EQ(r.slot.curl_code, 0) << name;
    EXPECT_EQ(r.slot.http_status, c.status) << name;
    EXPECT_FALSE(exists_at(path_)) << name;
    EXPECT_THAT(r.errors, HasSubstr("zel_velta_fetch_policy: Policy download failed for URL '" +
                                    cloud->http_url(kPolicyPath) + "' (HTTP code: " + std::to_string(c.status) + ")"))
        << name;
    EXPECT_EQ(cloud->requests(kPolicyPath).size(), 1u) << name;
  }
}

TEST_F(PolicyCheck, UnopenablePathSendsNothing) {
  const std::string real = dir_ + "/real";
  ASSERT_TRUE(std::filesystem::create_directory(real));
  ASSERT_EQ(symlink(real.c_str(), (dir_ + "/linked").c_str()), 0);
  // As long as the file name field holds; the slot keeps its end and the reason.
  const std::string long_name = dir_ + "/missing/" + std::string(259 - dir_.size() - 13, 'p') + ".xml";
  struct Case {
    std::string name;
    std::string path;
    std::string slot_error;
  } cases[] = {
      {"directory missing", dir_ + "/missing/policy.xml",
       "Can't open " + dir_ + "/missing/policy.xml for writing: No such file or directory"},
      {"folder is a symbolic link", dir_ + "/linked/policy.xml",
       "Can't open " + dir_ + "/linked/policy.xml for writing: Not a directory"},
      {"device at the path", "/dev/full", "Can't open /dev/full for writing: is a device"},
      {"259 characters in a missing directory", long_name,
       "Can't open ..." + long_name.substr(long_name.size() - 255 + std::strlen("Can't open ...") +
                                            std::strlen(" for writing: No such file or directory")) +
           " for writing: No such file or directory"},
  };
  for (const auto& c : cases) {
    set_text(settings_.policy_file_name, c.path);
    CheckRun r = run(pathvane_policy_check, kPolicySlot);
    EXPECT_EQ(r.rc, 1) << c.name;
    EXPECT_EQ(r.slot.outcome, 1u) << c.name;
    EXPECT_EQ(r.slot.curl_code, 0) << c.name;
    EXPECT_EQ(r.slot.http_status, 0) << c.name;
    EXPECT_THAT(r.errors, HasSubstr("zel_velta_fetch_policy: Can't open " + c.path + " for writing: ")) << c.name;
    EXPECT_EQ(r.slot.curl_error, c.slot_error) << c.name;
  }
  EXPECT_FALSE(exists_at(dir_ + "/missing"));
  EXPECT_TRUE(std::filesystem::is_empty(real));
  struct stat st;
  ASSERT_EQ(lstat("/dev/full", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
  EXPECT_TRUE(cloud->requests().empty());
}

// The disk fills up on the final flush: fclose reports it.
int close_then_disk_full(FILE* file) {
  std::fclose(file);
  errno = ENOSPC;
  return EOF;
}

TEST_F(PolicyCheck, FailedCloseDiscardsTheFile) {
  struct SeamGuard {
    int (*saved)(FILE*) = zel_policy_file_close;
    ~SeamGuard() { zel_policy_file_close = saved; }
  } guard;
  zel_policy_file_close = close_then_disk_full;
  CheckRun r = run(pathvane_policy_check, kPolicySlot);
  zel_policy_file_close = guard.saved;

  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.slot.outcome, 1u);
  EXPECT_EQ(r.slot.curl_code, 0);
  EXPECT_THAT(r.errors, HasSubstr("zel_velta_fetch_policy: Can't write to " + path_ + ": No space left on device"));
  EXPECT_EQ(r.slot.curl_error, "Can't write to " + path_ + ": No space left on device");
  EXPECT_FALSE(exists_at(path_));
  EXPECT_EQ(cloud->requests(kPolicyPath).size(), 1u);
}

// A write refused during the transfer keeps libcurl's words and names the
// policy file, and leaves nothing behind.
TEST_F(PolicyCheck, WriteRefusedDuringTheTransferNamesTheFile) {
  // More than the C library buffers, past a file size limit: fwrite itself
  // meets the limit (EFBIG, with SIGXFSZ ignored).
  ASSERT_TRUE(cloud->add_rule(std::string(R"({"path": ")") + kPolicyPath + R"(", "fill": 1048576})"));
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit limited = saved;
  limited.rlim_cur = 65536;
  const auto saved_handler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  CheckRun r = run(pathvane_policy_check, kPolicySlot);
  EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
  std::signal(SIGXFSZ, saved_handler);
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(r.slot.outcome, 1u);
  EXPECT_EQ(r.slot.curl_code, CURLE_WRITE_ERROR);
  EXPECT_EQ(r.slot.http_status, 0);
  EXPECT_THAT(r.slot.curl_error, StartsWith("Can't write to " + path_ + ": Failure writing output to destination"));
  EXPECT_TRUE(std::filesystem::is_empty(dir_));
}

TEST_F(PolicyCheck, WithoutAFileNameStoresTestPolicyInTheWorkingDirectory) {
  settings_.policy_file_name[0] = '\0';
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(dir_);
  CheckRun r = run(pathvane_policy_check, kPolicySlot);
  std::filesystem::current_path(before);
  EXPECT_EQ(r.rc, 0) << r.errors;
  EXPECT_EQ(file_contents(dir_ + "/test-policy.xml"), std::optional<std::string>(kPolicyBody));
}

// The company URL as long as settings loading takes it (1023 characters) is
// fetched whole; one longer is not fetched at all.
TEST_F(PolicyCheck, CompanyUrlIsUsedWholeOrNotAtAll) {
  constexpr size_t kLongest = sizeof(settings_.policy_company_url) - 1;
  const std::string base = cloud->http_url("/policy/company/");
  const std::string longest = base + std::string(kLongest - base.size(), 'c');
  const std::string too_long = longest + "c";
  struct Case {
    std::string name;
    std::function<CheckRun()> fetch;
    int rc;
    std::string target;  // empty: nothing may be requested
  } cases[] = {
      {"1023 characters through the check",
       [&] {
         set_text(settings_.policy_company_url, longest);
         return run(pathvane_policy_check, kPolicySlot);
       },
       0, longest.substr(cloud->http_url("").size()) + "-1073741831"},
      {"field without its NUL",
       [&] {
         std::memset(settings_.policy_company_url, 'c', sizeof(settings_.policy_company_url));
         return run(pathvane_policy_check, kPolicySlot);
       },
       1, ""},
      {"1024 characters to the cloud client",
       [&] {
         zel_transfer_status status{};
         const proxy_info direct{PATHVANE_NO_PROXY, nullptr, 0, 0, nullptr, nullptr};
         CheckRun r;
         ::testing::internal::CaptureStderr();
         r.rc = zel_velta_fetch_policy(too_long.c_str(), 7, path_.c_str(), kUserAgent, &direct, 0, nullptr, &status);
         r.errors = ::testing::internal::GetCapturedStderr();
         r.slot.outcome = 1;
         std::memcpy(r.slot.curl_error, status.error_text, sizeof(r.slot.curl_error));
         return r;
       },
       ZEL_ERR_INVALID_ARG, ""},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(cloud->reset());
    std::filesystem::remove(path_);
    CheckRun r = c.fetch();
    EXPECT_EQ(r.rc, c.rc) << c.name << ": " << r.errors;
    auto seen = cloud->requests();
    if (c.target.empty()) {
      EXPECT_EQ(r.slot.outcome, 1u) << c.name;
      EXPECT_EQ(r.slot.curl_code, 0) << c.name;
      EXPECT_EQ(r.slot.http_status, 0) << c.name;
      EXPECT_STREQ(r.slot.curl_error, "Policy URL longer than 1023 characters") << c.name;
      EXPECT_EQ(r.errors, "[error] zel_velta_fetch_policy: policy URL longer than 1023 characters\n") << c.name;
      EXPECT_TRUE(seen.empty()) << c.name;
      EXPECT_FALSE(exists_at(path_)) << c.name;
    } else {
      EXPECT_EQ(r.slot.http_status, 200) << c.name;
      ASSERT_EQ(seen.size(), 1u) << c.name;
      EXPECT_EQ(seen[0].target, c.target) << c.name;
      EXPECT_THAT(file_contents(path_).value_or(""), HasSubstr("serial=\"1073741831\"")) << c.name;
    }
  }
}

TEST_F(PolicyCheck, TransferVerdicts) {
  char unresolvable_proxy[] = "pathvane-proxy.invalid";
  struct Case {
    std::string name;
    std::string url;
    bool trust_ca;
    int outcome;
    int curl_code;
    char* proxy_host = nullptr;  // an HTTP proxy on port 3128
  } cases[] = {
      {"nothing listening", refused_url("/policy/company/x"), false, 8, CURLE_COULDNT_CONNECT},
      {"https, CA untrusted", cloud->https_url("/policy/company/x"), false, 11, CURLE_PEER_FAILED_VERIFICATION},
      {"https, CA trusted", cloud->https_url("/policy/company/x"), true, 0, CURLE_OK},
      {"unresolvable host", "http://pathvane-cloud.invalid/policy/company/x", false, 7, CURLE_COULDNT_RESOLVE_HOST},
      {"unresolvable proxy", cloud->http_url("/policy/company/x"), false, 7, CURLE_COULDNT_RESOLVE_PROXY,
       unresolvable_proxy},
      // TLS spoken to the plain HTTP port: the handshake fails.
      {"https to the http port", "https://127.0.0.1:" + std::to_string(cloud->http_port()) + "/policy/company/x", true,
       1, CURLE_SSL_CONNECT_ERROR},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(cloud->reset());
    set_text(settings_.policy_company_url, c.url);
    settings_.proxy = c.proxy_host ? proxy_info{CURLPROXY_HTTP, c.proxy_host, 3128, 0, nullptr, nullptr}
                                   : proxy_info{PATHVANE_NO_PROXY, nullptr, 0, 0, nullptr, nullptr};
    distrust_cloud_ca();
    if (c.trust_ca) trust_cloud_ca();
    CheckRun r = run(pathvane_policy_check, kPolicySlot);
    EXPECT_EQ(r.rc, c.outcome) << c.name << ": " << r.errors;
    EXPECT_EQ(r.slot.outcome, static_cast<uint32_t>(c.outcome)) << c.name;
    EXPECT_EQ(r.slot.curl_code, c.curl_code) << c.name;
    auto seen = cloud->requests(kPolicyPath);
    if (c.outcome == 0) {
      EXPECT_EQ(file_contents(path_), std::optional<std::string>(kPolicyBody)) << c.name;
      ASSERT_EQ(seen.size(), 1u) << c.name;
      EXPECT_EQ(seen[0].scheme, "https") << c.name;
    } else {
      EXPECT_EQ(r.slot.http_status, 0) << c.name;
      EXPECT_STRNE(r.slot.curl_error, "") << c.name;
      EXPECT_FALSE(exists_at(path_)) << c.name;
      EXPECT_TRUE(seen.empty()) << c.name;
    }
  }
}

// ---------------------------------------------------------------------------
// Updater seed (slot 10)

class UpdaterCheck : public CloudCheckTest {};

TEST_F(UpdaterCheck, VerdictFollowsStatusAndSeedSize) {
  const std::string kEmpty = "updater seed is empty (HTTP 200)";
  const std::string kOversized = "updater seed is larger than 8192 bytes (HTTP 200)";
  struct Case {
    std::string query;
    int outcome;
    int http_status;         // in the slot
    std::string curl_error;  // in the slot
  } cases[] = {
      {"", 0, 200, ""},
      {"?_fill=8192", 0, 200, ""},
      {"?_fill=8193", 1, 200, kOversized},
      {"?_fill=0", 1, 200, kEmpty},
      {"?_fill=67108864", 1, 200, kOversized},
      {"?_status=304", 1, 304, ""},
      {"?_status=404", 9, 404, ""},
      {"?_status=503", 12, 503, ""},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(cloud->reset());
    set_text(settings_.updater_url, cloud->http_url("/updater/seed" + c.query));
    CheckRun r = run(pathvane_updater_host_check, kUpdaterSlot);
    EXPECT_EQ(r.rc, c.outcome) << c.query;
    EXPECT_EQ(r.slot.outcome, static_cast<uint32_t>(c.outcome)) << c.query;
    EXPECT_EQ(r.slot.curl_code, 0) << c.query;
    EXPECT_EQ(r.slot.http_status, c.http_status) << c.query;
    EXPECT_EQ(std::string(r.slot.curl_error), c.curl_error) << c.query;
    auto seen = cloud->requests("/updater/seed");
    ASSERT_EQ(seen.size(), 1u) << c.query;
    EXPECT_EQ(seen[0].method, "GET");
    EXPECT_EQ(seen[0].headers["user-agent"], kUserAgent);
  }
}

// Over https the seed follows the trusted CA and the two verification
// switches as every cloud request does: the chain switch lets an untrusted
// certificate through, the host-name switch alone does not.
TEST_F(UpdaterCheck, SeedOverHttpsFollowsTrustAndVerificationSwitches) {
  struct Case {
    bool trust;
    uint32_t ssl_flags;
    int outcome;
  } cases[] = {
      {true, 0, 0}, {false, 0, 11}, {false, 1, 11}, {false, 2, 0}, {false, 3, 0},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(cloud->reset());
    set_text(settings_.updater_url, cloud->https_url("/updater/seed"));
    distrust_cloud_ca();
    if (c.trust) trust_cloud_ca();
    settings_.velta.ssl_flags = c.ssl_flags;
    CheckRun r = run(pathvane_updater_host_check, kUpdaterSlot);
    const bool fetched = c.outcome == 0;
    const std::string label = "trusted " + std::to_string(c.trust) + ", ssl_flags " + std::to_string(c.ssl_flags);
    EXPECT_EQ(r.rc, c.outcome) << label << ": " << r.errors;
    EXPECT_EQ(r.slot.curl_code, fetched ? 0 : 60) << label;
    EXPECT_EQ(r.slot.http_status, fetched ? 200 : 0) << label;
    EXPECT_EQ(cloud->requests("/updater/seed").size(), fetched ? 1u : 0u) << label;
  }
}

TEST_F(UpdaterCheck, WithoutAnAddressNothingRuns) {
  CheckRun r = run(pathvane_updater_host_check, kUpdaterSlot);
  EXPECT_EQ(r.rc, 6);
  EXPECT_EQ(r.slot.outcome, 6u);
  EXPECT_TRUE(cloud->requests().empty());
}

// A transfer that never got an answer is recorded as every other check
// records it: libcurl's code and text, and the outcome they map to.
TEST_F(UpdaterCheck, FailedSeedTransferRecordsCodeAndText) {
  const int refused_port = testsupport::free_loopback_port();
  struct Case {
    std::string name;
    std::string url;
    int curl_code;
    int outcome;
    std::string text_part;  // of the slot's error text
  } cases[] = {
      {"refused", "http://127.0.0.1:" + std::to_string(refused_port) + "/updater/seed", 7, 8,
       "port " + std::to_string(refused_port)},
      {"unresolvable", "http://pathvane-updater.invalid/updater/seed", 6, 7, "pathvane-updater.invalid"},
  };
  for (const auto& c : cases) {
    set_text(settings_.updater_url, c.url);
    CheckRun r = run(pathvane_updater_host_check, kUpdaterSlot);
    EXPECT_EQ(r.rc, c.outcome) << c.name;
    EXPECT_EQ(r.slot.outcome, static_cast<uint32_t>(c.outcome)) << c.name;
    EXPECT_EQ(r.slot.curl_code, c.curl_code) << c.name;
    EXPECT_EQ(r.slot.http_status, 0) << c.name;
    EXPECT_THAT(std::string(r.slot.curl_error), HasSubstr(c.text_part)) << c.name;
    EXPECT_THAT(r.errors, HasSubstr("get_updater_seed(): seed download failed for URL '" + c.url + "': ")) << c.name;
  }
}

// The seed shares the health check's transfer handle, which still points at
// slot 0's error text from the health request.
TEST_F(UpdaterCheck, SeedTransferLeavesTheHealthErrorAlone) {
  struct Case {
    std::string name;
    bool refused;  // the seed's port has nothing listening either
    int outcome;
  } cases[] = {
      {"seed refused", true, 8},
      {"seed fetched", false, 0},
  };
  for (const auto& c : cases) {
    const int health_port = testsupport::free_loopback_port();
    int seed_port = health_port;
    while (c.refused && seed_port == health_port) seed_port = testsupport::free_loopback_port();
    set_text(settings_.health_url, "http://127.0.0.1:" + std::to_string(health_port) + "/health");
    set_text(settings_.updater_url, c.refused ? "http://127.0.0.1:" + std::to_string(seed_port) + "/updater/seed"
                                              : cloud->http_url("/updater/seed"));
    ASSERT_TRUE(open_handle("install-token")) << c.name;

    CheckRun health = run_check(handle_, pathvane_health_check, 0);
    ASSERT_EQ(health.rc, 8) << c.name;
    ASSERT_THAT(std::string(health.slot.curl_error), HasSubstr("port " + std::to_string(health_port))) << c.name;

    CheckRun seed = run_check(handle_, pathvane_updater_host_check, kUpdaterSlot);
    EXPECT_EQ(seed.rc, c.outcome) << c.name << ": " << seed.errors;
    const check_result& after = handle_->results[0];
    EXPECT_STREQ(after.curl_error, health.slot.curl_error) << c.name;
    EXPECT_EQ(after.outcome, health.slot.outcome) << c.name;
    EXPECT_EQ(after.curl_code, health.slot.curl_code) << c.name;
  }
}

// ---------------------------------------------------------------------------
// A proxy in the environment is never taken when none is configured.

class EnvironmentProxy : public CloudCheckTest {
 protected:
  static constexpr const char* kProxyVariables[] = {"http_proxy",  "HTTP_PROXY", "https_proxy",
                                                    "HTTPS_PROXY", "all_proxy",  "ALL_PROXY"};
  // Cleared for the test, so that they cannot be what sends the requests direct.
  static constexpr const char* kBypassVariables[] = {"no_proxy", "NO_PROXY"};

  void SetUp() override {
    CloudCheckTest::SetUp();
    if (HasFatalFailure()) return;
    // Nothing listens there: a request sent through it fails to connect.
    std::string closed = "http://127.0.0.1:" + std::to_string(testsupport::free_loopback_port());
    for (const char* name : kProxyVariables) {
      save(name);
      setenv(name, closed.c_str(), 1);
    }
    for (const char* name : kBypassVariables) {
      save(name);
      unsetenv(name);
    }
  }
  void TearDown() override {
    for (const auto& [name, value] : saved_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
    CloudCheckTest::TearDown();
  }

 private:
  void save(const char* name) {
    const char* value = std::getenv(name);
    saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
  }

  std::map<std::string, std::optional<std::string>> saved_;
};

TEST_F(EnvironmentProxy, EveryCloudCheckGoesDirect) {
  struct Case {
    std::string name;
    int (*check)(pathvane_handle*);
    int slot;
    std::string path;  // where the cloud must see the request
    bool https;
  } cases[] = {
      {"registration", pathvane_velta_management_check, kRegistrationSlot, "/agent/v1/register", false},
      {"registration over https", pathvane_velta_management_check, kRegistrationSlot, "/agent/v1/register", true},
      {"policy", pathvane_policy_check, kPolicySlot, kPolicyPath, false},
      {"policy over https", pathvane_policy_check, kPolicySlot, kPolicyPath, true},
      {"updater", pathvane_updater_host_check, kUpdaterSlot, "/updater/seed", false},
      {"updater over https", pathvane_updater_host_check, kUpdaterSlot, "/updater/seed", true},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(cloud->reset());
    auto url = [&c](const std::string& path) { return c.https ? cloud->https_url(path) : cloud->http_url(path); };
    set_text(settings_.velta.mgmt_url, url("/agent/v1"));
    settings_.policy_serial = 7;
    set_text(settings_.policy_company_url, url("/policy/company/x"));
    set_text(settings_.policy_file_name, dir_ + "/policy.xml");
    set_text(settings_.updater_url, url("/updater/seed"));
    if (c.https) trust_cloud_ca();

    CheckRun r = run(c.check, c.slot);
    EXPECT_EQ(r.rc, 0) << c.name << ": " << r.errors;
    EXPECT_EQ(r.slot.outcome, 0u) << c.name;
    EXPECT_EQ(r.slot.curl_code, 0) << c.name;
    auto seen = cloud->requests(c.path);
    ASSERT_EQ(seen.size(), 1u) << c.name;
    EXPECT_EQ(seen[0].peer_addr, "127.0.0.1") << c.name;
    EXPECT_EQ(seen[0].headers.count("via"), 0u) << c.name;
  }
}

}  // namespace
