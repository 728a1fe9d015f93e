// The facts a transfer leaves beside its result, from the real libcurl
// against the test cloud and a real proxy: where it went, the TLS it made,
// the chain the server presented, and what a proxy answered.
#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "pathvane/pathvane.h"
#include "platform/cert_system_store.h"
#include "platform/loader.h"
#include "tests/support/check_run.h"
#include "tests/support/cloud.h"
#include "tests/support/cloud_suite.h"
#include "tests/support/process.h"
#include "tests/support/proxies.h"
#include "tests/support/test_certs.h"
#include "velta_client/src/cert_store.h"
#include "diagnosis/xfer_facts.h"

namespace {

using testsupport::CheckRun;

class TransferFacts : public testsupport::CloudSuite {
 protected:
  void SetUp() override {
    CloudSuite::SetUp();
    if (HasFatalFailure()) return;
    platform::set_library_directory(testsupport::bin_dir(), true);
    cloud_ca_ = testsupport::read_certificate(cloud->ca_cert_path());
    ASSERT_NE(cloud_ca_, nullptr);
    cert_store_init();
    std::memset(&settings_, 0, sizeof(settings_));
    settings_.proxy.proxy_type = PATHVANE_NO_PROXY;
    std::snprintf(settings_.velta.user_agent, sizeof(settings_.velta.user_agent), "%s", "Corvanta/8.4.2.31122");
    settings_.velta.trust_callback = cert_add_from_keystore;
  }
  void TearDown() override {
    pathvane_free(&handle_);
    cert_store_unload();
    platform::set_library_directory("");
    X509_free(cloud_ca_);
  }

  // The health check on url, the cloud's CA trusted when asked; the facts of
  // its one transfer.
  xfer_facts health(const std::string& url, bool trust_cloud) {
    cert_store_unload();
    X509* configured[] = {cloud_ca_};
    EXPECT_EQ(cert_store_load(trust_cloud ? configured : nullptr, trust_cloud ? 1 : 0), 0);
    std::snprintf(settings_.health_url, sizeof(settings_.health_url), "%s", url.c_str());
    pathvane_free(&handle_);
    handle_ = pathvane_init(&settings_, nullptr, 1, 1, 0);
    if (!handle_) {
      ADD_FAILURE() << "pathvane_init failed";
      return {};
    }
    xfer_facts_begin_check();
    last_ = testsupport::run_check(handle_, pathvane_health_check, 0);
    EXPECT_EQ(xfer_facts_count(), 1u);
    return xfer_facts_count() ? *xfer_facts_at(0) : xfer_facts{};
  }

  X509* cloud_ca_ = nullptr;
  pathvane_settings settings_{};
  pathvane_handle* handle_ = nullptr;
  CheckRun last_;
};

TEST_F(TransferFacts, DirectTlsTransferShowsWhereItWentAndHow) {
  xfer_facts f = health(cloud->https_url("/health"), true);
  EXPECT_EQ(last_.rc, 0) << last_.slot.curl_error;
  EXPECT_EQ(f.curl_code, CURLE_OK);
  EXPECT_STREQ(f.remote_ip, "127.0.0.1");
  EXPECT_EQ(f.remote_port, cloud->https_port());
  EXPECT_STREQ(f.proxy, "");
  EXPECT_STREQ(f.http_version, "1.1");
  EXPECT_EQ(std::string(f.tls_version).rfind("TLSv1.", 0), 0u) << f.tls_version;
  EXPECT_NE(f.tls_cipher[0], '\0');
  // Stages in the order they happen.
  EXPECT_GE(f.connect_us, f.name_lookup_us);
  EXPECT_GE(f.tls_us, f.connect_us);
  EXPECT_GE(f.first_byte_us, f.tls_us);
  EXPECT_GE(f.total_us, f.first_byte_us);
  EXPECT_EQ(f.verify_error, 0);
  // The chain the server sent, and which of it the trusted set holds.
  ASSERT_GE(f.chain_count, 1u);
  EXPECT_EQ(f.chain[0].known, 0);
  char ca_subject[256];
  X509_NAME_oneline(X509_get_subject_name(cloud_ca_), ca_subject, sizeof(ca_subject));
  EXPECT_STREQ(f.chain[f.chain_count - 1].issuer, ca_subject);
  EXPECT_EQ(std::strlen(f.chain[0].sha256), 95u) << f.chain[0].sha256;

  char line[512];
  xfer_facts_timing_line(f, line, sizeof(line));
  EXPECT_EQ(std::string(line).rfind("[timing] name lookup ", 0), 0u) << line;
  EXPECT_NE(std::string(line).find("; 127.0.0.1:" + std::to_string(cloud->https_port()) + "; direct; HTTP 1.1; TLSv1."),
            std::string::npos)
      << line;
}

// Verification fails, and the facts still hold the chain the server sent:
// libcurl's own certificate info is empty exactly then.
TEST_F(TransferFacts, FailedVerificationKeepsThePresentedChain) {
  xfer_facts f = health(cloud->https_url("/health"), false);
  EXPECT_EQ(last_.slot.curl_code, CURLE_PEER_FAILED_VERIFICATION);
  EXPECT_EQ(f.verify_error, X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY) << f.verify_error_text;
  EXPECT_STREQ(f.verify_error_text, "unable to get local issuer certificate");
  ASSERT_GE(f.chain_count, 1u);
  char ca_subject[256];
  X509_NAME_oneline(X509_get_subject_name(cloud_ca_), ca_subject, sizeof(ca_subject));
  EXPECT_STREQ(f.chain[f.chain_count - 1].issuer, ca_subject);
  EXPECT_EQ(f.chain[f.chain_count - 1].known, 0);
  EXPECT_NE(f.chain[0].not_after[0], '\0');
  EXPECT_STREQ(f.http_version, "");
}

TEST_F(TransferFacts, ProxyShownWithItsAnswerNeverItsCredentials) {
  testsupport::Tinyproxy proxy;
  std::string error;
  ASSERT_TRUE(proxy.start("pvuser", "pv-secret", &error)) << error;
  struct Case {
    const char* what;
    const char* password;
    int connect_code;
    long status;
  } cases[] = {
      {"right password", "pv-secret", 200, 200},
      // tinyproxy refuses credentials with 401 and WWW-Authenticate, not
      // 407: the fact is what the proxy said.
      {"wrong password", "wrong", 401, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    char server[] = "127.0.0.1";
    char user[] = "pvuser";
    std::string password = c.password;
    settings_.proxy.proxy_type = CURLPROXY_HTTP;
    settings_.proxy.proxy_server = server;
    settings_.proxy.proxy_port = proxy.port();
    settings_.proxy.proxy_auth = CURLAUTH_BASIC;
    settings_.proxy.proxy_username = user;
    settings_.proxy.proxy_password = password.data();
    xfer_facts f = health(cloud->https_url("/health"), true);
    settings_.proxy = {};
    settings_.proxy.proxy_type = PATHVANE_NO_PROXY;
    EXPECT_EQ(std::string(f.proxy), "http://127.0.0.1:" + std::to_string(proxy.port()));
    EXPECT_EQ(f.connect_code, c.connect_code);
    EXPECT_EQ(last_.slot.http_status, c.status);
    EXPECT_EQ(f.proxy_auth_used, CURLAUTH_BASIC);
    EXPECT_EQ(f.proxy_has_credentials, 1);
    const std::string all(reinterpret_cast<const char*>(&f), sizeof(f));
    EXPECT_EQ(all.find("pv-secret"), std::string::npos);
    EXPECT_EQ(all.find("wrong"), std::string::npos);
  }
}

}  // namespace
