// libconfstore.so as the tool sees it: a real library reading a real
// agent-config.json beside itself.
#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "agent/confstore/iconfig.h"
#include "platform/loader.h"
#include "tests/support/agent_dir.h"
#include "tests/support/test_certs.h"

namespace {

using nlohmann::json;
using testsupport::AgentDir;

struct ConfigDeleter {
  void operator()(IConfig* config) const { delete config; }
};
using ConfigPtr = std::unique_ptr<IConfig, ConfigDeleter>;

// One agent directory and one load of the library for the whole suite: the
// library stays loaded once loaded, and reads the file beside the path it
// was loaded from. Each test writes the file and loads a new object.
class ConfstoreTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new AgentDir();
    platform::set_library_directory(dir_->path(), true);
    module_ = platform::LoadLibraryW(u"confstore.dll");
    platform::set_library_directory("");
    ASSERT_NE(module_, nullptr);
    create_ = reinterpret_cast<CreateConfigClassInstanceFn>(
        platform::GetProcAddress(module_, "CreateConfigClassInstance"));
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  // A new object after Load over the given file text; null when Load said 0.
  ConfigPtr load_text(const std::string& text) {
    dir_->write_file("agent-config.json", text);
    return load();
  }
  ConfigPtr load_json(const json& config) { return load_text(config.dump()); }
  ConfigPtr load() {
    EXPECT_NE(create_, nullptr);
    if (!create_) return nullptr;
    ConfigPtr config(create_());
    EXPECT_NE(config, nullptr);
    if (!config) return nullptr;
    config->SetModuleHandle(module_);
    if (config->Load(0) == 0) return nullptr;
    return config;
  }

  static std::optional<std::u16string> text(IConfig& config, const char* key, bool ex) {
    char16_t* value = ex ? config.GetStringEx(key) : config.GetString(key);
    if (!value) return std::nullopt;
    std::u16string copy(value);
    config.FreeString(value);
    return copy;
  }

  static inline AgentDir* dir_ = nullptr;
  static inline platform::Module module_ = nullptr;
  static inline CreateConfigClassInstanceFn create_ = nullptr;
};

TEST_F(ConfstoreTest, LoadFailsWithoutAUsableFile) {
  dir_->remove("agent-config.json");
  EXPECT_EQ(load(), nullptr) << "no file";
  EXPECT_EQ(load_text("{\"config/agent/uuid\": \"x\""), nullptr) << "cut short";
  EXPECT_EQ(load_text("[1, 2]"), nullptr) << "not an object";
  EXPECT_EQ(load_text(""), nullptr) << "empty";
  EXPECT_NE(load_text("{}"), nullptr);
}

// What cannot be a data file is refused before it is read: a device would
// never end, a FIFO would block the open, a huge file would be read whole.
TEST_F(ConfstoreTest, OnlyARegularFileUpTo16MiBIsRead) {
  const std::string file = dir_->file("agent-config.json");
  const std::string padded_object = [] {
    std::string text = "{\"config/pad\": \"";
    text.append(10u << 20, 'x');
    return text + "\"}";
  }();
  struct Case {
    const char* label;
    std::function<void()> make;
    bool loads;
    std::string message;
  } cases[] = {
      {"link to the zero device", [&] { dir_->link("agent-config.json", "/dev/zero"); }, false, "is not a regular file"},
      {"FIFO", [&] { ASSERT_EQ(mkfifo(file.c_str(), 0600), 0); }, false, "is not a regular file"},
      {"directory", [&] { ASSERT_EQ(mkdir(file.c_str(), 0700), 0); }, false, "is not a regular file"},
      {"17 MiB", [&] { dir_->write_file("agent-config.json", std::string(17u << 20, ' ') + "{}"); }, false,
       "is larger than 16 MiB (17825794 bytes)"},
      {"10 MiB", [&] { dir_->write_file("agent-config.json", padded_object); }, true, ""},
  };
  for (const auto& c : cases) {
    std::error_code ignored;
    std::filesystem::remove_all(file, ignored);
    c.make();
    ::testing::internal::CaptureStderr();
    ConfigPtr config = load();
    std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(config != nullptr, c.loads) << c.label;
    if (!c.loads) {
      EXPECT_EQ(errors, "[error] ConfigStore::Load: " + file + " " + c.message + "\n") << c.label;
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(file, ignored);
}

TEST_F(ConfstoreTest, ATextHoldingANulIsNoText) {
  auto config = load_text(R"({"config/agent/uuid": "6f1c2b1e\u0000-8d1b-4b7e-9a55-0c8e3f6a9d21", "config/ok": "a"})");
  ASSERT_NE(config, nullptr);
  EXPECT_EQ(text(*config, "config/agent/uuid", false), std::nullopt);
  EXPECT_EQ(config->GetStringA("config/agent/uuid"), nullptr);
  EXPECT_EQ(text(*config, "config/ok", false), u"a");
}

TEST_F(ConfstoreTest, TextsAreUtf16AndOnlyTexts) {
  auto config = load_json({{"config/a", "plain"},
                           {"config/b", "Z\u00fcrich \u65e5\u672c \U0001F600"},
                           {"config/empty", ""},
                           {"config/number", 7},
                           {"config/list", json::array({"a"})}});
  ASSERT_NE(config, nullptr);
  struct Case {
    const char* key;
    std::optional<std::u16string> expected;
  } cases[] = {
      {"config/a", u"plain"},
      {"config/b", u"Z\u00fcrich \u65e5\u672c \U0001F600"},
      {"config/empty", u""},
      {"config/number", std::nullopt},
      {"config/list", std::nullopt},
      {"config/missing", std::nullopt},
      {"CONFIG/A", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(text(*config, c.key, false), c.expected) << c.key;
    EXPECT_EQ(text(*config, c.key, true), c.expected) << c.key << " (Ex)";
  }
  EXPECT_EQ(text(*config, nullptr, false), std::nullopt);
  config->FreeString(nullptr);  // what a template expansion hands back for a missing key
}

TEST_F(ConfstoreTest, NarrowTextComesBackAsStored) {
  auto config = load_json({{"config/agent/cloud/est/cert", "line 1\nline \u00e9"}, {"config/n", 1}});
  ASSERT_NE(config, nullptr);
  char* value = config->GetStringA("config/agent/cloud/est/cert");
  ASSERT_NE(value, nullptr);
  EXPECT_STREQ(value, "line 1\nline \xc3\xa9");
  config->FreeBuffer(value);
  EXPECT_EQ(config->GetStringA("config/n"), nullptr);
  EXPECT_EQ(config->GetStringA("config/none"), nullptr);
}

TEST_F(ConfstoreTest, NumbersFrom0To4294967294AreValues) {
  auto config = load_json({{"config/zero", 0},
                           {"config/port", 3128},
                           {"config/largest", 4294967294u},
                           {"config/none", 4294967295u},
                           {"config/too_big", 4294967296ull},
                           {"config/negative", -1},
                           {"config/fraction", 1.5},
                           {"config/whole_float", 80.0},
                           {"config/bool", true},
                           {"config/text", "80"}});
  ASSERT_NE(config, nullptr);
  struct Case {
    const char* key;
    uint32_t expected;
  } cases[] = {
      {"config/zero", 0},
      {"config/port", 3128},
      {"config/largest", 4294967294u},
      {"config/none", CONFIG_NO_NUMBER},
      {"config/too_big", CONFIG_NO_NUMBER},
      {"config/negative", CONFIG_NO_NUMBER},
      {"config/fraction", CONFIG_NO_NUMBER},
      {"config/whole_float", CONFIG_NO_NUMBER},
      {"config/bool", CONFIG_NO_NUMBER},
      {"config/text", CONFIG_NO_NUMBER},
      {"config/missing", CONFIG_NO_NUMBER},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(config->GetDword(c.key), c.expected) << c.key;
    EXPECT_EQ(config->GetDwordEx(c.key), c.expected) << c.key << " (Ex)";
  }
}

TEST_F(ConfstoreTest, BinaryValuesAreStrictBase64) {
  auto config = load_json({{"config/two", {{"base64", "aGk="}}},
                           {"config/three", {{"base64", "AP8B"}}},
                           {"config/empty", {{"base64", ""}}},
                           {"config/bad_char", {{"base64", "aG!="}}},
                           {"config/bad_length", {{"base64", "aGk"}}},
                           {"config/spaces", {{"base64", " aGk="}}},
                           {"config/inner_padding", {{"base64", "aQ==aQ=="}}},
                           {"config/padding_first", {{"base64", "=aGk"}}},
                           {"config/three_padding", {{"base64", "a==="}}},
                           {"config/only_padding", {{"base64", "===="}}},
                           {"config/no_member", json::object()},
                           {"config/text", "aGk="}});
  ASSERT_NE(config, nullptr);
  struct Case {
    const char* key;
    std::optional<std::string> expected;
  } cases[] = {
      {"config/two", std::string("hi")},
      {"config/three", std::string("\x00\xff\x01", 3)},
      {"config/empty", std::string()},
      {"config/bad_char", std::nullopt},
      {"config/bad_length", std::nullopt},
      {"config/spaces", std::nullopt},
      {"config/inner_padding", std::nullopt},
      {"config/padding_first", std::nullopt},
      {"config/three_padding", std::nullopt},
      {"config/only_padding", std::nullopt},
      {"config/no_member", std::nullopt},
      {"config/text", std::nullopt},
      {"config/missing", std::nullopt},
  };
  for (const auto& c : cases) {
    uint32_t length = 12345;
    uint8_t* bytes = config->GetBinary(c.key, &length);
    if (!c.expected) {
      EXPECT_EQ(bytes, nullptr) << c.key;
      EXPECT_EQ(length, 0u) << c.key;
      continue;
    }
    ASSERT_NE(bytes, nullptr) << c.key;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), length), *c.expected) << c.key;
    config->FreeBuffer(bytes);
  }
}

TEST_F(ConfstoreTest, VersionIsTheVersionMember) {
  auto config = load_json({{"version", "8.4.2.31122"}});
  ASSERT_NE(config, nullptr);
  char16_t* version = config->GetAgentVersion();
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(std::u16string(version), u"8.4.2.31122");
  config->FreeString(version);

  auto without = load_json({{"config/agent/uuid", "x"}});
  ASSERT_NE(without, nullptr);
  EXPECT_EQ(without->GetAgentVersion(), nullptr);
}

std::string subject_cn(X509* cert) {
  char cn[256] = {};
  X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, cn, sizeof(cn));
  return cn;
}

TEST_F(ConfstoreTest, CertificateListsHoldTheParsedPemTexts) {
  X509* first = testsupport::make_ca_cert("First CA");
  X509* second = testsupport::make_ca_cert("Second CA");
  const char* key = "config/agent/cloud/trustedcerts/cert";
  auto config = load_json({{key, {testsupport::to_pem(first), testsupport::to_pem(second)}},
                           {"config/with_bad", {"not a certificate", 5, testsupport::to_pem(second)}},
                           {"config/empty", json::array()},
                           {"config/text", testsupport::to_pem(first)}});
  X509_free(first);
  X509_free(second);
  ASSERT_NE(config, nullptr);

  X509** list = nullptr;
  uint32_t count = 0;
  ASSERT_EQ(config->GetCertList(key, &list, &count), 0);
  ASSERT_EQ(count, 2u);
  EXPECT_EQ(subject_cn(list[0]), "First CA");
  EXPECT_EQ(subject_cn(list[1]), "Second CA");
  config->FreeCertList(list, count);

  // Bad entries are left out and reported; the good one still comes back.
  EXPECT_NE(config->GetCertList("config/with_bad", &list, &count), 0);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(subject_cn(list[0]), "Second CA");
  config->FreeCertList(list, count);

  EXPECT_EQ(config->GetCertList("config/empty", &list, &count), 0);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(list, nullptr);

  for (const char* missing : {"config/text", "config/missing"}) {
    list = reinterpret_cast<X509**>(&count);  // must be reset
    EXPECT_NE(config->GetCertList(missing, &list, &count), 0) << missing;
    EXPECT_EQ(list, nullptr) << missing;
    EXPECT_EQ(count, 0u) << missing;
  }
}

}  // namespace
