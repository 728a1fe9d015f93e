#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <string>

#include "agent/kit/kit.h"
#include "platform/format.h"
#include "velta_client/src/common/zel_log.h"

namespace {

struct Captured {
  std::string out, err;
};

template <typename F>
Captured capture(F&& f) {
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  f();
  return {::testing::internal::GetCapturedStdout(), ::testing::internal::GetCapturedStderr()};
}

class LoggingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_level_ = getDebugLevel();
    saved_mask_ = zel_trace_mask;
  }
  void TearDown() override {
    setDebugLevel(saved_level_);
    zel_trace_mask = saved_mask_;
  }
  void run_settings() {
    setDebugLevel(0x7FFFFFF000LL);
    zel_trace_mask = 0x7FFFFFF000LL;
  }
  int64_t saved_level_ = 0;
  int64_t saved_mask_ = -1;
};

TEST_F(LoggingTest, DetailLevelIsNeverEmitted) {
  setDebugLevel(-1);
  zel_trace_mask = -1;
  auto c = capture([] { zel_trace(0x8000000, "%s: upload succeeded", "fn"); });
  EXPECT_EQ(c.out, "");
  EXPECT_EQ(c.err, "");
}

TEST_F(LoggingTest, AlwaysLevelNeedsTheDebugLevel) {
  setDebugLevel(0);
  zel_trace_mask = -1;
  auto before = capture([] { zel_trace(-1, "%s: note", "fn"); });
  EXPECT_EQ(before.err, "");
  run_settings();
  auto after = capture([] { zel_trace(-1, "%s: note %d", "fn", 7); });
  EXPECT_EQ(after.out, "");
  EXPECT_EQ(after.err, "[trace] fn: note 7\n");
}

TEST_F(LoggingTest, MaskWithoutCommonBitsSilencesTrace) {
  setDebugLevel(0x7FFFFFF000LL);
  zel_trace_mask = 0xFFF;
  auto c = capture([] { zel_trace(-1, "dropped"); });
  EXPECT_EQ(c.err, "");
}

TEST_F(LoggingTest, EmptyTraceIsReportedAsAnError) {
  run_settings();
  auto c = capture([] { zel_trace(-1, "%s", ""); });
  EXPECT_EQ(c.err, "[error] trace _vscprintf() returned 0\n");
}

TEST_F(LoggingTest, EmptyAndBadErrorsAreReported) {
  auto empty = capture([] { zel_error("%s", ""); });
  EXPECT_EQ(empty.err, "[error] zel_error _vscprintf() returned 0\n");
  auto bad = capture([] { zel_error("%y"); });
  EXPECT_EQ(bad.err, "[error] zel_error _vscprintf() returned -1\n");
}

TEST_F(LoggingTest, ZelErrorIgnoresTheDebugLevel) {
  setDebugLevel(0);
  zel_trace_mask = 0;
  auto c = capture([] { zel_error("%s: curl_easy_init failed", "pathvane_init"); });
  EXPECT_EQ(c.err, "[error] pathvane_init: curl_easy_init failed\n");
}

TEST_F(LoggingTest, WideArgumentsRenderAsUtf8) {
  run_settings();
  auto c = capture([] {
    zel_trace(-1, "The %ws store has been opened.", u"ROOT");
    trace(0x1000, "narrow %ws and %s", u"w\u00e9de", "plain");
    trace(0x1000, u"wide %s and %hs", u"\u00fcber", "narrow");
    error(u"Failed to find (%hs), (%s)", "a", u"b");
  });
  EXPECT_EQ(c.err,
            "[trace] The ROOT store has been opened.\n"
            "[trace] narrow w\xc3\xa9" "de and plain\n"
            "[trace] wide \xc3\xbc" "ber and narrow\n"
            "[error] Failed to find (a), (b)\n");
}

TEST_F(LoggingTest, ReportLevelGoesToStandardOutputUnchanged) {
  run_settings();
  auto c = capture([] {
    trace(0x80000000LL, "====> HTTP status:\t\t%ld", static_cast<long>(404));
    trace(0x1000, "note");
  });
  EXPECT_EQ(c.out, "====> HTTP status:\t\t404\n");
  EXPECT_EQ(c.err, "[trace] note\n");
}

// Whatever a message carries, it stays one line on its stream; only a
// trailing line end goes, as the line end is ours.
TEST_F(LoggingTest, EveryKindOfMessageStaysOneLine) {
  run_settings();
  const char* forged = "x\x1B[1A\r\n========> [pass] forged\nFull trace: /tmp/evil\n";
  const std::string shown = "x\\x1B[1A\\r\\n========> [pass] forged\\nFull trace: /tmp/evil";
  auto c = capture([&] {
    trace(0x80000000LL, "report %s", forged);
    trace(0x1000, "trace %s", forged);
    trace(0x1000, u"wide %hs", forged);
    error("error %s", forged);
    trace_hint("hint %s", forged);
    _log_trace(forged);
    _log_error(5, "log error", forged);
  });
  EXPECT_EQ(c.out, "report " + shown + "\n");
  EXPECT_EQ(c.err, "[trace] trace " + shown + "\n" +
                       "[trace] wide " + shown + "\n" +
                       "[error] error " + shown + "\n" +
                       "[hint] hint " + shown + "\n" +
                       "[trace] " + shown + "\n" +
                       "[error] log error " + shown + "\\n (code 5)\n");
}

TEST_F(LoggingTest, TraceNeedsACommonBit) {
  setDebugLevel(0x1000);
  auto c = capture([] {
    trace(0x4000, "proxy");
    trace(0x80000000LL, "report");
  });
  EXPECT_EQ(c.out, "");
  EXPECT_EQ(c.err, "");
}

TEST(TraceClose, SilentWithoutOpen) {
  auto c = capture([] { EXPECT_EQ(trace_close(), 0); });
  EXPECT_EQ(c.out, "");
  EXPECT_EQ(c.err, "");
}

}  // namespace

namespace {

TEST(Format, PointerHasTheWindowsForm) {
  ::testing::internal::CaptureStderr();
  error("config: 0x%p", reinterpret_cast<void*>(0xABCDEF));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "[error] config: 0x0000000000ABCDEF\n");
}

}  // namespace

namespace {

std::string formatted(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::string text;
  platform::vformat_string(text, fmt, ap);
  va_end(ap);
  return text;
}

TEST(Format, TextWidthAndPrecision) {
  struct {
    std::string got, want;
  } cases[] = {
      {formatted("[%5s]", "ab"), "[   ab]"},   {formatted("[%-5s]", "ab"), "[ab   ]"},
      {formatted("[%.2s]", "abcd"), "[ab]"},  {formatted("[%*s]", 4, "x"), "[   x]"},
      {formatted("[%-*s]", -4, "x"), "[x   ]"}, {formatted("[%6.3ws]", u"wide"), "[   wid]"},
      {formatted("[%s]", static_cast<const char*>(nullptr)), "[(null)]"},
      {formatted("[%c%lc]", 'a', u'\u00e9'), "[a\xc3\xa9]"},
      {formatted("[%-3c%c]", 0, 'b'), std::string("[\0  b]", 6)},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

// The text of a "%s" never passes through the C library's formatter, which
// would leave a copy on its own stack: after asprintf of a secret, the dead
// stack below the caller holds no copy of it. (Not under the sanitizers,
// whose stack layout and redzones make such a scan meaningless.)
#if !defined(__SANITIZE_ADDRESS__)
const char kSecret[] = "Zq7-SECRET-PASSWORD-xY9";

__attribute__((noinline)) void format_secret() {
  char* out = nullptr;
  ASSERT_GE(Util::asprintf(&out, "%s", kSecret), 0);
  Util::ClearString(out);
  Util::FreeMem(out);
}

__attribute__((noinline)) int copies_below(const char* top) {
  int hits = 0;
  const size_t n = sizeof(kSecret) - 1;
  for (const char* p = top - 65536; p < top - 256; ++p) {
    if (std::memcmp(p, kSecret, n) == 0) ++hits;
  }
  return hits;
}

TEST(Format, SecretLeavesNoCopyOnTheStack) {
  // Room below this frame that the calls below will use, then scan.
  volatile char room[70000];
  std::memset(const_cast<char*>(room), 0, sizeof(room));
  format_secret();
  EXPECT_EQ(copies_below(const_cast<const char*>(room)), 0);
}
#endif

}  // namespace
