// The configuration singleton and the typed reads over a real agent
// directory. Each scenario runs in its own child process, since the
// singleton keeps the first object it gets for the life of the process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "agent/kit/kit.h"
#include "shared_agent/util/config_read.h"
#include "shared_agent/util/config_singleton.h"
#include "shared_agent/util/config_text.h"
#include "tests/support/agent_dir.h"

namespace {

using nlohmann::json;
using testsupport::AgentDir;
using testsupport::run_in_agent_dir;

std::string captured_errors(const std::function<void()>& body) {
  ::testing::internal::CaptureStderr();
  body();
  return ::testing::internal::GetCapturedStderr();
}

size_t count_of(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

bool all_zero(const char* buffer, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (buffer[i] != 0) return false;
  }
  return true;
}

void expect_every_read_missing() {
  std::u16string text = u"untouched";
  EXPECT_EQ(ReadConfigText("config/agent/uuid", text), ZEL_E_CONFIG_MISSING);
  EXPECT_EQ(ReadConfigTextEx("config/agent/uuid", text), ZEL_E_CONFIG_MISSING);
  EXPECT_EQ(text, u"untouched");
  char buffer[37];
  EXPECT_EQ(GetConfigString("config/agent/uuid", buffer, sizeof(buffer)), ZEL_E_CONFIG_MISSING);
  char* alloc = nullptr;
  EXPECT_EQ(GetConfigStringAlloc("config/agent/uuid", &alloc), ZEL_E_CONFIG_MISSING);
  EXPECT_EQ(alloc, nullptr);
}

TEST(ConfigSingletonTest, NoDataFileFailsEveryCallAgain) {
  AgentDir dir;  // no agent-config.json
  run_in_agent_dir(dir, [] {
    std::string err = captured_errors([] {
      EXPECT_EQ(zel::CConfigSingleton::GetInstance(), nullptr);
      EXPECT_EQ(zel::CConfigSingleton::GetInstance(), nullptr);
      expect_every_read_missing();
    });
    // Two direct calls and four reads: the failure is never remembered.
    EXPECT_EQ(count_of(err, "[error] zel::CConfigSingleton::GetInstance: failed to load config\n"), 6u) << err;
    EXPECT_EQ(count_of(err, "[error] Failed to get config config/agent/uuid.\n"), 2u) << err;
  });
}

TEST(ConfigSingletonTest, MissingLibraryOrExportIsReportedEachTime) {
  struct Case {
    const char* name;
    const char* link_as_confstore;  // null: no libconfstore.so at all
    const char* message;
  } cases[] = {
      {"no library", nullptr, "[error] zel::CConfigSingleton::GetInstance: Could not load confstore.dll\n"},
      {"no export", "libkit.so",
       "[error] zel::CConfigSingleton::GetInstance: Could not find CreateConfigClassInstance in confstore.dll\n"},
  };
  for (const auto& c : cases) {
    AgentDir dir({"libconfstore.so"});
    dir.write_config({{"config/agent/uuid", "x"}});
    if (c.link_as_confstore) dir.link("libconfstore.so", c.link_as_confstore);
    run_in_agent_dir(dir, [&c] {
      std::string err = captured_errors([] {
        EXPECT_EQ(zel::CConfigSingleton::GetInstance(), nullptr);
        EXPECT_EQ(zel::CConfigSingleton::GetInstance(), nullptr);
      });
      EXPECT_EQ(err, std::string(c.message) + c.message) << c.name;
    });
  }
}

TEST(ConfigSingletonTest, FirstObjectIsKeptAndTracedOnce) {
  AgentDir dir;
  dir.write_config({{"config/agent/uuid", "6f1c2b1e-8d1b-4b7e-9a55-0c8e3f6a9d21"}});
  run_in_agent_dir(dir, [] {
    setDebugLevel(0x7FFFFFF000LL);
    IConfig* first = nullptr;
    IConfig* second = nullptr;
    std::string err = captured_errors([&] {
      first = zel::CConfigSingleton::GetInstance();
      second = zel::CConfigSingleton::GetInstance();
    });
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_EQ(count_of(err, "[trace] zel::CConfigSingleton::GetInstance : config: 0x"), 1u) << err;
    std::u16string uuid;
    EXPECT_EQ(ReadConfigText("config/agent/uuid", uuid), S_OK);
    EXPECT_EQ(uuid, u"6f1c2b1e-8d1b-4b7e-9a55-0c8e3f6a9d21");
  });
}

TEST(ConfigReadTest, GetConfigStringFitsConvertsOrRefuses) {
  const std::string guid36 = "6f1c2b1e-8d1b-4b7e-9a55-0c8e3f6a9d21";
  // 20 UTF-16 characters, 40 UTF-8 bytes: passes the character test for a
  // 37-byte buffer and does not fit it.
  std::string twenty_e_acute;
  for (int i = 0; i < 20; ++i) twenty_e_acute += "\xc3\xa9";
  AgentDir dir;
  dir.write_config({{"config/guid", guid36},
                    {"config/guid37", guid36 + "0"},
                    {"config/accented", twenty_e_acute},
                    {"config/empty", ""},
                    {"config/number", 5}});
  struct Case {
    const char* key;
    HRESULT result;
    std::string value;    // when the result is 0
    const char* message;  // the one error line, or null
  } cases[] = {
      {"config/guid", S_OK, guid36, nullptr},
      {"config/guid37", E_INSUFFICIENT_BUFFER, "", "Insufficient buffer size to hold config config/guid37"},
      {"config/accented", E_INSUFFICIENT_BUFFER, "",
       "Conversion of config tstring to string failed for config config/accented"},
      {"config/empty", S_OK, "", nullptr},
      {"config/number", ZEL_E_CONFIG_MISSING, "", "Failed to get config config/number."},
      {"config/missing", ZEL_E_CONFIG_MISSING, "", "Failed to get config config/missing."},
  };
  run_in_agent_dir(dir, [&] {
    for (const auto& c : cases) {
      char buffer[37];
      std::memset(buffer, 'x', sizeof(buffer));
      HRESULT hr = S_OK;
      std::string err = captured_errors([&] { hr = GetConfigString(c.key, buffer, sizeof(buffer)); });
      EXPECT_EQ(hr, c.result) << c.key;
      EXPECT_EQ(err, c.message ? std::string("[error] ") + c.message + "\n" : "") << c.key;
      if (hr == S_OK) {
        EXPECT_EQ(std::string(buffer), c.value) << c.key;
      } else if (c.result != ZEL_E_CONFIG_MISSING) {
        EXPECT_TRUE(all_zero(buffer, sizeof(buffer))) << c.key << ": a refused value leaves the buffer all zero";
      }
    }
    char buffer[8];
    EXPECT_EQ(GetConfigString(nullptr, buffer, sizeof(buffer)), E_FAIL);
    EXPECT_EQ(GetConfigString("config/guid", nullptr, 8), E_FAIL);
  });
}

TEST(ConfigReadTest, GetConfigStringAllocCopiesAnyLength) {
  std::string long_value(5000, 'a');
  AgentDir dir;
  dir.write_config({{"config/proxy/server", "proxy.example.test"}, {"config/long", long_value}, {"config/empty", ""}});
  run_in_agent_dir(dir, [&] {
    struct Case {
      const char* key;
      HRESULT result;
      std::string value;
    } cases[] = {
        {"config/proxy/server", S_OK, "proxy.example.test"},
        {"config/long", S_OK, long_value},
        {"config/empty", S_OK, ""},
        {"config/missing", ZEL_E_CONFIG_MISSING, ""},
    };
    for (const auto& c : cases) {
      char* out = nullptr;
      EXPECT_EQ(GetConfigStringAlloc(c.key, &out), c.result) << c.key;
      if (c.result == S_OK) {
        ASSERT_NE(out, nullptr) << c.key;
        EXPECT_EQ(std::string(out), c.value) << c.key;
      } else {
        EXPECT_EQ(out, nullptr) << c.key;
      }
      std::free(out);
    }
    char* out = nullptr;
    EXPECT_EQ(GetConfigStringAlloc(nullptr, &out), E_FAIL);
    EXPECT_EQ(GetConfigStringAlloc("config/empty", nullptr), E_FAIL);
  });
}

TEST(ConfigTextTest, TStringToBufferNeedsRoomForTheNul) {
  char buffer[4];
  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(TStringToBuffer(buffer, sizeof(buffer), u"abc"), S_OK);
  EXPECT_STREQ(buffer, "abc");
  std::memset(buffer, 'x', sizeof(buffer));
  EXPECT_EQ(TStringToBuffer(buffer, sizeof(buffer), u"abcd"), E_INSUFFICIENT_BUFFER);
  EXPECT_EQ(std::string(buffer, 4), "xxxx") << "a refused text writes nothing";
  EXPECT_EQ(TStringToBuffer(buffer, sizeof(buffer), u"\u00e9\u00e9"), E_INSUFFICIENT_BUFFER) << "4 UTF-8 bytes";
  EXPECT_EQ(TStringToBuffer(buffer, sizeof(buffer), u"\u00e9a"), S_OK);
  EXPECT_STREQ(buffer, "\xc3\xa9" "a");
  EXPECT_EQ(TStringToBuffer(nullptr, 4, u"a"), ZEL_E_NULL_ARGUMENT);
  EXPECT_EQ(TStringToBuffer(buffer, 0, u"a"), ZEL_E_NULL_ARGUMENT);
}

TEST(ConfigTextTest, TStringToAllocStringCopiesUtf8) {
  char* out = nullptr;
  EXPECT_EQ(TStringToAllocString(&out, u"p\u00e4ss \U0001F600"), S_OK);
  ASSERT_NE(out, nullptr);
  EXPECT_STREQ(out, "p\xc3\xa4ss \xf0\x9f\x98\x80");
  std::free(out);
  EXPECT_EQ(TStringToAllocString(&out, u""), S_OK);
  ASSERT_NE(out, nullptr);
  EXPECT_STREQ(out, "");
  std::free(out);
  EXPECT_EQ(TStringToAllocString(nullptr, u"a"), ZEL_E_NULL_ARGUMENT);
}

}  // namespace
