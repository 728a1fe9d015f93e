// The JSON writer, the event document and form body built with it, and the
// event-intake check's exchange through the recording transfer table.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "agent/kit/kit.h"
#include "pathvane/event.h"
#include "pathvane/pathvane.h"
#include "pathvane/request.h"
#include "platform/clock.h"
#include "tests/support/fake_curl.h"
#include "velta_client/src/json_writer.h"

namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::Field;
using ::testing::Not;
using ordered_json = nlohmann::ordered_json;

using Call = testsupport::CurlCall;
testsupport::FakeCurl& fake = testsupport::fake_curl;
CURL* const kCurl = testsupport::kFakeCurl;

constexpr size_t kStep = 1024;
constexpr int64_t kTicksPerSecond = 10000000;  // 100-ns ticks
constexpr int64_t kEpochToUnix = 11644473600;  // seconds from 1601-01-01 to 1970-01-01

// ---------------------------------------------------------------------------
// The writer's allocator, counted; one call can be refused.

int allocations = 0;   // calls of the writer's allocator since the scope began
int refused_call = 0;  // the call to refuse, counting from 1; 0 refuses none

void* counting_realloc(void* block, size_t size) {
  return ++allocations == refused_call ? nullptr : std::realloc(block, size);
}

class WriterAllocator {
 public:
  WriterAllocator() : saved_(zel_json_realloc) {
    allocations = 0;
    refused_call = 0;
    zel_json_realloc = counting_realloc;
  }
  ~WriterAllocator() { zel_json_realloc = saved_; }
  WriterAllocator(const WriterAllocator&) = delete;
  WriterAllocator& operator=(const WriterAllocator&) = delete;

  // The next allocation the writer asks for is refused; later ones are not.
  static void refuse_next() { refused_call = allocations + 1; }

 private:
  void* (*saved_)(void*, size_t);
};

// One array element the way the event document writes it.
void element(json_buf* w, bool first, const char* n, int64_t k) {
  _json_append(w, first ? "{" : ",{");
  w->first = 1;
  _json_add_string(w, "n", n);
  _json_add_int(w, "k", k);
  _json_append(w, "}");
  w->first = 0;
}

void close_results(json_buf* w) {
  _json_append(w, "]");
  w->first = 0;
}

// The capacity growth must give: unchanged while need and a NUL fit, else
// cap + need + 1 rounded down to whole KiB, plus one KiB.
size_t grown_cap(size_t cap, size_t len, size_t need) {
  return cap - len >= need + 1 ? cap : (cap + need + 1) / kStep * kStep + kStep;
}

class JsonWriterTest : public ::testing::Test {
 protected:
  void TearDown() override { std::free(w_.data); }

  void restart() {
    std::free(w_.data);
    w_ = json_buf{};
    _json_begin(&w_);
  }

  // The text so far, which must end in a NUL at len.
  std::string text() const {
    if (!w_.data) return "(absent)";
    EXPECT_EQ(std::strlen(w_.data), w_.len);
    return std::string(w_.data, w_.len);
  }

  void expect_dropped(const char* after) const {
    EXPECT_EQ(w_.data, nullptr) << after;
    EXPECT_EQ(w_.cap, 0u) << after;
    EXPECT_EQ(w_.len, 0u) << after;
  }

  WriterAllocator allocator_;
  json_buf w_{};
};

TEST_F(JsonWriterTest, WritesCompactMembersWithCommas) {
  struct Case {
    const char* what;
    std::function<void(json_buf*)> write;
    const char* expected;
  } cases[] = {
      {"nothing", [](json_buf*) {}, "{}"},
      {"string then number",
       [](json_buf* w) {
         _json_add_string(w, "a", "x");
         _json_add_int(w, "b", -5);
       },
       R"({"a":"x","b":-5})"},
      {"absent value", [](json_buf* w) { _json_add_string(w, "v", nullptr); }, R"({"v":""})"},
      {"64-bit numbers",
       [](json_buf* w) {
         _json_add_int(w, "lo", std::numeric_limits<int64_t>::min());
         _json_add_int(w, "hi", std::numeric_limits<int64_t>::max());
         _json_add_int(w, "zero", 0);
       },
       R"({"lo":-9223372036854775808,"hi":9223372036854775807,"zero":0})"},
      {"results first",
       [](json_buf* w) {
         _json_begin_results(w);
         close_results(w);
       },
       R"({"results":[]})"},
      {"results after a member",
       [](json_buf* w) {
         _json_add_string(w, "a", "x");
         _json_begin_results(w);
         close_results(w);
       },
       R"({"a":"x","results":[]})"},
      {"elements",
       [](json_buf* w) {
         _json_add_string(w, "a", "x");
         _json_begin_results(w);
         element(w, true, "one", 1);
         element(w, false, "two", -2);
         close_results(w);
       },
       R"({"a":"x","results":[{"n":"one","k":1},{"n":"two","k":-2}]})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    restart();
    c.write(&w_);
    _json_end(&w_);
    EXPECT_EQ(text(), c.expected);
    EXPECT_EQ(w_.first, 0);
  }
}

TEST_F(JsonWriterTest, EscapesQuoteBackslashAndControlBytesOnly) {
  struct Case {
    const char* what;
    const char* value;
    const char* written;
  } cases[] = {
      {"quotation mark", "say \"hi\"", R"(say \"hi\")"},
      {"backslash", "C:\\dir", R"(C:\\dir)"},
      {"tab", "a\tb", R"(a\u0009b)"},
      {"line feed", "a\nb", R"(a\u000ab)"},
      {"escape", "\x1b[0m", R"(\u001b[0m)"},
      {"delete stays raw",
       "a\x7f"
       "b",
       "a\x7f"
       "b"},
      {"UTF-8 stays raw", "caf\xc3\xa9", "caf\xc3\xa9"},
      {"all together", "\"\\\t\x7f\xc3\xa9",
       R"(\"\\\u0009)"
       "\x7f\xc3\xa9"},
      {"empty", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    restart();
    _json_add_string(&w_, "v", c.value);
    _json_end(&w_);
    EXPECT_EQ(text(), std::string(R"({"v":")") + c.written + R"("})");
  }
}

// U+FFFD, which stands for each maximal ill-formed subpart.
#define U_FFFD "\xEF\xBF\xBD"

TEST_F(JsonWriterTest, IllFormedUtf8BecomesOneReplacementPerMaximalSubpart) {
  struct Case {
    const char* what;
    const char* value;
    const char* written;
  } cases[] = {
      {"lone continuation byte", "a\x80z", "a" U_FFFD "z"},
      {"two continuation bytes", "\x80\xbf", U_FFFD U_FFFD},
      {"Latin-1 byte", "caf\xe9", "caf" U_FFFD},
      {"Latin-1 between ASCII", "\xe9t\xe9", U_FFFD "t" U_FFFD},
      {"2-byte cut at the end", "a\xc3", "a" U_FFFD},
      {"2-byte cut before ASCII", "\xc3z", U_FFFD "z"},
      {"3-byte lead alone", "\xe2", U_FFFD},
      {"3-byte cut at the end", "\xe2\x82", U_FFFD},
      {"3-byte cut before ASCII", "\xe2\x82z", U_FFFD "z"},
      {"4-byte cut after two", "\xf0\x9f", U_FFFD},
      {"4-byte cut at the end", "\xf0\x9f\x98", U_FFFD},
      {"4-byte cut before ASCII", "\xf0\x9f\x98z", U_FFFD "z"},
      {"4-byte cut before a lead", "\xf0\x9f\x98\xc3\xa9", U_FFFD "\xc3\xa9"},
      {"overlong 2-byte C0 80", "\xc0\x80", U_FFFD U_FFFD},
      {"overlong 2-byte C1 BF", "\xc1\xbf", U_FFFD U_FFFD},
      {"overlong 3-byte E0 80 80", "\xe0\x80\x80", U_FFFD U_FFFD U_FFFD},
      {"overlong 3-byte E0 9F BF", "\xe0\x9f\xbf", U_FFFD U_FFFD U_FFFD},
      {"overlong 4-byte F0 80 80 80", "\xf0\x80\x80\x80", U_FFFD U_FFFD U_FFFD U_FFFD},
      {"overlong 4-byte F0 8F BF BF", "\xf0\x8f\xbf\xbf", U_FFFD U_FFFD U_FFFD U_FFFD},
      {"surrogate ED A0 80", "\xed\xa0\x80", U_FFFD U_FFFD U_FFFD},
      {"surrogate ED BF BF", "\xed\xbf\xbf", U_FFFD U_FFFD U_FFFD},
      {"past U+10FFFF F4 90 80 80", "\xf4\x90\x80\x80", U_FFFD U_FFFD U_FFFD U_FFFD},
      {"F5 with continuations", "\xf5\x80\x80\x80", U_FFFD U_FFFD U_FFFD U_FFFD},
      {"F8 alone", "\xf8", U_FFFD},
      {"FE FF", "\xfe\xff", U_FFFD U_FFFD},
      // The Unicode standard's example of maximal subparts.
      {"61 F1 80 80 E1 80 C2 62 80 63 80 BF 64", "\x61\xf1\x80\x80\xe1\x80\xc2\x62\x80\x63\x80\xbf\x64",
       "a" U_FFFD U_FFFD U_FFFD "b" U_FFFD "c" U_FFFD U_FFFD "d"},
      {"escapes around a replacement", "\"\xc3\n\\", "\\\"" U_FFFD "\\u000a\\\\"},
      {"U+0080 C2 80", "\xc2\x80", "\xc2\x80"},
      {"U+07FF DF BF", "\xdf\xbf", "\xdf\xbf"},
      {"U+0800 E0 A0 80", "\xe0\xa0\x80", "\xe0\xa0\x80"},
      {"U+20AC E2 82 AC", "\xe2\x82\xac", "\xe2\x82\xac"},
      {"U+D7FF ED 9F BF", "\xed\x9f\xbf", "\xed\x9f\xbf"},
      {"U+E000 EE 80 80", "\xee\x80\x80", "\xee\x80\x80"},
      {"U+FFFF EF BF BF", "\xef\xbf\xbf", "\xef\xbf\xbf"},
      {"U+10000 F0 90 80 80", "\xf0\x90\x80\x80", "\xf0\x90\x80\x80"},
      {"U+1F600 F0 9F 98 80", "\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
      {"U+10FFFF F4 8F BF BF", "\xf4\x8f\xbf\xbf", "\xf4\x8f\xbf\xbf"},
      {"valid then cut", "\xe2\x82\xac\xe2\x82", "\xe2\x82\xac" U_FFFD},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    restart();
    _json_add_string(&w_, "v", c.value);
    _json_end(&w_);
    const std::string written = text();
    EXPECT_EQ(written, std::string(R"({"v":")") + c.written + R"("})");
    // The reader checks UTF-8 strictly.
    const ordered_json doc = ordered_json::parse(written, nullptr, false);
    ASSERT_FALSE(doc.is_discarded());
  }
  for (int lead = 0xF5; lead <= 0xFF; ++lead) {
    const std::string value = {'<', static_cast<char>(lead), '>'};
    restart();
    _json_add_string(&w_, "v", value.c_str());
    _json_end(&w_);
    EXPECT_EQ(text(), R"({"v":"<)" U_FFFD R"(>"})") << "byte " << lead;
  }
}

TEST_F(JsonWriterTest, ReplacementsThreeTimesTheInputGrowTheBufferAsTheyGo) {
  // One byte in, three out: around the first KiB's end and past the second.
  for (size_t length : {336u, 337u, 338u, 339u, 340u, 700u}) {
    restart();
    _json_add_string(&w_, "v", std::string(length, '\xe9').c_str());
    std::string replaced;
    for (size_t i = 0; i < length; ++i) replaced += U_FFFD;
    EXPECT_EQ(text(), R"({"v":")" + replaced + "\"") << "length " << length;
    EXPECT_LT(w_.len, w_.cap) << "length " << length;
  }
}

#undef U_FFFD

TEST_F(JsonWriterTest, EveryControlByteIsALowerCaseUnicodeEscape) {
  static const char kHex[] = "0123456789abcdef";
  std::string all, all_written;
  for (int b = 0x01; b <= 0x1F; ++b) {
    const std::string value = {'<', static_cast<char>(b), '>'};
    const std::string written = std::string("\\u00") + kHex[b >> 4] + kHex[b & 0xF];
    restart();
    _json_add_string(&w_, "v", value.c_str());
    _json_end(&w_);
    EXPECT_EQ(text(), R"({"v":"<)" + written + R"(>"})") << "byte " << b;
    all += static_cast<char>(b);
    all_written += written;
  }
  restart();
  _json_add_string(&w_, "v", all.c_str());
  _json_end(&w_);
  ASSERT_EQ(text(), R"({"v":")" + all_written + R"("})");
  // A JSON reader gets the bytes back.
  EXPECT_EQ(ordered_json::parse(text())["v"].get<std::string>(), all);
}

TEST_F(JsonWriterTest, ReserveGrowsToTheKiBAboveWhatIsNeeded) {
  restart();
  EXPECT_EQ(text(), "{");
  EXPECT_EQ(w_.cap, kStep);
  EXPECT_EQ(w_.first, 1);
  struct Case {
    size_t need;
    size_t cap;
  } cases[] = {{1, 1024}, {1022, 1024}, {1023, 3072}, {1500, 3072}, {2046, 3072}, {2047, 4096}, {5000, 6144}};
  for (const auto& c : cases) {
    restart();
    EXPECT_EQ(_json_reserve(&w_, c.need), w_.data) << "need " << c.need;
    EXPECT_EQ(w_.cap, c.cap) << "need " << c.need;
    EXPECT_EQ(text(), "{") << "need " << c.need;
  }
}

TEST_F(JsonWriterTest, LongValueGrowsTheBufferAsItGoes) {
  // Around the first KiB's end for the bytes and for the closing quote, then the second KiB's.
  for (size_t length : {1007u, 1008u, 1012u, 1013u, 2031u, 2032u, 3000u}) {
    std::string value(length, 'x');
    for (size_t i = 0; i < length; i += 7) value[i] = static_cast<char>('a' + i % 26);
    restart();
    _json_add_string(&w_, "v", value.c_str());

    // The reservations of a string member: the name, six per byte, the closing quote.
    size_t cap = kStep, len = 1;
    cap = grown_cap(cap, len, std::strlen("v") + 10);
    len += std::strlen(R"("v":")");
    for (size_t i = 0; i < length; ++i) {
      cap = grown_cap(cap, len, 6);
      len += 1;
    }
    cap = grown_cap(cap, len, 10);
    len += 1;

    EXPECT_EQ(w_.cap, cap) << "length " << length;
    EXPECT_EQ(w_.len, len) << "length " << length;
    EXPECT_EQ(text(), R"({"v":")" + value + "\"") << "length " << length;
  }
}

TEST_F(JsonWriterTest, FailedAllocationDropsTheTextForGood) {
  const std::string filler(1022, 'f');
  struct Case {
    const char* where;
    std::function<void(json_buf*)> before;
    std::function<void(json_buf*)> failing;
    uint8_t first;
  } cases[] = {
      {"begin", [](json_buf*) {}, _json_begin, 1},
      {"middle of a string", _json_begin, [](json_buf* w) { _json_add_string(w, "v", std::string(2000, 's').c_str()); },
       0},
      {"closing quote of a string", _json_begin,
       [](json_buf* w) { _json_add_string(w, "v", std::string(1008, 's').c_str()); }, 0},
      {"int member",
       [](json_buf* w) {
         _json_begin(w);
         _json_add_string(w, "v", std::string(1000, 's').c_str());
       },
       [](json_buf* w) { _json_add_int(w, "b", -5); }, 0},
      {"begin_results",
       [](json_buf* w) {
         _json_begin(w);
         _json_add_string(w, "v", std::string(1000, 's').c_str());
       },
       _json_begin_results, 1},
      {"end",
       [&](json_buf* w) {
         _json_begin(w);
         _json_append(w, filler.c_str());
       },
       _json_end, 0},
      {"append",
       [&](json_buf* w) {
         _json_begin(w);
         _json_append(w, filler.c_str());
       },
       [](json_buf* w) { _json_append(w, "]"); }, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.where);
    std::free(w_.data);
    w_ = json_buf{};
    c.before(&w_);
    ASSERT_LE(w_.cap, kStep) << "the set-up must not have grown the buffer yet";
    const int asked = allocations;
    WriterAllocator::refuse_next();
    c.failing(&w_);
    EXPECT_EQ(allocations, asked + 1) << "the step asks once, and is refused";
    expect_dropped("the failing step");
    EXPECT_EQ(w_.first, c.first);

    // Allocation works again: any later step that still wrote would start a new text.
    _json_add_string(&w_, "s", "text");
    expect_dropped("_json_add_string");
    _json_add_int(&w_, "i", 1);
    expect_dropped("_json_add_int");
    _json_begin_results(&w_);
    expect_dropped("_json_begin_results");
    EXPECT_EQ(w_.first, 1);
    _json_end(&w_);
    expect_dropped("_json_end");
    EXPECT_EQ(w_.first, 0);
    EXPECT_EQ(allocations, asked + 1);

    // Raw text is the exception: it starts over, which is why callers check data first.
    _json_append(&w_, "]");
    EXPECT_EQ(text(), "]");
    EXPECT_EQ(w_.cap, kStep);
  }
}

TEST_F(JsonWriterTest, AppendWithoutATextStartsOne) {
  _json_append(&w_, "{\"x\":1");
  EXPECT_EQ(text(), R"({"x":1)");
  EXPECT_EQ(w_.cap, kStep);
  EXPECT_EQ(allocations, 1);
}

TEST_F(JsonWriterTest, ReserveThatWouldWrapFailsCleanly) {
  constexpr size_t kMax = std::numeric_limits<size_t>::max();
  struct Case {
    bool begun;
    size_t need;
  } cases[] = {{true, kMax},  {true, kMax - 1},  {true, kMax - 1023},
               {false, kMax}, {false, kMax - 1}, {false, kMax - 1023}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.begun ? "begun, " : "absent, ") + "need SIZE_MAX - " + std::to_string(kMax - c.need));
    std::free(w_.data);
    w_ = json_buf{};
    if (c.begun) _json_begin(&w_);
    const int asked = allocations;
    EXPECT_EQ(_json_reserve(&w_, c.need), nullptr);
    expect_dropped("the reservation");
    EXPECT_EQ(allocations, asked) << "a wrapped size must not reach the allocator";
  }
}

// ---------------------------------------------------------------------------
// The event document, the form body and the check.

constexpr char kEventUrl[] = "https://events.example.invalid/v1/intake";
constexpr char kUserAgent[] = "Corvanta/1.0";
constexpr char kAffiliate[] = "0a0a0a0a-1111-4111-8111-aaaaaaaaaaaa";
constexpr char kBusiness[] = "0b0b0b0b-2222-4222-8222-bbbbbbbbbbbb";
constexpr char kAgent[] = "0c0c0c0c-3333-4333-8333-cccccccccccc";
constexpr char kCmdline[] = "pathvane.exe -t 0x905";

const char* fake_strerror(CURLcode code) {
  return code == CURLE_COULDNT_RESOLVE_HOST ? "Couldn't resolve host name" : "some libcurl error";
}

int frees = 0;
void counting_curl_free(void* block) {
  ++frees;
  std::free(block);
}

template <size_t N>
void put(char (&to)[N], const std::string& text) {
  std::snprintf(to, N, "%s", text.c_str());
}

std::string percent_decoded(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

// text repeated, cut to length bytes.
std::string repeated_to(const std::string& text, size_t length) {
  std::string out;
  while (out.size() < length) out += text;
  return out.substr(0, length);
}

using Fields = std::vector<std::pair<std::string, std::string>>;

Fields form_fields(const std::string& body) {
  Fields fields;
  size_t at = 0;
  while (at <= body.size()) {
    size_t end = body.find('&', at);
    if (end == std::string::npos) end = body.size();
    const std::string part = body.substr(at, end - at);
    const size_t eq = part.find('=');
    fields.emplace_back(part.substr(0, eq), eq == std::string::npos ? "" : part.substr(eq + 1));
    at = end + 1;
  }
  return fields;
}

std::vector<std::string> names_of(const Fields& fields) {
  std::vector<std::string> names;
  for (const auto& f : fields) names.push_back(f.first);
  return names;
}

std::string value_of(const Fields& fields, const std::string& name) {
  for (const auto& f : fields) {
    if (f.first == name) return f.second;
  }
  return "(missing)";
}

const std::vector<std::string> kBodyFields = {"fg", "ag", "bg", "tid", "id", "ts", "tsn", "data"};

// Not a regular expression: GoogleTest's own on Windows has no brackets.
MATCHER(IsDecimal, "is a decimal number") {
  return !arg.empty() && std::all_of(arg.begin(), arg.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<std::string> keys_of(const ordered_json& object) {
  std::vector<std::string> keys;
  for (const auto& item : object.items()) keys.push_back(item.key());
  return keys;
}

class EventTest : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = static_cast<pathvane_handle*>(std::calloc(1, sizeof(pathvane_handle)));
    ASSERT_NE(handle_, nullptr);
    for (auto& slot : handle_->results) slot.outcome = OUTCOME_UNTOUCHED;
    handle_->curl = kCurl;
    pathvane_settings& s = handle_->settings;
    put(s.event_url, kEventUrl);
    put(s.cmdline, kCmdline);
    put(s.velta.affiliate_guid, kAffiliate);
    put(s.velta.business_guid, kBusiness);
    put(s.velta.agent_guid, kAgent);
    put(s.velta.user_agent, kUserAgent);
    s.proxy = proxy_info{PATHVANE_NO_PROXY, nullptr, 0, 0, nullptr, nullptr};
    frees = 0;
    pathvane_curl.curl_free = counting_curl_free;
  }
  void TearDown() override { std::free(handle_); }

  void record(int slot, uint32_t outcome, int32_t curl_code, const char* curl_error, int32_t http_status) {
    check_result& r = handle_->results[slot];
    r.outcome = outcome;
    r.curl_code = curl_code;
    put(r.curl_error, curl_error);
    r.http_status = http_status;
  }

  template <typename F>
  auto captured(F&& f) {
    ::testing::internal::CaptureStderr();
    auto result = f();
    errors_ = ::testing::internal::GetCapturedStderr();
    return result;
  }

  // The document for the handle as it stands, "(absent)" when there is none.
  std::string document(int* rc) {
    json_buf w{};
    char* out = nullptr;
    *rc = captured([&] { return _json_result_data(handle_, &out, &w); });
    EXPECT_EQ(out, w.data) << "the document is the writer's buffer";
    std::string text = out ? out : "(absent)";
    std::free(out);
    return text;
  }

  int check() {
    return captured([&] { return pathvane_event_intake_check(handle_); });
  }

  // The posted body is recorded as text.
  testsupport::FakeCurlTable table_{{CURLOPT_COPYPOSTFIELDS}, fake_strerror};
  WriterAllocator allocator_;
  pathvane_handle* handle_ = nullptr;
  std::string errors_;
};

TEST_F(EventTest, DocumentRefusesAbsentArguments) {
  json_buf w{};
  char* out = nullptr;
  struct Case {
    const char* what;
    pathvane_handle* handle;
    char** out;
    json_buf* w;
  } cases[] = {
      {"handle", nullptr, &out, &w},
      {"output", handle_, nullptr, &w},
      {"writer", handle_, &out, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(captured([&] { return _json_result_data(c.handle, c.out, c.w); }), -1);
    EXPECT_EQ(errors_, "[error] _json_result_data(): NULL argument passed to function\n");
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(w.data, nullptr);
  }
}

TEST_F(EventTest, DocumentListsWrittenSlotsInSlotOrder) {
  struct Written {
    int slot;
    uint32_t outcome;
    int32_t curl_code;
    const char* curl_error;
    int32_t http_status;
  };
  struct Listed {
    const char* name;
    const char* result;
    int32_t curl_code;
    const char* curl_error;
    int32_t http_status;
  };
  struct Case {
    const char* what;
    std::vector<Written> written;
    std::vector<Listed> listed;
  } cases[] = {
      {"nothing run", {}, {}},
      {"health, registration and policy, written out of order",
       {{8, OUTCOME_CONNECTION_REFUSED, 22, "The requested URL returned error: 404", 404},
        {0, OUTCOME_PASS, 0, "", 200},
        {2, OUTCOME_REGISTRATION_ERROR, 0, "", 500}},
       {{"health_test", "pass", 0, "", 200},
        {"velta_registration", "failed (registration error)", 0, "", 500},
        {"policy_fetch_test", "failed (connection refused)", 22, "The requested URL returned error: 404", 404}}},
      {"failed transfers",
       {{3, OUTCOME_SSL_ERROR, 35, "TLS connect error", 0},
        {10, OUTCOME_UNRESOLVED_HOST, 6, "Could not resolve host: upd.example.invalid", 0}},
       {{"crash_dump_test", "failed (SSL error)", 35, "TLS connect error", 0},
        {"update_seed_test", "failed (unresolved host)", 6, "Could not resolve host: upd.example.invalid", 0}}},
      {"the last slot has no name",
       {{11, OUTCOME_PASS, 0, "", 302}, {12, OUTCOME_SERVER_ERROR, 0, "", 503}},
       {{"event_intake_test", "pass", 0, "", 302}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (auto& slot : handle_->results) slot.outcome = OUTCOME_UNTOUCHED;
    for (const auto& w : c.written) record(w.slot, w.outcome, w.curl_code, w.curl_error, w.http_status);
    int rc = 0;
    const std::string text = document(&rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(errors_, "");
    const ordered_json doc = ordered_json::parse(text);
    EXPECT_THAT(keys_of(doc), ElementsAre("cmdline", "results"));
    EXPECT_EQ(doc["cmdline"].get<std::string>(), kCmdline);
    ASSERT_TRUE(doc["results"].is_array());
    ASSERT_EQ(doc["results"].size(), c.listed.size());
    for (size_t i = 0; i < c.listed.size(); ++i) {
      const ordered_json& e = doc["results"][i];
      const Listed& want = c.listed[i];
      SCOPED_TRACE(want.name);
      EXPECT_THAT(keys_of(e), ElementsAre("name", "result", "CURLcode", "curlerr", "httpstatus"));
      EXPECT_EQ(e["name"].get<std::string>(), want.name);
      EXPECT_EQ(e["result"].get<std::string>(), want.result);
      EXPECT_EQ(e["CURLcode"].get<int32_t>(), want.curl_code);
      EXPECT_EQ(e["curlerr"].get<std::string>(), want.curl_error);
      EXPECT_EQ(e["httpstatus"].get<int32_t>(), want.http_status);
    }
  }
}

TEST_F(EventTest, EveryNamedSlotAndOutcomeText) {
  const std::vector<std::string> names = {"health_test",     "cloud_test",       "velta_registration",
                                          "crash_dump_test", "retro_fetch_test", "http_upload_test",
                                          "policy_af_test",  "policy_ag_test",   "policy_fetch_test",
                                          "policy_py_test",  "update_seed_test", "event_intake_test"};
  const std::vector<std::string> texts = {"pass",
                                          "failed",
                                          "internal failure (null args)",
                                          "internal failure (no mem)",
                                          "failed (no token)",
                                          "failed (open)",
                                          "not run (no host)",
                                          "failed (unresolved host)",
                                          "failed (couldn't connect)",
                                          "failed (connection refused)",
                                          "failed (SSL error)",
                                          "failed (unknown CA)",
                                          "failed (server error)",
                                          "internal failure (no cb)",
                                          "failed (read failed)",
                                          "failed (registration error)"};
  // Slot i records outcome i + shift: two passes cover all sixteen texts.
  for (uint32_t shift : {0u, 4u}) {
    SCOPED_TRACE("shift " + std::to_string(shift));
    for (int slot = 0; slot < PATHVANE_SLOT_COUNT; ++slot) {
      record(slot, (static_cast<uint32_t>(slot) + shift) % 16, slot, "", 0);
    }
    int rc = 0;
    const ordered_json doc = ordered_json::parse(document(&rc));
    ASSERT_EQ(rc, 0);
    std::vector<std::string> listed_names, listed_texts;
    for (const auto& e : doc["results"]) {
      listed_names.push_back(e["name"].get<std::string>());
      listed_texts.push_back(e["result"].get<std::string>());
    }
    EXPECT_EQ(listed_names, names);
    EXPECT_EQ(listed_texts, std::vector<std::string>(texts.begin() + shift, texts.begin() + shift + 12));
  }
}

TEST_F(EventTest, DocumentTextIsOneCompactLineAndIsTraced) {
  record(0, OUTCOME_PASS, 0, "", 200);
  record(2, OUTCOME_REGISTRATION_ERROR, 0, "", 500);
  record(8, OUTCOME_CONNECTION_REFUSED, 22, "The requested URL returned error: 404", 404);
  const std::string expected =
      R"j({"cmdline":"pathvane.exe -t 0x905","results":[)j"
      R"j({"name":"health_test","result":"pass","CURLcode":0,"curlerr":"","httpstatus":200},)j"
      R"j({"name":"velta_registration","result":"failed (registration error)","CURLcode":0,"curlerr":"",)j"
      R"j("httpstatus":500},)j"
      R"j({"name":"policy_fetch_test","result":"failed (connection refused)","CURLcode":22,)j"
      R"j("curlerr":"The requested URL returned error: 404","httpstatus":404}]})j";
  const int64_t saved_level = getDebugLevel();
  setDebugLevel(-1);
  int rc = 0;
  const std::string text = document(&rc);
  setDebugLevel(saved_level);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(text, expected);
  EXPECT_EQ(errors_, "[trace] _json_result_data(): json data " + expected + "\n");
}

TEST_F(EventTest, CommandLineIsEscaped) {
  const std::string cmdline = "pathvane.exe -u \"C:\\Program Files\\x\"\t-v";
  put(handle_->settings.cmdline, cmdline);
  int rc = 0;
  const std::string text = document(&rc);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(text, R"({"cmdline":"pathvane.exe -u \"C:\\Program Files\\x\"\u0009-v","results":[]})");
  EXPECT_EQ(ordered_json::parse(text)["cmdline"].get<std::string>(), cmdline);
}

TEST_F(EventTest, ProgramPathInLatin1IsStillJson) {
  put(handle_->settings.cmdline, "C:\\Caf\xe9\\pathvane.exe /T");
  record(0, OUTCOME_FAILED, 6, "Could not resolve host: caf\xe9.example", 0);
  int rc = 0;
  const ordered_json doc = ordered_json::parse(document(&rc), nullptr, false);
  ASSERT_EQ(rc, 0);
  ASSERT_FALSE(doc.is_discarded());
  EXPECT_EQ(doc["cmdline"].get<std::string>(), "C:\\Caf\xef\xbf\xbd\\pathvane.exe /T");
  EXPECT_EQ(doc["results"][0]["curlerr"].get<std::string>(), "Could not resolve host: caf\xef\xbf\xbd.example");
}

TEST_F(EventTest, UnterminatedCurlErrorIsCutAtItsBuffer) {
  record(0, OUTCOME_FAILED, 56, "", 0);
  std::memset(handle_->results[0].curl_error, 'e', sizeof(handle_->results[0].curl_error));
  int rc = 0;
  const ordered_json doc = ordered_json::parse(document(&rc));
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(doc["results"][0]["curlerr"].get<std::string>(), std::string(255, 'e'));
  EXPECT_EQ(doc["results"][0]["httpstatus"].get<int32_t>(), 0);
}

TEST_F(EventTest, FailedAllocationInTheResultsDropsTheEvent) {
  put(handle_->settings.cmdline, std::string(900, 'c'));
  record(0, OUTCOME_PASS, 0, "", 200);
  record(2, OUTCOME_REGISTRATION_ERROR, 0, "", 500);
  record(8, OUTCOME_CONNECTION_REFUSED, 22, "The requested URL returned error: 404", 404);
  int rc = 0;
  const std::string whole = document(&rc);
  ASSERT_EQ(rc, 0);
  // The document's first growth falls inside the results.
  ASSERT_LT(whole.find(R"("results":[{)"), 950u);
  ASSERT_GT(whole.size(), kStep);

  allocations = 0;
  refused_call = 2;
  EXPECT_EQ(document(&rc), "(absent)");
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(errors_, "[error] _json_result_data(): JSON generation failed\n");
  EXPECT_EQ(allocations, 2) << "nothing is written after the failure";

  allocations = 0;
  EXPECT_EQ(check(), 1);
  EXPECT_EQ(errors_,
            "[error] _json_result_data(): JSON generation failed\n"
            "[error] pathvane_event_intake_check(): failed to create json for velta event\n");
  EXPECT_EQ(fake.escapes, 0);
  EXPECT_EQ(fake.performs, 0);
  EXPECT_TRUE(fake.calls.empty());
  EXPECT_EQ(handle_->results[11].outcome, OUTCOME_UNTOUCHED);
}

TEST_F(EventTest, PostBodyFieldsInOrder) {
  // Windows writes GUIDs in braces too: escaped, and read back as stored.
  const char* affiliate = "{0A0A0A0A-1111-4111-8111-AAAAAAAAAAAA}";
  const char* business = "{0B0B0B0B-2222-4222-8222-BBBBBBBBBBBB}";
  const char* agent = "{0C0C0C0C-3333-4333-8333-CCCCCCCCCCCC}";
  const char* json = R"({"cmdline":"a b","results":[]})";
  const std::string escaped = "%7B%22cmdline%22%3A%22a%20b%22%2C%22results%22%3A%5B%5D%7D";
  char* body = nullptr;
  ASSERT_EQ(
      captured([&] { return _velta_event_completed_post_create(kCurl, affiliate, business, agent, json, &body); }), 0);
  ASSERT_NE(body, nullptr);
  const std::string text = body;
  std::free(body);
  EXPECT_EQ(errors_, "");
  EXPECT_EQ(fake.escapes, 4);
  EXPECT_EQ(frees, 4) << "the escaped texts go back to libcurl";

  const Fields fields = form_fields(text);
  EXPECT_THAT(names_of(fields), ElementsAreArray(kBodyFields));
  EXPECT_EQ(value_of(fields, "fg"), "%7B0A0A0A0A-1111-4111-8111-AAAAAAAAAAAA%7D");
  EXPECT_EQ(percent_decoded(value_of(fields, "fg")), affiliate);
  EXPECT_EQ(percent_decoded(value_of(fields, "ag")), agent);
  EXPECT_EQ(percent_decoded(value_of(fields, "bg")), business);
  EXPECT_EQ(value_of(fields, "tid"), "553648187");
  for (const char* number : {"id", "ts", "tsn"}) {
    EXPECT_THAT(value_of(fields, number), IsDecimal()) << number;
  }
  EXPECT_EQ(value_of(fields, "data"), escaped);
  EXPECT_EQ(percent_decoded(value_of(fields, "data")), json);

  // The buffer holds the escaped texts and 131 bytes, NUL included.
  const size_t room = escaped.size() + 3 * (std::strlen(affiliate) + 4) + 131;
  EXPECT_LT(text.size(), room);
}

TEST_F(EventTest, PostBodyGuidsCannotAddFields) {
  const std::string json = R"({"cmdline":"a","results":[]})";
  // The longest text a GUID field holds, every byte escaped to three.
  const std::string longest = repeated_to("&=%+ ", sizeof(handle_->settings.velta.business_guid) - 1);
  struct Case {
    const char* what;
    std::string affiliate, business, agent;
  } cases[] = {
      {"a second data field in the business GUID", kAffiliate, "bbbb&tid=1&data=INJECTED&zz=", kAgent},
      {"every GUID", "a=b&ag=x", "&bg=", "x&data=y&"},
      {"the longest GUIDs, all escaped", longest, longest, longest},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    char* body = nullptr;
    ASSERT_EQ(captured([&] {
                return _velta_event_completed_post_create(kCurl, c.affiliate.c_str(), c.business.c_str(),
                                                          c.agent.c_str(), json.c_str(), &body);
              }),
              0);
    ASSERT_NE(body, nullptr);
    const std::string text = body;
    std::free(body);
    const Fields fields = form_fields(text);
    EXPECT_THAT(names_of(fields), ElementsAreArray(kBodyFields));
    EXPECT_EQ(percent_decoded(value_of(fields, "fg")), c.affiliate);
    EXPECT_EQ(percent_decoded(value_of(fields, "ag")), c.agent);
    EXPECT_EQ(percent_decoded(value_of(fields, "bg")), c.business);
    EXPECT_EQ(value_of(fields, "tid"), "553648187");
    EXPECT_EQ(percent_decoded(value_of(fields, "data")), json) << "the body was cut";
  }
}

TEST_F(EventTest, PostBodyOfRealGuidsIsUnchanged) {
  char* body = nullptr;
  ASSERT_EQ(_velta_event_completed_post_create(kCurl, kAffiliate, kBusiness, kAgent, "{}", &body), 0);
  ASSERT_NE(body, nullptr);
  const std::string text = body;
  std::free(body);
  const Fields fields = form_fields(text);
  for (const char* number : {"id", "ts", "tsn"}) {
    EXPECT_THAT(value_of(fields, number), IsDecimal()) << number;
  }
  EXPECT_EQ(text, std::string("fg=") + kAffiliate + "&ag=" + kAgent + "&bg=" + kBusiness +
                      "&tid=553648187&id=" + value_of(fields, "id") + "&ts=" + value_of(fields, "ts") +
                      "&tsn=" + value_of(fields, "tsn") + "&data=%7B%7D");
}

// The three numbers of one post body.
struct Stamps {
  uint64_t id;
  int64_t ts;
  int64_t tsn;
};

Stamps post_stamps() {
  char* body = nullptr;
  EXPECT_EQ(_velta_event_completed_post_create(kCurl, kAffiliate, kBusiness, kAgent, "{}", &body), 0);
  if (!body) return Stamps{0, 0, 0};
  const Fields fields = form_fields(body);
  std::free(body);
  return Stamps{std::stoull(value_of(fields, "id")), std::stoll(value_of(fields, "ts")),
                std::stoll(value_of(fields, "tsn"))};
}

TEST_F(EventTest, PostBodyTimesComeFromTheSystemClock) {
  const int64_t now = platform::GetSystemTimeAsFileTime();
  const Stamps s = post_stamps();
  // Three readings in a row, the id adding less than 1000 ticks to the last.
  // The time between two clock readings: a scheduler's pause may stretch it.
  constexpr uint64_t kMargin = kTicksPerSecond;
  EXPECT_LE(s.tsn, s.ts);
  ASSERT_LE(static_cast<uint64_t>(s.ts), s.id);
  EXPECT_LT(s.id - static_cast<uint64_t>(s.ts), 1000 + kMargin);
  for (int64_t reading : {s.tsn, s.ts, static_cast<int64_t>(s.id)}) {
    EXPECT_LT(std::llabs(reading - now), kTicksPerSecond) << reading;
  }
}

TEST_F(EventTest, SameSecondDrawsTheSameRandomPartIdsStillDiffer) {
  constexpr int kPosts = 10;
  std::vector<Stamps> posts;
  std::time_t second = 0;
  for (int attempt = 0; attempt < 3 && posts.empty(); ++attempt) {
    const std::time_t before = std::time(nullptr);
    for (int i = 0; i < kPosts; ++i) posts.push_back(post_stamps());
    second = std::time(nullptr);
    if (second != before) posts.clear();
  }
  ASSERT_EQ(posts.size(), static_cast<size_t>(kPosts)) << "no batch of posts within one second";

  // Each post reseeds with the second, so each draws this one value.
  std::srand(static_cast<unsigned>(second));
  const uint64_t drawn = static_cast<uint64_t>(std::rand() % 1000);
  std::vector<uint64_t> ids;
  for (const Stamps& s : posts) {
    ASSERT_GE(s.id - static_cast<uint64_t>(s.ts), drawn) << "the id is the last reading plus the draw";
    ids.push_back(s.id);
  }
  std::sort(ids.begin(), ids.end());
  EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end()) << "two posts with one id";
}

TEST(SystemClockTest, CountsTicksSince1601) {
  const std::time_t before = std::time(nullptr);
  const int64_t now = platform::GetSystemTimeAsFileTime();
  const std::time_t after = std::time(nullptr);
  // time() reads a coarser clock that may trail by a tick: a second of slack either side.
  EXPECT_GE(now, (static_cast<int64_t>(before) + kEpochToUnix - 1) * kTicksPerSecond);
  EXPECT_LT(now, (static_cast<int64_t>(after) + kEpochToUnix + 2) * kTicksPerSecond);
}

int escapes_until_failure = 0;  // the escape call that fails, counting from 1
char* (*recording_escape)(CURL*, const char*, int) = nullptr;

TEST_F(EventTest, EscapeFailureStopsThePost) {
  // The document first, then the affiliate, business and agent GUIDs.
  recording_escape = pathvane_curl.curl_easy_escape;
  for (int failing = 1; failing <= 4; ++failing) {
    SCOPED_TRACE("escape " + std::to_string(failing) + " fails");
    fake.escapes = 0;
    frees = 0;
    escapes_until_failure = failing;
    pathvane_curl.curl_easy_escape = [](CURL* curl, const char* text, int length) -> char* {
      if (fake.escapes + 1 == escapes_until_failure) {
        ++fake.escapes;
        return nullptr;
      }
      return recording_escape(curl, text, length);
    };
    char* body = nullptr;
    EXPECT_EQ(captured([&] {
                return _velta_event_completed_post_create(kCurl, kAffiliate, kBusiness, kAgent, "{}", &body);
              }),
              28);
    EXPECT_EQ(body, nullptr);
    EXPECT_EQ(errors_, "[error] _velta_event_completed_post_create: curl_easy_escape failed\n");
    EXPECT_EQ(fake.escapes, failing);
    EXPECT_EQ(frees, failing - 1) << "every text escaped before goes back";

    fake.escapes = 0;
    EXPECT_EQ(check(), 1);
    EXPECT_EQ(errors_,
              "[error] _velta_event_completed_post_create: curl_easy_escape failed\n"
              "[error] pathvane_event_intake_check(): Failed to create post\n");
    EXPECT_EQ(fake.escapes, failing);
    EXPECT_EQ(fake.performs, 0);
    EXPECT_TRUE(fake.calls.empty());
    EXPECT_EQ(handle_->results[11].outcome, OUTCOME_UNTOUCHED);
  }
}

TEST_F(EventTest, CheckVerdictFromTheAnswer) {
  const std::string http_failed =
      "[error] Connectivity test failed for URL '" + std::string(kEventUrl) + "' (HTTP code: ";
  struct Case {
    long status;
    CURLcode perform;
    int rc;
    int32_t http_status;
    std::string errors;
  } cases[] = {
      {200, CURLE_OK, 0, 200, ""},
      {301, CURLE_OK, 0, 301, ""},
      {302, CURLE_OK, 0, 302, ""},
      {404, CURLE_OK, 9, 404, http_failed + "404)\n"},
      {500, CURLE_OK, 12, 500, http_failed + "500)\n"},
      {200, CURLE_COULDNT_RESOLVE_HOST, 7, 0,
       "[error] connectivity test failed for URL '" + std::string(kEventUrl) +
           "': 6 (Couldn't resolve host name) (Could not resolve host: events.example.invalid)\n" + http_failed +
           "0)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("status " + std::to_string(c.status) + ", perform " + std::to_string(c.perform));
    fake.calls.clear();
    fake.performs = 0;
    fake.status = c.status;
    fake.perform_code = c.perform;
    fake.perform_error_text = c.perform == CURLE_OK ? "" : "Could not resolve host: events.example.invalid";
    handle_->results[11].outcome = OUTCOME_UNTOUCHED;
    EXPECT_EQ(check(), c.rc);
    const check_result& slot = handle_->results[11];
    EXPECT_EQ(slot.outcome, static_cast<uint32_t>(c.rc));
    EXPECT_EQ(slot.curl_code, static_cast<int32_t>(c.perform));
    EXPECT_EQ(slot.http_status, c.http_status);
    EXPECT_STREQ(slot.curl_error, fake.perform_error_text);
    EXPECT_EQ(errors_, c.errors);
    EXPECT_EQ(fake.performs, 1);
    for (int i = 0; i < PATHVANE_SLOT_COUNT; ++i) {
      if (i != 11) {
        EXPECT_EQ(handle_->results[i].outcome, OUTCOME_UNTOUCHED) << "slot " << i;
      }
    }
  }
}

TEST_F(EventTest, CheckPostsTheEventAndTheNextRequestGets) {
  record(0, OUTCOME_PASS, 0, "", 200);
  int rc = 0;
  const std::string json = document(&rc);
  ASSERT_EQ(rc, 0);

  EXPECT_EQ(check(), 0);
  EXPECT_EQ(errors_, "");
  EXPECT_EQ(fake.performs, 1);
  EXPECT_EQ(fake.value_of(CURLOPT_URL), kEventUrl);
  EXPECT_EQ(fake.value_of(CURLOPT_USERAGENT), kUserAgent);
  EXPECT_EQ(fake.value_of(CURLOPT_WRITEDATA), "null");
  EXPECT_EQ(fake.value_of(CURLOPT_HTTPGET), "(unset)") << "it would turn the post into a GET";
  const std::string posted = fake.value_of(CURLOPT_COPYPOSTFIELDS);
  const Fields fields = form_fields(posted);
  EXPECT_THAT(names_of(fields), ElementsAreArray(kBodyFields));
  EXPECT_EQ(value_of(fields, "fg"), kAffiliate);
  EXPECT_EQ(value_of(fields, "ag"), kAgent);
  EXPECT_EQ(value_of(fields, "bg"), kBusiness);
  EXPECT_EQ(value_of(fields, "tid"), "553648187");
  EXPECT_EQ(percent_decoded(value_of(fields, "data")), json);
  EXPECT_EQ(fake.escapes, 4);
  EXPECT_EQ(frees, 4);
  EXPECT_EQ(handle_->results[11].outcome, OUTCOME_PASS);

  // The URL-reputation request follows on the same transfer handle, body-less.
  const size_t posted_calls = fake.calls.size();
  EXPECT_EQ(captured([&] {
              return _proxy_http_request(handle_->curl, "https://rep.example.invalid/", kUserAgent, 0,
                                         &handle_->settings.proxy, trust_context_of(handle_->settings.velta),
                                         &handle_->results[12], nullptr);
            }),
            0);
  const std::vector<Call> get_calls(fake.calls.begin() + static_cast<long>(posted_calls), fake.calls.end());
  EXPECT_THAT(get_calls, Contains(Call{CURLOPT_HTTPGET, "1"}));
  EXPECT_THAT(get_calls, Not(Contains(Field(&Call::option, CURLOPT_COPYPOSTFIELDS))));
  EXPECT_EQ(fake.performs, 2);
}

}  // namespace
