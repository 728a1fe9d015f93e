#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "shared_agent/util/user_agent.h"

namespace {

TEST(UserAgentTest, IsCorvantaAndTheVersionOnly) {
  EXPECT_EQ(UserAgentForVersion(u"1.2.3"), u"Corvanta/1.2.3");
  char field[401];
  ASSERT_EQ(WriteUserAgent(field, sizeof(field), u"8.4.2.31122"), S_OK);
  EXPECT_STREQ(field, "Corvanta/8.4.2.31122");
}

TEST(UserAgentTest, FourHundredBytesFitAndFourHundredOneDoNot) {
  char field[401];
  const size_t prefix = std::strlen("Corvanta/");
  std::u16string fits(400 - prefix, u'9');
  ASSERT_EQ(WriteUserAgent(field, sizeof(field), fits), S_OK);
  EXPECT_EQ(std::strlen(field), 400u);
  std::u16string too_long(401 - prefix, u'9');
  EXPECT_EQ(WriteUserAgent(field, sizeof(field), too_long), E_INSUFFICIENT_BUFFER);
}

}  // namespace
