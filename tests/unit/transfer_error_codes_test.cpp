#include <gtest/gtest.h>

#include <map>
#include <string>

#include "velta_client/src/common/zel_err.h"

namespace {

TEST(ZelStrerror, EveryCodeHasItsText) {
  const std::map<zel_err, std::string> texts = {
      {2, "Null argument passed to function"},
      {3, "Invalid argument passed to function"},
      {4, "Can't open file or directory"},
      {5, "Can't close file"},
      {6, "Can't create new file"},
      {7, "Can't unlink file"},
      {8, "Can't get file status"},
      {9, "Can't read file"},
      {10, "Can't set file offset"},
      {11, "Can't write to file"},
      {12, "Can't duplicate file descriptor"},
      {13, "Can't access file"},
      {14, "Can't create temporary file"},
      {15, "Can't create temporary directory"},
      {16, "Can't map file into memory"},
      {17, "Can't allocate memory"},
      {18, "Can't create new thread"},
      {19, "Time limit reached"},
      {20, "Can't generate fingerprint"},
      {21, "Can't handle query"},
      {22, "Can't parse data"},
      {26, "Digital signature or key error"},
      {27, "Policy error"},
      {28, "External library error"},
      {29, "Registration error"},
      {30, "Event error"},
      {31, "Locking error"},
      {32, "Generic network failure"},
      {33, "Can't connect to host"},
      {34, "Can't send data"},
      {35, "Can't receive data"},
      {36, "Disconnected"},
      {37, "xmllib failed to initialize"},
      {38, "xmlsec failed to initialize"},
      {39, "node was not found"},
      {40, "node was found, but was empty"},
      {41, "node was found and not empty, but couldn't be parsed in the correct type"},
      {42, "Not initialized"},
  };
  // Every code from 0 to past the last: those without a row are unknown.
  for (zel_err code = 0; code <= 45; ++code) {
    auto row = texts.find(code);
    EXPECT_STREQ(zel_strerror(code), row == texts.end() ? "Unknown error code" : row->second.c_str())
        << "code " << code;
  }
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
