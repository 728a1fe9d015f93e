// The test handle: what pathvane_init copies, refuses and prepares, and
// what pathvane_free releases.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "agent/kit/kit.h"
#include "pathvane/handle_internal.h"
#include "pathvane/xfer_table.h"
#include "platform/loader.h"
#include "tests/support/process.h"
#include "tests/support/test_certs.h"
#include "velta_client/src/common/zel_log.h"

namespace {

using ::testing::HasSubstr;

class PathvaneInitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::set_library_directory(testsupport::bin_dir(), true);
    std::memset(&settings_, 0, sizeof(settings_));
    settings_.proxy.proxy_type = PATHVANE_NO_PROXY;
    std::snprintf(settings_.health_url, sizeof(settings_.health_url), "http://127.0.0.1:1/health");
  }
  void TearDown() override {
    pathvane_free(&handle_);
    platform::set_library_directory("");
  }

  // pathvane_init with the test's settings; the errors it wrote go to errors_.
  pathvane_handle* init(const char* token = nullptr, int verify_host = 1, int verify_peer = 1, int debug = 0) {
    ::testing::internal::CaptureStderr();
    pathvane_handle* h = pathvane_init(&settings_, token, verify_host, verify_peer, debug);
    errors_ = ::testing::internal::GetCapturedStderr();
    return h;
  }

  pathvane_settings settings_{};
  pathvane_handle* handle_ = nullptr;
  std::string errors_;
};

TEST_F(PathvaneInitTest, AbsentSettingsGiveNoHandle) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(pathvane_init(nullptr, "t", 1, 1, 0), nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(pathvane_curl_module, nullptr);
}

TEST_F(PathvaneInitTest, DirectSettingsLeaveNoProxyStrings) {
  char server[] = "proxy.invalid", user[] = "alice", password[] = "pw";
  settings_.proxy = proxy_info{PATHVANE_NO_PROXY, server, 3128, 9, user, password};
  handle_ = init("token-123");
  ASSERT_NE(handle_, nullptr);
  EXPECT_EQ(errors_, "");
  EXPECT_NE(handle_->curl, nullptr);
  EXPECT_NE(pathvane_curl_module, nullptr);
  const proxy_info& p = handle_->settings.proxy;
  EXPECT_EQ(p.proxy_type, PATHVANE_NO_PROXY);
  EXPECT_EQ(p.proxy_server, nullptr);
  EXPECT_EQ(p.proxy_username, nullptr);
  EXPECT_EQ(p.proxy_password, nullptr);
  EXPECT_EQ(p.proxy_port, 3128);
  EXPECT_EQ(p.proxy_auth, 9u);
  EXPECT_STREQ(handle_->settings.health_url, "http://127.0.0.1:1/health");
  ASSERT_NE(handle_->token, nullptr);
  EXPECT_STREQ(handle_->token, "token-123");
  for (int slot = 0; slot < PATHVANE_SLOT_COUNT; ++slot) EXPECT_EQ(handle_->results[slot].outcome, 16u) << slot;

  pathvane_free(&handle_);
  EXPECT_EQ(handle_, nullptr);
  EXPECT_EQ(pathvane_curl_module, nullptr) << "freeing the handle unloads the library";
}

TEST_F(PathvaneInitTest, ProxyStringsAreTheHandlesOwnCopies) {
  char server[] = "proxy.invalid", user[] = "alice", password[] = "pw";
  struct Case {
    uint32_t type;
    char* user;
    char* password;
  } cases[] = {{CURLPROXY_HTTP, user, password}, {CURLPROXY_SOCKS5, nullptr, nullptr}};
  for (const auto& c : cases) {
    settings_.proxy = proxy_info{c.type, server, 1080, 1, c.user, c.password};
    handle_ = init();
    ASSERT_NE(handle_, nullptr);
    const proxy_info& p = handle_->settings.proxy;
    EXPECT_EQ(p.proxy_type, c.type);
    ASSERT_NE(p.proxy_server, nullptr);
    EXPECT_NE(p.proxy_server, server);
    EXPECT_STREQ(p.proxy_server, "proxy.invalid");
    if (c.user) {
      ASSERT_NE(p.proxy_username, nullptr);
      EXPECT_NE(p.proxy_username, user);
      EXPECT_STREQ(p.proxy_username, "alice");
      ASSERT_NE(p.proxy_password, nullptr);
      EXPECT_NE(p.proxy_password, password);
      EXPECT_STREQ(p.proxy_password, "pw");
    } else {
      EXPECT_EQ(p.proxy_username, nullptr);
      EXPECT_EQ(p.proxy_password, nullptr);
    }
    pathvane_free(&handle_);
  }
  // The caller's strings are untouched.
  EXPECT_STREQ(server, "proxy.invalid");
  EXPECT_STREQ(password, "pw");
}

TEST_F(PathvaneInitTest, ProxyTypeWithoutServerIsRefused) {
  settings_.proxy = proxy_info{CURLPROXY_SOCKS4, nullptr, 1080, 0, nullptr, nullptr};
  EXPECT_EQ(init(), nullptr);
  EXPECT_EQ(errors_, "[error] pathvane_init: proxy defined (4) but proxy server is empty\n");
  EXPECT_EQ(pathvane_curl_module, nullptr);
}

int ca_frees = 0;
void count_ca_free(void*, void*, CRYPTO_EX_DATA*, int, long, void*) { ++ca_frees; }

// The handle owns the CA reference it copied only once it is returned: a
// failed init leaves the caller's reference to the caller.
TEST_F(PathvaneInitTest, CaReferenceIsReleasedExactlyOnce) {
  static const int index = X509_get_ex_new_index(0, nullptr, nullptr, nullptr, count_ca_free);
  for (bool fails : {true, false}) {
    SCOPED_TRACE(fails ? "failed init" : "handle made");
    X509* ca = testsupport::make_ca_cert("Init CA");
    X509_set_ex_data(ca, index, ca);
    ca_frees = 0;
    settings_.velta.trust_cert = ca;
    settings_.proxy = fails ? proxy_info{CURLPROXY_SOCKS4, nullptr, 1080, 0, nullptr, nullptr}
                            : proxy_info{PATHVANE_NO_PROXY, nullptr, 0, 0, nullptr, nullptr};
    if (!fails) X509_up_ref(ca);  // the reference the handle will own
    ::testing::internal::CaptureStderr();
    pathvane_handle* h = pathvane_init(&settings_, nullptr, 1, 1, 0);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(h == nullptr, fails);
    pathvane_free(&h);
    EXPECT_EQ(ca_frees, 0);
    X509_free(ca);
    EXPECT_EQ(ca_frees, 1);
  }
}

TEST_F(PathvaneInitTest, VerificationSwitchesAddToTheCopiedFlags) {
  struct Case {
    uint32_t copied;
    int verify_host;
    int verify_peer;
    uint32_t flags;
  } cases[] = {{0, 1, 1, 0}, {0, 0, 0, 3}, {0, 0, 1, 1}, {0, 1, 0, 2}, {1, 1, 0, 3}, {2, 1, 1, 2}, {0, 7, -1, 0}};
  for (const auto& c : cases) {
    settings_.velta.ssl_flags = c.copied;
    handle_ = init(nullptr, c.verify_host, c.verify_peer);
    ASSERT_NE(handle_, nullptr);
    EXPECT_EQ(handle_->settings.velta.ssl_flags, c.flags)
        << "copied " << c.copied << ", verify_host " << c.verify_host << ", verify_peer " << c.verify_peer;
    EXPECT_EQ(handle_->token, nullptr);
    pathvane_free(&handle_);
  }
}

TEST_F(PathvaneInitTest, SecondHandleIsRefusedWhileTheFirstLives) {
  handle_ = init();
  ASSERT_NE(handle_, nullptr);
  void* module = pathvane_curl_module;
  EXPECT_EQ(init(), nullptr);
  EXPECT_EQ(errors_, "[error] pathvane_init(): Application must exist, required library not found\n");
  // The first handle and the library are untouched.
  EXPECT_EQ(pathvane_curl_module, module);
  EXPECT_EQ(pathvane_curl.curl_easy_setopt(handle_->curl, CURLOPT_URL, "http://127.0.0.1:1/"), CURLE_OK);

  pathvane_free(&handle_);
  handle_ = init();
  EXPECT_NE(handle_, nullptr) << "a new handle once the first is gone";
}

TEST_F(PathvaneInitTest, SecondFreeOfTheSameReferenceDoesNothing) {
  pathvane_handle* first = init();
  ASSERT_NE(first, nullptr);
  pathvane_free(&first);
  EXPECT_EQ(first, nullptr);
  handle_ = init();
  ASSERT_NE(handle_, nullptr);
  // Neither the stale reference nor an absent one touches the live handle's library.
  pathvane_free(&first);
  pathvane_free(nullptr);
  EXPECT_NE(pathvane_curl_module, nullptr);
  EXPECT_EQ(pathvane_curl.curl_easy_setopt(handle_->curl, CURLOPT_URL, "http://127.0.0.1:1/"), CURLE_OK);
}

TEST_F(PathvaneInitTest, LoopbackPatternAsSent) {
  handle_ = init();
  ASSERT_NE(handle_, nullptr);
  const auto* bytes = reinterpret_cast<const unsigned char*>(loopback_pattern);
  EXPECT_EQ(PATHVANE_LOOPBACK_SENT_BYTES, 131070u);
  EXPECT_EQ(std::vector<int>(bytes, bytes + 4), (std::vector<int>{0x00, 0x00, 0x01, 0x00}));
  EXPECT_EQ(bytes[131068], 0xFE);
  EXPECT_EQ(bytes[131069], 0xFF);
  EXPECT_EQ(bytes[2 * 0x1234], 0x34);
  EXPECT_EQ(bytes[2 * 0x1234 + 1], 0x12);
  EXPECT_EQ(loopback_pattern[PATHVANE_LOOPBACK_WORDS - 1], 0) << "the word past the sent bytes";
}

TEST_F(PathvaneInitTest, DebugRegistersTheCallback) {
  handle_ = init(nullptr, 1, 1, 1);
  ASSERT_NE(handle_, nullptr);
  EXPECT_EQ(curl_debug_function, &_curl_debug);
  EXPECT_EQ(errors_, "");
  pathvane_free(&handle_);
  EXPECT_EQ(curl_debug_function, &_curl_debug) << "stays registered for the process";
}

class CurlDebugTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_level_ = getDebugLevel();
    saved_mask_ = zel_trace_mask;
    setDebugLevel(0x7FFFFFF000LL);
    zel_trace_mask = 0x7FFFFFF000LL;
  }
  void TearDown() override {
    setDebugLevel(saved_level_);
    zel_trace_mask = saved_mask_;
  }
  int64_t saved_level_ = 0;
  int64_t saved_mask_ = -1;
};

TEST_F(CurlDebugTest, TracesOnlyLibcurlsOwnText) {
  struct Case {
    curl_infotype type;
    const char* data;
    const char* traced;
  } cases[] = {
      {CURLINFO_TEXT, "Connected to 127.0.0.1 port 80\n", "[trace] _curl_debug: Connected to 127.0.0.1 port 80\n"},
      {CURLINFO_HEADER_OUT, "Proxy-Authorization: Basic c2VjcmV0\r\n", ""},
      {CURLINFO_HEADER_IN, "HTTP/1.1 200 OK\r\n", ""},
      {CURLINFO_DATA_IN, "body", ""},
      {CURLINFO_DATA_OUT, "token=secret", ""},
      {CURLINFO_SSL_DATA_IN, "\x16\x03", ""},
  };
  for (const auto& c : cases) {
    std::string data = c.data;  // not NUL-terminated for libcurl: pass the size only
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(_curl_debug(nullptr, c.type, data.data(), data.size(), nullptr), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.traced) << "type " << c.type;
  }
}

TEST_F(CurlDebugTest, UsesOnlyTheGivenSize) {
  char data[] = "Trying 127.0.0.1:80...XXXX";
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(_curl_debug(nullptr, CURLINFO_TEXT, data, 22, nullptr), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[trace] _curl_debug: Trying 127.0.0.1:80...\n");
}

std::vector<std::string> released;
void record_release(void* block) {
  // The blocks of this test hold at most 16 bytes.
  released.emplace_back(static_cast<const char*>(block), 16);
  std::free(block);
}

TEST(FreeProxyInfo, CredentialsAreWipedBeforeTheyAreFreed) {
  auto block = [](const char* text) {
    char* b = static_cast<char*>(std::calloc(16, 1));
    std::strcpy(b, text);
    return b;
  };
  proxy_info proxy{CURLPROXY_HTTP, block("proxy.invalid"), 3128, 1, block("alice"), block("pw")};
  released.clear();
  pathvane_release_text = record_release;
  _free_proxy_info(&proxy);
  pathvane_release_text = std::free;
  ASSERT_EQ(released.size(), 3u);
  EXPECT_EQ(released[0].substr(0, 13), "proxy.invalid");
  EXPECT_EQ(released[1], std::string(16, '\0'));
  EXPECT_EQ(released[2], std::string(16, '\0'));
}

TEST(FreeProxyInfo, ResetsTheRecordAndRefusesNull) {
  proxy_info proxy{CURLPROXY_HTTP, strdup("proxy.invalid"), 3128, 1, strdup("alice"), strdup("pw")};
  _free_proxy_info(&proxy);
  EXPECT_EQ(proxy.proxy_type, PATHVANE_NO_PROXY);
  EXPECT_EQ(proxy.proxy_server, nullptr);
  EXPECT_EQ(proxy.proxy_port, 0);
  EXPECT_EQ(proxy.proxy_auth, 0u);
  EXPECT_EQ(proxy.proxy_username, nullptr);
  EXPECT_EQ(proxy.proxy_password, nullptr);

  ::testing::internal::CaptureStderr();
  _free_proxy_info(nullptr);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[error] _free_proxy_info: proxy info cannot be null.\n");
}

}  // namespace
