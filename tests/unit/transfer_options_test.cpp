// Option sequences of the plain request, recorded through the transfer
// function table, and the verdict helpers around it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "agent/kit/kit.h"
#include "pathvane/request.h"
#include "platform/cert_system_store.h"
#include "tests/support/fake_curl.h"
#include "tests/support/test_certs.h"
#include "velta_client/src/cert_store.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

using Call = testsupport::CurlCall;
testsupport::FakeCurl& fake = testsupport::fake_curl;
CURL* const kCurl = testsupport::kFakeCurl;

const char* fake_strerror(CURLcode code) { return code == CURLE_UNKNOWN_OPTION ? "unknown option" : "other error"; }

proxy_info direct() { return proxy_info{PATHVANE_NO_PROXY, nullptr, 0, 0, nullptr, nullptr}; }

class TransferOptionsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&result_, 0, sizeof(result_));
    std::strcpy(result_.curl_error, "old text");
  }

  // Runs a GET (or POST) of http://cloud/health and returns its code and errors.
  int request(const proxy_info& proxy, uint32_t ssl_flags = 0, const char* body = nullptr) {
    ::testing::internal::CaptureStderr();
    int rc =
        _proxy_http_request(kCurl, "http://cloud/health", "Corvanta/1.0", ssl_flags, &proxy, &trust_, &result_, body);
    errors_ = ::testing::internal::GetCapturedStderr();
    return rc;
  }

  // The posted body is recorded as text.
  testsupport::FakeCurlTable table_{{CURLOPT_COPYPOSTFIELDS}, fake_strerror};
  pathvane_trust_context trust_{nullptr, nullptr};
  check_result result_{};
  std::string errors_;
};

TEST_F(TransferOptionsTest, DirectGetSetsEveryOptionInOrder) {
  EXPECT_EQ(request(direct()), 0);
  EXPECT_THAT(
      fake.calls,
      ElementsAre(Call{CURLOPT_ERRORBUFFER, "ptr"}, Call{CURLOPT_NOSIGNAL, "1"}, Call{CURLOPT_SSL_CTX_FUNCTION, "ptr"},
                  Call{CURLOPT_SSL_CTX_DATA, "ptr"}, Call{CURLOPT_USE_SSL, "3"}, Call{CURLOPT_SSL_VERIFYPEER, "1"},
                  Call{CURLOPT_SSL_VERIFYHOST, "2"}, Call{CURLOPT_USERAGENT, "Corvanta/1.0"},
                  // No proxy of ours: none from the environment either.
                  Call{CURLOPT_PROXY, ""}, Call{CURLOPT_URL, "http://cloud/health"}, Call{CURLOPT_TIMEOUT, "15"},
                  Call{CURLOPT_FRESH_CONNECT, "1"}, Call{CURLOPT_WRITEFUNCTION, "ptr"},
                  // An earlier POST on the shared handle must not turn this into one.
                  Call{CURLOPT_HTTPGET, "1"}));
  EXPECT_EQ(fake.error_buffer, result_.curl_error);
  EXPECT_EQ(result_.curl_code, 0);
  EXPECT_EQ(result_.http_status, 200);
  EXPECT_EQ(result_.outcome, OUTCOME_FAILED) << "the request leaves the verdict to the check";
  EXPECT_EQ(errors_, "");
}

TEST_F(TransferOptionsTest, ProxiedPostSetsProxyAndBodyOptions) {
  char server[] = "proxy.example.invalid", user[] = "alice", password[] = "s3cret";
  proxy_info proxy{CURLPROXY_HTTP, server, 3128, CURLAUTH_BASIC, user, password};
  EXPECT_EQ(request(proxy, 0, "a=1&b=2"), 0);
  const std::vector<Call> expected_tail = {
      {CURLOPT_USERAGENT, "Corvanta/1.0"},
      {CURLOPT_PROXYTYPE, "0"},
      {CURLOPT_PROXYAUTH, "1"},
      {CURLOPT_PROXYUSERNAME, "alice"},
      {CURLOPT_PROXYPASSWORD, "s3cret"},
      {CURLOPT_PROXY, "proxy.example.invalid"},
      {CURLOPT_PROXYPORT, "3128"},
      // Our proxy, whatever no_proxy in the environment says.
      {CURLOPT_NOPROXY, ""},
      {CURLOPT_URL, "http://cloud/health"},
      {CURLOPT_TIMEOUT, "15"},
      {CURLOPT_FRESH_CONNECT, "1"},
      {CURLOPT_WRITEFUNCTION, "ptr"},
      {CURLOPT_COPYPOSTFIELDS, "a=1&b=2"},
      {CURLOPT_WRITEDATA, "null"},
  };
  ASSERT_GE(fake.calls.size(), expected_tail.size());
  EXPECT_THAT(std::vector<Call>(fake.calls.end() - static_cast<long>(expected_tail.size()), fake.calls.end()),
              ElementsAreArray(expected_tail));
}

TEST_F(TransferOptionsTest, SslFlagsChooseVerification) {
  struct Case {
    uint32_t flags;
    const char* peer;
    const char* host;
  } cases[] = {{0, "1", "2"}, {1, "1", "0"}, {2, "0", "2"}, {3, "0", "0"}};
  for (const auto& c : cases) {
    fake.calls.clear();
    EXPECT_EQ(request(direct(), c.flags), 0);
    EXPECT_EQ(fake.value_of(CURLOPT_SSL_VERIFYPEER), c.peer) << "ssl_flags " << c.flags;
    EXPECT_EQ(fake.value_of(CURLOPT_SSL_VERIFYHOST), c.host) << "ssl_flags " << c.flags;
  }
}

TEST_F(TransferOptionsTest, OnlyBasicAndNtlmReachProxyAuth) {
  struct Case {
    uint32_t auth;
    const char* passed;
  } cases[] = {{0xFF, "9"}, {CURLAUTH_DIGEST, "(unset)"}, {0, "(unset)"}, {CURLAUTH_NTLM, "8"}, {CURLAUTH_BASIC, "1"}};
  char server[] = "proxy.invalid";
  for (const auto& c : cases) {
    fake.calls.clear();
    proxy_info proxy{CURLPROXY_HTTP, server, 8080, c.auth, nullptr, nullptr};
    EXPECT_EQ(request(proxy), 0);
    EXPECT_EQ(fake.value_of(CURLOPT_PROXYAUTH), c.passed) << "proxy_auth " << c.auth;
  }
}

TEST_F(TransferOptionsTest, CredentialsGoTogetherOrNotAtAll) {
  char server[] = "proxy.invalid", user[] = "alice", password[] = "pw";
  struct Case {
    char* user;
    char* password;
    int rc;
    const char* error;
  } cases[] = {
      {user, password, 0, ""},
      {nullptr, nullptr, 0, ""},
      {user, nullptr, 28, "_set_curl_opts: proxy_password is null"},
      {nullptr, password, 28, "_set_curl_opts: proxy_username is null"},
  };
  for (const auto& c : cases) {
    fake.calls.clear();
    fake.performs = 0;
    proxy_info proxy{CURLPROXY_SOCKS5, server, 1080, 0, c.user, c.password};
    EXPECT_EQ(request(proxy), c.rc);
    const bool both = c.user && c.password;
    EXPECT_EQ(fake.value_of(CURLOPT_PROXYUSERNAME), both ? "alice" : "(unset)");
    EXPECT_EQ(fake.value_of(CURLOPT_PROXYPASSWORD), both ? "pw" : "(unset)");
    if (*c.error) {
      EXPECT_THAT(errors_, HasSubstr(std::string("[error] ") + c.error + "\n"));
      EXPECT_EQ(fake.performs, 0);
    }
  }
}

TEST_F(TransferOptionsTest, ProxyPortMustBeAPort) {
  struct Case {
    int32_t port;
    int rc;
  } cases[] = {{0, 28}, {1, 0}, {65535, 0}, {65536, 28}, {-1, 28}};
  char server[] = "proxy.invalid";
  for (const auto& c : cases) {
    fake.calls.clear();
    proxy_info proxy{CURLPROXY_HTTP, server, c.port, 0, nullptr, nullptr};
    EXPECT_EQ(request(proxy), c.rc) << "port " << c.port;
    if (c.rc == 0) {
      EXPECT_EQ(fake.value_of(CURLOPT_PROXYPORT), std::to_string(c.port));
    } else {
      EXPECT_EQ(errors_, "[error] _set_curl_opts: proxy_port " + std::to_string(c.port) + " is invalid\n");
    }
  }
}

TEST_F(TransferOptionsTest, PlainRequestsRefuseOtherProxyTypes) {
  char server[] = "proxy.invalid";
  for (uint32_t type : {0u, 4u, 5u, 6u, 7u}) {
    fake.calls.clear();
    proxy_info proxy{type, server, 1080, 0, nullptr, nullptr};
    EXPECT_EQ(request(proxy), 0) << "type " << type;
    EXPECT_EQ(fake.value_of(CURLOPT_PROXYTYPE), std::to_string(type));
  }
  for (uint32_t type : {1u, 2u, 3u, 8u}) {
    fake.calls.clear();
    proxy_info proxy{type, server, 1080, 0, nullptr, nullptr};
    EXPECT_EQ(request(proxy), 28) << "type " << type;
    EXPECT_EQ(errors_, "[error] _set_curl_opts: invalid proxy type\n");
    EXPECT_EQ(result_.outcome, OUTCOME_FAILED);
    EXPECT_EQ(result_.curl_code, 94);
    EXPECT_EQ(result_.http_status, 0);
    // Refused before any option but the error buffer.
    EXPECT_THAT(fake.options(), ElementsAre(CURLOPT_ERRORBUFFER));
  }
}

TEST_F(TransferOptionsTest, AbsentProxyServerIsRefused) {
  proxy_info proxy{CURLPROXY_HTTP, nullptr, 8080, 0, nullptr, nullptr};
  EXPECT_EQ(request(proxy), 28);
  EXPECT_EQ(errors_, "[error] _set_curl_opts: proxy_server is null\n");
}

TEST_F(TransferOptionsTest, WithoutTrustContextNoTlsCallback) {
  proxy_info proxy = direct();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(_set_curl_opts(kCurl, "ua", &proxy, 0, nullptr), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_THAT(fake.options(), ElementsAre(CURLOPT_NOSIGNAL, CURLOPT_SSL_VERIFYPEER, CURLOPT_SSL_VERIFYHOST,
                                          CURLOPT_USERAGENT, CURLOPT_PROXY));
}

// The ROOT set loaded from a one-certificate bundle for the test's length.
class LoadedKeystoreTest : public TransferOptionsTest {
 protected:
  void SetUp() override {
    TransferOptionsTest::SetUp();
    dir_ = std::filesystem::temp_directory_path() / ("transfer-options-root-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
    X509* ca = testsupport::make_ca_cert("Plain Request Root");
    testsupport::write_pem_file((dir_ / "root.pem").string(), {ca});
    X509_free(ca);
    platform::set_root_store_file((dir_ / "root.pem").string());
    cert_store_init();
    ASSERT_EQ(cert_store_load(nullptr, 0), 0);
    ASSERT_TRUE(cert_store_loaded());
  }
  void TearDown() override {
    cert_store_unload();
    platform::set_root_store_file("");
    std::filesystem::remove_all(dir_);
  }

  std::filesystem::path dir_;
};

// With the keystore callback and a loaded set, the callback is the only source
// of trust: libcurl's CA file and path, the server's and the proxy's, are
// cleared right after USE_SSL. Any other callback, or no set, leaves them alone.
TEST_F(LoadedKeystoreTest, KeystoreCallbackClearsLibcurlsCaLocations) {
  const std::vector<Call> head = {{CURLOPT_ERRORBUFFER, "ptr"},
                                  {CURLOPT_NOSIGNAL, "1"},
                                  {CURLOPT_SSL_CTX_FUNCTION, "ptr"},
                                  {CURLOPT_SSL_CTX_DATA, "ptr"},
                                  {CURLOPT_USE_SSL, "3"}};
  const std::vector<Call> cleared = {{CURLOPT_CAINFO, "null"},
                                     {CURLOPT_CAPATH, "null"},
                                     {CURLOPT_PROXY_CAINFO, "null"},
                                     {CURLOPT_PROXY_CAPATH, "null"}};
  const std::vector<Call> tail = {{CURLOPT_SSL_VERIFYPEER, "1"},  {CURLOPT_SSL_VERIFYHOST, "2"},
                                  {CURLOPT_USERAGENT, "Corvanta/1.0"}, {CURLOPT_PROXY, ""},
                                  {CURLOPT_URL, "http://cloud/health"}, {CURLOPT_TIMEOUT, "15"},
                                  {CURLOPT_FRESH_CONNECT, "1"},   {CURLOPT_WRITEFUNCTION, "ptr"},
                                  {CURLOPT_HTTPGET, "1"}};
  struct Case {
    const char* what;
    zel_trust_callback callback;
    bool loaded;
    bool clears;
  } cases[] = {
      {"keystore callback, set loaded", cert_add_from_keystore, true, true},
      {"keystore callback, set unloaded", cert_add_from_keystore, false, false},
      {"another callback, set loaded", testsupport::add_to_store, true, false},
      {"no callback, set loaded", nullptr, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (!c.loaded) cert_store_unload();
    ASSERT_EQ(cert_store_loaded(), c.loaded);
    fake.calls.clear();
    trust_ = {nullptr, c.callback};
    EXPECT_EQ(request(direct()), 0);
    std::vector<Call> expected = head;
    if (c.clears) expected.insert(expected.end(), cleared.begin(), cleared.end());
    expected.insert(expected.end(), tail.begin(), tail.end());
    EXPECT_THAT(fake.calls, ElementsAreArray(expected));
    EXPECT_EQ(errors_, "");
    if (!c.loaded) {
      ASSERT_EQ(cert_store_load(nullptr, 0), 0);
    }
  }
}

TEST_F(LoadedKeystoreTest, RefusedCaLocationStopsTheRequest) {
  trust_ = {nullptr, cert_add_from_keystore};
  const std::pair<CURLoption, std::string> options[] = {{CURLOPT_CAINFO, "CURLOPT_CAINFO"},
                                                        {CURLOPT_CAPATH, "CURLOPT_CAPATH"},
                                                        {CURLOPT_PROXY_CAINFO, "CURLOPT_PROXY_CAINFO"},
                                                        {CURLOPT_PROXY_CAPATH, "CURLOPT_PROXY_CAPATH"}};
  for (const auto& [option, name] : options) {
    fake.calls.clear();
    fake.performs = 0;
    fake.fail_option = option;
    EXPECT_EQ(request(direct()), 28) << name;
    EXPECT_EQ(errors_, "[error] _set_curl_opts(): curl_easy_setopt(" + name + ") returned 48 (unknown option)\n");
    ASSERT_FALSE(fake.calls.empty());
    EXPECT_EQ(fake.calls.back().option, option) << name;
    EXPECT_EQ(fake.performs, 0) << name;
  }
}

TEST_F(TransferOptionsTest, SetterRefusesAbsentArguments) {
  proxy_info proxy = direct();
  struct Case {
    CURL* curl;
    const char* ua;
    const proxy_info* proxy;
    const char* error;
  } cases[] = {
      {nullptr, "ua", &proxy, "[error] _set_curl_opts: curl is null\n"},
      {kCurl, "ua", nullptr, "[error] _set_curl_opts: proxy is null\n"},
      {kCurl, nullptr, &proxy, "[error] _set_curl_opts: user_agent is null\n"},
  };
  for (const auto& c : cases) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(_set_curl_opts(c.curl, c.ua, c.proxy, 0, &trust_), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.error);
  }
  EXPECT_TRUE(fake.calls.empty());
}

TEST_F(TransferOptionsTest, RequestWithAnAbsentArgumentTouchesNothing) {
  proxy_info proxy = direct();
  check_result before = result_;
  EXPECT_EQ(_proxy_http_request(nullptr, "u", "ua", 0, &proxy, &trust_, &result_, nullptr), 2);
  EXPECT_EQ(_proxy_http_request(kCurl, nullptr, "ua", 0, &proxy, &trust_, &result_, nullptr), 2);
  EXPECT_EQ(_proxy_http_request(kCurl, "u", nullptr, 0, &proxy, &trust_, &result_, nullptr), 2);
  EXPECT_EQ(_proxy_http_request(kCurl, "u", "ua", 0, nullptr, &trust_, &result_, nullptr), 2);
  EXPECT_EQ(_proxy_http_request(kCurl, "u", "ua", 0, &proxy, nullptr, &result_, nullptr), 2);
  EXPECT_EQ(_proxy_http_request(kCurl, "u", "ua", 0, &proxy, &trust_, nullptr, nullptr), 2);
  EXPECT_EQ(std::memcmp(&before, &result_, sizeof(before)), 0);
  EXPECT_TRUE(fake.calls.empty());
}

// Each refused option stops the request with its own message; options set
// before it stay set and nothing after it is tried.
TEST_F(TransferOptionsTest, RefusedOptionStopsWithItsMessage) {
  char server[] = "proxy.invalid", user[] = "u", password[] = "p";
  proxy_info proxied{CURLPROXY_HTTP, server, 3128, CURLAUTH_BASIC, user, password};
  struct Case {
    CURLoption option;
    bool proxied;
    const char* error;
  } cases[] = {
      {CURLOPT_NOSIGNAL, false, "_set_curl_opts: curl_easy_setopt(CURLOPT_NOSIGNAL) failed: unknown option"},
      {CURLOPT_SSL_CTX_FUNCTION, false,
       "_set_curl_opts(): curl_easy_setopt(CURLOPT_SSL_CTX_FUNCTION) returned 48 (unknown option)"},
      {CURLOPT_SSL_CTX_DATA, false,
       "_set_curl_opts(): curl_easy_setopt(CURLOPT_SSL_CTX_DATA) returned 48 (unknown option)"},
      {CURLOPT_USE_SSL, false, "_set_curl_opts(): curl_easy_setopt(CURLOPT_USE_SSL) returned 48 (unknown option)"},
      {CURLOPT_SSL_VERIFYPEER, false, "_set_curl_opts: curl_easy_setopt(SSL_VERIFYPEER, 1) failed: unknown option"},
      {CURLOPT_SSL_VERIFYHOST, false, "_set_curl_opts: curl_easy_setopt(SSL_VERIFYHOST, 2) failed: unknown option"},
      {CURLOPT_USERAGENT, false, "_set_curl_opts: curl_easy_setopt(CURLOPT_USERAGENT) failed: unknown option"},
      {CURLOPT_PROXY, false, "_set_curl_opts: curl_easy_setopt(CURLOPT_PROXY) failed: unknown option"},
      {CURLOPT_PROXYTYPE, true, "_set_curl_opts: curl_easy_setopt(CURLOPT_PROXYTYPE) failed: unknown option"},
      {CURLOPT_PROXYAUTH, true, "_set_curl_opts: curl_easy_setopt(CURLOPT_PROXYAUTH) failed: unknown option"},
      {CURLOPT_PROXYUSERNAME, true, "_set_curl_opts: curl_easy_setopt(CURLOPT_PROXYUSERNAME) failed: unknown option"},
      {CURLOPT_PROXYPASSWORD, true, "_set_curl_opts: curl_easy_setopt(CURLOPT_PROXYPASSWORD) failed: unknown option"},
      {CURLOPT_PROXY, true, "_set_curl_opts: curl_easy_setopt(CURLOPT_PROXY) failed: unknown option"},
      {CURLOPT_PROXYPORT, true, "_set_curl_opts: curl_easy_setopt(CURLOPT_PROXYPORT) failed: unknown option"},
      {CURLOPT_NOPROXY, true, "_set_curl_opts: curl_easy_setopt(CURLOPT_NOPROXY) failed: unknown option"},
      {CURLOPT_URL, false, "curl_easy_setopt(CURLOPT_URL) failed: unknown option"},
      {CURLOPT_TIMEOUT, false, "curl_easy_setopt(CURLOPT_TIMEOUT) failed: unknown option"},
      {CURLOPT_FRESH_CONNECT, false, "curl_easy_setopt(CURLOPT_FRESH_CONNECT) failed: unknown option"},
      {CURLOPT_WRITEFUNCTION, false,
       "_proxy_http_request: curl_easy_setopt(CURLOPT_WRITEFUNCTION) failed: unknown option"},
      {CURLOPT_COPYPOSTFIELDS, false, "curl_easy_setopt(CURLOPT_COPYPOSTFIELDS) failed: unknown option"},
      {CURLOPT_WRITEDATA, false, "_proxy_http_request: curl_easy_setopt(CURLOPT_WRITEDATA) failed: unknown option"},
  };
  for (const auto& c : cases) {
    fake.calls.clear();
    fake.performs = 0;
    fake.fail_option = c.option;
    EXPECT_EQ(request(c.proxied ? proxied : direct(), 0, "body"), 28) << c.error;
    EXPECT_EQ(errors_, std::string("[error] ") + c.error + "\n");
    ASSERT_FALSE(fake.calls.empty());
    EXPECT_EQ(fake.calls.back().option, c.option) << c.error;
    EXPECT_EQ(fake.performs, 0);
    EXPECT_EQ(result_.curl_code, 94);
  }
  // A GET must say so: the shared handle may still hold a POST body.
  fake.calls.clear();
  fake.fail_option = CURLOPT_HTTPGET;
  EXPECT_EQ(request(direct()), 28);
  EXPECT_EQ(errors_, "[error] curl_easy_setopt(CURLOPT_HTTPGET) failed: unknown option\n");
  EXPECT_EQ(fake.performs, 0);
}

TEST_F(TransferOptionsTest, RefusedErrorBufferIsIgnored) {
  fake.fail_option = CURLOPT_ERRORBUFFER;
  EXPECT_EQ(request(direct()), 0);
  EXPECT_EQ(errors_, "");
  EXPECT_EQ(fake.performs, 1);
}

TEST_F(TransferOptionsTest, FailedTransferKeepsLibcurlsCodeAndText) {
  fake.perform_code = CURLE_COULDNT_CONNECT;
  fake.perform_error_text = "Failed to connect to cloud port 80";
  EXPECT_EQ(request(direct()), 1);
  EXPECT_EQ(result_.curl_code, 7);
  EXPECT_STREQ(result_.curl_error, "Failed to connect to cloud port 80");
  EXPECT_EQ(result_.http_status, 0);
  EXPECT_EQ(result_.outcome, OUTCOME_FAILED);
  EXPECT_EQ(errors_,
            "[error] connectivity test failed for URL 'http://cloud/health': 7 (other error) "
            "(Failed to connect to cloud port 80)\n");
}

TEST_F(TransferOptionsTest, UnreadableStatusIsAnExternalError) {
  fake.getinfo_code = CURLE_BAD_FUNCTION_ARGUMENT;
  EXPECT_EQ(request(direct()), 28);
  EXPECT_EQ(result_.curl_code, 0);
  EXPECT_EQ(result_.http_status, 0);
  EXPECT_EQ(errors_, "[error] curl_easy_getinfo(CURLINFO_RESPONSE_CODE) failed: other error\n");
}

// libcurl reads a long option's value as a long: an int (15 for 15L) or a
// bool must not compile, whatever the option.
template <typename V>
constexpr bool settable = requires(CURL* curl, V value) { xfer_setopt(curl, CURLOPT_TIMEOUT, value); };
static_assert(settable<long>);
static_assert(!settable<int> && !settable<bool> && !settable<unsigned long> && !settable<short>);
static_assert(!settable<unsigned> && !settable<CURLoption> && !settable<double>);
static_assert(settable<const char*> && settable<char*> && settable<void*> && settable<FILE*>);
static_assert(settable<std::nullptr_t> && settable<curl_write_callback> && settable<curl_ssl_ctx_callback>);

size_t ignore_answer(char*, size_t size, size_t count, void*) { return size * count; }

TEST(TypedOptions, OnlyAValueOfTheOptionsKindReachesLibcurl) {
  testsupport::FakeCurlTable table{{CURLOPT_URL}, fake_strerror};
  char text[] = "http://cloud/";
  const struct Case {
    const char* what;
    CURLcode (*set)(char* text);
    CURLcode expected;
    std::vector<Call> calls;
  } cases[] = {
      {"long to a long option", [](char*) { return xfer_setopt(kCurl, CURLOPT_TIMEOUT, 15L); }, CURLE_OK,
       {{CURLOPT_TIMEOUT, "15"}}},
      {"text to a text option", [](char* t) { return xfer_setopt(kCurl, CURLOPT_URL, t); }, CURLE_OK,
       {{CURLOPT_URL, "http://cloud/"}}},
      {"callback to a callback option",
       [](char*) { return xfer_setopt(kCurl, CURLOPT_WRITEFUNCTION, ignore_answer); }, CURLE_OK,
       {{CURLOPT_WRITEFUNCTION, "ptr"}}},
      {"long to a text option", [](char*) { return xfer_setopt(kCurl, CURLOPT_URL, 15L); },
       CURLE_BAD_FUNCTION_ARGUMENT, {}},
      {"text to a long option", [](char* t) { return xfer_setopt(kCurl, CURLOPT_TIMEOUT, t); },
       CURLE_BAD_FUNCTION_ARGUMENT, {}},
      {"callback to a data option",
       [](char*) { return xfer_setopt(kCurl, CURLOPT_WRITEDATA, ignore_answer); }, CURLE_BAD_FUNCTION_ARGUMENT,
       {}},
      {"data to a callback option",
       [](char* t) { return xfer_setopt(kCurl, CURLOPT_WRITEFUNCTION, static_cast<void*>(t)); },
       CURLE_BAD_FUNCTION_ARGUMENT, {}},
      {"null to a callback option", [](char*) { return xfer_setopt(kCurl, CURLOPT_WRITEFUNCTION, nullptr); },
       CURLE_BAD_FUNCTION_ARGUMENT, {}},
      {"long to a size option", [](char*) { return xfer_setopt(kCurl, CURLOPT_MAXFILESIZE_LARGE, 15L); },
       CURLE_BAD_FUNCTION_ARGUMENT, {}},
  };
  for (const auto& c : cases) {
    fake.calls.clear();
    EXPECT_EQ(c.set(text), c.expected) << c.what;
    EXPECT_EQ(fake.calls, c.calls) << c.what;
  }

  long status = 0;
  fake.status = 404;
  EXPECT_EQ(xfer_getinfo_long(kCurl, CURLINFO_RESPONSE_CODE, &status), CURLE_OK);
  EXPECT_EQ(status, 404);
  char* url = nullptr;
  EXPECT_EQ(xfer_getinfo_long(kCurl, CURLINFO_EFFECTIVE_URL, reinterpret_cast<long*>(&url)),
            CURLE_BAD_FUNCTION_ARGUMENT);
  EXPECT_EQ(url, nullptr);
}

TEST(OutcomeFromTransfer, MapsCodeFirstThenStatus) {
  struct Case {
    int32_t code;
    int32_t status;
    uint32_t outcome;
  } cases[] = {
      {CURLE_COULDNT_RESOLVE_PROXY, 0, 7},
      {CURLE_COULDNT_RESOLVE_HOST, 0, 7},
      {CURLE_COULDNT_CONNECT, 0, 8},
      {CURLE_SSL_CONNECT_ERROR, 0, 10},
      {CURLE_SSL_CERTPROBLEM, 0, 10},
      {CURLE_PEER_FAILED_VERIFICATION, 0, 11},
      {CURLE_TOO_MANY_REDIRECTS, 0, 12},
      {CURLE_COULDNT_CONNECT, 500, 8},
      {CURLE_OK, 200, 1},
      {CURLE_OK, 302, 1},
      {CURLE_OK, 399, 1},
      {CURLE_OK, 400, 9},
      {CURLE_OK, 404, 9},
      {CURLE_OK, 499, 9},
      {CURLE_OK, 500, 12},
      {CURLE_OK, 503, 12},
      {CURLE_PROXY, 0, 1},
      {CURLE_OPERATION_TIMEDOUT, 0, 1},
      {CURLE_RECV_ERROR, 404, 9},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(outcome_from_transfer(c.code, c.status), c.outcome) << "code " << c.code << ", status " << c.status;
  }
}

using testsupport::record_trust;
using testsupport::trust_calls;
using testsupport::trust_cert_seen;
using testsupport::trust_store_seen;

TEST(SslContextCallback, HandsTheContextStoreToTheTrustCallback) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  ASSERT_NE(ctx, nullptr);
  X509* cert = X509_new();
  pathvane_trust_context trust{cert, record_trust};
  trust_calls = 0;
  EXPECT_EQ(_sslctx_func(nullptr, ctx, &trust), CURLE_OK);
  EXPECT_EQ(trust_calls, 1);
  EXPECT_EQ(trust_store_seen, SSL_CTX_get_cert_store(ctx));
  EXPECT_EQ(trust_cert_seen, cert);

  pathvane_trust_context no_callback{cert, nullptr};
  EXPECT_EQ(_sslctx_func(nullptr, ctx, &no_callback), CURLE_OK);
  EXPECT_EQ(trust_calls, 1);

  for (auto [c, t] : {std::pair<void*, void*>{nullptr, &trust}, {ctx, nullptr}}) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(_sslctx_func(nullptr, c, t), CURLE_ABORTED_BY_CALLBACK);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[error] Invalid parameter(s) passed to _sslctx_func\n");
  }
  EXPECT_EQ(trust_calls, 1);
  X509_free(cert);
  SSL_CTX_free(ctx);
}

}  // namespace
