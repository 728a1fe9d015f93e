// The health check's verdict against a real TLS server (openssl s_server)
// for trust sets whose certificates share subjects, compared with what the
// curl command decides when given the same set as its only CA bundle.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "pathvane/pathvane.h"
#include "platform/cert_system_store.h"
#include "platform/loader.h"
#include "tests/support/check_run.h"
#include "tests/support/process.h"
#include "tests/support/test_certs.h"
#include "tests/support/tls_server.h"
#include "velta_client/src/cert_store.h"

namespace {

namespace fs = std::filesystem;
using testsupport::CertSpec;
using testsupport::make_cert;
using testsupport::TlsServer;

// A key with the certificates made for it.
struct Keyed {
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
};

// A CA certificate valid from an hour ago for 30 days, or for the given span.
CertSpec ca(const char* name, long valid_from = -3600, long valid_until = 3600L * 24 * 30) {
  CertSpec spec;
  spec.common_name = name;
  spec.valid_from = valid_from;
  spec.valid_until = valid_until;
  return spec;
}

CertSpec server_spec() {
  CertSpec spec;
  spec.common_name = "127.0.0.1";
  spec.ca = false;
  spec.alt_names = "IP:127.0.0.1,DNS:localhost";
  return spec;
}

class TrustChains : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::set_library_directory(testsupport::bin_dir(), true);
    dir_ = fs::temp_directory_path() / ("trust-chains-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    fs::create_directories(dir_ / "empty");
    cert_store_init();
  }
  void TearDown() override {
    pathvane_free(&handle_);
    cert_store_unload();
    platform::set_root_store_file("");
    platform::set_library_directory("");
    for (X509* cert : owned_certs_) X509_free(cert);
    for (EVP_PKEY* key : owned_keys_) EVP_PKEY_free(key);
    fs::remove_all(dir_);
  }

  EVP_PKEY* key() { return owned_keys_.emplace_back(testsupport::make_key()); }
  X509* cert(const CertSpec& spec, EVP_PKEY* subject_key, X509* issuer = nullptr, EVP_PKEY* issuer_key = nullptr) {
    return owned_certs_.emplace_back(make_cert(spec, subject_key, issuer, issuer_key));
  }
  std::string pem_file(const std::string& name, const std::vector<X509*>& certs) {
    const std::string path = (dir_ / name).string();
    testsupport::write_pem_file(path, certs);
    return path;
  }

  // The tool's verdict: the health check in process over the real libcurl,
  // trusting the loaded set and the EST CA. True when it passed.
  bool tool_passes(const std::string& url, X509* est_ca, std::string* error) {
    pathvane_free(&handle_);
    pathvane_settings settings{};
    std::memset(&settings, 0, sizeof(settings));
    settings.proxy.proxy_type = PATHVANE_NO_PROXY;
    std::snprintf(settings.velta.user_agent, sizeof(settings.velta.user_agent), "%s", "Corvanta/8.4.2.31122");
    std::snprintf(settings.health_url, sizeof(settings.health_url), "%s", url.c_str());
    settings.velta.trust_callback = cert_add_from_keystore;
    if (est_ca) X509_up_ref(est_ca);
    settings.velta.trust_cert = est_ca;  // the handle's reference
    handle_ = pathvane_init(&settings, nullptr, 1, 1, 0);
    if (!handle_) {
      X509_free(est_ca);
      ADD_FAILURE() << "pathvane_init failed";
      return false;
    }
    testsupport::CheckRun r = testsupport::run_check(handle_, pathvane_health_check, 0);
    *error = std::to_string(r.slot.curl_code) + " " + r.slot.curl_error;
    if (r.rc != 0) {
      EXPECT_EQ(r.slot.curl_code, CURLE_PEER_FAILED_VERIFICATION) << *error;
    }
    return r.rc == 0 && r.slot.http_status == 200;
  }

  // curl's verdict with the bundle as its whole trust set.
  bool curl_passes(const std::string& url, const std::string& bundle, std::string* error) {
    testsupport::ProcessResult r = testsupport::run_process(
        {"/usr/bin/curl", "-sS", "-o", "/dev/null", "-w", "%{http_code}", "--noproxy", "*", "--max-time", "15", "--cacert",
         bundle, "--capath", (dir_ / "empty").string(), url},
        {{"SSL_CERT_FILE", ""}, {"SSL_CERT_DIR", ""}, {"CURL_CA_BUNDLE", ""}}, "", 30);
    *error = std::to_string(r.exit_code) + " " + r.err;
    if (r.exit_code != 0) {
      EXPECT_EQ(r.exit_code, 60) << *error;
    }
    return r.exit_code == 0 && r.out == "200";
  }

  fs::path dir_;
  std::vector<X509*> owned_certs_;
  std::vector<EVP_PKEY*> owned_keys_;
  pathvane_handle* handle_ = nullptr;
};

TEST_F(TrustChains, ToolTrustsWhatCurlTrustsForTheSameSet) {
  // A root renewed under its name with a new key, each key with a server.
  EVP_PKEY* renewed_old_key = key();
  EVP_PKEY* renewed_new_key = key();
  X509* renewed_old = cert(ca("Renewed Root"), renewed_old_key);
  X509* renewed_new = cert(ca("Renewed Root"), renewed_new_key);
  // A root and an expired copy of it: same name, same key.
  EVP_PKEY* lasting_key = key();
  X509* lasting = cert(ca("Lasting Root"), lasting_key);
  X509* lasting_expired = cert(ca("Lasting Root", -3600L * 24 * 60, -3600L * 24 * 30), lasting_key);
  // A root with an intermediate.
  EVP_PKEY* chain_root_key = key();
  EVP_PKEY* intermediate_key = key();
  X509* chain_root = cert(ca("Chain Root"), chain_root_key);
  X509* intermediate = cert(ca("Chain Intermediate"), intermediate_key, chain_root, chain_root_key);
  EVP_PKEY* stranger_key = key();
  X509* stranger = cert(ca("Stranger Root"), stranger_key);
  X509* unrelated = cert(ca("Unrelated Root"), key());

  struct Server {
    X509* leaf;
    EVP_PKEY* key;
    std::vector<X509*> sent;  // what the server sends after its leaf
  };
  auto server = [&](X509* issuer, EVP_PKEY* issuer_key, std::vector<X509*> sent) {
    EVP_PKEY* leaf_key = key();
    return Server{cert(server_spec(), leaf_key, issuer, issuer_key), leaf_key,
                  sent};
  };
  const Server to_renewed_new = server(renewed_new, renewed_new_key, {});
  const Server to_renewed_old = server(renewed_old, renewed_old_key, {});
  const Server to_lasting = server(lasting, lasting_key, {});
  const Server via_intermediate = server(intermediate, intermediate_key, {intermediate});
  const Server via_unsent_intermediate = server(intermediate, intermediate_key, {});
  const Server to_stranger = server(stranger, stranger_key, {});

  struct Case {
    const char* what;
    std::vector<X509*> root;        // the ROOT store
    std::vector<X509*> configured;  // the configuration's trusted certificates
    X509* est_ca;
    const Server& server;
    bool passes;
  } cases[] = {
      {"renewed root: old copy configured, new one in ROOT", {unrelated, renewed_new}, {renewed_old}, nullptr,
       to_renewed_new, true},
      {"renewed root: old copy as EST CA, new one in ROOT", {unrelated, renewed_new}, {}, renewed_old,
       to_renewed_new, true},
      {"renewed root: new copy configured, old one in ROOT, chain to the old key", {unrelated, renewed_old},
       {renewed_new}, nullptr, to_renewed_old, true},
      {"expired configured copy of a root valid in ROOT", {unrelated, lasting}, {lasting_expired}, nullptr,
       to_lasting, true},
      {"expired copy only, configured", {unrelated}, {lasting_expired}, nullptr, to_lasting, false},
      {"intermediate sent by the server and configured", {unrelated, chain_root}, {intermediate}, nullptr,
       via_intermediate, true},
      {"intermediate not sent, configured", {unrelated, chain_root}, {intermediate}, nullptr,
       via_unsent_intermediate, true},
      {"intermediate not sent, not configured", {unrelated, chain_root}, {}, nullptr, via_unsent_intermediate,
       false},
      {"re-keyed root, both in ROOT, chain ends at the second", {unrelated, renewed_old, renewed_new}, {}, nullptr,
       to_renewed_new, true},
      {"re-keyed root, both in ROOT, chain ends at the first", {unrelated, renewed_old, renewed_new}, {}, nullptr,
       to_renewed_old, true},
      {"root only configured", {unrelated}, {chain_root}, nullptr, via_intermediate, true},
      {"root only as EST CA", {unrelated}, {}, chain_root, via_intermediate, true},
      {"untrusted CA", {unrelated, renewed_old, renewed_new, lasting}, {chain_root}, lasting_expired, to_stranger,
       false},
  };
  int index = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string tag = std::to_string(index++);
    const std::string root_file = pem_file("root-" + tag + ".pem", c.root);
    std::vector<X509*> all = c.root;
    all.insert(all.end(), c.configured.begin(), c.configured.end());
    if (c.est_ca) all.push_back(c.est_ca);
    const std::string bundle = pem_file("bundle-" + tag + ".pem", all);
    const std::string leaf_file = pem_file("leaf-" + tag + ".pem", {c.server.leaf});
    const std::string key_file = (dir_ / ("leaf-" + tag + ".key")).string();
    testsupport::write_key_file(key_file, c.server.key);
    const std::string chain_file = c.server.sent.empty() ? "" : pem_file("chain-" + tag + ".pem", c.server.sent);

    cert_store_unload();
    platform::set_root_store_file(root_file);
    std::vector<X509*> configured = c.configured;
    ASSERT_EQ(cert_store_load(configured.empty() ? nullptr : configured.data(), configured.size()), 0);

    TlsServer tls;
    std::string error;
    ASSERT_TRUE(tls.start(leaf_file, key_file, chain_file, &error)) << error;
    const std::string url = "https://127.0.0.1:" + std::to_string(tls.port()) + "/";
    std::string tool_error, curl_error;
    const bool tool = tool_passes(url, c.est_ca, &tool_error);
    const bool curl = curl_passes(url, bundle, &curl_error);
    EXPECT_EQ(curl, c.passes) << "curl: " << curl_error;
    EXPECT_EQ(tool, c.passes) << "tool: " << tool_error;
    EXPECT_EQ(tool, curl) << "tool: " << tool_error << "\ncurl: " << curl_error;
  }
}

}  // namespace
