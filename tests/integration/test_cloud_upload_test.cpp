// The test cloud's upload endpoints, and the reply modifiers that cut, pace
// and prolong their answers, spoken to over a plain socket.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/cloud.h"

namespace {

testsupport::TestCloud* cloud = nullptr;

const std::string kRetro = "/upload/4/e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
const std::string kSubmit = "/upload/4/71114ed9c1d899aec9fd4eb5c3e1b12afdfe3e72739e0d799f7e74ed43d646b7";
const std::string kCrashDump = "/crashdump";
const std::string kGuid = "6F9619FF8B86D011B42D00C04FC964FF";

std::string base64(const std::string& bytes) {
  std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

// The agent's upload credentials: its GUID and no password.
const std::string kBasic = "Basic " + base64(kGuid + ":");

// The file the tool uploads: the 16-bit words 0 to 65534, little-endian.
const std::string& pattern_file() {
  static const std::string file = [] {
    std::string bytes;
    for (uint32_t word = 0; word < 65535; ++word) {
      bytes.push_back(static_cast<char>(word & 0xff));
      bytes.push_back(static_cast<char>(word >> 8));
    }
    return bytes;
  }();
  return file;
}

struct Part {
  std::string name;
  std::string filename;  // "" for a plain field
  std::string content;
};

const std::string kBoundary = "------------------------9f3c2a7b15d04e68";
const std::string kMultipart = "multipart/form-data; boundary=" + kBoundary;

// A multipart/form-data body laid out as libcurl lays out a form.
std::string multipart(const std::vector<Part>& parts) {
  std::string body;
  for (const auto& part : parts) {
    body += "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + part.name + "\"";
    if (!part.filename.empty()) {
      body += "; filename=\"" + part.filename + "\"\r\nContent-Type: application/octet-stream";
    }
    body += "\r\n\r\n" + part.content + "\r\n";
  }
  return body + "--" + kBoundary + "--\r\n";
}

// The three uploads as the tool sends them, and what each answers.
struct Upload {
  std::string path;
  std::vector<Part> parts;
  std::string answer;
};

std::vector<Upload> tool_uploads() {
  const std::string& file = pattern_file();
  return {
      {kRetro,
       {{"file", "C:\\test.bin", file}, {"version", "", "4.0.0.0"}, {"agent-guid", "", kGuid}, {"encrypted", "", "0"}},
       file},
      {kSubmit,
       {{"file", "C:\\test.bin", file}, {"version", "", "4.0.0.0"}, {"guid", "", kGuid}, {"module", "", "agent"}},
       ""},
      {kCrashDump,
       {{"file", "C:\\pathvane_crash_dump_upload_test.bin", file},
        {"version", "", "9.9.9.9"},
        {"guid", "", kGuid},
        {"module", "", "pathvane_test"}},
       ""},
  };
}

struct Call {
  std::string method = "POST";
  std::string target;
  std::string content_type;   // "" for none
  std::string authorization;  // "" for none
  std::string body;
};

Call upload_call(const std::string& target, const std::vector<Part>& parts) {
  return {"POST", target, kMultipart, kBasic, multipart(parts)};
}

Call retro_call(const std::string& query = "") { return upload_call(kRetro + query, tool_uploads()[0].parts); }

struct Answer {
  int status = -1;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;                            // decoded; empty when the body went to a sink
  size_t reads = 0;                            // reads that brought body bytes
  size_t chunks = 0;                           // of a chunked body, not counting the closing one
  bool closing_chunk = false;                  // a chunked body ended as it should
};

// Undoes the chunked transfer coding as the bytes come in.
class Dechunker {
 public:
  void feed(const char* data, size_t size, Answer& answer, const std::function<void(const char*, size_t)>& out) {
    pending_.append(data, size);
    size_t at = 0;
    while (!answer.closing_chunk && !broken_) {
      if (left_ == 0) {
        if (after_data_) {
          if (pending_.size() - at < 2) break;
          broken_ = pending_.compare(at, 2, "\r\n") != 0;
          at += 2;
          after_data_ = false;
          continue;
        }
        size_t eol = pending_.find("\r\n", at);
        if (eol == std::string::npos) break;
        std::string line = pending_.substr(at, eol - at);
        at = eol + 2;
        if (line.empty() || line.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
          broken_ = true;
          break;
        }
        left_ = std::stoull(line, nullptr, 16);
        if (left_ == 0) {
          answer.closing_chunk = true;
          break;
        }
        ++answer.chunks;
      }
      size_t take = static_cast<size_t>(std::min<uint64_t>(left_, pending_.size() - at));
      if (take == 0) break;
      out(pending_.data() + at, take);
      at += take;
      left_ -= take;
      after_data_ = left_ == 0;
    }
    pending_.erase(0, at);
  }

 private:
  std::string pending_;
  uint64_t left_ = 0;
  bool after_data_ = false;
  bool broken_ = false;
};

void parse_head(const std::string& head, Answer& answer) {
  if (head.rfind("HTTP/1.1 ", 0) != 0) return;
  answer.status = std::atoi(head.c_str() + 9);
  for (size_t at = head.find("\r\n"); at != std::string::npos;) {
    size_t next = head.find("\r\n", at + 2);
    std::string line = head.substr(at + 2, next == std::string::npos ? std::string::npos : next - at - 2);
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::string name = line.substr(0, colon);
      for (auto& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      answer.headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
    }
    at = next;
  }
}

// Takes the body as it comes; false hangs up.
using BodySink = std::function<bool(const char* data, size_t size)>;

// One HTTP/1.1 request on a fresh connection, read until the cloud closes it
// or the sink hangs up.
Answer exchange(const Call& call, const BodySink& sink = nullptr) {
  Answer answer;
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return answer;
  timeval timeout{30, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(cloud->http_port()));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string request = call.method + " " + call.target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  if (!call.authorization.empty()) request += "Authorization: " + call.authorization + "\r\n";
  if (!call.content_type.empty()) request += "Content-Type: " + call.content_type + "\r\n";
  if (call.method == "POST" || call.method == "PUT" || !call.body.empty()) {
    request += "Content-Length: " + std::to_string(call.body.size()) + "\r\n";
  }
  request += "\r\n" + call.body;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    return answer;
  }
  for (size_t done = 0; done < request.size();) {
    ssize_t n = send(fd, request.data() + done, request.size() - done, MSG_NOSIGNAL);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  std::string head;
  bool in_body = false;
  bool chunked = false;
  bool more = true;
  Dechunker dechunker;
  auto deliver = [&](const char* data, size_t size) {
    if (!sink) {
      answer.body.append(data, size);
    } else if (more) {
      more = sink(data, size);
    }
  };
  std::vector<char> buffer(64 * 1024);
  ssize_t n;
  while (more && (n = recv(fd, buffer.data(), buffer.size(), 0)) > 0) {
    const char* data = buffer.data();
    size_t size = static_cast<size_t>(n);
    if (!in_body) {
      size_t before = head.size();
      head.append(data, size);
      size_t end = head.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      in_body = true;
      size_t skip = end + 4 - before;
      data += skip;
      size -= skip;
      head.resize(end);
      parse_head(head, answer);
      chunked = answer.headers["transfer-encoding"] == "chunked";
    }
    if (size == 0) continue;
    ++answer.reads;
    if (chunked) {
      dechunker.feed(data, size, answer, deliver);
    } else {
      deliver(data, size);
    }
  }
  close(fd);
  return answer;
}

Answer get(const std::string& target) { return exchange({"GET", target, "", "", ""}); }

// Rule keys for the retro path.
bool add_retro_rule(const std::string& keys) {
  return cloud->add_rule(R"({"path": ")" + kRetro + R"(", )" + keys + "}");
}

// The record as the cloud serves it, for the fields CloudRequest leaves out.
nlohmann::json raw_records(const std::string& path) {
  return nlohmann::json::parse(get("/_cloud/requests?path=" + path).body, nullptr, false);
}

class UploadCloud : public ::testing::Test {
 public:
  static void SetUpTestSuite() {
    cloud = new testsupport::TestCloud;
    std::string error;
    if (!cloud->start(&error)) {
      delete cloud;
      cloud = nullptr;
      FAIL() << error;
    }
  }
  static void TearDownTestSuite() {
    delete cloud;
    cloud = nullptr;
  }

 protected:
  void SetUp() override {
    ASSERT_NE(cloud, nullptr) << "the test cloud did not start";
    ASSERT_TRUE(cloud->reset());
  }
};

TEST_F(UploadCloud, UploadsAnswerAsTheToolExpects) {
  for (const auto& upload : tool_uploads()) {
    SCOPED_TRACE(upload.path);
    ASSERT_TRUE(cloud->reset());
    Answer answer = exchange(upload_call(upload.path, upload.parts));
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.headers["content-length"], std::to_string(upload.answer.size()));
    ASSERT_EQ(answer.body.size(), upload.answer.size());
    EXPECT_TRUE(answer.body == upload.answer) << "the answer differs from the file part";
    if (!upload.answer.empty()) {
      EXPECT_EQ(answer.headers["content-type"], "application/octet-stream");
    }
  }
}

// The record keeps the parts in the order they were sent, which is not the
// order of their names, and the credentials they came with.
TEST_F(UploadCloud, RecordKeepsThePartsInOrderAndTheCredentials) {
  std::vector<Upload> uploads = tool_uploads();
  // The same name twice, around another.
  uploads.push_back({kSubmit + "?again", {{"zeta", "", "1"}, {"file", "a.bin", "xyz"}, {"zeta", "", "2"}}, ""});
  for (const auto& upload : uploads) {
    const std::string path = upload.path.substr(0, upload.path.find('?'));
    SCOPED_TRACE(upload.path);
    ASSERT_TRUE(cloud->reset());
    ASSERT_EQ(exchange(upload_call(upload.path, upload.parts)).status, 200);
    auto seen = cloud->requests(path);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].headers["authorization"], kBasic);
    EXPECT_EQ(seen[0].body, "");
    ASSERT_EQ(seen[0].parts.size(), upload.parts.size());
    for (size_t i = 0; i < upload.parts.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(seen[0].parts[i].name, upload.parts[i].name);
      EXPECT_EQ(seen[0].parts[i].filename, upload.parts[i].filename);
      EXPECT_TRUE(seen[0].parts[i].content == upload.parts[i].content) << upload.parts[i].name;
    }
    nlohmann::json raw = raw_records(path);
    ASSERT_TRUE(raw.is_array() && raw.size() == 1u) << raw.dump().substr(0, 200);
    EXPECT_EQ(raw[0].value("basic_user", "?"), kGuid);
    EXPECT_EQ(raw[0].value("basic_password", "?"), "");
  }
}

TEST_F(UploadCloud, CredentialsDecodeWhateverTheyHold) {
  struct Case {
    std::string authorization;
    std::string user;
    std::string password;
  } cases[] = {
      {"Basic " + base64("u:p:q"), "u", "p:q"},
      {"basic " + base64(":secret"), "", "secret"},
      {"BASIC   " + base64("ab:") + "  ", "ab", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.authorization);
    ASSERT_TRUE(cloud->reset());
    Call call = retro_call();
    call.authorization = c.authorization;
    EXPECT_EQ(exchange(call).status, 200);
    nlohmann::json raw = raw_records(kRetro);
    ASSERT_TRUE(raw.is_array() && raw.size() == 1u);
    EXPECT_EQ(raw[0].value("basic_user", "?"), c.user);
    EXPECT_EQ(raw[0].value("basic_password", "?"), c.password);
  }
}

TEST_F(UploadCloud, UploadsAreRefusedWithoutCredentialsOrAFilePart) {
  const std::string form = multipart({{"file", "C:\\test.bin", "data"}});
  struct Case {
    std::string name;
    Call call;
    int status;
  } cases[] = {
      {"no credentials", {"POST", kRetro, kMultipart, "", form}, 401},
      {"another scheme", {"POST", kRetro, kMultipart, "Bearer " + base64(kGuid + ":"), form}, 401},
      {"not base64", {"POST", kRetro, kMultipart, "Basic !!!!", form}, 401},
      {"base64 cut short", {"POST", kRetro, kMultipart, "Basic " + base64(kGuid + ":").substr(1), form}, 401},
      {"no colon", {"POST", kCrashDump, kMultipart, "Basic " + base64(kGuid), form}, 401},
      {"scheme alone", {"POST", kCrashDump, kMultipart, "Basic", form}, 401},
      {"a form, not multipart", {"POST", kRetro, "application/x-www-form-urlencoded", kBasic, "file=data"}, 400},
      {"no body", {"POST", kCrashDump, "", kBasic, ""}, 400},
      {"no file part", {"POST", kSubmit, kMultipart, kBasic, multipart({{"version", "", "4.0.0.0"}})}, 400},
      {"GET", {"GET", kRetro, "", kBasic, ""}, 405},
      {"PUT", {"PUT", kCrashDump, kMultipart, kBasic, form}, 405},
      {"no identifier", {"POST", "/upload/4/", kMultipart, kBasic, form}, 404},
      {"identifier with a slash", {"POST", kRetro + "/x", kMultipart, kBasic, form}, 404},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(cloud->reset());
    Answer answer = exchange(c.call);
    EXPECT_EQ(answer.status, c.status) << answer.body;
    EXPECT_NE(answer.body, "");
    EXPECT_EQ(answer.headers.count("www-authenticate"), c.status == 401 ? 1u : 0u);
    if (c.status == 401) {
      EXPECT_EQ(answer.headers["www-authenticate"].substr(0, 6), "Basic ");
    }
    if (c.status == 405) {
      EXPECT_EQ(answer.headers["allow"], "POST");
    }
    EXPECT_EQ(cloud->requests().size(), 1u) << "a refused upload is recorded too";
  }
}

// truncate comes after fill, alter and append; a fill replaces the echo.
TEST_F(UploadCloud, ModifiersReshapeTheEcho) {
  const std::string& file = pattern_file();
  const std::string letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  struct Case {
    std::string name;
    std::string rule;   // keys added to a rule for the retro path; "" for none
    std::string query;  // appended to the path
    // The answer is head, then (when altered_from is set) one byte other than
    // altered_from, then tail.
    std::string head;
    int altered_from;
    std::string tail;
  } cases[] = {
      {"truncate", "", "?_truncate=1000", file.substr(0, 1000), -1, ""},
      {"truncate by rule", R"("truncate": 1000)", "", file.substr(0, 1000), -1, ""},
      {"query truncate beats the rule", R"("truncate": 1000)", "?_truncate=10", file.substr(0, 10), -1, ""},
      {"truncate to nothing", "", "?_truncate=0", "", -1, ""},
      {"truncate past the end", "", "?_truncate=131071", file, -1, ""},
      {"append one byte", "", "?_append=%FF", file, -1, "\xff"},
      {"alter", "", "?_alter=1", file.substr(0, file.size() - 1), static_cast<unsigned char>(file.back()), ""},
      {"truncate cuts the altered byte", "", "?_alter=1&_truncate=131069", file.substr(0, 131069), -1, ""},
      {"truncate keeps the altered byte", R"("alter": true, "truncate": 131070)", "", file.substr(0, file.size() - 1),
       static_cast<unsigned char>(file.back()), ""},
      {"truncate after append", "", "?_append=XYZ&_truncate=131072", file, -1, "XY"},
      {"fill replaces the echo", "", "?_fill=30", letters + "ABCD", -1, ""},
      {"fill by rule", R"("fill": 30)", "", letters + "ABCD", -1, ""},
      {"fill truncated", R"("fill": 100000)", "?_truncate=27", letters + "A", -1, ""},
      {"fill altered and appended, then truncated", "", "?_fill=3&_alter=1&_append=!!&_truncate=4", "AB", 'C', "!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(cloud->reset());
    ASSERT_TRUE(c.rule.empty() || add_retro_rule(c.rule));
    Answer answer = exchange(retro_call(c.query));
    EXPECT_EQ(answer.status, 200);
    size_t altered = c.altered_from >= 0 ? 1 : 0;
    size_t size = c.head.size() + altered + c.tail.size();
    EXPECT_EQ(answer.headers["content-length"], std::to_string(size));
    ASSERT_EQ(answer.body.size(), size);
    EXPECT_TRUE(answer.body.compare(0, c.head.size(), c.head) == 0) << "the head differs";
    if (altered) {
      EXPECT_NE(answer.body[c.head.size()], static_cast<char>(c.altered_from));
    }
    EXPECT_EQ(answer.body.substr(c.head.size() + altered), c.tail);
  }
}

// Each piece goes out as its own chunk; a piece above 64 KiB takes several.
TEST_F(UploadCloud, ChunkSendsTheSameBytesInPieces) {
  const std::string& file = pattern_file();
  struct Case {
    std::string name;
    std::string rule;
    std::string query;
    std::string body;
    size_t chunks;
  } cases[] = {
      {"one byte", "", "?_truncate=5&_chunk=1", file.substr(0, 5), 5},
      {"1000 bytes", "", "?_chunk=1000", file, 132},
      {"by rule", R"("chunk": 1000)", "", file, 132},
      {"query beats the rule", R"("chunk": 1000)", "?_chunk=50000", file, 3},
      {"64 KiB", "", "?_chunk=65536", file, 2},
      {"the whole body", "", "?_chunk=131070", file, 2},
      {"more than the body", "", "?_chunk=1000000", file, 2},
      {"an empty body", "", "?_truncate=0&_chunk=7", "", 0},
      {"a fill", "", "?_fill=60&_chunk=26", "ABCDEFGHIJKLMNOPQRSTUVWXYZABCDEFGHIJKLMNOPQRSTUVWXYZABCDEFGH", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(cloud->reset());
    ASSERT_TRUE(c.rule.empty() || add_retro_rule(c.rule));
    Answer answer = exchange(retro_call(c.query));
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.headers["transfer-encoding"], "chunked");
    EXPECT_EQ(answer.headers.count("content-length"), 0u);
    EXPECT_TRUE(answer.closing_chunk);
    EXPECT_EQ(answer.chunks, c.chunks);
    ASSERT_EQ(answer.body.size(), c.body.size());
    EXPECT_TRUE(answer.body == c.body) << "the pieces differ from the body";
  }
}

TEST_F(UploadCloud, ChunkDelayLetsThePiecesArriveApart) {
  for (const std::string rule : {"", R"("chunk": 40000, "chunk_delay_ms": 150)"}) {
    SCOPED_TRACE(rule);
    ASSERT_TRUE(cloud->reset());
    ASSERT_TRUE(rule.empty() || add_retro_rule(rule));
    Answer answer = exchange(retro_call(rule.empty() ? "?_chunk=40000&_chunk_delay_ms=150" : ""));
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.chunks, 4u);
    EXPECT_GE(answer.reads, 2u) << "the pieces came in one read";
    EXPECT_TRUE(answer.body == pattern_file());
  }
}

// What the sink of an endless answer saw.
struct Stream {
  uint64_t size = 0;
  uint64_t wrong = 0;  // bytes other than expected
  uint64_t stop_at = 0;
  const std::string* head = nullptr;  // the bytes expected first; 'A'..'Z' after them

  bool take(const char* data, size_t n) {
    for (size_t i = 0; i < n; ++i, ++size) {
      if (head && size < head->size()) {
        wrong += data[i] != (*head)[size];
      } else {
        wrong += data[i] < 'A' || data[i] > 'Z';
      }
    }
    return size < stop_at;
  }
};

TEST_F(UploadCloud, EndlessKeepsSendingAfterTheEcho) {
  const std::string& file = pattern_file();
  struct Case {
    std::string rule;
    std::string query;
    std::string head;
  } cases[] = {
      {"", "?_endless=1", file},
      {R"("endless": true, "chunk": 1000)", "", file},
      {R"("endless": true)", "?_truncate=100&_append=x", file.substr(0, 100)},
      {R"("endless": true)", "?_fill=5", "ABCDE"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rule + c.query);
    ASSERT_TRUE(cloud->reset());
    ASSERT_TRUE(c.rule.empty() || add_retro_rule(c.rule));
    Stream stream;
    stream.stop_at = 10u << 20;
    stream.head = &c.head;
    Answer answer =
        exchange(retro_call(c.query), [&stream](const char* data, size_t n) { return stream.take(data, n); });
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.headers["transfer-encoding"], "chunked");
    EXPECT_FALSE(answer.closing_chunk);
    EXPECT_GE(stream.size, stream.stop_at);
    EXPECT_EQ(stream.wrong, 0u);
  }
  ASSERT_TRUE(cloud->reset());
  Answer plain = exchange(retro_call("?_endless=0"));
  EXPECT_EQ(plain.headers["content-length"], std::to_string(file.size())) << "_endless=0 leaves the echo as it was";
}

// Every endless answer holds one of the cloud's workers until it notices the
// client has gone; with more answers abandoned than it has workers, a later
// request is answered only if each was let go.
TEST_F(UploadCloud, EndlessStopsWhenTheClientLeaves) {
  // httplib's default pool.
  unsigned workers =
      std::max(8u, std::thread::hardware_concurrency() > 0 ? std::thread::hardware_concurrency() - 1 : 0);
  for (unsigned i = 0; i < workers + 2; ++i) {
    SCOPED_TRACE(i);
    Stream stream;
    stream.stop_at = 1u << 20;
    Answer answer = exchange({"GET", "/health?_endless=1", "", "", ""},
                             [&stream](const char* data, size_t n) { return stream.take(data, n); });
    ASSERT_EQ(answer.status, 200);
    ASSERT_GE(stream.size, stream.stop_at);
  }
  Answer after = get("/health");
  EXPECT_EQ(after.status, 200);
  EXPECT_EQ(after.body, "OK");
}

TEST_F(UploadCloud, BadNewModifiersAreRefused) {
  struct RuleCase {
    std::string keys;
    bool accepted;
  } rules[] = {
      {R"("truncate": -1)", false},
      {R"("truncate": "5")", false},
      {R"("truncate": 1.5)", false},
      {R"("chunk": 0)", false},
      {R"("chunk": -3)", false},
      {R"("chunk": true)", false},
      {R"("chunk_delay_ms": -1)", false},
      {R"("chunk_delay_ms": 2147483648)", false},
      {R"("endless": 1)", false},
      {R"("endless": "yes")", false},
      {R"("fault": "partial", "chunk": 10)", false},
      {R"("fault": "partial", "endless": true)", false},
      {R"("truncate": 0)", true},
      {R"("chunk": 1)", true},
      {R"("chunk_delay_ms": 0, "endless": false)", true},
      {R"("fault": "partial", "endless": false)", true},
  };
  for (const auto& r : rules) {
    ASSERT_TRUE(cloud->reset());
    EXPECT_EQ(cloud->add_rule(R"({"path": "/health", )" + r.keys + "}"), r.accepted) << r.keys;
  }
  ASSERT_TRUE(cloud->reset());
  for (const std::string query : {"_truncate=x", "_truncate=-1", "_truncate=", "_chunk=0", "_chunk=1e3",
                                  "_chunk_delay_ms=-5", "_chunk_delay_ms=2147483648", "_endless=yes"}) {
    Answer answer = get("/health?" + query);
    EXPECT_EQ(answer.status, 400) << query;
    EXPECT_EQ(answer.body, "bad " + query.substr(0, query.find('='))) << query;
  }
  // Across the layers too: a rule's partial fault and a query's endless.
  ASSERT_TRUE(cloud->add_rule(R"({"path": "/health", "fault": "partial"})"));
  for (const std::string query : {"_endless=1", "_chunk=5"}) {
    Answer answer = get("/health?" + query);
    EXPECT_EQ(answer.status, 400) << query;
    EXPECT_NE(answer.body.find("partial"), std::string::npos) << answer.body;
  }
}

}  // namespace
