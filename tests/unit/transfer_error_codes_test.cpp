#include <gtest/gtest.h>

#include <string>

#include "velta_client/src/common/zel_err.h"

namespace {

TEST(ZelStrerror, KnownCodesHaveTheirText) {
  struct Case {
    zel_err code;
    const char* text;
  } cases[] = {
      {2, "Null argument passed to function"},
      {22, "Can't parse data"},
      {26, "Digital signature or key error"},
      {28, "External library error"},
      {33, "Can't connect to host"},
      {41, "node was found and not empty, but couldn't be parsed in the correct type"},
      {42, "Not initialized"},
  };
  for (const auto& c : cases) EXPECT_STREQ(zel_strerror(c.code), c.text) << "code " << c.code;
}

TEST(ZelStrerror, CodesWithoutTextAreUnknown) {
  for (zel_err code : {0, 1, 23, 24, 25, 43, -1, INT32_MIN, INT32_MAX}) {
    EXPECT_STREQ(zel_strerror(code), "Unknown error code") << "code " << code;
  }
}

TEST(ZelStrerror, EveryCodeHasSomeText) {
  for (zel_err code = -2; code <= 45; ++code) {
    const char* text = zel_strerror(code);
    ASSERT_NE(text, nullptr) << "code " << code;
    EXPECT_FALSE(std::string(text).empty()) << "code " << code;
  }
}

}  // namespace
