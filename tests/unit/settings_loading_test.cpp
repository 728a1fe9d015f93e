// Settings loading run in a child process over a real agent directory, so
// that the configuration singleton starts afresh with each configuration.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <openssl/x509.h>
#include <string>
#include <vector>

#include "tests/support/agent_dir.h"
#include "tests/support/process.h"
#include "tests/support/test_certs.h"
#include "tool/default_urls.h"
#include "tool/pathvane_wrapper.h"

namespace {

using nlohmann::json;
using testsupport::AgentDir;

class SettingsLoading : public ::testing::Test {
 protected:
  json base_config() const {
    return json{
        {"version", "1.2.3"},
        {"config/agent/uuid", "6f1c2b1e-8d1b-4b7e-9a55-0c8e3f6a9d21"},
        {"config/agent/affiliate/uuid", "11111111-2222-4333-8444-555555555555"},
        {"config/velta/business/uuid", "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee"},
        {"config/agent/urlscanner/urlreputationserver", "https://reputation.test.invalid/check"},
        {"config/agent/directory/base", dir_.path()},
        {"config/velta/install/token", "token"},
        {"config/agent/submission/retro/upload_server", "retro.test.invalid"},
        {"config/agent/submission/http_upload_server", "submit.test.invalid"},
        {"config/agent/submission/protocol", "https"},
        {"config/agent/submission/http_max_size", 4096},
        {"config/agent/crashdump/url", "https://dumps.test.invalid/upload"},
        {"config/updater/server", "updates.test.invalid"},
        {"config/updater/path", "/seed/current"},
    };
  }

  // Loads the settings from config in a child and hands the handle to check.
  void load(const json& config, const std::function<void(const pathvane_handle&)>& check, uint32_t serial = 0,
            const std::string& cmdline = "pathvane") {
    dir_.write_config(config);
    testsupport::run_in_agent_dir(dir_, [&] {
      PathvaneWrapper wrapper;
      ASSERT_EQ(wrapper.Initialize(true, false, false, cmdline.c_str(), serial), 0);
      ASSERT_NE(wrapper.handle(), nullptr);
      check(*wrapper.handle());
      pathvane_free(&wrapper.handle());
    });
  }

  AgentDir dir_;
};

TEST_F(SettingsLoading, RecordFromAFullConfiguration) {
  load(base_config(), [&](const pathvane_handle& h) {
    const pathvane_settings& s = h.settings;
    EXPECT_STREQ(s.velta.agent_guid, "6f1c2b1e-8d1b-4b7e-9a55-0c8e3f6a9d21");
    EXPECT_STREQ(s.velta.affiliate_guid, "11111111-2222-4333-8444-555555555555");
    EXPECT_STREQ(s.velta.business_guid, "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee");
    EXPECT_STREQ(s.velta.user_agent, "Corvanta/1.2.3");
    EXPECT_STREQ(s.url_reputation_url, "https://reputation.test.invalid/check");
    EXPECT_STREQ(s.velta.mgmt_url, kDefaultManagementUrl);
    EXPECT_STREQ(s.event_url, kDefaultEventUrl);
    EXPECT_STREQ(s.health_url, kDefaultHealthUrl);
    EXPECT_STREQ(s.submit_protocol, "https");
    EXPECT_EQ(s.max_upload_size, 4096u);
    EXPECT_STREQ(s.crash_dump_url, "https://dumps.test.invalid/upload");
    EXPECT_STREQ(s.updater_url, "http://updates.test.invalid/seed/current");
    EXPECT_EQ(std::string(s.policy_file_name), dir_.path() + "/tmp/policy.xml");
    EXPECT_STREQ(h.token, "token");
    // No verification switches stored: neither host nor peer is verified.
    EXPECT_EQ(s.velta.ssl_flags, 3u);
    EXPECT_NE(s.velta.trust_callback, nullptr);
    EXPECT_EQ(s.proxy.proxy_type, 0xFFFFFFFFu);
  });
  struct stat st;
  ASSERT_EQ(stat((dir_.path() + "/tmp").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

struct Variant {
  const char* label;
  std::function<void(json&)> change;
  std::function<void(const pathvane_settings&)> check;
};

TEST_F(SettingsLoading, DefaultsAndStopRules) {
  const Variant variants[] = {
      {"localhost crash dump is off", [](json& c) { c["config/agent/crashdump/url"] = "localhost"; },
       [](const pathvane_settings& s) { EXPECT_STREQ(s.crash_dump_url, ""); }},
      {"only the exact word counts", [](json& c) { c["config/agent/crashdump/url"] = "LOCALHOST"; },
       [](const pathvane_settings& s) { EXPECT_STREQ(s.crash_dump_url, "LOCALHOST"); }},
      {"updater parts joined as they are", [](json& c) { c["config/updater/path"] = "seed"; },
       [](const pathvane_settings& s) { EXPECT_STREQ(s.updater_url, "http://updates.test.invalidseed"); }},
      {"empty updater server", [](json& c) { c["config/updater/server"] = ""; },
       [](const pathvane_settings& s) { EXPECT_STREQ(s.updater_url, ""); }},
      {"updater path missing", [](json& c) { c.erase("config/updater/path"); },
       [](const pathvane_settings& s) { EXPECT_STREQ(s.updater_url, ""); }},
      {"no retro server stops the submission reads",
       [](json& c) { c.erase("config/agent/submission/retro/upload_server"); },
       [](const pathvane_settings& s) {
         EXPECT_STREQ(s.submit_server, "");
         EXPECT_STREQ(s.submit_protocol, "");
         EXPECT_EQ(s.max_upload_size, 0u);
         EXPECT_STREQ(s.crash_dump_url, "");
       }},
      {"verify switches, any non-zero verifies",
       [](json& c) {
         c["config/conn/varnholtssl/verifyhost"] = 5;
         c["config/conn/varnholtssl/verifypeer"] = 0;
       },
       [](const pathvane_settings& s) { EXPECT_EQ(s.velta.ssl_flags, 2u); }},
      {"stored serial number", [](json& c) { c["config/velta/policy/serial_number"] = 41; },
       [](const pathvane_settings& s) { EXPECT_EQ(s.policy_serial, 41u); }},
      {"no base directory, no policy file", [](json& c) { c.erase("config/agent/directory/base"); },
       [](const pathvane_settings& s) { EXPECT_STREQ(s.policy_file_name, ""); }},
      {"configured endpoints",
       [](json& c) {
         c["config/velta/endpoint/mgmt"] = "http://mgmt.test.invalid/agent/v1/";
         c["config/proxy/testurl"] = std::string(1024, 'h');
       },
       [](const pathvane_settings& s) {
         EXPECT_STREQ(s.velta.mgmt_url, "http://mgmt.test.invalid/agent/v1/");
         // Too long for what is read: the default instead.
         EXPECT_STREQ(s.health_url, kDefaultHealthUrl);
       }},
  };
  for (const auto& v : variants) {
    SCOPED_TRACE(v.label);
    json config = base_config();
    v.change(config);
    load(config, [&](const pathvane_handle& h) { v.check(h.settings); });
  }
}

TEST_F(SettingsLoading, CommandLineSerialWinsOverTheStoredOne) {
  json config = base_config();
  config["config/velta/policy/serial_number"] = 41;
  load(config, [](const pathvane_handle& h) { EXPECT_EQ(h.settings.policy_serial, 20u); }, 20);
}

TEST_F(SettingsLoading, LongCommandLineIsCut) {
  std::string cmdline = "pathvane " + std::string(3000, 'x');
  load(
      base_config(),
      [&](const pathvane_handle& h) {
        EXPECT_EQ(std::strlen(h.settings.cmdline), 2047u);
        EXPECT_EQ(std::string(h.settings.cmdline), cmdline.substr(0, 2047));
      },
      0, cmdline);
}

TEST_F(SettingsLoading, ProxyStringsAreTheHandlesOwn) {
  json config = base_config();
  config["config/proxy/type"] = "socks5";
  config["config/proxy/server"] = "proxy.test.invalid";
  config["config/proxy/port"] = 1080;
  config["config/proxy/authtype"] = 1;
  config["config/proxy/username"] = "someone";
  dir_.write_config(config);
  testsupport::run_in_agent_dir(dir_, [&] {
    PathvaneWrapper wrapper;
    ASSERT_EQ(wrapper.Initialize(false, false, false, "pathvane", 0), 0);
    const proxy_info& p = wrapper.handle()->settings.proxy;
    EXPECT_EQ(p.proxy_type, 5u);
    EXPECT_STREQ(p.proxy_server, "proxy.test.invalid");
    EXPECT_EQ(p.proxy_port, 1080);
    EXPECT_STREQ(p.proxy_username, "someone");
    EXPECT_EQ(p.proxy_password, nullptr);
    pathvane_free(&wrapper.handle());
  });
}

// Makes uname fail in this process from now on, as the host identity's
// reader sees it on a system that refuses it.
void refuse_uname() {
  sock_filter program[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_uname, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog filter{static_cast<unsigned short>(std::size(program)), program};
  ASSERT_EQ(prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0), 0);
  ASSERT_EQ(prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter), 0);
}

// A handle that is still alive when the settings are loaded: the transfer
// library is then loaded already and pathvane_init refuses a second one.
pathvane_handle* earlier_handle = nullptr;

void keep_a_handle_alive() {
  pathvane_settings settings{};
  settings.proxy.proxy_type = PATHVANE_NO_PROXY;
  earlier_handle = pathvane_init(&settings, "", 0, 0, 0);
  ASSERT_NE(earlier_handle, nullptr);
}

struct MessageCase {
  const char* label;
  std::function<void(json&)> change;
  std::vector<std::string> errors;  // every error line, in order, without "[error] "
  HRESULT result = S_OK;            // a failure: the run stops there
  std::vector<std::string> report = {};
  void (*before)() = nullptr;  // in the child, before the settings are loaded
};

std::vector<std::string> error_lines(const std::string& err) {
  std::vector<std::string> errors;
  for (const auto& line : testsupport::split_lines(err)) {
    if (line.starts_with("[error] ")) errors.push_back(line.substr(8));
  }
  return errors;
}

// Each fault of the configuration alone, over one that draws no message at
// all: its exact error lines, and whether the run stops. (A token the store
// hands out always converts, so "Conversion of token to std::string failed"
// cannot be drawn from a configuration.)
TEST_F(SettingsLoading, EachFaultHasItsMessagesAndStopsOrGoesOn) {
  X509* ca = testsupport::make_ca_cert("Settings Test CA");
  const std::string ca_pem = testsupport::to_pem(ca);
  X509_free(ca);
  json complete = base_config();
  complete.update({
      {"config/velta/endpoint/mgmt", "http://mgmt.test.invalid/agent/v1/"},
      {"config/velta/endpoint/event", "https://events.test.invalid/event/"},
      {"config/proxy/testurl", "https://health.test.invalid/health"},
      {"config/velta/endpoint/policy/affiliate", "https://policy.test.invalid/a"},
      {"config/velta/endpoint/policy/company", "https://policy.test.invalid/c"},
      {"config/velta/endpoint/policy/policy", "https://policy.test.invalid/p"},
      {"config/velta/endpoint/policy/agent", "https://policy.test.invalid/g"},
      {"config/velta/policy/serial_number", 7},
      {"config/conn/varnholtssl/verifyhost", 1},
      {"config/conn/varnholtssl/verifypeer", 1},
      {"config/agent/cloud/trustedcerts/cert", json::array({ca_pem})},
      {"config/agent/cloud/est/cert", ca_pem},
  });
  auto without = [](const char* key) { return [key](json& c) { c.erase(key); }; };
  auto set = [](const char* key, json value) { return [key, value](json& c) { c[key] = value; }; };
  const std::string reputation = "config/agent/urlscanner/urlreputationserver";
  const MessageCase cases[] = {
      {"complete", [](json&) {}, {}},
      {"host identity unreadable", [](json&) {},
       {"failed to GetOsVersionInfo, aborting", "failed to get OS Info", "Failed to load OS info"}, ZEL_E_CONVERSION,
       {}, refuse_uname},
      {"no reputation server", without(reputation.c_str()),
       {"Failed to get config " + reputation + ".", "Failed to get " + reputation,
        "Failed to load url scanner reputation server"},
       ZEL_E_CONFIG_MISSING},
      {"reputation server too long", set(reputation.c_str(), std::string(1024, 'r')),
       {"Insufficient buffer size to hold config " + reputation, "Failed to get " + reputation,
        "Failed to load url scanner reputation server"},
       E_INSUFFICIENT_BUFFER},
      {"no affiliate GUID", without("config/agent/affiliate/uuid"),
       {"Failed to get affiliate guid for velta configuration.", "Failed to load guids"}, ZEL_E_CONFIG_MISSING},
      {"no business GUID", without("config/velta/business/uuid"),
       {"Failed to get business guid for velta configuration.", "Failed to load guids"}, ZEL_E_CONFIG_MISSING},
      {"no agent GUID", without("config/agent/uuid"),
       {"Failed to get agent guid for velta configuration.", "Failed to load guids"}, ZEL_E_CONFIG_MISSING},
      {"no agent version", without("version"),
       {"Failed to get agent version for velta configuration.", "Failed to load guids"}, ZEL_E_CONFIG_MISSING},
      {"GUID longer than 36", set("config/agent/uuid", std::string(37, 'a')), {"Failed to load guids"},
       E_INSUFFICIENT_BUFFER},
      {"transfer library held by another handle", [](json&) {},
       {"pathvane_init(): Application must exist, required library not found"}, E_HANDLE, {},
       keep_a_handle_alive},
      {"no installation token", without("config/velta/install/token"), {}, S_OK,
       {"Registration without an installation token will fail if it's the first registration, however, "
        "continuing the attempt."}},
      {"no management endpoint", without("config/velta/endpoint/mgmt"),
       {"Failed to get config config/velta/endpoint/mgmt.", "Failed to get management endpoint."}},
      {"no event endpoint", without("config/velta/endpoint/event"),
       {"Failed to get config config/velta/endpoint/event.", "Failed to get event endpoint."}},
      {"no test URL", without("config/proxy/testurl"),
       {"Failed to get config config/proxy/testurl.", "Failed to get proxy test URL"}},
      {"no retro server", without("config/agent/submission/retro/upload_server"),
       {"Failed to get config config/agent/submission/retro/upload_server.", "Failed to get retro submission server",
        "Failed to load retro submission server"}},
      {"no submission server", without("config/agent/submission/http_upload_server"),
       {"Failed to get config config/agent/submission/http_upload_server.", "Failed to get submit submission server",
        "Failed to load retro submission server"}},
      {"no submission protocol", without("config/agent/submission/protocol"),
       {"Failed to get config config/agent/submission/protocol.", "Failed to get submission protocol",
        "Failed to load retro submission server"}},
      {"no maximum size", without("config/agent/submission/http_max_size"), {"Failed to get max file size"}},
      {"no crash-dump URL", without("config/agent/crashdump/url"),
       {"Failed to get config config/agent/crashdump/url.", "Failed to get crash dump URL"}},
      {"no updater path", without("config/updater/path"),
       {"Failed to get config config/updater/path.", "no update path present", "Failed to load updater URL"}},
      {"no policy template", without("config/velta/endpoint/policy/affiliate"),
       {"Failed to find/create the policy fetch path (config/velta/endpoint/policy/affiliate), template path () "
        "from config. Bailing.",
        "Failed to get policy URLs"}},
      {"no serial number", without("config/velta/policy/serial_number"),
       {"PathvaneWrapper::Initialize Failed to retrieve policy serial number"}},
      {"no base directory", without("config/agent/directory/base"),
       {"PathvaneWrapper::LoadPolicyFileName failed to get base folder."}},
      {"tmp not creatable", set("config/agent/directory/base", dir_.file("agent-config.json")),
       {"PathvaneWrapper::LoadPolicyFileName failed to create tmp directory"}},
      {"no host verification", without("config/conn/varnholtssl/verifyhost"),
       {"Default is to not verify host, config value not found"}},
      {"no peer verification", without("config/conn/varnholtssl/verifypeer"),
       {"Default is to not verify peer, config value not found"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    json config = complete;
    c.change(config);
    dir_.write_config(config);
    testsupport::run_in_agent_dir(dir_, [&] {
      if (c.before) c.before();
      PathvaneWrapper wrapper;
      ::testing::internal::CaptureStdout();
      ::testing::internal::CaptureStderr();
      const HRESULT hr = wrapper.Initialize(true, false, false, "pathvane", 0);
      const std::string out = ::testing::internal::GetCapturedStdout();
      const std::string err = ::testing::internal::GetCapturedStderr();
      EXPECT_EQ(error_lines(err), c.errors) << err;
      EXPECT_EQ(testsupport::split_lines(out), c.report);
      EXPECT_EQ(hr, c.result);
      EXPECT_EQ(wrapper.handle() != nullptr, SUCCEEDED(c.result));
      pathvane_free(&wrapper.handle());
      pathvane_free(&earlier_handle);
    });
  }
}

}  // namespace
