#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tool/command_line.h"

namespace {

struct Parsed {
  bool ok;
  CommandLine cl;
};

Parsed parse(std::vector<std::string> args) {
  std::vector<char*> argv = {const_cast<char*>("pathvane")};
  for (auto& a : args) argv.push_back(a.data());
  Parsed p{};
  p.ok = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), p.cl);
  return p;
}

struct Case {
  std::vector<std::string> args;
  uint32_t mask;
  ProxyMode proxy;
  bool verbose;
  uint32_t serial;
};

TEST(ParseCommandLine, OptionsGiveMaskProxyVerboseAndSerial) {
  const Case cases[] = {
      {{}, 0xFFF, kProxyDiscover, false, 0},
      {{"/U"}, 0x1000, kProxyDiscover, false, 0},
      {{"/T", "/U"}, 0x1001, kProxyDiscover, false, 0},
      {{"/V", "/P-"}, 0xFFF, kProxyBypass, true, 0},
      {{"/C"}, 0x2, kProxyDiscover, false, 0},
      {{"/j", "/d", "/h", "/i"}, 0x82C, kProxyDiscover, false, 0},
      {{"/F20"}, 0x100, kProxyDiscover, false, 20},
      {{"/F5", "/F7", "/F"}, 0x100, kProxyDiscover, false, 7},
      {{"/Pp"}, 0xFFF, kProxyFromPolicy, false, 0},
      // A proxy choice holds for the options that follow it.
      {{"/P-", "/T"}, 0x1, kProxyBypass, false, 0},
      {{"/T", "/P-"}, 0x1, kProxyBypass, false, 0},
      {{"/PP", "/pd"}, 0xFFF, kProxyDiscover, false, 0},
  };
  for (const auto& c : cases) {
    auto p = parse(c.args);
    std::string label = ::testing::PrintToString(c.args);
    ASSERT_TRUE(p.ok) << label;
    EXPECT_EQ(p.cl.mask, c.mask) << label;
    EXPECT_EQ(p.cl.proxy_mode, c.proxy) << label;
    EXPECT_EQ(p.cl.verbose, c.verbose) << label;
    EXPECT_EQ(p.cl.policy_serial, c.serial) << label;
  }
}

TEST(ParseCheckOption, UnknownLetterIsZeroWithoutErrorFlag) {
  bool error = true;
  uint32_t serial = 0;
  EXPECT_EQ(ParseCheckOption("/X", &serial, &error), 0u);
  EXPECT_FALSE(error);
  EXPECT_EQ(ParseCheckOption("/TT", &serial, &error), 0u);
  EXPECT_TRUE(error);
}

TEST(ParseCheckOption, SerialBounds) {
  struct {
    const char* arg;
    uint32_t bit;
    uint32_t serial;
  } cases[] = {{"/F1", 0x100, 1},          {"/F268435455", 0x100, 268435455}, {"/F268435456", 0, 99},
               {"/F0", 0, 99},             {"/F4294967297", 0, 99},           {"/F99999999999999999999999", 0, 99},
               {"/F007", 0x100, 7}};
  for (const auto& c : cases) {
    uint32_t serial = 99;
    bool error = false;
    EXPECT_EQ(ParseCheckOption(c.arg, &serial, &error), c.bit) << c.arg;
    EXPECT_EQ(serial, c.serial) << c.arg;
    EXPECT_EQ(error, c.bit == 0) << c.arg;
  }
}

TEST(JoinArguments, ProgramPathAndArgumentsWithSingleBlanks) {
  char a0[] = "./bin/pathvane", a1[] = "/F20", a2[] = "/V";
  char* argv[] = {a0, a1, a2};
  char* joined = nullptr;
  ASSERT_EQ(JoinArguments(3, argv, &joined), 0);
  EXPECT_STREQ(joined, "./bin/pathvane /F20 /V");
  std::free(joined);
  EXPECT_EQ(JoinArguments(3, nullptr, &joined), -1);
  EXPECT_EQ(JoinArguments(3, argv, nullptr), -1);
}

}  // namespace
