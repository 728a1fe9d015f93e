#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <unistd.h>
#include <string>

#include "agent/confstore/iconfig.h"
#include "agent/kit/kit.h"
#include "platform/cert_system_store.h"
#include "shared_agent/util/cert_mgr_loader.h"
#include "tests/support/test_certs.h"
#include "velta_client/src/cert_store.h"
#include "velta_client/src/common/zel_log.h"

namespace {

namespace fs = std::filesystem;
using testsupport::make_ca_cert;

int store_size(X509_STORE* store) { return sk_X509_OBJECT_num(X509_STORE_get0_objects(store)); }

bool store_has(X509_STORE* store, X509* cert) {
  auto* objects = X509_STORE_get0_objects(store);
  for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i) {
    X509* c = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i));
    if (c && X509_cmp(c, cert) == 0) return true;
  }
  return false;
}

// The configuration object as the loader sees it: a certificate list and a PEM text.
class FakeConfig : public IConfig {
 public:
  std::vector<X509*> list;
  std::string est_pem;
  int cert_list_calls = 0;
  int freed_lists = 0;

  char* GetStringA(const char*) override { return strdup(est_pem.c_str()); }
  char16_t* GetString(const char*) override { return nullptr; }
  uint32_t GetDword(const char*) override { return CONFIG_NO_NUMBER; }
  char16_t* GetStringEx(const char*) override { return nullptr; }
  uint32_t GetDwordEx(const char*) override { return CONFIG_NO_NUMBER; }
  uint8_t* GetBinary(const char*, uint32_t*) override { return nullptr; }
  void FreeBuffer(void* buffer) override { std::free(buffer); }
  void FreeString(char16_t* text) override { std::free(text); }
  void SetModuleHandle(void*) override {}
  int Load(int) override { return 1; }
  int GetCertList(const char* key, X509*** out, uint32_t* count) override {
    ++cert_list_calls;
    EXPECT_STREQ(key, "config/agent/cloud/trustedcerts/cert");
    *out = static_cast<X509**>(std::calloc(list.size() + 1, sizeof(X509*)));
    for (size_t i = 0; i < list.size(); ++i) {
      X509_up_ref(list[i]);
      (*out)[i] = list[i];
    }
    *count = static_cast<uint32_t>(list.size());
    return 0;
  }
  void FreeCertList(X509** certs, uint32_t count) override {
    ++freed_lists;
    for (uint32_t i = 0; i < count; ++i) X509_free(certs[i]);
    std::free(certs);
  }
  char16_t* GetAgentVersion() override { return nullptr; }
};

class CertStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setDebugLevel(0x7FFFFFF000LL);
    zel_trace_mask = 0x7FFFFFF000LL;
    dir_ = fs::temp_directory_path() / ("certstore-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    root_a_ = make_ca_cert("Root A");
    root_b_ = make_ca_cert("Root B");
    extra_ = make_ca_cert("Configured C");
    testsupport::write_pem_file((dir_ / "root.pem").string(), {root_a_, root_b_});
    platform::set_root_store_file((dir_ / "root.pem").string());
    cert_store_init();
    store_ = X509_STORE_new();
  }
  void TearDown() override {
    CertMgrLoader::UnloadCertMgr();
    platform::set_root_store_file("");
    X509_STORE_free(store_);
    X509_free(root_a_);
    X509_free(root_b_);
    X509_free(extra_);
    fs::remove_all(dir_);
  }

  std::string capture_err(const std::function<void()>& f) {
    ::testing::internal::CaptureStderr();
    f();
    return ::testing::internal::GetCapturedStderr();
  }

  fs::path dir_;
  X509* root_a_ = nullptr;
  X509* root_b_ = nullptr;
  X509* extra_ = nullptr;
  X509_STORE* store_ = nullptr;
};

TEST_F(CertStoreTest, ConfiguredCertificateAlreadyInRootIsAddedOnce) {
  X509* configured[] = {root_a_, extra_};
  std::string err = capture_err([&] { EXPECT_EQ(cert_store_load(configured, 2), 0); });
  EXPECT_NE(err.find("The ROOT store has been opened."), std::string::npos) << err;
  EXPECT_NE(err.find("cert_store_load(): Certificate for Root A"), std::string::npos);
  EXPECT_NE(err.find("_set_config_certs(): Certificate for /CN=Configured C"), std::string::npos);
  EXPECT_EQ(err.find("Certificate for /CN=Root A"), std::string::npos);

  X509* ca = make_ca_cert("CA from est");
  cert_add_from_keystore(store_, ca);
  EXPECT_EQ(store_size(store_), 4);
  for (X509* c : {root_a_, root_b_, extra_, ca}) EXPECT_TRUE(store_has(store_, c));

  // A second round into the same context meets duplicates and stays usable.
  cert_add_from_keystore(store_, ca);
  EXPECT_EQ(store_size(store_), 4);
  X509_free(ca);
}

TEST_F(CertStoreTest, SecondLoadIsRefused) {
  ASSERT_EQ(cert_store_load(nullptr, 0), 0);
  X509* configured[] = {extra_};
  std::string err = capture_err([&] { EXPECT_EQ(cert_store_load(configured, 1), -1); });
  EXPECT_NE(err.find("cert_store_load(): Certificates already loaded, unload certificates first"), std::string::npos);
  cert_add_from_keystore(store_, nullptr);
  EXPECT_EQ(store_size(store_), 2);
  EXPECT_FALSE(store_has(store_, extra_));
}

TEST_F(CertStoreTest, NothingIsAddedBeforeALoad) {
  cert_store_unload();
  std::string err = capture_err([&] { cert_add_from_keystore(store_, extra_); });
  EXPECT_NE(err.find("cert_add_from_keystore: Certificates have not been loaded from the Keychain"),
            std::string::npos);
  EXPECT_EQ(store_size(store_), 0);
}

TEST_F(CertStoreTest, NullContextStoreIsAnError) {
  ASSERT_EQ(cert_store_load(nullptr, 0), 0);
  std::string err = capture_err([&] { cert_add_from_keystore(nullptr, nullptr); });
  EXPECT_NE(err.find("[error] cert_add_from_keystore: Invalid argument - X509_STORE is NULL"), std::string::npos);
}

TEST_F(CertStoreTest, EmptyOrMissingRootLoadsNothing) {
  struct {
    const char* file_text;
    const char* message;
  } cases[] = {{"", "cert_store_load(): no certificates were found in ROOT store"},
               {nullptr, "cert_store_load(): The ROOT store could not be opened."}};
  for (const auto& c : cases) {
    fs::path file = dir_ / "other.pem";
    fs::remove(file);
    if (c.file_text) std::ofstream(file) << c.file_text;
    platform::set_root_store_file(file.string());
    X509* configured[] = {extra_};
    std::string err = capture_err([&] { EXPECT_EQ(cert_store_load(configured, 1), -1); });
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    cert_add_from_keystore(store_, extra_);
    EXPECT_EQ(store_size(store_), 0);
  }
}

TEST_F(CertStoreTest, LoaderTrustsTheConfiguredCa) {
  FakeConfig config;
  config.list = {extra_};
  X509* ca = make_ca_cert("Agent CA");
  config.est_pem = testsupport::to_pem(ca);
  EXPECT_EQ(CertMgrLoader::Init(&config), 0);
  EXPECT_EQ(config.freed_lists, 1);
  X509* reference = CertMgrLoader::GetCaCertReference();
  ASSERT_NE(reference, nullptr);
  EXPECT_EQ(X509_cmp(reference, ca), 0);
  cert_add_from_keystore(store_, reference);
  EXPECT_TRUE(store_has(store_, extra_));
  EXPECT_TRUE(store_has(store_, ca));
  // The holder's reference outlives the loader's unload.
  CertMgrLoader::UnloadCertMgr();
  EXPECT_EQ(CertMgrLoader::GetCaCertReference(), nullptr);
  EXPECT_EQ(X509_cmp(reference, ca), 0);
  X509_free(reference);
  X509_free(ca);
}

TEST_F(CertStoreTest, EmptyCaTextIsReportedAndTheLoadStillCounts) {
  FakeConfig config;
  config.est_pem = "";
  std::string err = capture_err([&] { EXPECT_EQ(CertMgrLoader::Init(&config), 0); });
  EXPECT_NE(err.find("CertMgrLoader::Init failed to load CA certificate from config/agent/cloud/est/cert"),
            std::string::npos);
  EXPECT_EQ(CertMgrLoader::GetCaCertReference(), nullptr);
  // Loaded once per process: a second Init reads nothing.
  CertMgrLoader::Init(&config);
  EXPECT_EQ(config.cert_list_calls, 1);
}

TEST_F(CertStoreTest, UnparsableCaIsReported) {
  FakeConfig config;
  config.est_pem = "-----BEGIN CERTIFICATE-----\nnot base64\n-----END CERTIFICATE-----\n";
  std::string err = capture_err([&] { CertMgrLoader::Init(&config); });
  EXPECT_NE(err.find("_pem_to_x509: Failed to convert pem to x509 (-----BEGIN CERTIFICATE-----"), std::string::npos);
  EXPECT_EQ(CertMgrLoader::GetCaCertReference(), nullptr);
}

}  // namespace
