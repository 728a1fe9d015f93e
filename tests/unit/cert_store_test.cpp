#include <gtest/gtest.h>

#include <algorithm>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <unistd.h>
#include <string>
#include <vector>

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

// Every certificate a test made. A context's store holds what was added to
// it and what its lookups found; asking it for each of these subjects brings
// in every certificate of the trusted set that bears one.
std::vector<X509*> known_certs;

void resolve(X509_STORE* store, X509* cert) {
  X509_STORE_CTX* context = X509_STORE_CTX_new();
  if (context && X509_STORE_CTX_init(context, store, nullptr, nullptr) == 1) {
    X509_OBJECT_free(X509_STORE_CTX_get_obj_by_subject(context, X509_LU_X509, X509_get_subject_name(cert)));
  }
  X509_STORE_CTX_free(context);
  ERR_clear_error();
}

int store_size(X509_STORE* store) {
  for (X509* cert : known_certs) resolve(store, cert);
  return sk_X509_OBJECT_num(X509_STORE_get0_objects(store));
}

bool store_has(X509_STORE* store, X509* cert) {
  resolve(store, cert);
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
    known_certs = {root_a_, root_b_, extra_};
    testsupport::write_pem_file((dir_ / "root.pem").string(), {root_a_, root_b_});
    platform::set_root_store_file((dir_ / "root.pem").string());
    cert_store_init();
    store_ = X509_STORE_new();
  }
  void TearDown() override {
    known_certs.clear();
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

// ---------------------------------------------------------------------------
// The ROOT bundle read block by block

std::string base64_of(const std::vector<unsigned char>& bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes.data(),
                                static_cast<int>(bytes.size()));
  text.resize(static_cast<size_t>(n));
  return text;
}

std::vector<unsigned char> der_of(X509* cert) {
  std::vector<unsigned char> der(static_cast<size_t>(i2d_X509(cert, nullptr)));
  unsigned char* p = der.data();
  i2d_X509(cert, &p);
  return der;
}

std::string pem_block(const std::string& label, const std::string& body) {
  return "-----BEGIN " + label + "-----\n" + body + "\n-----END " + label + "-----\n";
}

// Broken base64: the block cannot be read at all.
const std::string kBrokenBase64 = pem_block("CERTIFICATE", "MIIB!!!!not*base64*at*all####");
std::vector<unsigned char> bytes_of(const std::string& text) { return {text.begin(), text.end()}; }

// Good base64 whose bytes are no certificate.
const std::string kNotACertificate = pem_block("CERTIFICATE", base64_of(bytes_of("not a certificate")));

const std::string kOpened = "[trace] The ROOT store has been opened.\n";
const std::string kNoName = "[error] cert_store_load(): CertGetName failed.\n";
const std::string kUnreadable = "[error] cert_store_load(): Invalid certificate (CryptBinaryToString() 87)\n";
const std::string kNotX509 = "[error] cert_store_load(): Failed to convert certificate to X509 format\n";

std::string loaded(const std::string& name) { return "[trace] cert_store_load(): Certificate for " + name + "\n"; }

class RootBundleTest : public CertStoreTest {
 protected:
  void SetUp() override {
    CertStoreTest::SetUp();
    for (const char* name : {"Good 1", "Good 2", "Good 3"}) good_.push_back(make_ca_cert(name));
    known_certs.insert(known_certs.end(), good_.begin(), good_.end());
  }
  void TearDown() override {
    for (X509* cert : good_) X509_free(cert);
    CertStoreTest::TearDown();
  }

  // Makes text the ROOT bundle.
  void use_bundle(const std::string& text) {
    const fs::path file = dir_ / "bundle.pem";
    std::ofstream(file, std::ios::binary | std::ios::trunc) << text;
    platform::set_root_store_file(file.string());
  }

  std::string pem(size_t i) const { return testsupport::to_pem(good_[i]); }

  // The trusted set as a fresh context receives it.
  void expect_set_is(const std::vector<X509*>& certs) {
    X509_STORE* store = X509_STORE_new();
    cert_add_from_keystore(store, nullptr);
    EXPECT_EQ(store_size(store), static_cast<int>(certs.size()));
    for (X509* c : certs) EXPECT_TRUE(store_has(store, c)) << testsupport::to_pem(c);
    X509_STORE_free(store);
  }

  std::vector<X509*> good_;
};

TEST_F(RootBundleTest, BadBlockIsReportedAndTheRestLoaded) {
  // The first half of a real certificate: good base64, cut short.
  std::vector<unsigned char> der = der_of(good_[0]);
  der.resize(der.size() / 2);
  const std::string truncated = pem_block("CERTIFICATE", base64_of(der));

  struct Case {
    const char* what;
    std::string bundle;
    std::string output;
    std::vector<X509*> set;
  } cases[] = {
      {"broken base64 in the middle", pem(0) + pem(1) + kBrokenBase64 + pem(2),
       kOpened + loaded("Good 1") + loaded("Good 2") + kNoName + kUnreadable + loaded("Good 3"),
       {good_[0], good_[1], good_[2]}},
      {"bytes that are no certificate in the middle", pem(0) + pem(1) + kNotACertificate + pem(2),
       kOpened + loaded("Good 1") + loaded("Good 2") + kNoName + kNotX509 + loaded("Good 3"),
       {good_[0], good_[1], good_[2]}},
      {"truncated certificate in the middle", pem(0) + truncated + pem(1) + pem(2),
       kOpened + loaded("Good 1") + kNoName + kNotX509 + loaded("Good 2") + loaded("Good 3"),
       {good_[0], good_[1], good_[2]}},
      {"bad blocks first and last", kNotACertificate + pem(0) + pem(1) + pem(2) + kBrokenBase64,
       kOpened + kNoName + kNotX509 + loaded("Good 1") + loaded("Good 2") + loaded("Good 3") + kNoName + kUnreadable,
       {good_[0], good_[1], good_[2]}},
      // The last block ends with the file, before its END line.
      {"last block without END line", pem(0) + pem(1) + pem(2).substr(0, pem(2).find("-----END")),
       kOpened + loaded("Good 1") + loaded("Good 2") + kNoName + kUnreadable, {good_[0], good_[1]}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    use_bundle(c.bundle);
    std::string err = capture_err([&] { EXPECT_EQ(cert_store_load(nullptr, 0), 0); });
    EXPECT_EQ(err, c.output);
    EXPECT_TRUE(cert_store_loaded());
    expect_set_is(c.set);
    cert_store_unload();
  }
}

TEST_F(RootBundleTest, BundleOfBadBlocksOnlyLoadsNothing) {
  use_bundle(kBrokenBase64 + kNotACertificate);
  std::string err = capture_err([&] { EXPECT_EQ(cert_store_load(nullptr, 0), -1); });
  EXPECT_EQ(err, kOpened + kNoName + kUnreadable + kNoName + kNotX509);
  EXPECT_FALSE(cert_store_loaded());
  cert_add_from_keystore(store_, nullptr);
  EXPECT_EQ(store_size(store_), 0);

  // Nothing is held, so a good bundle loads next without an unload.
  use_bundle(pem(0));
  EXPECT_EQ(cert_store_load(nullptr, 0), 0);
  cert_add_from_keystore(store_, nullptr);
  EXPECT_EQ(store_size(store_), 1);
  EXPECT_TRUE(store_has(store_, good_[0]));
}

// Each block is one entry of the walk with its DER and where its subject
// lies, found without parsing; blocks of other kinds are not entries at all.
TEST_F(RootBundleTest, WalkHoldsEachBlockWithItsSubject) {
  BIO* bio = BIO_new(BIO_s_mem());
  X509_alias_set1(good_[1], reinterpret_cast<const unsigned char*>("with trust settings"), -1);
  PEM_write_bio_X509_AUX(bio, good_[1]);
  char* data = nullptr;
  const long n = BIO_get_mem_data(bio, &data);
  const std::string trusted(data, static_cast<size_t>(n));
  BIO_free(bio);
  ASSERT_NE(trusted.find("BEGIN TRUSTED CERTIFICATE"), std::string::npos);

  const std::string other_kind = pem_block("X509 CRL", base64_of(bytes_of("not a crl")));
  use_bundle(pem(0) + kBrokenBase64 + other_kind + kNotACertificate + trusted + pem(2));
  std::unique_ptr<void, void (*)(void*)> store(platform::CertOpenSystemStoreW(nullptr, u"ROOT"),
                                               [](void* s) { platform::CertCloseStore(s, 0); });
  ASSERT_NE(store, nullptr);
  std::vector<const platform::CERT_CONTEXT*> walk;
  for (auto* c = platform::CertEnumCertificatesInStore(store.get(), nullptr); c;
       c = platform::CertEnumCertificatesInStore(store.get(), c)) {
    walk.push_back(c);
  }
  ASSERT_EQ(walk.size(), 5u);

  auto subject_of = [](X509* cert) {
    unsigned char* der = nullptr;
    int length = i2d_X509_NAME(X509_get_subject_name(cert), &der);
    std::vector<uint8_t> bytes(der, der + (length > 0 ? length : 0));
    OPENSSL_free(der);
    return bytes;
  };
  for (auto [i, cert] : {std::pair<size_t, X509*>{0, good_[0]}, {3, good_[1]}, {4, good_[2]}}) {
    EXPECT_EQ(walk[i]->subject, subject_of(cert)) << i;
  }
  EXPECT_EQ(walk[0]->encoded, der_of(good_[0]));
  EXPECT_EQ(walk[4]->encoded, der_of(good_[2]));
  // The trusted form keeps its trust settings after the certificate.
  const std::vector<uint8_t> plain = der_of(good_[1]);
  ASSERT_GT(walk[3]->encoded.size(), plain.size());
  EXPECT_TRUE(std::equal(plain.begin(), plain.end(), walk[3]->encoded.begin()));

  EXPECT_TRUE(walk[1]->encoded.empty());
  EXPECT_TRUE(walk[1]->subject.empty());
  EXPECT_TRUE(walk[2]->subject.empty());
  EXPECT_EQ(walk[2]->encoded, bytes_of("not a certificate"));

  char16_t name[64];
  EXPECT_EQ(platform::CertGetNameStringW(walk[3], platform::CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 64), 7u);
  EXPECT_EQ(std::u16string(name), u"Good 2");
  for (size_t i : {1u, 2u}) {
    EXPECT_EQ(platform::CertGetNameStringW(walk[i], platform::CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 64), 1u);
  }
  store.reset();

  // The load takes the trusted form like any other certificate, trust settings included.
  std::string err = capture_err([&] { EXPECT_EQ(cert_store_load(nullptr, 0), 0); });
  EXPECT_EQ(err, kOpened + loaded("Good 1") + kNoName + kUnreadable + kNoName + kNotX509 + loaded("Good 2") +
                     loaded("Good 3"));
  expect_set_is({good_[0], good_[1], good_[2]});
  X509_STORE* context = X509_STORE_new();
  cert_add_from_keystore(context, nullptr);
  store_size(context);
  bool alias_kept = false;
  auto* objects = X509_STORE_get0_objects(context);
  for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i) {
    X509* cert = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i));
    const unsigned char* alias = cert ? X509_alias_get0(cert, nullptr) : nullptr;
    if (alias && std::string(reinterpret_cast<const char*>(alias)) == "with trust settings") alias_kept = true;
  }
  EXPECT_TRUE(alias_kept);
  X509_STORE_free(context);
}

// A run that makes no TLS connection parses no ROOT certificate, and a
// connection only those its chain asks for: each object is made once and kept.
TEST_F(RootBundleTest, ObjectsAreMadeOnceWhenFirstNeeded) {
  use_bundle(pem(0) + pem(1) + pem(2));
  std::string err = capture_err([&] { EXPECT_EQ(cert_store_load(nullptr, 0), 0); });
  X509_STORE* first = X509_STORE_new();
  X509_STORE* second = X509_STORE_new();
  cert_add_from_keystore(first, nullptr);
  cert_add_from_keystore(second, nullptr);
  // Nothing is made before a chain asks for an issuer by its name.
  EXPECT_EQ(sk_X509_OBJECT_num(X509_STORE_get0_objects(first)), 0);
  resolve(first, good_[1]);
  EXPECT_EQ(sk_X509_OBJECT_num(X509_STORE_get0_objects(first)), 1);
  auto objects_of = [](X509_STORE* store) {
    store_size(store);
    std::vector<X509*> out;
    auto* objects = X509_STORE_get0_objects(store);
    for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i) {
      out.push_back(X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i)));
    }
    std::sort(out.begin(), out.end());
    return out;
  };
  // The same objects in both stores: made once, not once per connection.
  EXPECT_EQ(objects_of(first).size(), 3u);
  EXPECT_EQ(objects_of(first), objects_of(second));
  X509_STORE_free(first);
  X509_STORE_free(second);
}

// The root list holds its own references: the contexts that received the set
// keep valid objects after an unload, and a second load starts afresh.
TEST_F(RootBundleTest, ReloadAfterUnload) {
  use_bundle(pem(0) + kBrokenBase64 + pem(1) + pem(2));
  std::vector<X509_STORE*> contexts;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    std::string err = capture_err([&] { EXPECT_EQ(cert_store_load(nullptr, 0), 0); });
    EXPECT_EQ(err, kOpened + loaded("Good 1") + kNoName + kUnreadable + loaded("Good 2") + loaded("Good 3"));
    EXPECT_TRUE(cert_store_loaded());
    contexts.push_back(X509_STORE_new());
    cert_add_from_keystore(contexts.back(), nullptr);
    EXPECT_EQ(store_size(contexts.back()), 3);  // what the context found before the unload
    EXPECT_EQ(cert_store_unload(), 0);
    EXPECT_FALSE(cert_store_loaded());
  }
  for (X509_STORE* context : contexts) {
    EXPECT_EQ(store_size(context), 3);
    for (X509* cert : good_) {
      EXPECT_TRUE(store_has(context, cert));
    }
    X509_STORE_free(context);
  }
}

// The configured list shares the caller's object and keeps it alive after the
// caller has let go of its own reference.
TEST_F(CertStoreTest, ConfiguredCertificateOutlivesTheCallersReference) {
  X509* configured = make_ca_cert("Configured D");
  const std::string pem = testsupport::to_pem(configured);
  X509* certs[] = {configured};
  std::string err = capture_err([&] { EXPECT_EQ(cert_store_load(certs, 1), 0); });
  EXPECT_NE(err.find("[trace] _set_config_certs(): Certificate for /CN=Configured D\n"), std::string::npos) << err;
  X509_free(configured);

  cert_add_from_keystore(store_, nullptr);
  ASSERT_EQ(store_size(store_), 3);
  EXPECT_TRUE(store_has(store_, root_a_));
  EXPECT_TRUE(store_has(store_, root_b_));
  X509* held = nullptr;
  auto* objects = X509_STORE_get0_objects(store_);
  for (int i = 0; i < sk_X509_OBJECT_num(objects); ++i) {
    X509* c = X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i));
    if (X509_cmp(c, root_a_) != 0 && X509_cmp(c, root_b_) != 0) held = c;
  }
  ASSERT_NE(held, nullptr);
  EXPECT_EQ(held, configured) << "the list holds a reference, not a copy";
  EXPECT_EQ(testsupport::to_pem(held), pem);
}


// The display name cut to the caller's buffer as the Windows call does: at
// most chars-1 characters and the NUL, the count written with the NUL as the
// result, the needed size for no buffer, and nothing past chars.
TEST_F(CertStoreTest, DisplayNameStaysInsideTheCallersBuffer) {
  const std::u16string full = u"Größe Root Ω";  // fewer UTF-16 units than UTF-8 bytes
  X509* cert = make_ca_cert("Größe Root Ω");
  platform::CERT_CONTEXT context;
  context.encoded = der_of(cert);
  size_t cert_length = 0, offset = 0, length = 0;
  ASSERT_TRUE(platform::CertLocateSubject(context.encoded.data(), context.encoded.size(), &cert_length, &offset,
                                          &length));
  context.subject.assign(context.encoded.begin() + offset, context.encoded.begin() + offset + length);
  X509_free(cert);

  const uint32_t n = static_cast<uint32_t>(full.size());
  struct Case {
    uint32_t chars;
    uint32_t result;
    std::u16string written;
  } cases[] = {
      {n + 1, n + 1, full},                 // room for the name and its NUL
      {n, n, full.substr(0, n - 1)},        // exactly the name's length: cut by one
      {n - 1, n - 1, full.substr(0, n - 2)},
      {1, 1, u""},
  };
  constexpr char16_t kGuard = u'#';
  for (const auto& c : cases) {
    SCOPED_TRACE(c.chars);
    std::vector<char16_t> buffer(c.chars + 8, kGuard);
    buffer.back() = u'\0';  // so that a missing NUL reads no further
    EXPECT_EQ(platform::CertGetNameStringW(&context, platform::CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr,
                                           buffer.data(), c.chars),
              c.result);
    EXPECT_EQ(std::u16string(buffer.data()), c.written);
    for (size_t i = c.chars; i + 1 < buffer.size(); ++i) EXPECT_EQ(buffer[i], kGuard) << "written at " << i;
  }
  // No buffer, or none to write to: the size needed, nothing written.
  char16_t untouched[2] = {kGuard, kGuard};
  EXPECT_EQ(platform::CertGetNameStringW(&context, platform::CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0),
            n + 1);
  EXPECT_EQ(platform::CertGetNameStringW(&context, platform::CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, untouched, 0),
            n + 1);
  EXPECT_EQ(untouched[0], kGuard);
}

}  // namespace
