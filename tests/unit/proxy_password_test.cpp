// The stored proxy password: libkit's password utility, zel::GetProxyPassword
// over a real agent-config.json, and the kit-password encoder.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "agent/kit/kit.h"
#include "agent/kit/password_constants.h"
#include "agent/kit/password_util.h"
#include "shared_agent/util/config_singleton.h"
#include "shared_agent/util/proxy_password.h"
#include "tests/support/agent_dir.h"
#include "tests/support/process.h"

namespace {

using nlohmann::json;
using testsupport::AgentDir;
using testsupport::run_in_agent_dir;
namespace pw = agent_password;

using Bytes = std::vector<uint8_t>;

Bytes bytes_of(const std::string& text) { return Bytes(text.begin(), text.end()); }

const std::string kPrefix = "0d7c9a52-5b1e-4f0e-8c1d-2a9b3c4d5e6f";

struct Util_ {
  IPasswordUtil* util = Util::CreatePClassInstance();
  uint8_t key[256] = {};
  explicit Util_(bool prepare = true) {
    std::memcpy(key, pw::kKey, pw::kKeyLength);
    if (prepare && util) util->Prepare(pw::kSalt, pw::kSaltLength, key, pw::kKeyLength);
  }
  ~Util_() { Util::ReleasePClassInstance(util); }
  std::optional<Bytes> encode(const Bytes& plain) {
    Bytes out(plain.size() + 64);
    auto length = static_cast<uint32_t>(out.size());
    if (util->Encode(key, pw::kKeyLength, plain.data(), static_cast<uint32_t>(plain.size()), out.data(), &length))
      return std::nullopt;
    out.resize(length);
    return out;
  }
  std::optional<Bytes> decode(const Bytes& stored, uint32_t room = pw::kMaxDecodedLength) {
    Bytes out(room + 1);
    uint32_t length = room;
    if (util->Decode(key, pw::kKeyLength, stored.data(), static_cast<uint32_t>(stored.size()), out.data(), &length))
      return std::nullopt;
    out.resize(length);
    return out;
  }
};

std::string base64(const Bytes& data) {
  std::string text(4 * ((data.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), data.data(), static_cast<int>(data.size()));
  text.resize(static_cast<size_t>(n));
  return text;
}

// The stored value for a decoded text, as agent-config.json holds it.
json stored_password(const std::string& decoded) {
  Util_ u;
  auto stored = u.encode(bytes_of(decoded));
  EXPECT_TRUE(stored.has_value());
  return {{"base64", base64(stored.value_or(Bytes{}))}};
}

TEST(PasswordUtilTest, RoundTripsUnderThePreparedKey) {
  Util_ u;
  ASSERT_NE(u.util, nullptr);
  Bytes plain = bytes_of(kPrefix + "hunter2");
  auto stored = u.encode(plain);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->size(), pw::kNonceLength + plain.size() + pw::kTagLength);
  EXPECT_EQ(u.decode(*stored), plain);
  // A fresh nonce each time: the same password never stores alike.
  EXPECT_NE(u.encode(plain), stored);
  // Nonce, tag and ciphertext are all covered.
  for (size_t at : {size_t{0}, pw::kNonceLength + 3, stored->size() - 1}) {
    Bytes tampered = *stored;
    tampered[at] ^= 0x01;
    EXPECT_FALSE(u.decode(tampered)) << "byte " << at;
  }
}

TEST(PasswordUtilTest, RefusesShortValuesOtherKeysAndLongPlaintexts) {
  Util_ u;
  auto empty = u.encode({});
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->size(), 28u);
  EXPECT_EQ(u.decode(*empty), Bytes{});
  EXPECT_FALSE(u.decode(Bytes(empty->begin(), empty->end() - 1))) << "27 bytes hold no nonce and tag";

  Bytes plain(1024, 'p');
  auto stored = u.encode(plain);
  ASSERT_TRUE(stored);
  EXPECT_FALSE(u.decode(*stored, 1023)) << "a plaintext longer than the room it is given";
  EXPECT_EQ(u.decode(*stored, 1024), plain);

  Util_ unprepared(false);
  EXPECT_FALSE(unprepared.decode(*empty));

  Util_ other;
  other.key[0] ^= 0xFF;
  other.util->Prepare(pw::kSalt, pw::kSaltLength, other.key, pw::kKeyLength);
  EXPECT_FALSE(other.decode(*empty));
}

std::string captured_errors(const std::function<void()>& body) {
  ::testing::internal::CaptureStderr();
  body();
  return ::testing::internal::GetCapturedStderr();
}

TEST(GetProxyPasswordTest, DecodesThePasswordAfterThePrefix) {
  struct Case {
    const char* name;
    std::optional<json> stored;
    std::optional<std::u16string> password;
    std::string trace;  // the one line GetProxyPassword writes, or ""
  } cases[] = {
      {"password", stored_password(kPrefix + "s3cret"), u"s3cret", ""},
      {"one character (37 bytes)", stored_password(kPrefix + "x"), u"x", ""},
      {"UTF-8", stored_password(kPrefix + "p\xc3\xa4ss"), u"p\u00e4ss", ""},
      {"prefix only (36 bytes)", stored_password(kPrefix), std::nullopt,
       "[trace] zel::GetProxyPassword error: incorrect password specified 36, 36\n"},
      {"shorter than the prefix", stored_password("abc"), std::nullopt,
       "[trace] zel::GetProxyPassword error: incorrect password specified 3, 36\n"},
      {"longest (1023 bytes)", stored_password(kPrefix + std::string(987, 'q')), std::u16string(987, u'q'), ""},
      {"too long (1024 bytes)", stored_password(kPrefix + std::string(988, 'q')), std::nullopt, ""},
      {"not a stored value", json{{"base64", base64(Bytes(40, 7))}}, std::nullopt, ""},
      {"no key", std::nullopt, std::nullopt, ""},
  };
  for (const auto& c : cases) {
    AgentDir dir;
    json config = {{"config/proxy/server", "proxy.test"}};
    if (c.stored) config["config/proxy/password"] = *c.stored;
    dir.write_config(config);
    run_in_agent_dir(dir, [&c] {
      setDebugLevel(0x7FFFFFF000LL);
      // The singleton's own trace comes first, outside what is compared.
      ASSERT_NE(zel::CConfigSingleton::GetInstance(), nullptr);
      std::u16string out = u"untouched";
      bool got = false;
      std::string err = captured_errors([&] { got = zel::GetProxyPassword(out); });
      EXPECT_EQ(got, c.password.has_value()) << c.name;
      EXPECT_EQ(out, c.password.value_or(u"untouched")) << c.name;
      EXPECT_EQ(err, c.trace) << c.name;
    });
  }
}

// A stand-in utility that reports what the test asks for and records what it
// was given, to see GetProxyPassword's own checks and wiping.
struct FakeUtil : IPasswordUtil {
  static inline int decode_result = 0;
  static inline uint32_t reported_length = 0;
  static inline std::string written;
  static inline uint32_t length_on_entry = 0;
  static inline bool prepared_with_constants = false;
  static inline int released = 0;

  int Encode(const uint8_t*, uint32_t, const uint8_t*, uint32_t, uint8_t*, uint32_t*) override { return 1; }
  int Decode(const uint8_t* key, uint32_t key_length, const uint8_t*, uint32_t, uint8_t* out,
             uint32_t* out_length) override {
    EXPECT_EQ(key_length, pw::kKeyLength);
    EXPECT_EQ(std::memcmp(key, pw::kKey, pw::kKeyLength), 0);
    length_on_entry = *out_length;
    std::memcpy(out, written.data(), written.size());
    *out_length = reported_length;
    return decode_result;
  }
  int Prepare(const uint8_t* salt, uint32_t salt_length, const uint8_t* key, uint32_t key_length) override {
    prepared_with_constants = salt_length == pw::kSaltLength && std::memcmp(salt, pw::kSalt, salt_length) == 0 &&
                              key_length == pw::kKeyLength && std::memcmp(key, pw::kKey, key_length) == 0;
    return 0;
  }
  static IPasswordUtil* create() { return new FakeUtil(); }
  static void release(IPasswordUtil* util) {
    ++released;
    delete static_cast<FakeUtil*>(util);
  }
};

bool all_zero(const uint8_t* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (data[i]) return false;
  }
  return true;
}

TEST(GetProxyPasswordTest, LeavesBothBuffersZeroAndTrustsNoLengthPast1023) {
  struct Case {
    const char* name;
    int decode_result;
    std::string written;
    uint32_t reported_length;
    std::optional<std::u16string> password;
  } cases[] = {
      {"decoded", 0, kPrefix + "pass", 40, u"pass"},
      {"decode failed after writing", 1, kPrefix + "pass", 40, std::nullopt},
      {"length 1024 reported", 0, kPrefix + "pass", 1024, std::nullopt},
      {"length far past the buffer", 0, kPrefix + "pass", 0x7FFFFFFF, std::nullopt},
      {"prefix only", 0, kPrefix, 36, std::nullopt},
  };
  AgentDir dir;
  dir.write_config({{"config/proxy/password", stored_password(kPrefix + "unused")}});
  for (const auto& c : cases) {
    run_in_agent_dir(dir, [&c] {
      FakeUtil::decode_result = c.decode_result;
      FakeUtil::written = c.written;
      FakeUtil::reported_length = c.reported_length;
      uint8_t work[256];
      uint8_t output[1024];
      std::memset(work, 0xAA, sizeof(work));
      std::memset(output, 0xAA, sizeof(output));
      std::u16string out;
      bool got = zel::detail::GetProxyPasswordWith({&FakeUtil::create, &FakeUtil::release}, work, output, out);
      EXPECT_EQ(got, c.password.has_value()) << c.name;
      if (c.password) {
        EXPECT_EQ(out, *c.password) << c.name;
      }
      EXPECT_TRUE(FakeUtil::prepared_with_constants) << c.name;
      EXPECT_EQ(FakeUtil::length_on_entry, 1023u) << c.name;
      EXPECT_EQ(FakeUtil::released, 1) << c.name;
      EXPECT_TRUE(all_zero(work, sizeof(work))) << c.name << ": working buffer";
      EXPECT_TRUE(all_zero(output, sizeof(output))) << c.name << ": output buffer";
    });
  }
}

TEST(GetProxyPasswordTest, NoConfigurationMeansNoPassword) {
  AgentDir dir;  // no agent-config.json
  run_in_agent_dir(dir, [] {
    std::u16string out = u"untouched";
    std::string err = captured_errors([&] { EXPECT_FALSE(zel::GetProxyPassword(out)); });
    EXPECT_EQ(out, u"untouched");
    EXPECT_EQ(err, "[error] zel::CConfigSingleton::GetInstance: failed to load config\n");
  });
}

// kit-password's output, stored and read back by the tool's side.
testsupport::ProcessResult encode_with_kit_password(const std::string& input) {
  return testsupport::run_process(
      {"/bin/sh", "-c", "printf '%s' \"$KIT_PASSWORD_INPUT\" | \"$KIT_PASSWORD\""},
      {{"KIT_PASSWORD_INPUT", input}, {"KIT_PASSWORD", testsupport::bin_dir() + "/kit-password"}});
}

TEST(KitPasswordTest, EncodesTheFirstLineForTheTool) {
  struct Case {
    const char* name;
    std::string input;
    std::u16string password;
  } cases[] = {
      {"line", "p@ss w0rd\n", u"p@ss w0rd"},
      {"no line end", "p@ss", u"p@ss"},
      {"first line only, CR dropped", "first\r\nsecond\n", u"first"},
      {"longest", std::string(987, 'z') + "\n", std::u16string(987, u'z')},
  };
  for (const auto& c : cases) {
    auto run = encode_with_kit_password(c.input);
    ASSERT_EQ(run.exit_code, 0) << c.name << ": " << run.err;
    auto lines = testsupport::split_lines(run.out);
    ASSERT_EQ(lines.size(), 1u) << c.name;
    AgentDir dir;
    dir.write_config({{"config/proxy/password", {{"base64", lines[0]}}}});
    run_in_agent_dir(dir, [&c] {
      std::u16string out;
      EXPECT_TRUE(zel::GetProxyPassword(out)) << c.name;
      EXPECT_EQ(out, c.password) << c.name;
    });
  }
}

TEST(KitPasswordTest, RefusesNoPasswordAndTooLongOnes) {
  for (const std::string& input : {std::string(), std::string("\n"), std::string(988, 'z') + "\n"}) {
    auto run = encode_with_kit_password(input);
    EXPECT_EQ(run.exit_code, 1) << input.size();
    EXPECT_EQ(run.out, "") << input.size();
    EXPECT_NE(run.err.find("kit-password: "), std::string::npos) << run.err;
  }
}

}  // namespace
