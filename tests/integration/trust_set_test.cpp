// The health check over HTTPS with the real libcurl, against the test cloud,
// when the keystore callback supplies the trust set: the ROOT bundle plus the
// configured certificates, and nothing libcurl would read on its own.
#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "pathvane/pathvane.h"
#include "pathvane/xfer_table.h"
#include "platform/cert_system_store.h"
#include "platform/loader.h"
#include "tests/support/check_run.h"
#include "tests/support/cloud.h"
#include "tests/support/cloud_suite.h"
#include "tests/support/process.h"
#include "tests/support/test_certs.h"
#include "velta_client/src/cert_store.h"

namespace {

namespace fs = std::filesystem;
using testsupport::CheckRun;

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) saved_ = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (saved_) {
      setenv(name_, saved_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

class TrustSet : public testsupport::CloudSuite {
 protected:
  void SetUp() override {
    CloudSuite::SetUp();
    if (HasFatalFailure()) return;
    platform::set_library_directory(testsupport::bin_dir(), true);
    dir_ = fs::temp_directory_path() / ("trust-set-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    cloud_ca_ = testsupport::read_certificate(cloud->ca_cert_path());
    ASSERT_NE(cloud_ca_, nullptr);
    other_ca_ = testsupport::make_ca_cert("Unrelated Root");
    other_bundle_ = (dir_ / "other.pem").string();
    testsupport::write_pem_file(other_bundle_, {other_ca_});
    with_cloud_bundle_ = (dir_ / "with-cloud.pem").string();
    testsupport::write_pem_file(with_cloud_bundle_, {other_ca_, cloud_ca_});
    cert_store_init();

    std::memset(&settings_, 0, sizeof(settings_));
    settings_.proxy.proxy_type = PATHVANE_NO_PROXY;
    std::snprintf(settings_.velta.user_agent, sizeof(settings_.velta.user_agent), "%s", "Corvanta/8.4.2.31122");
    std::snprintf(settings_.health_url, sizeof(settings_.health_url), "%s", cloud->https_url("/health").c_str());
    settings_.velta.trust_callback = cert_add_from_keystore;
  }
  void TearDown() override {
    pathvane_free(&handle_);
    cert_store_unload();
    platform::set_root_store_file("");
    platform::set_library_directory("");
    X509_free(cloud_ca_);
    X509_free(other_ca_);
    fs::remove_all(dir_);
  }

  // Loads the trust set afresh: bundle as ROOT, and the cloud's CA configured when asked.
  void load_set(const std::string& bundle, bool configure_cloud_ca) {
    cert_store_unload();
    platform::set_root_store_file(bundle);
    X509* configured[] = {cloud_ca_};
    ASSERT_EQ(cert_store_load(configure_cloud_ca ? configured : nullptr, configure_cloud_ca ? 1 : 0), 0);
    ASSERT_TRUE(cert_store_loaded());
  }

  // A fresh handle, prepared, then the health check on it.
  CheckRun run_health(const std::function<void(CURL*)>& prepare = nullptr) {
    pathvane_free(&handle_);
    handle_ = pathvane_init(&settings_, nullptr, 1, 1, 0);
    if (!handle_) {
      ADD_FAILURE() << "pathvane_init failed";
      return {};
    }
    if (prepare) prepare(handle_->curl);
    return testsupport::run_check(handle_, pathvane_health_check, 0);
  }

  fs::path dir_;
  X509* cloud_ca_ = nullptr;
  X509* other_ca_ = nullptr;
  std::string other_bundle_;
  std::string with_cloud_bundle_;
  pathvane_settings settings_{};
  pathvane_handle* handle_ = nullptr;
};

TEST_F(TrustSet, CloudCaMustBeInTheSet) {
  struct Case {
    const char* what;
    bool in_root;
    bool configured;
    uint32_t ssl_flags;
    int outcome;
    int curl_code;
  } cases[] = {
      {"configured only", false, true, 0, 0, CURLE_OK},
      {"in the ROOT bundle only", true, false, 0, 0, CURLE_OK},
      {"in neither", false, false, 0, 11, CURLE_PEER_FAILED_VERIFICATION},
      {"in neither, verification off", false, false, 3, 0, CURLE_OK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(cloud->reset());
    load_set(c.in_root ? with_cloud_bundle_ : other_bundle_, c.configured);
    settings_.velta.ssl_flags = c.ssl_flags;
    CheckRun r = run_health();
    EXPECT_EQ(r.rc, c.outcome);
    EXPECT_EQ(r.slot.outcome, static_cast<uint32_t>(c.outcome));
    EXPECT_EQ(r.slot.curl_code, c.curl_code) << r.slot.curl_error;
    const auto seen = cloud->requests("/health");
    ASSERT_EQ(seen.size(), c.outcome == 0 ? 1u : 0u);
    if (!seen.empty()) {
      EXPECT_EQ(seen[0].scheme, "https");
      EXPECT_EQ(r.slot.http_status, 200);
    }
  }
}

// A CA location of libcurl's own holding the cloud's CA (on the handle, and in
// the environment) counts for nothing once the keystore callback supplies a
// loaded set; with another callback, or no set loaded, the same location is
// honoured, which shows the location itself works.
TEST_F(TrustSet, LibcurlsOwnCaLocationsAreOff) {
  const std::string ca_file = cloud->ca_cert_path();
  const fs::path ca_dir = dir_ / "hashed";
  fs::create_directories(ca_dir);
  char hashed[32];
  std::snprintf(hashed, sizeof(hashed), "%08lx.0", X509_subject_name_hash(cloud_ca_));
  testsupport::write_pem_file((ca_dir / hashed).string(), {cloud_ca_});
  ScopedEnv cert_file("SSL_CERT_FILE", ca_file);
  ScopedEnv cert_dir("SSL_CERT_DIR", ca_dir.string());
  ScopedEnv bundle("CURL_CA_BUNDLE", ca_file);

  enum class Preset { kNone, kCaFile, kCaDir };
  struct Case {
    const char* what;
    zel_trust_callback callback;
    bool set_loaded;
    Preset preset;
    int outcome;
  } cases[] = {
      {"environment only", cert_add_from_keystore, true, Preset::kNone, 11},
      {"CA file on the handle", cert_add_from_keystore, true, Preset::kCaFile, 11},
      {"CA directory on the handle", cert_add_from_keystore, true, Preset::kCaDir, 11},
      {"CA file, another callback", testsupport::add_to_store, true, Preset::kCaFile, 0},
      {"CA directory, another callback", testsupport::add_to_store, true, Preset::kCaDir, 0},
      {"CA file, set not loaded", cert_add_from_keystore, false, Preset::kCaFile, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(cloud->reset());
    load_set(other_bundle_, false);
    if (!c.set_loaded) cert_store_unload();
    settings_.velta.trust_callback = c.callback;
    CheckRun r = run_health([&](CURL* curl) {
      if (c.preset == Preset::kCaFile) {
        ASSERT_EQ(pathvane_curl.curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file.c_str()), CURLE_OK);
      } else if (c.preset == Preset::kCaDir) {
        ASSERT_EQ(pathvane_curl.curl_easy_setopt(curl, CURLOPT_CAINFO, static_cast<const char*>(nullptr)),
                  CURLE_OK);
        ASSERT_EQ(pathvane_curl.curl_easy_setopt(curl, CURLOPT_CAPATH, ca_dir.c_str()), CURLE_OK);
      }
    });
    EXPECT_EQ(r.rc, c.outcome);
    EXPECT_EQ(r.slot.curl_code, c.outcome == 0 ? CURLE_OK : CURLE_PEER_FAILED_VERIFICATION) << r.slot.curl_error;
    EXPECT_EQ(cloud->requests("/health").size(), c.outcome == 0 ? 1u : 0u);
  }
}

}  // namespace
