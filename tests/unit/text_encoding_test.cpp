#include <gtest/gtest.h>

#include <string>

#include "shared_agent/util/text_encoding.h"

namespace {

TEST(TextEncoding, RoundTrip) {
  std::u16string wide;
  ASSERT_EQ(Utf8ToWide("h\xc3\xa9llo \xf0\x9f\x98\x80", wide), 0);
  EXPECT_EQ(wide, u"h\u00e9llo \U0001F600");
  std::string narrow;
  ASSERT_EQ(WideToUtf8(wide, narrow), 0);
  EXPECT_EQ(narrow, "h\xc3\xa9llo \xf0\x9f\x98\x80");
}

TEST(TextEncoding, EmptyTextConverts) {
  std::string narrow = "unchanged";
  EXPECT_EQ(WideToUtf8(u"", narrow), 0);
  EXPECT_EQ(narrow, "");
  std::u16string wide = u"unchanged";
  EXPECT_EQ(Utf8ToWide("", wide), 0);
  EXPECT_EQ(wide, u"");
}

TEST(TextEncoding, InvalidUtf8FailsAndLeavesOut) {
  const char* bad[] = {"\xe9", "a\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "ab\xe2\x82"};
  for (const char* text : bad) {
    std::u16string wide = u"keep";
    EXPECT_EQ(Utf8ToWide(text, wide), static_cast<HRESULT>(0x80070057)) << text;
    EXPECT_EQ(wide, u"keep");
  }
}

TEST(TextEncoding, UnpairedSurrogateIsReplaced) {
  std::string narrow;
  std::u16string lone = u"a";
  lone.push_back(static_cast<char16_t>(0xD800));
  lone += u"b";
  EXPECT_EQ(WideToUtf8(lone, narrow), 0);
  EXPECT_EQ(narrow, "a\xef\xbf\xbd" "b");
}

TEST(TextEncoding, StopsAtTheFirstNul) {
  std::string narrow;
  EXPECT_EQ(WideToUtf8(std::u16string(u"ab\0cd", 5), narrow), 0);
  EXPECT_EQ(narrow, "ab");
  std::u16string wide;
  EXPECT_EQ(Utf8ToWide(std::string("xy\0z", 4), wide), 0);
  EXPECT_EQ(wide, u"xy");
}

TEST(UrlEncode, Cases) {
  struct Case {
    std::u16string in;
    std::string out;
  } cases[] = {
      {u"a-b.c_d~e", "a%2Db%2Ec%5Fd%7Ee"},
      {u" ", "%20"},
      {u"\u00e9", "%C3%A9"},
      {u"Abc123xyZ", "Abc123xyZ"},
      {u"", ""},
      {u"a/b?c=d&e", "a%2Fb%3Fc%3Dd%26e"},
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(UrlEncode(c.in, out), 0);
    EXPECT_EQ(out, c.out);
    std::u16string wide;
    EXPECT_EQ(UrlEncodeW(c.in, wide), 0);
    std::string back;
    ASSERT_EQ(WideToUtf8(wide, back), 0);
    EXPECT_EQ(back, c.out);
  }
}

}  // namespace
