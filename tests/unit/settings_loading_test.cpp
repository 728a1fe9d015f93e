// Settings loading run in a child process over a real agent directory, so
// that the configuration singleton starts afresh with each configuration.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "tests/support/agent_dir.h"
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

}  // namespace
