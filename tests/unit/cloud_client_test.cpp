// The cloud client's transfers, recorded through the transfer function table:
// the common options, the registration form and exchange, the updater seed
// download and the response collectors.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>
#include <vector>

#include "platform/cert_system_store.h"
#include "tests/support/fake_curl.h"
#include "tests/support/freed_watch/freed_secret_watch.h"
#include "tests/support/test_certs.h"
#include "velta_client/src/cert_store.h"
#include "velta_client/src/common/zel_transfer.h"
#include "velta_client/src/post_form.h"
#include "velta_client/src/string_resp.h"
#include "velta_client/src/velta_client.h"

// The seed collector has no header of its own.
size_t _buf_realloc(char* bytes, size_t size, size_t nmemb, void* resp);

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::EndsWith;
using testsupport::freed_secret_watch;

using Call = testsupport::CurlCall;
using WriteFn = testsupport::CurlWriteFn;
testsupport::FakeCurl& fake = testsupport::fake_curl;
CURL* const kCurl = testsupport::kFakeCurl;

const char* fake_strerror(CURLcode code) {
  switch (code) {
    case CURLE_UNKNOWN_OPTION:
      return "An unknown option was passed in to libcurl";
    case CURLE_COULDNT_CONNECT:
      return "Couldn't connect to server";
    default:
      return "some libcurl error";
  }
}

int fake_debug(CURL*, curl_infotype, char*, size_t, void*) { return 0; }

proxy_info direct() { return proxy_info{ZEL_NO_PROXY, nullptr, 0, 0, nullptr, nullptr}; }

// Some text of n bytes that is not all one letter.
std::string text_of_size(size_t n) {
  std::string text(n, 'a');
  for (size_t i = 0; i < n; ++i) text[i] = static_cast<char>('a' + i % 26);
  return text;
}

class CloudClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_debug_ = curl_debug_function;
    curl_debug_function = nullptr;
    // Every collector of the client keeps a string_resp.
    fake.held = [](void* collector) { return static_cast<string_resp*>(collector)->len; };
  }
  void TearDown() override { curl_debug_function = saved_debug_; }

  // Runs f with standard error captured into errors_.
  template <typename F>
  auto captured(F&& f) {
    ::testing::internal::CaptureStderr();
    auto result = f();
    errors_ = ::testing::internal::GetCapturedStderr();
    return result;
  }

  int set_opts(const proxy_info& proxy, uint32_t ssl_flags = 0, const zel_trust_context* tls = nullptr) {
    return captured([&] { return zel_set_curl_opts(kCurl, "Corvanta/2.0", &proxy, ssl_flags, tls, "+velta-policy"); });
  }

  // The posted body is recorded as text.
  testsupport::FakeCurlTable table_{{CURLOPT_POSTFIELDS}, fake_strerror};
  curl_debug_callback saved_debug_ = nullptr;
  std::string errors_;
};

// ---------------------------------------------------------------------------
// Common options

TEST_F(CloudClientTest, SslFlagsChooseServerAndProxyVerification) {
  struct Case {
    uint32_t flags;
    const char* peer;
    const char* host;
  } cases[] = {{0, "1", "2"}, {1, "1", "0"}, {2, "0", "2"}, {3, "0", "0"}};
  for (const auto& c : cases) {
    fake.calls.clear();
    EXPECT_EQ(set_opts(direct(), c.flags), 0);
    EXPECT_EQ(fake.value_of(CURLOPT_SSL_VERIFYPEER), c.peer) << "ssl_flags " << c.flags;
    EXPECT_EQ(fake.value_of(CURLOPT_SSL_VERIFYHOST), c.host) << "ssl_flags " << c.flags;
    EXPECT_EQ(fake.value_of(CURLOPT_PROXY_SSL_VERIFYPEER), c.peer) << "ssl_flags " << c.flags;
    EXPECT_EQ(fake.value_of(CURLOPT_PROXY_SSL_VERIFYHOST), c.host) << "ssl_flags " << c.flags;
  }
}

TEST_F(CloudClientTest, DirectRequestWithTrustContextSetsEveryOptionInOrder) {
  const zel_trust_context tls{nullptr, nullptr};
  EXPECT_EQ(set_opts(direct(), 0, &tls), 0);
  EXPECT_THAT(fake.calls, ElementsAre(Call{CURLOPT_NOSIGNAL, "1"}, Call{CURLOPT_SSL_CTX_FUNCTION, "ptr"},
                                      Call{CURLOPT_SSL_CTX_DATA, "ptr"}, Call{CURLOPT_USE_SSL, "3"},
                                      Call{CURLOPT_SSL_VERIFYPEER, "1"}, Call{CURLOPT_SSL_VERIFYHOST, "2"},
                                      Call{CURLOPT_PROXY_SSL_VERIFYPEER, "1"}, Call{CURLOPT_PROXY_SSL_VERIFYHOST, "2"},
                                      Call{CURLOPT_USERAGENT, "Corvanta/2.0"},
                                      // No proxy of ours: none from the environment either.
                                      Call{CURLOPT_PROXY, ""}));
  EXPECT_EQ(fake.ssl_ctx_function, reinterpret_cast<void*>(&_zel_sslctx_func));
  EXPECT_EQ(fake.ssl_ctx_data, &tls);
  EXPECT_EQ(errors_, "");
}

TEST_F(CloudClientTest, WithoutTrustContextNoTlsHookAndNoUseSsl) {
  proxy_info proxy = direct();
  const int rc = captured([&] { return zel_set_curl_opts(kCurl, "Corvanta/2.0", &proxy, 0, nullptr, nullptr); });
  EXPECT_EQ(rc, 0);
  EXPECT_THAT(fake.calls, ElementsAre(Call{CURLOPT_NOSIGNAL, "1"}, Call{CURLOPT_SSL_VERIFYPEER, "1"},
                                      Call{CURLOPT_SSL_VERIFYHOST, "2"}, Call{CURLOPT_PROXY_SSL_VERIFYPEER, "1"},
                                      Call{CURLOPT_PROXY_SSL_VERIFYHOST, "2"}, Call{CURLOPT_USERAGENT, "Corvanta/2.0"},
                                      Call{CURLOPT_PROXY, ""}));
  EXPECT_EQ(errors_, "");
}

// Without a proxy the proxy fields are not looked at, however broken they are.
TEST_F(CloudClientTest, NoProxyIgnoresTheOtherProxyFields) {
  char user[] = "alice";
  proxy_info proxy{ZEL_NO_PROXY, nullptr, 0, 0xFF, user, nullptr};
  EXPECT_EQ(set_opts(proxy), 0);
  EXPECT_EQ(errors_, "");
  ASSERT_FALSE(fake.calls.empty());
  EXPECT_EQ(fake.calls.back(), (Call{CURLOPT_PROXY, ""}));
  for (CURLoption option :
       {CURLOPT_PROXYTYPE, CURLOPT_PROXYAUTH, CURLOPT_PROXYUSERNAME, CURLOPT_PROXYPORT, CURLOPT_NOPROXY}) {
    EXPECT_EQ(fake.value_of(option), "(unset)") << "option " << option;
  }
}

TEST_F(CloudClientTest, ProxiedRequestSetsEveryProxyOptionInOrder) {
  char server[] = "proxy.example.invalid", user[] = "alice", password[] = "s3cret";
  proxy_info proxy{CURLPROXY_HTTP, server, 3128, CURLAUTH_BASIC, user, password};
  EXPECT_EQ(set_opts(proxy), 0);
  EXPECT_THAT(fake.calls, ElementsAre(Call{CURLOPT_NOSIGNAL, "1"}, Call{CURLOPT_SSL_VERIFYPEER, "1"},
                                      Call{CURLOPT_SSL_VERIFYHOST, "2"}, Call{CURLOPT_PROXY_SSL_VERIFYPEER, "1"},
                                      Call{CURLOPT_PROXY_SSL_VERIFYHOST, "2"}, Call{CURLOPT_USERAGENT, "Corvanta/2.0"},
                                      Call{CURLOPT_PROXYTYPE, "0"}, Call{CURLOPT_PROXYAUTH, "1"},
                                      Call{CURLOPT_PROXYUSERNAME, "alice"}, Call{CURLOPT_PROXYPASSWORD, "s3cret"},
                                      Call{CURLOPT_PROXY, "proxy.example.invalid"}, Call{CURLOPT_PROXYPORT, "3128"},
                                      // Our proxy, whatever no_proxy in the environment says.
                                      Call{CURLOPT_NOPROXY, ""}));
  EXPECT_EQ(errors_, "");
}

TEST_F(CloudClientTest, OnlyKnownProxyTypesAreAccepted) {
  char server[] = "proxy.invalid";
  for (uint32_t type : {0u, 2u, 4u, 5u, 6u, 7u}) {
    fake.calls.clear();
    proxy_info proxy{type, server, 1080, 0, nullptr, nullptr};
    EXPECT_EQ(set_opts(proxy), 0) << "type " << type;
    EXPECT_EQ(fake.value_of(CURLOPT_PROXYTYPE), std::to_string(type));
    EXPECT_EQ(errors_, "");
  }
  for (uint32_t type : {1u, 3u, 8u, 0xFFFFFFFEu}) {
    fake.calls.clear();
    proxy_info proxy{type, server, 1080, 0, nullptr, nullptr};
    EXPECT_EQ(set_opts(proxy), -1) << "type " << type;
    EXPECT_EQ(errors_, "[error] zel_set_curl_opts: invalid proxy type\n");
    // Refused after the user agent, before any proxy option.
    EXPECT_EQ(fake.options().back(), CURLOPT_USERAGENT) << "type " << type;
  }
}

TEST_F(CloudClientTest, OnlyBasicAndNtlmReachProxyAuth) {
  struct Case {
    uint32_t auth;
    const char* passed;
  } cases[] = {{0xFF, "9"},          {CURLAUTH_DIGEST, "(unset)"}, {0, "(unset)"},
               {CURLAUTH_NTLM, "8"}, {CURLAUTH_BASIC, "1"},        {CURLAUTH_NTLM | CURLAUTH_DIGEST, "8"}};
  char server[] = "proxy.invalid";
  for (const auto& c : cases) {
    fake.calls.clear();
    proxy_info proxy{CURLPROXY_HTTP, server, 8080, c.auth, nullptr, nullptr};
    EXPECT_EQ(set_opts(proxy), 0);
    EXPECT_EQ(fake.value_of(CURLOPT_PROXYAUTH), c.passed) << "proxy_auth " << c.auth;
  }
}

TEST_F(CloudClientTest, ProxyPortMustBeAPort) {
  struct Case {
    int32_t port;
    int rc;
  } cases[] = {{0, -1}, {1, 0}, {65535, 0}, {65536, -1}, {-1, -1}};
  char server[] = "proxy.invalid";
  for (const auto& c : cases) {
    fake.calls.clear();
    proxy_info proxy{CURLPROXY_HTTP, server, c.port, 0, nullptr, nullptr};
    EXPECT_EQ(set_opts(proxy), c.rc) << "port " << c.port;
    if (c.rc == 0) {
      EXPECT_EQ(fake.value_of(CURLOPT_PROXYPORT), std::to_string(c.port));
      EXPECT_EQ(errors_, "");
    } else {
      EXPECT_EQ(errors_, "[error] zel_set_curl_opts: proxy_port " + std::to_string(c.port) + " is invalid\n");
      EXPECT_EQ(fake.value_of(CURLOPT_PROXYTYPE), "(unset)");
    }
  }
}

TEST_F(CloudClientTest, IncompleteProxyIsRefusedBeforeAnyProxyOption) {
  char server[] = "proxy.invalid", user[] = "alice", password[] = "pw";
  struct Case {
    char* server;
    char* user;
    char* password;
    const char* error;
  } cases[] = {
      {server, user, nullptr, "[error] zel_set_curl_opts: proxy_password is null\n"},
      {server, nullptr, password, "[error] zel_set_curl_opts: proxy_username is null\n"},
      {nullptr, nullptr, nullptr, "[error] zel_set_curl_opts: proxy_server is null\n"},
  };
  for (const auto& c : cases) {
    fake.calls.clear();
    proxy_info proxy{CURLPROXY_SOCKS5, c.server, 1080, CURLAUTH_BASIC, c.user, c.password};
    EXPECT_EQ(set_opts(proxy), -1) << c.error;
    EXPECT_EQ(errors_, c.error);
    EXPECT_EQ(fake.options().back(), CURLOPT_USERAGENT) << c.error;
  }
}

// A refused option stops the setup at once: it is the last one tried.
TEST_F(CloudClientTest, RefusedOptionStopsWithItsMessage) {
  char server[] = "proxy.invalid";
  const proxy_info proxied{CURLPROXY_HTTP, server, 3128, 0, nullptr, nullptr};
  const zel_trust_context tls{nullptr, nullptr};
  struct Case {
    CURLoption option;
    bool proxied;
    const char* error;
  } cases[] = {
      {CURLOPT_NOSIGNAL, false,
       "zel_set_curl_opts: curl_easy_setopt(CURLOPT_NOSIGNAL) failed: An unknown option was passed in to libcurl"},
      {CURLOPT_SSL_CTX_FUNCTION, false,
       "zel_set_curl_opts(): curl_easy_setopt(CURLOPT_SSL_CTX_FUNCTION) returned 48 "
       "(An unknown option was passed in to libcurl)"},
      {CURLOPT_PROXY_SSL_VERIFYHOST, false,
       "zel_set_curl_opts: curl_easy_setopt(PROXY_SSL_VERIFYHOST, 2) failed: An unknown option was passed in to "
       "libcurl"},
      {CURLOPT_PROXY, false,
       "zel_set_curl_opts: curl_easy_setopt(CURLOPT_PROXY) failed: An unknown option was passed in to libcurl"},
      {CURLOPT_PROXYPORT, true,
       "zel_set_curl_opts: curl_easy_setopt(CURLOPT_PROXYPORT) failed: An unknown option was passed in to libcurl"},
  };
  for (const auto& c : cases) {
    fake.calls.clear();
    fake.fail_option = c.option;
    EXPECT_EQ(set_opts(c.proxied ? proxied : direct(), 0, &tls), -1) << c.error;
    EXPECT_EQ(errors_, std::string("[error] ") + c.error + "\n");
    ASSERT_FALSE(fake.calls.empty());
    EXPECT_EQ(fake.calls.back().option, c.option) << c.error;
  }
}

TEST_F(CloudClientTest, AbsentCurlProxyOrUserAgentIsRefused) {
  proxy_info proxy = direct();
  struct Case {
    CURL* curl;
    const char* ua;
    const proxy_info* proxy;
    const char* error;
  } cases[] = {
      {nullptr, "ua", &proxy, "[error] zel_set_curl_opts: curl is null\n"},
      {kCurl, "ua", nullptr, "[error] zel_set_curl_opts: proxy is null\n"},
      {kCurl, nullptr, &proxy, "[error] zel_set_curl_opts: user_agent is null\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(captured([&] { return zel_set_curl_opts(c.curl, c.ua, c.proxy, 0, nullptr, "+velta-policy"); }), -1);
    EXPECT_EQ(errors_, c.error);
  }
  EXPECT_TRUE(fake.calls.empty());
}

// The ROOT set loaded from a one-certificate bundle while this lives.
class LoadedRootSet {
 public:
  LoadedRootSet() : dir_(std::filesystem::temp_directory_path() / ("cloud-client-root-" + std::to_string(getpid()))) {
    std::filesystem::create_directories(dir_);
    X509* ca = testsupport::make_ca_cert("Option Test Root");
    testsupport::write_pem_file((dir_ / "root.pem").string(), {ca});
    X509_free(ca);
    platform::set_root_store_file((dir_ / "root.pem").string());
    cert_store_init();
    loaded_ = cert_store_load(nullptr, 0) == 0;
  }
  ~LoadedRootSet() {
    cert_store_unload();
    platform::set_root_store_file("");
    std::filesystem::remove_all(dir_);
  }
  LoadedRootSet(const LoadedRootSet&) = delete;
  LoadedRootSet& operator=(const LoadedRootSet&) = delete;
  bool loaded() const { return loaded_ && cert_store_loaded(); }

 private:
  std::filesystem::path dir_;
  bool loaded_ = false;
};

// Only the keystore callback with a loaded set supplies every trusted
// certificate itself; then libcurl's CA file and path, the server's and the
// proxy's, are cleared right after USE_SSL. Otherwise they are not touched.
TEST_F(CloudClientTest, LoadedKeystoreClearsLibcurlsCaLocations) {
  const std::vector<Call> head = {{CURLOPT_NOSIGNAL, "1"},
                                  {CURLOPT_SSL_CTX_FUNCTION, "ptr"},
                                  {CURLOPT_SSL_CTX_DATA, "ptr"},
                                  {CURLOPT_USE_SSL, "3"}};
  const std::vector<Call> cleared = {{CURLOPT_CAINFO, "null"},
                                     {CURLOPT_CAPATH, "null"},
                                     {CURLOPT_PROXY_CAINFO, "null"},
                                     {CURLOPT_PROXY_CAPATH, "null"}};
  const std::vector<Call> tail = {{CURLOPT_SSL_VERIFYPEER, "1"},       {CURLOPT_SSL_VERIFYHOST, "2"},
                                  {CURLOPT_PROXY_SSL_VERIFYPEER, "1"}, {CURLOPT_PROXY_SSL_VERIFYHOST, "2"},
                                  {CURLOPT_USERAGENT, "Corvanta/2.0"}, {CURLOPT_PROXY, ""}};
  enum class Set { kNeverLoaded, kLoaded, kUnloaded };
  struct Case {
    const char* what;
    zel_trust_callback callback;
    Set set;
    bool clears;
  } cases[] = {
      {"keystore callback, set loaded", cert_add_from_keystore, Set::kLoaded, true},
      {"keystore callback, set never loaded", cert_add_from_keystore, Set::kNeverLoaded, false},
      {"keystore callback, set unloaded again", cert_add_from_keystore, Set::kUnloaded, false},
      {"another callback, set loaded", testsupport::add_to_store, Set::kLoaded, false},
      {"no callback, set loaded", nullptr, Set::kLoaded, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<LoadedRootSet> root;
    if (c.set != Set::kNeverLoaded) {
      root = std::make_unique<LoadedRootSet>();
      ASSERT_TRUE(root->loaded());
    }
    if (c.set == Set::kUnloaded) root.reset();
    fake.calls.clear();
    const zel_trust_context tls{nullptr, c.callback};
    EXPECT_EQ(set_opts(direct(), 0, &tls), 0);
    std::vector<Call> expected = head;
    if (c.clears) expected.insert(expected.end(), cleared.begin(), cleared.end());
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_THAT(fake.calls, ElementsAreArray(expected));
    EXPECT_EQ(errors_, "");
  }
  EXPECT_FALSE(cert_store_loaded());
}

TEST_F(CloudClientTest, RefusedCaLocationStopsWithItsMessage) {
  LoadedRootSet root;
  ASSERT_TRUE(root.loaded());
  const zel_trust_context tls{nullptr, cert_add_from_keystore};
  const std::pair<CURLoption, std::string> options[] = {{CURLOPT_CAINFO, "CURLOPT_CAINFO"},
                                                        {CURLOPT_CAPATH, "CURLOPT_CAPATH"},
                                                        {CURLOPT_PROXY_CAINFO, "CURLOPT_PROXY_CAINFO"},
                                                        {CURLOPT_PROXY_CAPATH, "CURLOPT_PROXY_CAPATH"}};
  for (const auto& [option, name] : options) {
    fake.calls.clear();
    fake.fail_option = option;
    EXPECT_EQ(set_opts(direct(), 0, &tls), -1) << name;
    EXPECT_EQ(errors_, "[error] zel_set_curl_opts(): curl_easy_setopt(" + name +
                           ") returned 48 (An unknown option was passed in to libcurl)\n");
    ASSERT_FALSE(fake.calls.empty());
    EXPECT_EQ(fake.calls.back().option, option) << name;
  }
}

// ---------------------------------------------------------------------------
// TLS context callback and debug callback

using testsupport::record_trust;
using testsupport::trust_calls;
using testsupport::trust_cert_seen;
using testsupport::trust_store_seen;

TEST(ZelSslCtxFunc, HandsTheContextStoreToTheTrustCallback) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  ASSERT_NE(ctx, nullptr);
  X509* cert = X509_new();
  zel_trust_context trust{cert, record_trust};
  trust_calls = 0;
  EXPECT_EQ(_zel_sslctx_func(nullptr, ctx, &trust), CURLE_OK);
  EXPECT_EQ(trust_calls, 1);
  EXPECT_EQ(trust_store_seen, SSL_CTX_get_cert_store(ctx));
  EXPECT_EQ(trust_cert_seen, cert);

  zel_trust_context no_callback{cert, nullptr};
  EXPECT_EQ(_zel_sslctx_func(nullptr, ctx, &no_callback), CURLE_OK);
  EXPECT_EQ(trust_calls, 1);

  for (auto [c, t] : {std::pair<void*, void*>{nullptr, &trust}, {ctx, nullptr}, {nullptr, nullptr}}) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(_zel_sslctx_func(nullptr, c, t), CURLE_ABORTED_BY_CALLBACK);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[error] Invalid parameter(s) passed to _zel_sslctx_func\n");
  }
  EXPECT_EQ(trust_calls, 1);
  X509_free(cert);
  SSL_CTX_free(ctx);
}

TEST_F(CloudClientTest, DebugCallbackOnlyWhenOneIsRegistered) {
  captured([] {
    zel_install_curl_debug_callback(kCurl);
    return 0;
  });
  EXPECT_TRUE(fake.calls.empty());
  EXPECT_EQ(errors_, "");

  curl_debug_function = fake_debug;
  captured([] {
    zel_install_curl_debug_callback(nullptr);
    return 0;
  });
  EXPECT_TRUE(fake.calls.empty());

  captured([] {
    zel_install_curl_debug_callback(kCurl);
    return 0;
  });
  EXPECT_THAT(fake.calls, ElementsAre(Call{CURLOPT_DEBUGFUNCTION, "ptr"}, Call{CURLOPT_VERBOSE, "1"}));
  EXPECT_EQ(fake.debug_function, reinterpret_cast<void*>(&fake_debug));
  EXPECT_EQ(errors_, "");
}

TEST_F(CloudClientTest, RefusedDebugCallbackLeavesVerboseOff) {
  curl_debug_function = fake_debug;
  fake.fail_option = CURLOPT_DEBUGFUNCTION;
  captured([] {
    zel_install_curl_debug_callback(kCurl);
    return 0;
  });
  EXPECT_THAT(fake.options(), ElementsAre(CURLOPT_DEBUGFUNCTION));
  EXPECT_EQ(errors_,
            "[error] zel_install_curl_debug_callback: failed to install curl debug function An unknown option was "
            "passed in to libcurl\n");
}

// ---------------------------------------------------------------------------
// The registration form

// A small identity whose every field shows up in the form.
class RegistrationFormTest : public CloudClientTest {
 protected:
  void SetUp() override {
    CloudClientTest::SetUp();
    std::strcpy(settings_.agent_guid, "11111111-2222-3333-4444-555555555555");
    std::strcpy(settings_.business_guid, "aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee");
    std::strcpy(settings_.affiliate_guid, "0f0e0d0c-0b0a-0908-0706-050403020100");
    std::strcpy(settings_.user_agent, "Corvanta/2.0");
    std::strcpy(settings_.mgmt_url, "http://m/agent/v1/");
    std::strcpy(host_.hostname, "B\xC3\xBCro PC");
    add_nic(0, "Ethernet 1", "192.168.1.20", "fe80::1", "00:11:22:33:44:55");
    add_nic(1, "Wi-Fi", "10.0.0.7", "", "AA-BB-CC-DD-EE-FF");
    host_.nic_count = 2;
    os_.product_type = -1;
    os_.architecture = 9;
    os_.build = 19045;
    os_.major = 10;
    os_.minor = 3;
    os_.platform_id = 2;
    os_.os_product_type = 48;  // not sent
    os_.product_info_type = 4;
    os_.service_pack_major = 1;
    os_.service_pack_minor = 5;
    os_.suite_mask = 256;
    os_.sm_server_r2 = 7;
  }

  void add_nic(int i, const char* name, const char* ip, const char* ipv6, const char* mac) {
    std::strcpy(host_.nics[i].friendly_name, name);
    std::strcpy(host_.nics[i].adapter_name, "{ignored}");
    std::strcpy(host_.nics[i].ip, ip);
    std::strcpy(host_.nics[i].ipv6, ipv6);
    std::strcpy(host_.nics[i].mac, mac);
  }

  int build(const char* itoken = kToken) {
    std::memset(out_, '#', sizeof(out_));
    return captured([&] { return zel_velta_build_reg_post(out_, &settings_, &host_, &os_, itoken); });
  }

  static constexpr const char* kToken = "tok+en/1=";
  static constexpr const char* kBody =
      "affiliate_guid=0f0e0d0c-0b0a-0908-0706-050403020100&agent_guid=11111111-2222-3333-4444-555555555555"
      "&business_guid=aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee&hostname=B%C3%BCro%20PC&itoken=tok%2Ben%2F1%3D"
      "&loopback=1"
      "&nics%5B0%5D%5Bfriendly_name%5D=Ethernet%201&nics%5B0%5D%5Bip%5D=192.168.1.20"
      "&nics%5B0%5D%5Bipv6%5D=fe80%3A%3A1&nics%5B0%5D%5Bmac%5D=00%3A11%3A22%3A33%3A44%3A55"
      "&nics%5B1%5D%5Bfriendly_name%5D=Wi-Fi&nics%5B1%5D%5Bip%5D=10.0.0.7"
      "&nics%5B1%5D%5Bipv6%5D=&nics%5B1%5D%5Bmac%5D=AA-BB-CC-DD-EE-FF"
      "&os%5Barchitecture%5D=9&os%5Bbuild%5D=19045&os%5Bmajor%5D=10&os%5Bminor%5D=3&os%5Bplatform_id%5D=2"
      "&os%5Bproduct_info_type%5D=4&os%5Bproduct_type%5D=18446744073709551615"
      "&os%5Bservice_pack_major%5D=1&os%5Bservice_pack_minor%5D=5&os%5Bsuite_mask%5D=256"
      "&os%5Bsm_server_r2%5D=7";

  velta_client_settings settings_{};
  host_info host_{};
  os_info os_{};
  char out_[ZEL_REG_POST_SIZE];
};

TEST_F(RegistrationFormTest, BuildsTheWholeBody) {
  EXPECT_EQ(build(), 0);
  EXPECT_STREQ(out_, kBody);
  EXPECT_EQ(errors_, "");
  // The escaping handle is made for the body and released after it.
  EXPECT_EQ(fake.inits, 1);
  EXPECT_EQ(fake.cleanups, 1);
}

// The escaped installation token goes back wiped; the body itself is the
// caller's, wiped by the registration after the exchange.
TEST_F(RegistrationFormTest, EscapedTokenIsWipedBeforeItIsFreed) {
  constexpr const char* kSecretToken = "Qx7/registration+secret";
  constexpr std::string_view kEscaped = "Qx7%2Fregistration%2Bsecret";
  const int seen_unwiped = testsupport::watch_freed_secret(kEscaped);
  const int rc = build(kSecretToken);
  freed_secret_watch.on = false;

  EXPECT_EQ(seen_unwiped, 1) << "the watch misses unwiped blocks";
  EXPECT_EQ(rc, 0) << errors_;
  EXPECT_NE(std::string_view(out_).find(std::string("&itoken=") + std::string(kEscaped) + "&"), std::string_view::npos)
      << out_;
  EXPECT_GE(fake.escapes, 1);
  EXPECT_EQ(freed_secret_watch.holding, 0) << "the escaped token was freed unwiped";
}

TEST_F(RegistrationFormTest, AbsentTokenAndNoAdaptersKeepTheOtherKeys) {
  struct Case {
    const char* itoken;
    uint16_t nic_count;
    const char* body;
  } cases[] = {
      {nullptr, 2,
       "affiliate_guid=0f0e0d0c-0b0a-0908-0706-050403020100&agent_guid=11111111-2222-3333-4444-555555555555"
       "&business_guid=aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee&hostname=B%C3%BCro%20PC&itoken=&loopback=1"
       "&nics%5B0%5D%5Bfriendly_name%5D=Ethernet%201&nics%5B0%5D%5Bip%5D=192.168.1.20"
       "&nics%5B0%5D%5Bipv6%5D=fe80%3A%3A1&nics%5B0%5D%5Bmac%5D=00%3A11%3A22%3A33%3A44%3A55"
       "&nics%5B1%5D%5Bfriendly_name%5D=Wi-Fi&nics%5B1%5D%5Bip%5D=10.0.0.7"
       "&nics%5B1%5D%5Bipv6%5D=&nics%5B1%5D%5Bmac%5D=AA-BB-CC-DD-EE-FF"
       "&os%5Barchitecture%5D=9&os%5Bbuild%5D=19045&os%5Bmajor%5D=10&os%5Bminor%5D=3&os%5Bplatform_id%5D=2"
       "&os%5Bproduct_info_type%5D=4&os%5Bproduct_type%5D=18446744073709551615"
       "&os%5Bservice_pack_major%5D=1&os%5Bservice_pack_minor%5D=5&os%5Bsuite_mask%5D=256"
       "&os%5Bsm_server_r2%5D=7"},
      {kToken, 0,
       "affiliate_guid=0f0e0d0c-0b0a-0908-0706-050403020100&agent_guid=11111111-2222-3333-4444-555555555555"
       "&business_guid=aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee&hostname=B%C3%BCro%20PC&itoken=tok%2Ben%2F1%3D"
       "&loopback=1&os%5Barchitecture%5D=9&os%5Bbuild%5D=19045&os%5Bmajor%5D=10&os%5Bminor%5D=3"
       "&os%5Bplatform_id%5D=2&os%5Bproduct_info_type%5D=4&os%5Bproduct_type%5D=18446744073709551615"
       "&os%5Bservice_pack_major%5D=1&os%5Bservice_pack_minor%5D=5&os%5Bsuite_mask%5D=256"
       "&os%5Bsm_server_r2%5D=7"},
  };
  for (const auto& c : cases) {
    host_.nic_count = c.nic_count;
    EXPECT_EQ(build(c.itoken), 0);
    EXPECT_STREQ(out_, c.body);
    EXPECT_EQ(errors_, "");
  }
}

TEST_F(RegistrationFormTest, EveryGuidMustBe36Characters) {
  struct Case {
    char (velta_client_settings::*field)[37];
    size_t length;
    int rc;
  } cases[] = {
      {&velta_client_settings::agent_guid, 35, 3},
      {&velta_client_settings::agent_guid, 37, 3},
      {&velta_client_settings::affiliate_guid, 35, 3},
      {&velta_client_settings::affiliate_guid, 37, 3},
      {&velta_client_settings::business_guid, 35, 3},
      {&velta_client_settings::business_guid, 37, 3},
      {&velta_client_settings::business_guid, 0, 3},
      // Only the length counts.
      {&velta_client_settings::agent_guid, 36, 0},
  };
  const velta_client_settings good = settings_;
  for (const auto& c : cases) {
    settings_ = good;
    fake.inits = 0;
    char* field = settings_.*c.field;
    std::memset(field, 'x', sizeof(settings_.agent_guid));
    if (c.length < sizeof(settings_.agent_guid)) field[c.length] = '\0';
    EXPECT_EQ(build(), c.rc) << "length " << c.length;
    if (c.rc == 0) {
      EXPECT_EQ(errors_, "");
      continue;
    }
    // A full field has no NUL: it is printed within its size.
    auto shown = [](const char* guid) { return std::string(guid, strnlen(guid, 37)); };
    EXPECT_EQ(errors_, "[error] zel_velta_build_reg_post: Invalid guid detected. ag:" + shown(settings_.agent_guid) +
                           " afg:" + shown(settings_.affiliate_guid) + " bg:" + shown(settings_.business_guid) + "\n");
    EXPECT_EQ(fake.inits, 0) << "no body is started";
  }
}

TEST_F(RegistrationFormTest, BodyIsAtMost1024Characters) {
  // Blanks become %20: 90 of them take the body to exactly 1024 characters.
  const size_t without_hostname = std::strlen(kBody) - std::strlen("B%C3%BCro%20PC");
  ASSERT_EQ(without_hostname + 3 * 90, 1024u);
  struct Case {
    std::string hostname;
    int rc;
  } cases[] = {{std::string(90, ' '), 0}, {std::string(90, ' ') + "a", 1}, {std::string(255, ' '), 1}};
  for (const auto& c : cases) {
    std::strcpy(host_.hostname, c.hostname.c_str());
    EXPECT_EQ(build(), c.rc) << "hostname of " << c.hostname.size();
    EXPECT_LE(strnlen(out_, sizeof(out_)), 1024u);
    if (c.rc == 0) {
      EXPECT_EQ(std::strlen(out_), 1024u);
      EXPECT_EQ(errors_, "");
    } else {
      EXPECT_THAT(errors_, EndsWith("[error] zel_velta_build_reg_post: unable to compose registration request\n"));
    }
    EXPECT_EQ(fake.inits, fake.cleanups);
  }
}

TEST_F(RegistrationFormTest, LongAdapterNamesCannotBeComposed) {
  add_nic(2, "", "172.16.0.1", "", "");
  host_.nic_count = 3;
  for (auto& nic : host_.nics) std::memset(nic.friendly_name, ' ', 55);
  EXPECT_EQ(build(), 1);
  EXPECT_THAT(errors_, EndsWith("[error] zel_velta_build_reg_post: unable to compose registration request\n"));
  EXPECT_LE(strnlen(out_, sizeof(out_)), 1024u);
}

TEST_F(RegistrationFormTest, AbsentArgumentsAreRefused) {
  struct Case {
    char* out;
    const velta_client_settings* settings;
    const host_info* host;
    const os_info* os;
  } cases[] = {{nullptr, &settings_, &host_, &os_},
               {out_, nullptr, &host_, &os_},
               {out_, &settings_, nullptr, &os_},
               {out_, &settings_, &host_, nullptr}};
  for (const auto& c : cases) {
    EXPECT_EQ(captured([&] { return zel_velta_build_reg_post(c.out, c.settings, c.host, c.os, kToken); }), 2);
    EXPECT_EQ(errors_, "[error] zel_velta_build_reg_post: Null argument error\n");
  }
  EXPECT_EQ(fake.inits, 0);
}

// ---------------------------------------------------------------------------
// The form encoder

class FormEncoderTest : public CloudClientTest {
 protected:
  // An encoder over buf_ with the given capacity; the rest of buf_ is a guard.
  zel_post post(size_t size) {
    std::memset(buf_, '#', sizeof(buf_));
    buf_[0] = '\0';
    return zel_post{kCurl, buf_, size, 0, 0};
  }
  char buf_[256];
};

TEST_F(FormEncoderTest, WritesEscapedPairsJoinedByAmpersands) {
  zel_post p = post(64);
  _zel_post_str(&p, "a b", "k");
  _zel_post_uint(&p, 18446744073709551615u, "n[%d]", 1);
  _zel_post_str(&p, "", "e");
  EXPECT_STREQ(buf_, "k=a%20b&n%5B1%5D=18446744073709551615&e=");
  EXPECT_EQ(p.len, std::strlen(buf_));
  EXPECT_EQ(p.error, 0);
}

TEST_F(FormEncoderTest, NothingIsWrittenAfterTheFirstFailure) {
  zel_post p = post(16);
  _zel_post_str(&p, "a b", "k");
  ASSERT_STREQ(buf_, "k=a%20b");
  ::testing::internal::CaptureStderr();
  _zel_post_str(&p, "0123456789", "v");
  const std::string first = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(first, "[error] _zel_post_str: unable to format value (len=10, n=10)\n");
  ASSERT_EQ(p.error, 1);
  const int escapes = fake.escapes;
  ::testing::internal::CaptureStderr();
  _zel_post_uint(&p, 1, "x");
  _zel_post_str(&p, "y", "z");
  _zel_post_name(&p, "w");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(fake.escapes, escapes);
  EXPECT_STREQ(buf_, "k=a%20b&v=");
  EXPECT_EQ(p.len, 10u);
}

TEST_F(FormEncoderTest, NamesOfAHundredCharactersOrMoreAreRefused) {
  struct Case {
    size_t length;
    const char* error;
  } cases[] = {{99, ""},
               {100, "[error] _zel_post_name: unable to format name (n=100)\n"},
               {150, "[error] _zel_post_name: unable to format name (n=150)\n"}};
  for (const auto& c : cases) {
    zel_post p = post(sizeof(buf_));
    const std::string name(c.length, 'n');
    ::testing::internal::CaptureStderr();
    _zel_post_uint(&p, 7, "%s", name.c_str());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.error);
    if (*c.error) {
      EXPECT_EQ(p.error, 1);
      EXPECT_STREQ(buf_, "");
    } else {
      EXPECT_EQ(p.error, 0);
      EXPECT_EQ(buf_, name + "=7");
    }
  }
}

// A write must fit with its NUL; one that does not leaves the text as it was.
TEST_F(FormEncoderTest, WritesThatDoNotFitAreRefused) {
  struct Case {
    size_t size;
    std::function<void(zel_post*)> write;
    const char* text;
    const char* error;
  } cases[] = {
      {8, [](zel_post* p) { _zel_post_str(p, "abcde", "k"); }, "k=abcde", ""},
      {8, [](zel_post* p) { _zel_post_str(p, "abcdef", "k"); },
       "k=", "_zel_post_str: unable to format value (len=2, n=6)"},
      {8, [](zel_post* p) { _zel_post_str(p, "ab c", "k"); },
       "k=", "_zel_post_str: unable to format value (len=2, n=6)"},
      {8, [](zel_post* p) { _zel_post_uint(p, 12345, "k"); }, "k=12345", ""},
      {8, [](zel_post* p) { _zel_post_uint(p, 123456, "k"); },
       "k=", "_zel_post_uint: unable to format value (len=2, n=6)"},
      {8, [](zel_post* p) { _zel_post_str(p, "", "k[1]"); }, "",
       "_zel_post_name: unable to format name= (size=8, len=0, n=9)"},
      {9, [](zel_post* p) { _zel_post_str(p, "", "abcdefg"); }, "abcdefg=", ""},
      {8, [](zel_post* p) { _zel_post_str(p, "", "abcdefg"); }, "",
       "_zel_post_name: unable to format name= (size=8, len=0, n=8)"},
      {8, [](zel_post* p) { _zel_post_str(p, nullptr, "k"); }, "", "_zel_post_str: invalid parameter"},
  };
  for (const auto& c : cases) {
    zel_post p = post(c.size);
    ::testing::internal::CaptureStderr();
    c.write(&p);
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(errors, *c.error ? std::string("[error] ") + c.error + "\n" : "") << c.text;
    EXPECT_EQ(p.error, *c.error ? 1 : 0) << c.error;
    EXPECT_STREQ(buf_, c.text);
    EXPECT_EQ(p.len, std::strlen(c.text));
    EXPECT_LT(p.len, c.size);
    EXPECT_EQ(buf_[c.size], '#') << "written past its size: " << c.error;
  }
}

// ---------------------------------------------------------------------------
// Response collectors

TEST(StringRespAppend, AppendsAndRefusesAbsentArguments) {
  string_resp* resp = _string_resp_create();
  ASSERT_NE(resp, nullptr);
  EXPECT_STREQ(resp->data, "");
  EXPECT_EQ(_string_resp_append(resp, "abc", 3), 0);
  EXPECT_EQ(_string_resp_append(resp, "de", 2), 0);
  EXPECT_STREQ(resp->data, "abcde");
  EXPECT_EQ(resp->len, 5u);

  // Nothing to add is a success whatever the other arguments.
  EXPECT_EQ(_string_resp_append(resp, nullptr, 0), 0);
  EXPECT_EQ(_string_resp_append(nullptr, nullptr, 0), 0);
  EXPECT_EQ(_string_resp_append(resp, nullptr, 1), -1);
  EXPECT_EQ(_string_resp_append(nullptr, "x", 1), -1);
  EXPECT_STREQ(resp->data, "abcde");
  EXPECT_EQ(resp->len, 5u);

  // A length that would wrap is refused without touching the text.
  const size_t held = resp->len;
  resp->len = SIZE_MAX - 1;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(_string_resp_append(resp, "xy", 2), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "[error] zel_safe_add: len: 18446744073709551614, inc: 2 overflow detected... \n");
  EXPECT_EQ(resp->len, SIZE_MAX - 1);
  resp->len = held;
  EXPECT_STREQ(resp->data, "abcde");
  _string_resp_free(resp);
}

TEST(SafeArithmetic, ReportsAWrapInsteadOfWrapping) {
  size_t out = 7;
  EXPECT_TRUE(zel_safe_add(SIZE_MAX - 1, 1, &out));
  EXPECT_EQ(out, SIZE_MAX);
  EXPECT_TRUE(zel_safe_multiply(0, SIZE_MAX, &out));
  EXPECT_EQ(out, 0u);
  EXPECT_TRUE(zel_safe_multiply(SIZE_MAX / 3, 3, &out));
  EXPECT_EQ(out, SIZE_MAX);

  out = 7;
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(zel_safe_add(SIZE_MAX, 1, &out));
  EXPECT_FALSE(zel_safe_multiply(SIZE_MAX / 2 + 1, 2, &out));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "[error] zel_safe_add: len: 18446744073709551615, inc: 1 overflow detected... \n"
            "[error] zel_safe_multiply:  len: 9223372036854775808, mul: 2 overflow detected... \n");
  EXPECT_EQ(out, 7u);
}

// Both collectors keep a bounded text: a chunk that would pass the bound is
// dropped whole and marks the text too long, yet is reported as taken so the
// transfer completes and its status can be read.
struct CollectorCase {
  std::vector<size_t> chunks;
  size_t stored;
  uint8_t too_long;
};

void feed(WriteFn write, string_resp* resp, const CollectorCase& c) {
  const std::string source = text_of_size(70000);
  size_t offset = 0;
  for (size_t n : c.chunks) {
    std::string chunk = source.substr(offset, n);
    EXPECT_EQ(write(chunk.data(), 1, n, resp), n);
    offset += n;
  }
  ASSERT_NE(resp->data, nullptr);
  EXPECT_EQ(resp->len, c.stored);
  EXPECT_EQ(resp->too_long, c.too_long);
  EXPECT_EQ(std::string(resp->data, resp->len), source.substr(0, c.stored));
  EXPECT_EQ(resp->data[resp->len], '\0');
}

TEST(StringRespWrite, KeepsAtMost1025Bytes) {
  const CollectorCase cases[] = {
      {{400, 400, 225}, 1025, 0}, {{400, 400, 226}, 800, 1}, {{1025, 1}, 1025, 1}, {{1026}, 0, 1},
      {{1000, 26, 1}, 1000, 1},   {{0, 3, 0}, 3, 0},
  };
  for (const auto& c : cases) {
    string_resp* resp = _string_resp_create();
    ASSERT_NE(resp, nullptr);
    feed(_string_resp_write, resp, c);
    _string_resp_free(resp);
  }
}

TEST(StringRespWrite, CountIsSizeTimesNmembAndAWrapReturnsSize) {
  string_resp* resp = _string_resp_create();
  ASSERT_NE(resp, nullptr);
  char bytes[] = "abcdefghijklmno";
  EXPECT_EQ(_string_resp_write(bytes, 5, 3, resp), 15u);
  EXPECT_STREQ(resp->data, "abcdefghijklmno");

  const size_t size = SIZE_MAX / 2 + 1;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(_string_resp_write(bytes, size, 2, resp), size);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "[error] zel_safe_multiply:  len: 9223372036854775808, mul: 2 overflow detected... \n");
  EXPECT_EQ(resp->len, 15u);
  EXPECT_EQ(resp->too_long, 0);
  _string_resp_free(resp);
}

TEST(BufRealloc, KeepsAtMost8193Bytes) {
  const CollectorCase cases[] = {
      {{8192}, 8192, 0},          {{8193}, 8193, 0},    {{8194}, 0, 1},    {{4096, 4096, 1}, 8193, 0},
      {{4096, 4096, 2}, 8192, 1}, {{8193, 1}, 8193, 1}, {{1, 0, 1}, 2, 0},
  };
  for (const auto& c : cases) {
    string_resp resp{nullptr, 0, 0};
    if (c.stored == 0) {
      // Nothing kept: the collector never allocates.
      for (size_t n : c.chunks) {
        std::string chunk(n, 'z');
        EXPECT_EQ(_buf_realloc(chunk.data(), 1, n, &resp), n);
      }
      EXPECT_EQ(resp.data, nullptr);
      EXPECT_EQ(resp.len, 0u);
      EXPECT_EQ(resp.too_long, c.too_long);
    } else {
      feed(_buf_realloc, &resp, c);
    }
    std::free(resp.data);
  }
}

TEST(BufRealloc, AWrapReturnsSize) {
  string_resp resp{nullptr, 0, 0};
  char bytes[] = "x";
  const size_t size = SIZE_MAX / 2 + 1;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(_buf_realloc(bytes, size, 2, &resp), size);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "[error] zel_safe_multiply:  len: 9223372036854775808, mul: 2 overflow detected... \n");
  EXPECT_EQ(resp.data, nullptr);
  EXPECT_EQ(resp.len, 0u);
}

// ---------------------------------------------------------------------------
// Updater seed download

class UpdaterSeedTest : public CloudClientTest {
 protected:
  void SetUp() override {
    CloudClientTest::SetUp();
    proxy_info proxy = direct();
    handle_ = zel_updater_handle_create("Corvanta/2.0", &proxy, 0);
    ASSERT_NE(handle_, nullptr);
    std::memset(seed_, '#', sizeof(seed_));
  }
  void TearDown() override {
    zel_updater_handle_free(handle_);
    CloudClientTest::TearDown();
  }

  int fetch() {
    return captured([&] { return get_updater_seed(handle_, kCurl, nullptr, kUrl, seed_); });
  }
  bool seed_untouched() const {
    return std::all_of(std::begin(seed_), std::end(seed_), [](char c) { return c == '#'; });
  }

  static constexpr const char* kUrl = "https://upd.example.invalid/seed";
  zel_updater_handle* handle_ = nullptr;
  char seed_[ZEL_UPDATER_SEED_SIZE];
};

TEST_F(UpdaterSeedTest, CopiesASeedOfOneTo8192Bytes) {
  for (size_t size : {size_t{1}, size_t{100}, size_t{8192}}) {
    std::memset(seed_, '#', sizeof(seed_));
    fake.answer = [size](const std::string&) { return text_of_size(size); };
    fake.chunk = 1000;
    EXPECT_EQ(fetch(), 0) << size;
    EXPECT_EQ(std::string(seed_, size), text_of_size(size));
    EXPECT_EQ(seed_[size], '\0') << size;
    EXPECT_EQ(handle_->http_code, 200);
    EXPECT_EQ(handle_->curl_code, 0);
    EXPECT_EQ(errors_, "");
  }
}

TEST_F(UpdaterSeedTest, EmptyOrOversizedSeedLeavesTheBufferAloneAndNamesItsCause) {
  const std::string kEmpty = "updater seed is empty (HTTP 200)";
  const std::string kOversized = "updater seed is larger than 8192 bytes (HTTP 200)";
  struct Case {
    size_t size;
    size_t chunk;
    const std::string& cause;
  } cases[] = {
      {0, 4096, kEmpty},
      {8193, 4096, kOversized},
      {8194, 4096, kOversized},
      {64 * 1024, 4096, kOversized},
      {64 * 1024, 16384, kOversized},  // past the bound at once: nothing is ever stored
  };
  for (const auto& [size, chunk, cause] : cases) {
    fake.answer = [size](const std::string&) { return text_of_size(size); };
    fake.chunk = chunk;
    fake.taken.clear();
    fake.offered.clear();
    EXPECT_EQ(fetch(), 1) << size << " in " << chunk;
    EXPECT_TRUE(seed_untouched()) << size << " in " << chunk;
    EXPECT_EQ(handle_->http_code, 200);
    EXPECT_EQ(handle_->error_text, cause) << size << " in " << chunk;
    // Only the record's text: the tool's error output stays as it was.
    EXPECT_EQ(errors_, "");
    // Every chunk was taken: the transfer itself succeeded.
    EXPECT_EQ(fake.taken, fake.offered) << size << " in " << chunk;
  }
}

TEST_F(UpdaterSeedTest, StatusDecidesBeforeTheBody) {
  struct Case {
    long status;
    int rc;
    const char* error;
  } cases[] = {
      {304, 1, ""},
      {404, 29,
       "[error] get_updater_seed(): Updater seed download failed for URL 'https://upd.example.invalid/seed' "
       "(HTTP code: 404)\n"},
      {500, 29,
       "[error] get_updater_seed(): Updater seed download failed for URL 'https://upd.example.invalid/seed' "
       "(HTTP code: 500)\n"},
  };
  for (const auto& c : cases) {
    fake.status = c.status;
    fake.answer = [](const std::string&) { return std::string("seed"); };
    EXPECT_EQ(fetch(), c.rc) << c.status;
    EXPECT_EQ(handle_->http_code, c.status);
    EXPECT_STREQ(handle_->error_text, "") << c.status;
    EXPECT_EQ(errors_, c.error);
    EXPECT_TRUE(seed_untouched()) << c.status;
  }
}

TEST_F(UpdaterSeedTest, FailedTransferKeepsLibcurlsCodeAndText) {
  fake.perform_code = CURLE_COULDNT_RESOLVE_HOST;
  fake.perform_error_text = "Could not resolve host: upd.example.invalid";
  EXPECT_EQ(fetch(), 27);
  EXPECT_EQ(handle_->curl_code, 6);
  EXPECT_EQ(handle_->http_code, 0);
  EXPECT_STREQ(handle_->error_text, "Could not resolve host: upd.example.invalid");
  EXPECT_EQ(errors_,
            "[error] get_updater_seed(): seed download failed for URL 'https://upd.example.invalid/seed': some libcurl "
            "error\n");
  EXPECT_TRUE(seed_untouched());
}

// The seed transfer writes its errors into the record, never into an earlier
// check's buffer that the shared handle may still carry; the record dies
// after the request, so the handle is left with no error buffer at all, and
// with no collector, whichever way the download ends.
TEST_F(UpdaterSeedTest, ErrorBufferIsTheRecordsOnlyDuringTheTransfer) {
  fake.answer = [](const std::string&) { return std::string("seed"); };
  EXPECT_EQ(fetch(), 0);
  const std::vector<Call> own_options = {
      {CURLOPT_URL, kUrl},         {CURLOPT_TIMEOUT, "30"},          {CURLOPT_WRITEFUNCTION, "ptr"},
      {CURLOPT_WRITEDATA, "ptr"},  {CURLOPT_ERRORBUFFER, "ptr"},     {CURLOPT_ERRORBUFFER, "null"},
      {CURLOPT_WRITEDATA, "null"},
  };
  ASSERT_GE(fake.calls.size(), own_options.size());
  EXPECT_THAT(std::vector<Call>(fake.calls.end() - static_cast<long>(own_options.size()), fake.calls.end()),
              ElementsAreArray(own_options));
  EXPECT_EQ(fake.performs, 1);
  EXPECT_EQ(fake.calls_at_perform, fake.calls.size() - 2) << "only the buffer and the collector go after the transfer";
  EXPECT_EQ(fake.write, &_buf_realloc);
  EXPECT_STREQ(seed_, "seed");
}

TEST_F(UpdaterSeedTest, NoWayOutLeavesTheRecordsBufferOnTheHandle) {
  struct Case {
    const char* name;
    CURLcode perform_code;
    long status;
    size_t size;
    CURLcode getinfo_code;
    int rc;
    const char* error_text;  // the record's afterwards
  } cases[] = {
      {"seed", CURLE_OK, 200, 4, CURLE_OK, 0, ""},
      {"refused", CURLE_COULDNT_CONNECT, 0, 4, CURLE_OK, 27, "Failed to connect to upd.example.invalid port 443"},
      {"not modified", CURLE_OK, 304, 4, CURLE_OK, 1, ""},
      {"not found", CURLE_OK, 404, 4, CURLE_OK, 29, ""},
      {"empty", CURLE_OK, 200, 0, CURLE_OK, 1, "updater seed is empty (HTTP 200)"},
      {"oversized", CURLE_OK, 200, 8193, CURLE_OK, 1, "updater seed is larger than 8192 bytes (HTTP 200)"},
      {"status unreadable", CURLE_OK, 200, 4, CURLE_UNKNOWN_OPTION, 28, ""},
  };
  for (const auto& c : cases) {
    testsupport::FakeCurlTable table{{}, fake_strerror};
    char earlier_check[CURL_ERROR_SIZE] = "an earlier check's error";
    ASSERT_EQ(xfer_setopt(kCurl, CURLOPT_ERRORBUFFER, earlier_check), CURLE_OK);
    fake.perform_code = c.perform_code;
    fake.perform_error_text = c.perform_code ? c.error_text : "";
    fake.status = c.status;
    fake.getinfo_code = c.getinfo_code;
    const size_t size = c.size;
    fake.answer = [size](const std::string&) { return text_of_size(size); };
    EXPECT_EQ(fetch(), c.rc) << c.name;
    EXPECT_EQ(fake.performs, 1) << c.name;
    EXPECT_EQ(fake.error_buffer, nullptr) << c.name;
    EXPECT_EQ(fake.write_data, nullptr) << c.name;
    EXPECT_STREQ(earlier_check, "an earlier check's error") << c.name;
    EXPECT_STREQ(handle_->error_text, c.error_text) << c.name;
    std::memset(handle_->error_text, 0, sizeof(handle_->error_text));
  }
}

// The record keeps the proxy as it was configured, its authentication method
// included, and hands it to the seed transfer.
TEST_F(UpdaterSeedTest, ProxyReachesTheTransferWithItsAuthMethod) {
  struct Case {
    uint32_t auth;
    const char* passed;
  } cases[] = {{CURLAUTH_NTLM, "8"}, {CURLAUTH_BASIC, "1"}};
  char server[] = "proxy.corp.test";
  char user[] = "alice";
  char password[] = "proxy-password";
  for (const auto& c : cases) {
    fake.calls.clear();
    const proxy_info proxy{CURLPROXY_HTTP, server, 3128, c.auth, user, password};
    zel_updater_handle* handle = zel_updater_handle_create("Corvanta/2.0", &proxy, 0);
    ASSERT_NE(handle, nullptr);
    fake.answer = [](const std::string&) { return std::string("seed"); };
    EXPECT_EQ(captured([&] { return get_updater_seed(handle, kCurl, nullptr, kUrl, seed_); }), 0) << errors_;
    zel_updater_handle_free(handle);
    EXPECT_EQ(fake.value_of(CURLOPT_PROXYAUTH), c.passed) << "proxy_auth " << c.auth;
    EXPECT_EQ(fake.value_of(CURLOPT_PROXY), "proxy.corp.test") << "proxy_auth " << c.auth;
    EXPECT_EQ(fake.value_of(CURLOPT_PROXYPORT), "3128") << "proxy_auth " << c.auth;
    EXPECT_EQ(fake.value_of(CURLOPT_PROXYUSERNAME), "alice") << "proxy_auth " << c.auth;
    EXPECT_EQ(fake.value_of(CURLOPT_PROXYPASSWORD), "proxy-password") << "proxy_auth " << c.auth;
  }
}

// The record's copy of the proxy password goes back to the allocator wiped.
TEST_F(UpdaterSeedTest, ProxyPasswordIsWipedBeforeItIsFreed) {
  constexpr std::string_view kSecret = "Qx7-updater-proxy-secret";
  char server[] = "proxy.corp.test";
  char user[] = "alice";
  std::string password(kSecret);
  const proxy_info proxy{CURLPROXY_HTTP, server, 3128, CURLAUTH_NTLM, user, password.data()};

  const int seen_unwiped = testsupport::watch_freed_secret(kSecret);
  zel_updater_handle* handle = zel_updater_handle_create("Corvanta/2.0", &proxy, 0);
  const bool copied = handle && handle->proxy.proxy_password && handle->proxy.proxy_password != password.data() &&
                      password == handle->proxy.proxy_password;
  zel_updater_handle_free(handle);
  freed_secret_watch.on = false;

  EXPECT_EQ(seen_unwiped, 1) << "the watch misses unwiped blocks";
  EXPECT_TRUE(copied) << "the record holds its own copy of the password";
  EXPECT_EQ(freed_secret_watch.holding, 0) << "the record's copy of the proxy password was freed unwiped";
}

// A refused option before the transfer: whatever of the two was handed over
// is taken back.
TEST_F(UpdaterSeedTest, RefusedOptionLeavesNoBufferBehind) {
  for (CURLoption refused : {CURLOPT_URL, CURLOPT_WRITEDATA, CURLOPT_ERRORBUFFER}) {
    testsupport::FakeCurlTable table{{}, fake_strerror};
    fake.fail_option = refused;
    EXPECT_EQ(fetch(), 28) << refused;
    EXPECT_EQ(fake.performs, 0) << refused;
    EXPECT_EQ(fake.error_buffer, nullptr) << refused;
    EXPECT_EQ(fake.write_data, nullptr) << refused;
  }
}

// ---------------------------------------------------------------------------
// Registration exchange

class RegistrationTest : public RegistrationFormTest {
 protected:
  void SetUp() override {
    RegistrationFormTest::SetUp();
    cert_ = X509_new();
    settings_.trust_cert = cert_;
    settings_.trust_callback = record_trust;
    fake.answer = [](const std::string& posted) { return posted; };
  }
  void TearDown() override {
    X509_free(cert_);
    RegistrationFormTest::TearDown();
  }

  int register_client() {
    status_ = zel_transfer_status{};
    return captured([&] { return _velta_register_client(&settings_, &host_, &proxy_, &os_, kToken, &status_); });
  }

  X509* cert_ = nullptr;
  proxy_info proxy_ = direct();
  zel_transfer_status status_{};
};

TEST_F(RegistrationTest, PostsTheBodyToTheRegisterUrl) {
  struct Case {
    const char* mgmt_url;
    const char* url;
  } cases[] = {
      {"http://m/agent/v1/", "http://m/agent/v1/register"},
      {"http://m/agent/v1", "http://m/agent/v1/register"},
      {"", "/register"},
  };
  for (const auto& c : cases) {
    fake.calls.clear();
    fake.inits = fake.cleanups = 0;
    std::strcpy(settings_.mgmt_url, c.mgmt_url);
    EXPECT_EQ(register_client(), 0) << c.mgmt_url;
    EXPECT_EQ(errors_, "");
    EXPECT_THAT(
        fake.calls,
        ElementsAre(Call{CURLOPT_NOSIGNAL, "1"}, Call{CURLOPT_SSL_CTX_FUNCTION, "ptr"},
                    Call{CURLOPT_SSL_CTX_DATA, "ptr"}, Call{CURLOPT_USE_SSL, "3"}, Call{CURLOPT_SSL_VERIFYPEER, "1"},
                    Call{CURLOPT_SSL_VERIFYHOST, "2"}, Call{CURLOPT_PROXY_SSL_VERIFYPEER, "1"},
                    Call{CURLOPT_PROXY_SSL_VERIFYHOST, "2"}, Call{CURLOPT_USERAGENT, "Corvanta/2.0"},
                    Call{CURLOPT_PROXY, ""}, Call{CURLOPT_URL, c.url}, Call{CURLOPT_TIMEOUT, "15"},
                    Call{CURLOPT_POSTFIELDS, kBody}, Call{CURLOPT_ERRORBUFFER, "ptr"},
                    Call{CURLOPT_WRITEFUNCTION, "ptr"}, Call{CURLOPT_WRITEDATA, "ptr"}));
    EXPECT_EQ(fake.error_buffer, status_.error_text);
    EXPECT_EQ(fake.write, &_string_resp_write);
    EXPECT_EQ(fake.tls_at_perform.trust_cert, cert_);
    EXPECT_EQ(fake.tls_at_perform.trust_callback, &record_trust);
    EXPECT_EQ(status_.curl_code, 0);
    EXPECT_EQ(status_.http_code, 200);
    // One handle for the escaping, one for the transfer; both released.
    EXPECT_EQ(fake.inits, 2);
    EXPECT_EQ(fake.cleanups, 2);
  }
}

TEST_F(RegistrationTest, PassesOnlyWhenTheAnswerRepeatsTheBody) {
  const std::string mismatch =
      "[error] _velta_register_client: Registration loopback failed, post body does not match response\n";
  struct Case {
    const char* what;
    std::function<std::string(const std::string&)> answer;
    size_t chunk;
    int rc;
  } cases[] = {
      {"exact echo", [](const std::string& p) { return p; }, 100, 0},
      {"echo in one chunk", [](const std::string& p) { return p; }, 4096, 0},
      {"one byte altered",
       [](const std::string& p) {
         std::string a = p;
         a[a.size() / 2] ^= 1;
         return a;
       },
       4096, 21},
      {"body plus extra text", [](const std::string& p) { return p + "&extra=1"; }, 4096, 21},
      {"body cut short", [](const std::string& p) { return p.substr(0, p.size() - 1); }, 4096, 21},
      {"empty answer", [](const std::string&) { return std::string(); }, 4096, 21},
      {"2 MiB answer", [](const std::string& p) { return p + std::string(2 * 1024 * 1024 - p.size(), 'x'); }, 16384,
       21},
      {"2 MiB in small chunks", [](const std::string& p) { return p + std::string(2 * 1024 * 1024, 'x'); }, 1000, 21},
      // The first piece is the body itself; the bound is passed only after it.
      {"echo, then past the bound", [](const std::string& p) { return p + std::string(p.size(), 'x'); },
       std::strlen(kBody), 21},
  };
  for (const auto& c : cases) {
    fake.answer = c.answer;
    fake.chunk = c.chunk;
    fake.offered.clear();
    fake.taken.clear();
    fake.most_held = 0;
    EXPECT_EQ(register_client(), c.rc) << c.what;
    EXPECT_EQ(errors_, c.rc ? mismatch : "") << c.what;
    EXPECT_EQ(status_.http_code, 200) << c.what;
    EXPECT_EQ(status_.curl_code, 0) << c.what;
    // Every chunk is taken whole, but no more than 1025 bytes are ever kept.
    EXPECT_EQ(fake.taken, fake.offered) << c.what;
    EXPECT_LE(fake.most_held, ZEL_REGISTRATION_RESPONSE_MAX) << c.what;
  }
}

TEST_F(RegistrationTest, RefusingStatusIsARegistrationError) {
  for (long status : {401L, 403L, 500L}) {
    fake.status = status;
    EXPECT_EQ(register_client(), 29) << status;
    EXPECT_EQ(status_.http_code, status);
    EXPECT_EQ(status_.curl_code, 0);
    EXPECT_EQ(errors_,
              "[error] _velta_register_client: Registration failed (HTTP code: " + std::to_string(status) + ")\n");
  }
}

TEST_F(RegistrationTest, FailedTransferTellsConnectFromNetwork) {
  struct Case {
    CURLcode code;
    int rc;
  } cases[] = {{CURLE_COULDNT_CONNECT, 33},
               {CURLE_SSL_CONNECT_ERROR, 33},
               {CURLE_OPERATION_TIMEDOUT, 32},
               {CURLE_COULDNT_RESOLVE_HOST, 32}};
  fake.perform_error_text = "libcurl's own words";
  for (const auto& c : cases) {
    fake.perform_code = c.code;
    EXPECT_EQ(register_client(), c.rc) << "code " << c.code;
    EXPECT_EQ(status_.curl_code, c.code);
    EXPECT_EQ(status_.http_code, 0);
    EXPECT_STREQ(status_.error_text, "libcurl's own words");
    EXPECT_EQ(errors_, "[error] _velta_register_client: POST http://m/agent/v1/register failed (" +
                           std::to_string(c.code) + "): " + fake_strerror(c.code) + " (libcurl's own words)\n");
  }
}

TEST_F(RegistrationTest, UnreadableStatusIsAnExternalError) {
  fake.getinfo_code = CURLE_BAD_FUNCTION_ARGUMENT;
  EXPECT_EQ(register_client(), 28);
  EXPECT_EQ(status_.http_code, 0);
  EXPECT_EQ(errors_,
            "[error] _velta_register_client: curl_easy_getinfo(CURLINFO_RESPONSE_CODE) failed: some libcurl error\n");
}

TEST_F(RegistrationTest, BodyFailuresStopBeforeAnyTransfer) {
  settings_.agent_guid[35] = '\0';
  EXPECT_EQ(register_client(), 3);
  EXPECT_EQ(captured([&] { return _velta_register_client(&settings_, &host_, nullptr, &os_, kToken, &status_); }), 2);
  EXPECT_EQ(errors_, "[error] _velta_register_client: Null argument error\n");
  EXPECT_EQ(fake.performs, 0);
  EXPECT_TRUE(fake.calls.empty());
}

}  // namespace
