// The upload checks through the transfer function table: the loopback
// comparison, the submission settings and URL, the upload form, one upload's
// option sequence and failure paths, and the verdicts the checks record.
#include "pathvane/upload.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "pathvane/handle_internal.h"
#include "pathvane/request.h"
#include "tests/support/fake_curl.h"
#include "velta_client/src/common/zel_transfer.h"

namespace {

using ::testing::HasSubstr;

using Call = testsupport::CurlCall;
testsupport::FakeCurl& fake = testsupport::fake_curl;
CURL* const kCurl = testsupport::kFakeCurl;

constexpr const char* kGuid = "0f8fad5b-d9cb-469f-a165-70867728950e";
constexpr const char* kUserName = "0f8fad5bd9cb469fa16570867728950e";  // 32 characters
constexpr const char* kAgent = "Corvanta/1.0";
constexpr const char* kRetroUrl =
    "https://retro.example.invalid/upload/4/e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr const char* kSubmitUrl =
    "https://submit.example.invalid/upload/4/71114ed9c1d899aec9fd4eb5c3e1b12afdfe3e72739e0d799f7e74ed43d646b7";
constexpr size_t kSent = 131070;
constexpr const char* kUnknownOption = "An unknown option was passed in to libcurl";
constexpr const char* kUnauthorized =
    "Upload failed, unauthorized access (HTTP code: 401). Are uploads authorized for this business?";

const proxy_info kDirect{ZEL_NO_PROXY, nullptr, 0, 0, nullptr, nullptr};

const char* fake_strerror(CURLcode code) {
  switch (code) {
    case CURLE_UNKNOWN_OPTION:
      return kUnknownOption;
    case CURLE_COULDNT_CONNECT:
      return "Couldn't connect to server";
    case CURLE_OPERATION_TIMEDOUT:
      return "Timeout was reached";
    default:
      return "some libcurl error";
  }
}

// The bytes an upload sends, built from the word numbers, least significant byte first.
const std::string& sent_bytes() {
  static const std::string bytes = [] {
    std::string out;
    for (unsigned word = 0; word < 65535; ++word) {
      out.push_back(static_cast<char>(word & 0xFF));
      out.push_back(static_cast<char>(word >> 8));
    }
    return out;
  }();
  return bytes;
}

std::string flipped(std::string bytes, size_t at) {
  bytes[at] = static_cast<char>(bytes[at] ^ 0x01);
  return bytes;
}

template <size_t N>
void put(char (&to)[N], const std::string& text) {
  std::snprintf(to, N, "%s", text.c_str());
}

// ---------------------------------------------------------------------------
// The form half of libcurl, which the shared fake does not cover: each
// curl_formadd's options as "OPTION=value" up to CURLFORM_END, and every
// curl_formfree.

using FormParts = std::vector<std::vector<std::string>>;

struct FakeForm {
  FormParts adds;
  int fail_at = -1;  // the call (from 0) to refuse
  CURLFORMcode fail_code = CURL_FORMADD_MEMORY;
  std::vector<curl_httppost*> freed;
  curl_httppost parts[8]{};
};

FakeForm form;

std::string text_or_null(const char* text) { return text ? text : "(null)"; }

CURLFORMcode fake_formadd(curl_httppost** first, curl_httppost** last, ...) {
  std::vector<std::string> options;
  va_list ap;
  va_start(ap, last);
  for (int option = va_arg(ap, int); option != CURLFORM_END; option = va_arg(ap, int)) {
    if (option == CURLFORM_COPYNAME) {
      options.push_back("COPYNAME=" + text_or_null(va_arg(ap, const char*)));
    } else if (option == CURLFORM_COPYCONTENTS) {
      options.push_back("COPYCONTENTS=" + text_or_null(va_arg(ap, const char*)));
    } else if (option == CURLFORM_BUFFER) {
      options.push_back("BUFFER=" + text_or_null(va_arg(ap, const char*)));
    } else if (option == CURLFORM_BUFFERPTR) {
      const void* p = va_arg(ap, const void*);
      options.push_back(p == static_cast<const void*>(loopback_pattern) ? "BUFFERPTR=loopback_pattern"
                                                                        : "BUFFERPTR=elsewhere");
    } else if (option == CURLFORM_BUFFERLENGTH) {
      options.push_back("BUFFERLENGTH=" + std::to_string(va_arg(ap, long)));
    } else {
      // Its value's type is unknown, so nothing after it can be read.
      options.push_back("unexpected option " + std::to_string(option));
      break;
    }
  }
  va_end(ap);
  form.adds.push_back(options);
  const size_t index = form.adds.size() - 1;
  if (static_cast<int>(index) == form.fail_at) return form.fail_code;
  if (index >= std::size(form.parts)) return CURL_FORMADD_MEMORY;
  curl_httppost* part = &form.parts[index];
  if (*first) {
    (*last)->next = part;
  } else {
    *first = part;
  }
  *last = part;
  return CURL_FORMADD_OK;
}

void fake_formfree(curl_httppost* first) { form.freed.push_back(first); }

// The shared fake with the form calls added, started afresh; the table as it
// was comes back when it goes.
class Fakes {
 public:
  Fakes() {
    form = FakeForm{};
    pathvane_curl.curl_formadd = fake_formadd;
    pathvane_curl.curl_formfree = fake_formfree;
  }

 private:
  // The user name is recorded as text.
  testsupport::FakeCurlTable table_{{CURLOPT_USERNAME}, fake_strerror};
};

class UploadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_debug_ = curl_debug_function;
    curl_debug_function = nullptr;
    // As pathvane_init lays it out.
    for (size_t i = 0; i + 1 < PATHVANE_LOOPBACK_WORDS; ++i) loopback_pattern[i] = static_cast<uint16_t>(i);
    loopback_pattern[PATHVANE_LOOPBACK_WORDS - 1] = 0;
  }
  void TearDown() override { curl_debug_function = saved_debug_; }

  // Runs f with standard error captured into errors_.
  template <typename F>
  auto captured(F&& f) {
    ::testing::internal::CaptureStderr();
    auto result = f();
    errors_ = ::testing::internal::GetCapturedStderr();
    return result;
  }

  curl_debug_callback saved_debug_ = nullptr;
  std::string errors_;
};

// ---------------------------------------------------------------------------
// Loopback comparison

class LoopbackTest : public UploadTest {
 protected:
  // Feeds the pieces as libcurl would (size 1); what each call returned.
  std::vector<size_t> feed(loopback_ctx* context, const std::vector<std::string>& pieces) {
    return captured([&] {
      std::vector<size_t> taken;
      for (const auto& piece : pieces) {
        std::string copy = piece;
        taken.push_back(_loopback_write_fn(copy.data(), 1, copy.size(), context));
      }
      return taken;
    });
  }
};

TEST_F(LoopbackTest, EchoesAreJudgedPieceByPiece) {
  using Pieces = std::vector<std::string>;
  struct Case {
    const char* name;
    std::function<Pieces(const std::string&)> pieces;
    uint32_t state;
    const char* error;  // the one error line, null for none
  } cases[] = {
      {"whole echo in one piece", [](const std::string& e) { return Pieces{e}; }, LOOPBACK_MATCHED, nullptr},
      {"whole echo in three pieces",
       [](const std::string& e) {
         const size_t third = e.size() / 3;
         return Pieces{e.substr(0, third), e.substr(third, third), e.substr(2 * third)};
       },
       LOOPBACK_MATCHED, nullptr},
      {"one byte more in the last piece",
       [](const std::string& e) {
         return Pieces{e.substr(0, e.size() - 1), e.substr(e.size() - 1) + "!"};
       },
       LOOPBACK_MISMATCH, "Bytes received is greater than the number of bytes sent"},
      {"one byte more after a full match",
       [](const std::string& e) {
         return Pieces{e, "!"};
       },
       LOOPBACK_MISMATCH, "Data received matched what was sent but we received extra data we did not expect"},
      {"a different byte in the second half",
       [](const std::string& e) {
         const std::string other = flipped(e, e.size() / 2 + 1);
         return Pieces{other.substr(0, e.size() / 2), other.substr(e.size() / 2)};
       },
       LOOPBACK_MISMATCH, "Data received does not match data sent"},
      {"only the first half", [](const std::string& e) { return Pieces{e.substr(0, e.size() / 2)}; }, LOOPBACK_PARTIAL,
       nullptr},
      // After a mismatch nothing is compared: neither the rest nor the surplus adds an error.
      {"more after a mismatch",
       [](const std::string& e) {
         return Pieces{flipped(e, 0).substr(0, 2), e.substr(2), "tail bytes"};
       },
       LOOPBACK_MISMATCH, "Data received does not match data sent"},
  };
  const std::string small = "loopback";
  struct Expected {
    const char* name;
    const std::string& bytes;
    const uint8_t* at;
  } buffers[] = {
      {"small buffer", small, reinterpret_cast<const uint8_t*>(small.data())},
      {"pattern", sent_bytes(), reinterpret_cast<const uint8_t*>(loopback_pattern)},
  };
  for (const auto& buffer : buffers) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(buffer.name) + ": " + c.name);
      loopback_ctx context{buffer.at, buffer.bytes.size(), 0, LOOPBACK_PARTIAL};
      const Pieces pieces = c.pieces(buffer.bytes);
      const std::vector<size_t> taken = feed(&context, pieces);
      size_t total = 0;
      std::vector<size_t> lengths;
      for (const auto& piece : pieces) {
        total += piece.size();
        lengths.push_back(piece.size());
      }
      EXPECT_EQ(taken, lengths) << "a mismatch never stops the transfer";
      EXPECT_EQ(context.state, c.state);
      EXPECT_EQ(context.received, total);
      EXPECT_EQ(errors_, c.error ? std::string("[error] _loopback_write_fn: ") + c.error + "\n" : "");
    }
  }
}

TEST_F(LoopbackTest, UnusableContextsAndOverflowRefuseThePiece) {
  char data[] = "echo";
  const size_t huge = SIZE_MAX / 2 + 1;  // 2 x huge does not fit
  const std::string multiply_error =
      "[error] zel_safe_multiply:  len: 2, mul: " + std::to_string(huge) + " overflow detected... \n";
  const uint8_t expected[] = {'e', 'c', 'h', 'o'};
  enum Kind { kNone, kNoExpected, kZeroLength, kUsable };
  struct Case {
    const char* name;
    Kind kind;
    size_t size;
    size_t count;
    size_t returned;
    uint32_t state;
    std::string errors;
  } cases[] = {
      {"null context", kNone, 1, 4, 3, 0, ""},
      {"null context, size 4", kNone, 4, 1, 3, 0, ""},
      {"context without expected", kNoExpected, 1, 4, 3, LOOPBACK_INVALID, ""},
      {"context with expected_len 0", kZeroLength, 1, 4, 3, LOOPBACK_INVALID, ""},
      {"overflow, null context", kNone, 2, huge, 0, 0, multiply_error},
      {"overflow, context without expected", kNoExpected, 2, huge, 0, LOOPBACK_INVALID, multiply_error},
      {"overflow", kUsable, 2, huge, 0, LOOPBACK_INVALID,
       multiply_error + "[error] _loopback_write_fn: overflow encountered with parameters in callback\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    loopback_ctx context{c.kind == kNoExpected ? nullptr : expected, c.kind == kZeroLength ? 0u : sizeof(expected), 0,
                         LOOPBACK_PARTIAL};
    const size_t rc =
        captured([&] { return _loopback_write_fn(data, c.size, c.count, c.kind == kNone ? nullptr : &context); });
    EXPECT_EQ(rc, c.returned);
    EXPECT_EQ(context.state, c.state);
    EXPECT_EQ(context.received, 0u);
    EXPECT_EQ(errors_, c.errors);
  }
}

// ---------------------------------------------------------------------------
// Submission settings and URL

struct RecordDeleter {
  void operator()(file_fetch_data* data) const { file_fetch_data_free(&data); }
};
using Record = std::unique_ptr<file_fetch_data, RecordDeleter>;

Record record(const char* submit, const char* retro, const char* protocol, const char* user = kGuid,
              const char* agent = kAgent) {
  return Record(file_fetch_data_create(submit, retro, protocol, user, 10485760, agent, kGuid, 3));
}

TEST(FileFetchData, HoldsOwnCopiesAndAbsentStaysAbsent) {
  std::string submit = "submit.example.invalid", protocol = "https";
  file_fetch_data* data =
      file_fetch_data_create(submit.c_str(), nullptr, protocol.c_str(), kGuid, 77, kAgent, kGuid, 2);
  ASSERT_NE(data, nullptr);
  submit[0] = 'X';
  EXPECT_STREQ(data->submit_server, "submit.example.invalid");
  EXPECT_NE(data->user, kGuid);
  EXPECT_STREQ(data->user, kGuid);
  EXPECT_STREQ(data->form_guid, kGuid);
  EXPECT_STREQ(data->user_agent, kAgent);
  EXPECT_STREQ(data->protocol, "https");
  EXPECT_EQ(data->retro_server, nullptr);
  EXPECT_EQ(data->max_size, 77u);
  EXPECT_EQ(data->ssl_flags, 2u);
  EXPECT_EQ(data->retro, 0);
  EXPECT_EQ(data->status, 0u);
  file_fetch_data_free(&data);
  EXPECT_EQ(data, nullptr);
  file_fetch_data_free(&data);  // a freed reference is accepted
  file_fetch_data_free(nullptr);
}

TEST(ValidateSubmitSettings, FirstFailingTestWins) {
  const char* const kSubmit = "submit.example.invalid";
  const char* const kRetro = "retro.example.invalid";
  struct Case {
    const char* name;
    int retro;
    const char* submit;
    const char* retro_server;
    const char* protocol;
    const char* user;
    const char* agent;
    const char* message;  // null: accepted
  } cases[] = {
      {"retro without retro server", 1, kSubmit, nullptr, "https", kGuid, kAgent, "No retro submit server specified"},
      {"retro with empty retro server", 1, kSubmit, "", "https", kGuid, kAgent, "No retro submit server specified"},
      {"retro needs no submit server", 1, "", kRetro, "https", kGuid, kAgent, nullptr},
      {"submit without submit server", 0, nullptr, kRetro, "https", kGuid, kAgent, "No submit server specified"},
      {"submit with empty submit server", 0, "", kRetro, "https", kGuid, kAgent, "No submit server specified"},
      {"submit needs no retro server", 0, kSubmit, nullptr, "https", kGuid, kAgent, nullptr},
      {"no protocol", 0, kSubmit, kRetro, nullptr, kGuid, kAgent, "No submit server protocol specified"},
      {"empty protocol", 1, kSubmit, kRetro, "", kGuid, kAgent, "No submit server protocol specified"},
      {"upper-case protocol", 1, kSubmit, kRetro, "HTTP", kGuid, kAgent, "Bad submit server protocol (HTTP)"},
      {"ftp", 0, kSubmit, kRetro, "ftp", kGuid, kAgent, "Bad submit server protocol (ftp)"},
      {"protocol with a tail", 0, kSubmit, kRetro, "https:", kGuid, kAgent, "Bad submit server protocol (https:)"},
      {"no user", 0, kSubmit, kRetro, "http", nullptr, kAgent, "No submit server user specified"},
      {"empty user", 1, kSubmit, kRetro, "http", "", kAgent, "No submit server user specified"},
      {"no user agent", 0, kSubmit, kRetro, "http", kGuid, nullptr, "No http user agent specified"},
      {"empty user agent", 1, kSubmit, kRetro, "http", kGuid, "", "No http user agent specified"},
      {"server before the rest", 0, "", kRetro, "HTTP", "", "", "No submit server specified"},
      {"protocol before user and agent", 1, kSubmit, kRetro, "ftp", "", "", "Bad submit server protocol (ftp)"},
      {"user before agent", 1, kSubmit, kRetro, "https", nullptr, nullptr, "No submit server user specified"},
      {"http", 0, kSubmit, kRetro, "http", kGuid, kAgent, nullptr},
      {"https", 1, kSubmit, kRetro, "https", kGuid, kAgent, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Record data = record(c.submit, c.retro_server, c.protocol, c.user, c.agent);
    ASSERT_NE(data, nullptr);
    const int rc = _validate_submit_settings(data.get(), c.retro);
    if (c.message) {
      EXPECT_EQ(rc, -1);
      EXPECT_STREQ(data->message, c.message);
      EXPECT_EQ(data->status, FILE_FETCH_BAD_SETTINGS);
    } else {
      EXPECT_EQ(rc, 0);
      EXPECT_STREQ(data->message, "");
      EXPECT_EQ(data->status, 0u);
    }
  }
}

TEST(BuildUploadUrl, ServerAndIdentifierFollowTheUpload) {
  Record data = record("submit.example.invalid", "retro.example.invalid", "https");
  char url[1024];
  EXPECT_EQ(_build_upload_url(data.get(), url, RETRO_FILE_ID, 1), url);
  EXPECT_STREQ(url, kRetroUrl);
  EXPECT_EQ(_build_upload_url(data.get(), url, SUBMIT_FILE_ID, 0), url);
  EXPECT_STREQ(url, kSubmitUrl);
}

TEST(BuildUploadUrl, AUrlMustFitWithItsNul) {
  // "https://" + server + "/upload/4/" + 64 hex digits.
  const size_t fixed = 8 + 10 + 64;
  for (size_t length : {1022u, 1023u, 1024u, 1100u}) {
    SCOPED_TRACE("URL of " + std::to_string(length) + " characters");
    const std::string server(length - fixed, 's');
    Record data = record(server.c_str(), "retro.example.invalid", "https");
    char url[1024];
    std::memset(url, '#', sizeof(url));
    char* built = _build_upload_url(data.get(), url, SUBMIT_FILE_ID, 0);
    if (length <= 1023) {
      EXPECT_EQ(built, url);
      EXPECT_EQ(std::string(url), "https://" + server + "/upload/4/" + SUBMIT_FILE_ID);
    } else {
      EXPECT_EQ(built, nullptr);
      EXPECT_EQ(std::string(url, sizeof(url)), std::string(sizeof(url), '#')) << "nothing is written";
    }
  }
}

// ---------------------------------------------------------------------------
// Upload form

TEST_F(UploadTest, FormPartsInOrder) {
  const std::string guid = kGuid;
  const std::vector<std::string> file_part = {"COPYNAME=file", "BUFFER=C:\\test.bin", "BUFFERPTR=loopback_pattern",
                                              "BUFFERLENGTH=131070"};
  struct Case {
    const char* name;
    int mode;
    const char* module;
    const char* version;
    FormParts parts;
  } cases[] = {
      {"retro",
       1,
       nullptr,
       nullptr,
       {file_part,
        {"COPYNAME=version", "COPYCONTENTS=4.0.0.0"},
        {"COPYNAME=agent-guid", "COPYCONTENTS=" + guid},
        {"COPYNAME=encrypted", "COPYCONTENTS=0"}}},
      {"retro ignores the module",
       1,
       "pathvane_test",
       "5.1.0.0",
       {file_part,
        {"COPYNAME=version", "COPYCONTENTS=5.1.0.0"},
        {"COPYNAME=agent-guid", "COPYCONTENTS=" + guid},
        {"COPYNAME=encrypted", "COPYCONTENTS=0"}}},
      {"submit defaults",
       0,
       nullptr,
       nullptr,
       {file_part,
        {"COPYNAME=version", "COPYCONTENTS=4.0.0.0"},
        {"COPYNAME=guid", "COPYCONTENTS=" + guid},
        {"COPYNAME=module", "COPYCONTENTS=agent"}}},
      {"given module and version",
       0,
       "pathvane_test",
       "9.9.9.9",
       {file_part,
        {"COPYNAME=version", "COPYCONTENTS=9.9.9.9"},
        {"COPYNAME=guid", "COPYCONTENTS=" + guid},
        {"COPYNAME=module", "COPYCONTENTS=pathvane_test"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fakes fakes;
    curl_httppost* first = nullptr;
    curl_httppost* last = nullptr;
    char error[256] = "untouched";
    EXPECT_EQ(_build_upload_form(kCurl, &first, &last, kGuid, "C:\\test.bin", error, c.mode, c.module, c.version), 0);
    EXPECT_EQ(form.adds, c.parts);
    EXPECT_THAT(fake.calls, ::testing::ElementsAre(Call{CURLOPT_HTTPPOST, "ptr"}));
    EXPECT_EQ(first, &form.parts[0]);
    EXPECT_EQ(last, &form.parts[3]);
    EXPECT_TRUE(form.freed.empty()) << "the caller frees the form after the transfer";
    EXPECT_STREQ(error, "untouched");
  }
}

TEST_F(UploadTest, FailingFormaddFreesWhatWasAdded) {
  struct Case {
    int fail_at;
    CURLFORMcode code;
  } cases[] = {
      {0, CURL_FORMADD_MEMORY}, {1, CURL_FORMADD_OPTION_TWICE}, {2, CURL_FORMADD_NULL}, {3, CURL_FORMADD_INCOMPLETE}};
  for (const auto& c : cases) {
    SCOPED_TRACE("formadd " + std::to_string(c.fail_at) + " fails");
    Fakes fakes;
    form.fail_at = c.fail_at;
    form.fail_code = c.code;
    curl_httppost* first = nullptr;
    curl_httppost* last = nullptr;
    char error[256] = "";
    EXPECT_EQ(_build_upload_form(kCurl, &first, &last, kGuid, "C:\\test.bin", error, 1, nullptr, nullptr), -1);
    EXPECT_EQ(std::string(error), "curl_formadd failed (" + std::to_string(c.code) + ")");
    EXPECT_EQ(form.adds.size(), static_cast<size_t>(c.fail_at + 1)) << "nothing is added after the failure";
    // The parts added so far, or an empty form when the first add failed.
    EXPECT_THAT(form.freed, ::testing::ElementsAre(c.fail_at == 0 ? nullptr : &form.parts[0]));
    EXPECT_EQ(first, nullptr);
    EXPECT_EQ(last, nullptr);
    EXPECT_TRUE(fake.calls.empty()) << "no form is handed to libcurl";
  }
}

TEST_F(UploadTest, RefusedHttpPostFreesTheForm) {
  Fakes fakes;
  fake.fail_option = CURLOPT_HTTPPOST;
  curl_httppost* first = nullptr;
  curl_httppost* last = nullptr;
  char error[256] = "";
  EXPECT_EQ(_build_upload_form(kCurl, &first, &last, kGuid, "C:\\test.bin", error, 0, nullptr, nullptr), -1);
  EXPECT_EQ(std::string(error), std::string("curl_easy_setopt(CURLOPT_HTTPPOST) failed: ") + kUnknownOption);
  EXPECT_THAT(form.freed, ::testing::ElementsAre(&form.parts[0]));
  EXPECT_EQ(first, nullptr);
  EXPECT_EQ(last, nullptr);
}

// ---------------------------------------------------------------------------
// One upload

// The arguments of one _http_send_buffer; a retro upload unless changed.
struct Upload {
  const char* url = kRetroUrl;
  const char* user = kGuid;
  const char* user_agent = kAgent;
  const char* file_name = "C:\\test.bin";
  const proxy_info* proxy = &kDirect;
  bool error_buffer = true;
  int form_mode = 1;
  int loopback = 1;
};

Upload submit_upload() {
  Upload u;
  u.url = kSubmitUrl;
  u.form_mode = 0;
  u.loopback = 0;
  return u;
}

class HttpSendTest : public UploadTest {
 protected:
  static constexpr int32_t kUnwritten = -5;
  static constexpr uint32_t kSslFlags = 1;

  int send(const Upload& u) {
    std::memset(error_text_, 0, sizeof(error_text_));
    curl_code_ = kUnwritten;
    http_status_ = kUnwritten;
    return captured([&] {
      return _http_send_buffer(u.url, u.user, u.user_agent, kGuid, kSslFlags, &tls_, u.proxy, u.file_name,
                               u.error_buffer ? error_text_ : nullptr, &curl_code_, &http_status_, u.form_mode,
                               u.loopback, nullptr, nullptr);
    });
  }

  // What the common setup sets for an upload with these arguments.
  std::vector<Call> common_options() {
    Fakes fakes;
    captured([&] { return zel_set_curl_opts(kCurl, kAgent, &kDirect, kSslFlags, &tls_, "+velta-send"); });
    return fake.calls;
  }

  const zel_trust_context tls_{nullptr, nullptr};
  char error_text_[256] = {};
  int32_t curl_code_ = kUnwritten;
  int32_t http_status_ = kUnwritten;
};

TEST_F(HttpSendTest, RetroSetsEveryOptionInOrderAndComparesTheEcho) {
  std::vector<Call> expected = {{CURLOPT_ERRORBUFFER, "ptr"}};
  const std::vector<Call> common = common_options();
  ASSERT_FALSE(common.empty());
  expected.insert(expected.end(), common.begin(), common.end());
  expected.insert(expected.end(), {{CURLOPT_URL, kRetroUrl},
                                   {CURLOPT_TIMEOUT, "30"},
                                   {CURLOPT_HTTPAUTH, "1"},
                                   {CURLOPT_USERNAME, kUserName},
                                   {CURLOPT_HTTPPOST, "ptr"},
                                   {CURLOPT_WRITEFUNCTION, "ptr"},
                                   {CURLOPT_WRITEDATA, "ptr"},
                                   {CURLOPT_WRITEDATA, "null"}});

  Fakes fakes;
  fake.answer = [](const std::string&) { return sent_bytes(); };
  EXPECT_EQ(send(Upload{}), 0) << error_text_;
  EXPECT_EQ(fake.calls, expected);
  // Only the context's release comes after the transfer.
  EXPECT_EQ(fake.calls_at_perform, expected.size() - 1);
  EXPECT_EQ(fake.ssl_ctx_data, &tls_);
  EXPECT_EQ(fake.write, &_loopback_write_fn);
  EXPECT_EQ(fake.write_data, nullptr);
  EXPECT_GT(fake.offered.size(), 1u) << "the echo arrives in pieces";
  EXPECT_EQ(fake.taken, fake.offered);
  EXPECT_EQ(fake.performs, 1);
  EXPECT_EQ(fake.inits, 1);
  EXPECT_EQ(fake.cleanups, 1);
  EXPECT_THAT(form.freed, ::testing::ElementsAre(&form.parts[0]));
  ASSERT_EQ(form.adds.size(), 4u);
  EXPECT_EQ(form.adds[2][0], "COPYNAME=agent-guid");
  EXPECT_EQ(curl_code_, 0);
  EXPECT_EQ(http_status_, 200);
  EXPECT_EQ(errors_, "");
}

TEST_F(HttpSendTest, SubmitDropsTheAnswerWithoutWriteData) {
  Fakes fakes;
  // Without a callback libcurl would print the answer; the fake would have nowhere to put it.
  fake.answer = [](const std::string&) { return std::string(fake.write ? "thank you for the upload" : ""); };
  EXPECT_EQ(send(submit_upload()), 0) << error_text_;
  const std::vector<Call> tail = {{CURLOPT_URL, kSubmitUrl}, {CURLOPT_TIMEOUT, "30"},
                                  {CURLOPT_HTTPAUTH, "1"},   {CURLOPT_USERNAME, kUserName},
                                  {CURLOPT_HTTPPOST, "ptr"}, {CURLOPT_WRITEFUNCTION, "ptr"}};
  ASSERT_GE(fake.calls.size(), tail.size());
  EXPECT_EQ(std::vector<Call>(fake.calls.end() - static_cast<long>(tail.size()), fake.calls.end()), tail);
  EXPECT_EQ(fake.calls_at_perform, fake.calls.size()) << "nothing is set after the transfer";
  EXPECT_EQ(fake.value_of(CURLOPT_WRITEDATA), "(unset)");
  EXPECT_EQ(fake.write, &discard_body);
  EXPECT_FALSE(fake.offered.empty());
  EXPECT_EQ(fake.taken, fake.offered);
  ASSERT_EQ(form.adds.size(), 4u);
  EXPECT_EQ(form.adds[2][0], "COPYNAME=guid");
  EXPECT_THAT(form.freed, ::testing::ElementsAre(&form.parts[0]));
  EXPECT_EQ(fake.cleanups, 1);
  EXPECT_EQ(curl_code_, 0);
  EXPECT_EQ(http_status_, 200);
}

TEST_F(HttpSendTest, UserNameIsTheGuidWithoutDashesCutTo255) {
  const std::string long_name(300, 'u');
  const std::string dashed = "--" + std::string(150, 'a') + "-" + std::string(150, 'b');
  struct Case {
    const char* user;
    std::string name;
  } cases[] = {
      {kGuid, kUserName},
      {"a-b-", "ab"},
      {long_name.c_str(), std::string(255, 'u')},
      {dashed.c_str(), std::string(150, 'a') + std::string(105, 'b')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.user);
    Fakes fakes;
    Upload u = submit_upload();
    u.user = c.user;
    EXPECT_EQ(send(u), 0) << error_text_;
    EXPECT_EQ(fake.value_of(CURLOPT_USERNAME), c.name);
    EXPECT_EQ(fake.value_of(CURLOPT_PASSWORD), "(unset)");
    EXPECT_EQ(fake.value_of(CURLOPT_USERPWD), "(unset)");
  }
}

TEST_F(HttpSendTest, CallErrorMakesNoHandle) {
  struct Case {
    const char* name;
    std::function<void(Upload&)> change;
  } cases[] = {
      {"no URL", [](Upload& u) { u.url = nullptr; }},
      {"empty URL", [](Upload& u) { u.url = ""; }},
      {"no user", [](Upload& u) { u.user = nullptr; }},
      {"empty user", [](Upload& u) { u.user = ""; }},
      {"no user agent", [](Upload& u) { u.user_agent = nullptr; }},
      {"empty user agent", [](Upload& u) { u.user_agent = ""; }},
      {"no file name", [](Upload& u) { u.file_name = nullptr; }},
      {"empty file name", [](Upload& u) { u.file_name = ""; }},
      {"no proxy", [](Upload& u) { u.proxy = nullptr; }},
      {"no error buffer", [](Upload& u) { u.error_buffer = false; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fakes fakes;
    Upload u;
    c.change(u);
    EXPECT_EQ(send(u), -1);
    EXPECT_STREQ(error_text_, u.error_buffer ? "Software error" : "");
    EXPECT_EQ(errors_, "[error] _http_send_buffer(): Call error\n");
    EXPECT_EQ(fake.inits, 0);
    EXPECT_EQ(fake.cleanups, 0);
    EXPECT_EQ(curl_code_, kUnwritten);
    EXPECT_EQ(http_status_, kUnwritten);
  }
}

TEST_F(HttpSendTest, FailedInitMakesNothingToRelease) {
  Fakes fakes;
  pathvane_curl.curl_easy_init = [] { return static_cast<CURL*>(nullptr); };
  EXPECT_EQ(send(Upload{}), -1);
  EXPECT_STREQ(error_text_, "CURL init failed");
  EXPECT_EQ(fake.cleanups, 0);
  EXPECT_TRUE(fake.calls.empty());
  EXPECT_TRUE(form.adds.empty());
}

// Every failure once the transfer handle exists: the handle goes exactly once,
// the form exactly once when it was built, and -1 comes back.
TEST_F(HttpSendTest, EveryFailureReleasesHandleAndFormOnce) {
  const std::string refused = std::string(" failed: ") + kUnknownOption;
  const std::string loopback_log = "[error] _http_send_buffer: file fetch loopback error (comparison failed)\n";
  auto echo = [](std::string bytes) { return [bytes](const std::string&) { return bytes; }; };
  struct Case {
    const char* name;
    Upload upload;
    std::function<void()> arrange;
    std::string error_text;
    std::string log;  // a line standard error must hold, or empty
    size_t forms_freed;
    bool performed;
    int32_t curl_code;
    int32_t http_status;
  } cases[] = {
      {"refused error buffer", Upload{}, [] { fake.fail_option = CURLOPT_ERRORBUFFER; },
       "CURL set error buffer option failed", "", 0, false, kUnwritten, kUnwritten},
      {"refused common option", Upload{}, [] { fake.fail_option = CURLOPT_NOSIGNAL; },
       "Set CURL network options failed (-1)",
       "[error] zel_set_curl_opts: curl_easy_setopt(CURLOPT_NOSIGNAL)" + refused, 0, false, kUnwritten, kUnwritten},
      {"refused URL", Upload{}, [] { fake.fail_option = CURLOPT_URL; }, "curl_easy_setopt(CURLOPT_URL)" + refused, "",
       0, false, kUnwritten, kUnwritten},
      {"refused time-out", Upload{}, [] { fake.fail_option = CURLOPT_TIMEOUT; },
       "curl_easy_setopt(CURLOPT_TIMEOUT)" + refused, "", 0, false, kUnwritten, kUnwritten},
      {"refused HTTP auth", Upload{}, [] { fake.fail_option = CURLOPT_HTTPAUTH; },
       "curl_easy_setopt(CURLOPT_HTTPAUTH)" + refused, "", 0, false, kUnwritten, kUnwritten},
      {"refused user name", Upload{}, [] { fake.fail_option = CURLOPT_USERNAME; },
       "curl_easy_setopt(CURLOPT_USERNAME)" + refused, "", 0, false, kUnwritten, kUnwritten},
      {"failing form", Upload{}, [] { form.fail_at = 2; }, "curl_formadd failed (1)", "", 1, false, kUnwritten,
       kUnwritten},
      {"refused form", Upload{}, [] { fake.fail_option = CURLOPT_HTTPPOST; },
       "curl_easy_setopt(CURLOPT_HTTPPOST)" + refused, "", 1, false, kUnwritten, kUnwritten},
      {"refused loopback write function", Upload{}, [] { fake.fail_option = CURLOPT_WRITEFUNCTION; }, "",
       "[error] _http_send_buffer: curl_easy_setopt(CURLOPT_WRITEFUNCTION)" + refused, 1, false, kUnwritten,
       kUnwritten},
      {"refused loopback write data", Upload{}, [] { fake.fail_option = CURLOPT_WRITEDATA; }, "",
       "[error] _http_send_buffer: curl_easy_setopt(CURLOPT_WRITEDATA)" + refused, 1, false, kUnwritten, kUnwritten},
      {"refused discarding write function", submit_upload(), [] { fake.fail_option = CURLOPT_WRITEFUNCTION; }, "",
       "[error] _http_send_buffer: curl_easy_setopt(CURLOPT_WRITEFUNCTION)" + refused, 1, false, kUnwritten,
       kUnwritten},
      {"failed perform", Upload{},
       [] {
         fake.perform_code = CURLE_COULDNT_CONNECT;
         fake.perform_error_text = "Failed to connect to retro.example.invalid port 443";
       },
       "CURL perform failed: Couldn't connect to server (7) (Failed to connect to retro.example.invalid port 443)", "",
       1, true, 7, kUnwritten},
      {"no response code", Upload{},
       [] {
         fake.getinfo_code = CURLE_BAD_FUNCTION_ARGUMENT;
         fake.answer = [](const std::string&) { return sent_bytes(); };
       },
       "Upload status uncertain, curl_easy_getinfo(CURL_INFO_RESPONSE_CODE) failed.",
       "[error] _http_send_buffer: curl_easy_getinfo(CURLINFO_RESPONSE_CODE) failed: some libcurl error", 1, true, 0,
       0},
      {"401", Upload{}, [] { fake.status = 401; }, kUnauthorized, "", 1, true, 0, 401},
      {"401 on submit", submit_upload(), [] { fake.status = 401; }, kUnauthorized, "", 1, true, 0, 401},
      {"500", Upload{}, [] { fake.status = 500; }, "Upload failed (HTTP code: 500)", "", 1, true, 0, 500},
      {"302", submit_upload(), [] { fake.status = 302; }, "Upload failed (HTTP code: 302)", "", 1, true, 0, 302},
      {"204", submit_upload(), [] { fake.status = 204; }, "Upload failed (HTTP code: 204)", "", 1, true, 0, 204},
      {"echo with a different byte", Upload{}, [&] { fake.answer = echo(flipped(sent_bytes(), 70000)); },
       "file fetch loopback error - Data recieved != sent (bytes sent 131070/ received 131070)", loopback_log, 1, true,
       0, 200},
      {"echo one byte too long", Upload{}, [&] { fake.answer = echo(sent_bytes() + "!"); },
       "file fetch loopback error - Data recieved != sent (bytes sent 131070/ received 131071)", loopback_log, 1, true,
       0, 200},
      {"echo cut short", Upload{}, [&] { fake.answer = echo(sent_bytes().substr(0, 1000)); },
       "file fetch loopback error - Unknown error (Possible incomplete transfer or no data received) (bytes sent "
       "131070/ received 1000)",
       loopback_log, 1, true, 0, 200},
      {"no echo", Upload{}, [] {},
       "file fetch loopback error - Unknown error (Possible incomplete transfer or no data received) (bytes sent "
       "131070/ received 0)",
       loopback_log, 1, true, 0, 200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fakes fakes;
    c.arrange();
    EXPECT_EQ(send(c.upload), -1);
    EXPECT_EQ(std::string(error_text_), c.error_text);
    if (!c.log.empty()) {
      EXPECT_THAT(errors_, HasSubstr(c.log));
    }
    EXPECT_EQ(fake.inits, 1);
    EXPECT_EQ(fake.cleanups, 1);
    EXPECT_EQ(form.freed.size(), c.forms_freed);
    if (c.forms_freed) {
      EXPECT_THAT(form.freed, ::testing::Each(&form.parts[0]));
    }
    EXPECT_EQ(fake.performs, c.performed ? 1 : 0);
    EXPECT_EQ(curl_code_, c.curl_code);
    EXPECT_EQ(http_status_, c.http_status);
  }
}

TEST_F(HttpSendTest, OutputsMayBeAbsent) {
  for (long status : {200L, 500L}) {
    SCOPED_TRACE(status);
    Fakes fakes;
    fake.status = status;
    char error[256] = "";
    const int rc = captured([&] {
      return _http_send_buffer(kSubmitUrl, kGuid, kAgent, kGuid, 0, &tls_, &kDirect, "C:\\test.bin", error, nullptr,
                               nullptr, 0, 0, nullptr, nullptr);
    });
    EXPECT_EQ(rc, status == 200 ? 0 : -1);
    EXPECT_STREQ(error, status == 200 ? "" : "Upload failed (HTTP code: 500)");
    EXPECT_EQ(fake.cleanups, 1);
  }
}

// ---------------------------------------------------------------------------
// file_fetch_send_buffer

TEST_F(UploadTest, SendBufferSaysWhyInTheRecord) {
  Fakes fakes;
  EXPECT_EQ(captured([] { return file_fetch_send_buffer(nullptr, &kDirect, nullptr, 1); }), -1);
  EXPECT_EQ(errors_, "[error] file_fetch_send_buffer(): file fetch data is NULL\n");

  const std::string long_server(1000, 'r');
  struct Case {
    const char* name;
    const char* retro_server;
    const proxy_info* proxy;
    long status;
    int rc;
    uint32_t record_status;
    const char* message;
    int32_t http_status;
  } cases[] = {
      {"no proxy", "retro.example.invalid", nullptr, 200, -1, FILE_FETCH_BAD_SETTINGS, "No proxy info specified", 0},
      {"URL too long", long_server.c_str(), &kDirect, 200, -1, FILE_FETCH_URL_TOO_LONG,
       "Failed to build URL for file fetch", 0},
      {"send failed", "retro.example.invalid", &kDirect, 500, -1, FILE_FETCH_SEND_FAILED,
       "http send failed (Upload failed (HTTP code: 500))", 500},
      {"sent", "retro.example.invalid", &kDirect, 200, 0, 0, "", 200},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fakes case_fakes;
    fake.status = c.status;
    fake.answer = [](const std::string&) { return sent_bytes(); };
    Record data = record("submit.example.invalid", c.retro_server, "https");
    ASSERT_NE(data, nullptr);
    data->retro = 1;
    data->status = 0xDEADBEEF;
    EXPECT_EQ(captured([&] { return file_fetch_send_buffer(data.get(), c.proxy, nullptr, 1); }), c.rc);
    EXPECT_EQ(data->status, c.record_status);
    EXPECT_STREQ(data->message, c.message);
    EXPECT_EQ(data->http_status, c.http_status);
    EXPECT_EQ(fake.performs, c.http_status ? 1 : 0);
  }
}

// ---------------------------------------------------------------------------
// The checks

class UploadCheckTest : public UploadTest {
 protected:
  static constexpr int kCrashSlot = 3;
  static constexpr int kRetroSlot = 4;
  static constexpr int kSubmitSlot = 5;

  void SetUp() override {
    UploadTest::SetUp();
    fresh_handle();
  }
  void TearDown() override {
    std::free(handle_);
    UploadTest::TearDown();
  }

  // A zeroed handle as pathvane_init leaves it, with the upload settings filled.
  void fresh_handle() {
    std::free(handle_);
    handle_ = static_cast<pathvane_handle*>(std::calloc(1, sizeof(pathvane_handle)));
    ASSERT_NE(handle_, nullptr);
    for (auto& slot : handle_->results) slot.outcome = OUTCOME_UNTOUCHED;
    pathvane_settings& s = handle_->settings;
    put(s.retro_server, "retro.example.invalid");
    put(s.submit_server, "submit.example.invalid");
    put(s.submit_protocol, "https");
    put(s.crash_dump_url, "https://dump.example.invalid/crashdump?source=agent");
    put(s.velta.agent_guid, kGuid);
    put(s.velta.user_agent, kAgent);
    s.max_upload_size = 10485760;
    s.proxy = kDirect;
  }

  int run(int (*check)(pathvane_handle*)) {
    return captured([&] { return check(handle_); });
  }

  // Every slot other than the given one is still as pathvane_init left it.
  void expect_others_untouched(int slot) {
    for (int i = 0; i < PATHVANE_SLOT_COUNT; ++i) {
      if (i != slot) {
        EXPECT_EQ(handle_->results[i].outcome, OUTCOME_UNTOUCHED) << "slot " << i;
      }
    }
  }

  pathvane_handle* handle_ = nullptr;
};

TEST_F(UploadCheckTest, AbsentHandle) {
  Fakes fakes;
  for (auto check : {pathvane_retro_fetch_check, pathvane_submit_upload_check, pathvane_crash_dump_check}) {
    EXPECT_EQ(captured([&] { return check(nullptr); }), OUTCOME_NULL_ARGS);
  }
  EXPECT_EQ(fake.inits, 0);
}

TEST_F(UploadCheckTest, NoServerIsNotRunAndLeavesTheSlot) {
  struct Case {
    const char* name;
    int (*check)(pathvane_handle*);
    char (pathvane_settings::*server)[1024];
  } cases[] = {
      {"retro", pathvane_retro_fetch_check, &pathvane_settings::retro_server},
      {"submit", pathvane_submit_upload_check, &pathvane_settings::submit_server},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fakes fakes;
    fresh_handle();
    (handle_->settings.*c.server)[0] = '\0';
    check_result before[PATHVANE_SLOT_COUNT];
    std::memcpy(before, handle_->results, sizeof(before));
    EXPECT_EQ(run(c.check), OUTCOME_NOT_RUN);
    EXPECT_EQ(std::memcmp(before, handle_->results, sizeof(before)), 0) << "no slot is written";
    EXPECT_EQ(fake.inits, 0);
    EXPECT_EQ(errors_, "");
  }
}

TEST_F(UploadCheckTest, FileFetchVerdicts) {
  const std::string wrap = "http send failed (";
  auto two_lines = [](const std::string& message, uint32_t status) {
    return "[error] _perform_file_fetch_upload(): file fetch send failed\n[error] _perform_file_fetch_upload(): " +
           message + " (zel_err " + std::to_string(status) + ") (CURLcode 0)\n";
  };
  struct Case {
    const char* name;
    int (*check)(pathvane_handle*);
    int slot;
    std::function<void(pathvane_handle&)> arrange;
    uint32_t outcome;
    std::string curl_error;
    int32_t http_status;
    int32_t curl_code;
    std::string errors;  // all of standard error, when given
  } cases[] = {
      {"upper-case protocol", pathvane_retro_fetch_check, kRetroSlot,
       [](pathvane_handle& h) { put(h.settings.submit_protocol, "HTTP"); }, OUTCOME_FAILED,
       "Bad submit server protocol (HTTP)", 0, 0, two_lines("Bad submit server protocol (HTTP)", 0xC120000D)},
      {"URL too long", pathvane_submit_upload_check, kSubmitSlot,
       [](pathvane_handle& h) { put(h.settings.submit_server, std::string(1000, 's')); }, OUTCOME_FAILED,
       "Failed to build URL for file fetch", 0, 0, two_lines("Failed to build URL for file fetch", 0xC120000F)},
      {"401", pathvane_retro_fetch_check, kRetroSlot, [](pathvane_handle&) { fake.status = 401; },
       OUTCOME_CONNECTION_REFUSED, wrap + kUnauthorized + ")", 401, 0,
       two_lines(wrap + kUnauthorized + ")", 0xC1200012)},
      {"500", pathvane_submit_upload_check, kSubmitSlot, [](pathvane_handle&) { fake.status = 500; },
       OUTCOME_SERVER_ERROR, wrap + "Upload failed (HTTP code: 500))", 500, 0, ""},
      {"couldn't connect", pathvane_retro_fetch_check, kRetroSlot,
       [](pathvane_handle&) {
         fake.perform_code = CURLE_COULDNT_CONNECT;
         fake.perform_error_text = "Connection refused";
       },
       OUTCOME_COULDNT_CONNECT, wrap + "CURL perform failed: Couldn't connect to server (7) (Connection refused))", 0,
       7, ""},
      {"time-out", pathvane_submit_upload_check, kSubmitSlot,
       [](pathvane_handle&) { fake.perform_code = CURLE_OPERATION_TIMEDOUT; }, OUTCOME_FAILED,
       wrap + "CURL perform failed: Timeout was reached (28) ())", 0, 28, ""},
      {"loopback mismatch", pathvane_retro_fetch_check, kRetroSlot,
       [](pathvane_handle&) { fake.answer = [](const std::string&) { return flipped(sent_bytes(), 5); }; },
       OUTCOME_FAILED, wrap + "file fetch loopback error - Data recieved != sent (bytes sent 131070/ received 131070))",
       200, 0, ""},
      {"retro passes", pathvane_retro_fetch_check, kRetroSlot,
       [](pathvane_handle&) { fake.answer = [](const std::string&) { return sent_bytes(); }; }, OUTCOME_PASS, "", 200,
       0, ""},
      {"submit passes", pathvane_submit_upload_check, kSubmitSlot, [](pathvane_handle&) {}, OUTCOME_PASS, "", 200, 0,
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fakes fakes;
    fresh_handle();
    c.arrange(*handle_);
    EXPECT_EQ(run(c.check), static_cast<int>(c.outcome));
    const check_result& slot = handle_->results[c.slot];
    EXPECT_EQ(slot.outcome, c.outcome);
    EXPECT_EQ(std::string(slot.curl_error), c.curl_error);
    EXPECT_EQ(slot.http_status, c.http_status);
    EXPECT_EQ(slot.curl_code, c.curl_code);
    if (!c.errors.empty()) {
      EXPECT_EQ(errors_, c.errors);
    }
    expect_others_untouched(c.slot);
  }
}

TEST_F(UploadCheckTest, PassingUploadsPostTheirForms) {
  const std::string guid = kGuid;
  struct Case {
    const char* name;
    int (*check)(pathvane_handle*);
    std::string url;
    FormParts parts;
    testsupport::CurlWriteFn write;
  } cases[] = {
      {"retro",
       pathvane_retro_fetch_check,
       kRetroUrl,
       {{"COPYNAME=file", "BUFFER=C:\\test.bin", "BUFFERPTR=loopback_pattern", "BUFFERLENGTH=131070"},
        {"COPYNAME=version", "COPYCONTENTS=4.0.0.0"},
        {"COPYNAME=agent-guid", "COPYCONTENTS=" + guid},
        {"COPYNAME=encrypted", "COPYCONTENTS=0"}},
       &_loopback_write_fn},
      {"submit",
       pathvane_submit_upload_check,
       kSubmitUrl,
       {{"COPYNAME=file", "BUFFER=C:\\test.bin", "BUFFERPTR=loopback_pattern", "BUFFERLENGTH=131070"},
        {"COPYNAME=version", "COPYCONTENTS=4.0.0.0"},
        {"COPYNAME=guid", "COPYCONTENTS=" + guid},
        {"COPYNAME=module", "COPYCONTENTS=agent"}},
       &discard_body},
      {"crash dump",
       pathvane_crash_dump_check,
       "https://dump.example.invalid/crashdump?source=agent",
       {{"COPYNAME=file", "BUFFER=C:\\pathvane_crash_dump_upload_test.bin", "BUFFERPTR=loopback_pattern",
         "BUFFERLENGTH=131070"},
        {"COPYNAME=version", "COPYCONTENTS=9.9.9.9"},
        {"COPYNAME=guid", "COPYCONTENTS=" + guid},
        {"COPYNAME=module", "COPYCONTENTS=pathvane_test"}},
       &discard_body},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fakes fakes;
    fake.answer = [](const std::string&) { return fake.write ? sent_bytes() : std::string(); };
    EXPECT_EQ(run(c.check), OUTCOME_PASS) << errors_;
    EXPECT_EQ(fake.value_of(CURLOPT_URL), c.url);
    EXPECT_EQ(fake.value_of(CURLOPT_USERNAME), kUserName);
    EXPECT_EQ(form.adds, c.parts);
    EXPECT_EQ(fake.write, c.write);
    EXPECT_EQ(fake.cleanups, 1);
    EXPECT_EQ(form.freed.size(), 1u);
  }
}

TEST_F(UploadCheckTest, CrashDumpVerdicts) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    uint32_t outcome;
    std::string curl_error;
    int32_t http_status;
    int32_t curl_code;
  } cases[] = {
      {"passes", [] {}, OUTCOME_PASS, "", 200, 0},
      {"401", [] { fake.status = 401; }, OUTCOME_CONNECTION_REFUSED, kUnauthorized, 401, 0},
      {"503", [] { fake.status = 503; }, OUTCOME_SERVER_ERROR, "Upload failed (HTTP code: 503)", 503, 0},
      {"unresolved host",
       [] {
         fake.perform_code = CURLE_COULDNT_RESOLVE_HOST;
         fake.perform_error_text = "Could not resolve host: dump.example.invalid";
       },
       OUTCOME_UNRESOLVED_HOST,
       "CURL perform failed: some libcurl error (6) (Could not resolve host: dump.example.invalid)", 0, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fakes fakes;
    fresh_handle();
    c.arrange();
    EXPECT_EQ(run(pathvane_crash_dump_check), static_cast<int>(c.outcome));
    const check_result& slot = handle_->results[kCrashSlot];
    EXPECT_EQ(slot.outcome, c.outcome);
    EXPECT_EQ(std::string(slot.curl_error), c.curl_error);
    EXPECT_EQ(slot.http_status, c.http_status);
    EXPECT_EQ(slot.curl_code, c.curl_code);
    if (c.outcome != OUTCOME_PASS) {
      EXPECT_THAT(errors_,
                  HasSubstr("[error] file_fetch_send_crash_dump(): crash dump upload failed (" + c.curl_error + ")\n"));
    }
    expect_others_untouched(kCrashSlot);
  }
}

TEST_F(UploadCheckTest, CrashDumpWithoutUrlRecordsNotRun) {
  Fakes fakes;
  handle_->settings.crash_dump_url[0] = '\0';
  EXPECT_EQ(run(pathvane_crash_dump_check), OUTCOME_NOT_RUN);
  EXPECT_EQ(handle_->results[kCrashSlot].outcome, OUTCOME_NOT_RUN);
  expect_others_untouched(kCrashSlot);
  EXPECT_EQ(fake.inits, 0);
}

TEST_F(UploadTest, CrashDumpSendRefusesAbsentArguments) {
  zel_transfer_status result{};
  struct Case {
    const char* name;
    const char* url;
    const proxy_info* proxy;
    const char* guid;
    zel_transfer_status* result;
  } cases[] = {
      {"no URL", nullptr, &kDirect, kGuid, &result},
      {"no proxy", "https://dump.example.invalid/", nullptr, kGuid, &result},
      {"no GUID", "https://dump.example.invalid/", &kDirect, nullptr, &result},
      {"no result", "https://dump.example.invalid/", &kDirect, kGuid, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fakes fakes;
    EXPECT_EQ(
        captured([&] { return file_fetch_send_crash_dump(c.url, kAgent, c.proxy, 0, nullptr, c.guid, c.result); }), -1);
    EXPECT_EQ(errors_, "[error] file_fetch_send_crash_dump(): NULL or invalid arguments\n");
    EXPECT_EQ(fake.inits, 0);
    EXPECT_STREQ(result.error_text, "");
  }
}

}  // namespace
