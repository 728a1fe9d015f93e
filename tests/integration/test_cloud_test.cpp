// The test cloud's registration, policy and updater seed endpoints, and the
// reply modifiers that script their answers, spoken to over a plain socket.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/support/cloud_suite.h"

namespace {

struct Answer {
  int status = -1;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;                            // empty when the body went to a sink
  bool cut = false;                            // the body passed kKeptBody and was left unread
};

// A kept body beyond this is a fault of the cloud; stop rather than read on.
constexpr size_t kKeptBody = 64 * 1024;

using BodySink = std::function<void(const char* data, size_t size)>;

// A connection to port on 127.0.0.1 that has sent request and waits at most
// timeout_ms for each read; -1 when it could not connect.
int send_request(int port, const std::string& request, int timeout_ms) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    return -1;
  }
  for (size_t done = 0; done < request.size();) {
    ssize_t n = send(fd, request.data() + done, request.size() - done, MSG_NOSIGNAL);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return fd;
}

// One HTTP/1.1 request on a fresh connection, read until the cloud closes it.
// The body goes to sink when one is given, so a large one need not be kept;
// a sink decides itself how much it takes.
Answer exchange(const std::string& method, const std::string& target, const std::string& body = "",
                const BodySink& sink = nullptr) {
  Answer answer;
  std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
  if (method == "POST" || method == "PUT") {
    request +=
        "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  }
  request += "\r\n" + body;
  int fd = send_request(testsupport::CloudSuite::cloud->http_port(), request, 30000);
  if (fd < 0) return answer;
  std::string head;
  bool in_body = false;
  std::vector<char> buffer(64 * 1024);
  ssize_t n;
  while ((n = recv(fd, buffer.data(), buffer.size(), 0)) > 0) {
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
    }
    if (sink) {
      sink(data, size);
    } else {
      answer.body.append(data, size);
      if (answer.body.size() > kKeptBody) {
        answer.cut = true;
        break;
      }
    }
  }
  close(fd);
  if (!in_body || head.rfind("HTTP/1.1 ", 0) != 0) return answer;
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
  return answer;
}

std::string policy_xml(const std::string& serial) {
  return R"(<?xml version="1.0" encoding="UTF-8"?><policy serial=")" + serial + R"("/>)";
}

class TestCloud : public testsupport::CloudSuite {};

TEST_F(TestCloud, RegistrationEchoesTheBodyByteForByte) {
  std::string every_byte;
  for (int i = 0; i < 256; ++i) every_byte.push_back(static_cast<char>(i));
  for (int i = 255; i >= 0; --i) every_byte.push_back(static_cast<char>(i));
  // Form fields named like the steering parameters are echoed, not obeyed.
  const std::string bodies[] = {every_byte, "_status=500&_body=x&_fill=3&_append=y", ""};
  for (const std::string path : {"/agent/v1/register", "/register"}) {
    for (const auto& body : bodies) {
      ASSERT_TRUE(cloud->reset());
      Answer answer = exchange("POST", path, body);
      EXPECT_EQ(answer.status, 200) << path;
      EXPECT_EQ(answer.body, body) << path;
      EXPECT_EQ(answer.headers["content-type"], "application/x-www-form-urlencoded") << path;
      auto seen = cloud->requests(path);
      ASSERT_EQ(seen.size(), 1u) << path;
      EXPECT_EQ(seen[0].method, "POST");
      EXPECT_EQ(seen[0].body, body) << path;
    }
    for (const std::string method : {"GET", "PUT", "DELETE"}) {
      Answer answer = exchange(method, path);
      EXPECT_EQ(answer.status, 405) << method << " " << path;
      EXPECT_EQ(answer.headers["allow"], "POST") << method << " " << path;
    }
  }
}

// Rules and query parameters reshape the echo; the modifiers act on whatever
// body the layers before them left.
TEST_F(TestCloud, RegistrationAnswersAreScripted) {
  const std::string sent = "id=42&os=linux";
  const std::string all_but_last = sent.substr(0, sent.size() - 1);
  struct Case {
    std::string name;
    std::string rule;   // keys added to the rule for the path; "" for no rule
    std::string query;  // appended to the path
    int status;
    // The answer is head, then (when altered_from is set) one byte other than
    // altered_from, then tail.
    std::string head;
    int altered_from;
    std::string tail;
  } cases[] = {
      {"plain echo", "", "", 200, sent, -1, ""},
      {"rule alter", R"("alter": true)", "", 200, all_but_last, 'x', ""},
      {"query alter", "", "?_alter=1", 200, all_but_last, 'x', ""},
      {"query alter off beats the rule", R"("alter": true)", "?_alter=0", 200, sent, -1, ""},
      {"rule append", R"("append": "&extra=1")", "", 200, sent + "&extra=1", -1, ""},
      {"query append", "", "?_append=%26extra%3D1", 200, sent + "&extra=1", -1, ""},
      {"query append beats the rule", R"("append": "R")", "?_append=Q", 200, sent + "Q", -1, ""},
      {"alter comes before append", R"("alter": true, "append": "!")", "", 200, all_but_last, 'x', "!"},
      {"empty body stays empty when altered", R"("body": "", "alter": true)", "", 200, "", -1, ""},
      {"query empty body altered", "", "?_body=&_alter=1", 200, "", -1, ""},
      {"status keeps the echo", R"("status": 500)", "", 500, sent, -1, ""},
      {"modifiers follow a body override", R"("status": 503, "body": "busy", "append": "!")", "", 503, "busy!", -1, ""},
      {"no body with 204", R"("status": 204, "append": "!")", "", 204, "", -1, ""},
  };
  for (const std::string path : {"/agent/v1/register", "/register"}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.name + " on " + path);
      ASSERT_TRUE(cloud->reset());
      if (!c.rule.empty()) {
        ASSERT_TRUE(cloud->add_rule(R"({"path": ")" + path + R"(", )" + c.rule + "}"));
      }
      Answer answer = exchange("POST", path + c.query, sent);
      EXPECT_EQ(answer.status, c.status);
      size_t altered = c.altered_from >= 0 ? 1 : 0;
      ASSERT_EQ(answer.body.size(), c.head.size() + altered + c.tail.size()) << answer.body;
      EXPECT_EQ(answer.body.substr(0, c.head.size()), c.head);
      if (altered) {
        EXPECT_NE(answer.body[c.head.size()], static_cast<char>(c.altered_from)) << answer.body;
      }
      EXPECT_EQ(answer.body.substr(c.head.size() + altered), c.tail);
      EXPECT_EQ(cloud->requests(path).size(), 1u);
    }
  }
}

TEST_F(TestCloud, PolicyAndUpdaterAnswers) {
  struct Case {
    std::string method;
    std::string target;
    int status;
    std::string body;
    std::string content_type;
  } cases[] = {
      {"GET", "/policy/company/aaaa-1073741831", 200, policy_xml("1073741831"), "application/xml"},
      {"GET", "/policy/x-0", 200, policy_xml("0"), "application/xml"},
      {"GET", "/policy/a-b-c-42", 200, policy_xml("42"), "application/xml"},
      {"GET", "/policy/company/aaaa-007", 200, policy_xml("007"), "application/xml"},
      {"GET", "/policy/big-123456789012345678901234567890", 200, policy_xml("123456789012345678901234567890"),
       "application/xml"},
      {"GET", "/policy/p-5?serial=-7", 200, policy_xml("5"), "application/xml"},
      {"GET", "/policy/company/aaaa", 404, "no policy number", "text/plain"},
      {"GET", "/policy/company/1073741831", 404, "no policy number", "text/plain"},
      {"GET", "/policy/company/aaaa-", 404, "no policy number", "text/plain"},
      {"GET", "/policy/company/aaaa-12x", 404, "no policy number", "text/plain"},
      {"GET", "/policy/aaaa-12/", 404, "no policy number", "text/plain"},
      {"GET", "/policy/", 404, "no policy number", "text/plain"},
      {"POST", "/policy/company/aaaa-1", 405, "method not allowed", "text/plain"},
      {"GET", "/updater/seed", 200, "seed:/updater/seed", "text/plain"},
      {"GET", "/updater/a/b.bin?x=1", 200, "seed:/updater/a/b.bin", "text/plain"},
      {"POST", "/updater/seed", 405, "method not allowed", "text/plain"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method + " " + c.target);
    ASSERT_TRUE(cloud->reset());
    Answer answer = exchange(c.method, c.target);
    EXPECT_EQ(answer.status, c.status);
    EXPECT_EQ(answer.body, c.body);
    EXPECT_EQ(answer.headers["content-type"], c.content_type);
    auto seen = cloud->requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, c.method);
    EXPECT_EQ(seen[0].target, c.target);
  }
}

TEST_F(TestCloud, UpdaterRuleAnswersForItsTimesThenTheEndpointReturns) {
  ASSERT_TRUE(cloud->add_rule(R"({"path": "/updater/seed", "status": 304, "times": 1})"));
  Answer first = exchange("GET", "/updater/seed");
  EXPECT_EQ(first.status, 304);
  EXPECT_EQ(first.body, "") << "a 304 carries no body";
  Answer second = exchange("GET", "/updater/seed");
  EXPECT_EQ(second.status, 200);
  EXPECT_EQ(second.body, "seed:/updater/seed");
  EXPECT_EQ(cloud->requests("/updater/seed").size(), 2u);
}

// What a streamed body looked like, without keeping it.
struct Tally {
  uint64_t size = 0;
  uint64_t unprintable = 0;
  uint64_t digest = 14695981039346656037ull;  // FNV-1a

  void add(const char* data, size_t n) {
    size += n;
    for (size_t i = 0; i < n; ++i) {
      unsigned char c = static_cast<unsigned char>(data[i]);
      if (c < 0x20 || c > 0x7e) ++unprintable;
      digest = (digest ^ c) * 1099511628211ull;
    }
  }
};

TEST_F(TestCloud, FillSendsExactlyTheRequestedBytes) {
  for (uint64_t size : {uint64_t{0}, uint64_t{8192}, uint64_t{8193}, uint64_t{64} << 20}) {
    SCOPED_TRACE(size);
    ASSERT_TRUE(cloud->reset());
    std::string n = std::to_string(size);
    Tally by_query;
    Answer answer = exchange("GET", "/updater/seed?_fill=" + n, "",
                             [&by_query](const char* data, size_t count) { by_query.add(data, count); });
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.headers["content-length"], n);
    EXPECT_EQ(by_query.size, size);
    EXPECT_EQ(by_query.unprintable, 0u);

    ASSERT_TRUE(cloud->add_rule(R"({"path": "/updater/seed", "fill": )" + n + "}"));
    Tally by_rule;
    answer =
        exchange("GET", "/updater/seed", "", [&by_rule](const char* data, size_t count) { by_rule.add(data, count); });
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.headers["content-length"], n);
    EXPECT_EQ(by_rule.size, size);
    EXPECT_EQ(by_rule.digest, by_query.digest) << "the rule and the query parameter fill alike";
  }
}

TEST_F(TestCloud, FillTakesAlterAndAppend) {
  const std::string plain = exchange("GET", "/updater/seed?_fill=8193").body;
  ASSERT_EQ(plain.size(), 8193u);
  Answer by_query = exchange("GET", "/updater/seed?_fill=8193&_alter=1&_append=END");
  ASSERT_TRUE(cloud->add_rule(R"({"path": "/updater/seed", "fill": 8193, "alter": true, "append": "END"})"));
  Answer by_rule = exchange("GET", "/updater/seed");
  for (const Answer* answer : {&by_query, &by_rule}) {
    EXPECT_EQ(answer->status, 200);
    ASSERT_EQ(answer->body.size(), 8196u);
    EXPECT_EQ(answer->body.substr(0, 8192), plain.substr(0, 8192));
    EXPECT_NE(answer->body[8192], plain[8192]);
    EXPECT_EQ(answer->body.substr(8193), "END");
  }
}

// Every answer is dated by the cloud's clock, unless a rule gives its own Date.
TEST_F(TestCloud, AnswersCarryADateThatARuleOverrides) {
  const std::time_t before = std::time(nullptr);
  Answer plain = exchange("GET", "/health");
  Answer missing = exchange("GET", "/no-such-endpoint");
  const std::time_t after = std::time(nullptr);
  for (const Answer* answer : {&plain, &missing}) {
    ASSERT_EQ(answer->headers.count("date"), 1u) << answer->status;
    std::tm parts{};
    ASSERT_NE(strptime(answer->headers.at("date").c_str(), "%a, %d %b %Y %H:%M:%S GMT", &parts), nullptr)
        << answer->headers.at("date");
    const std::time_t when = timegm(&parts);
    EXPECT_GE(when, before - 1);
    EXPECT_LE(when, after + 1);
  }
  const std::string old_date = "Fri, 11 Dec 2026 00:00:00 GMT";
  ASSERT_TRUE(cloud->add_rule(R"({"path": "/health", "headers": {"Date": ")" + old_date + R"("}})"));
  EXPECT_EQ(exchange("GET", "/health").headers["date"], old_date);
}

// The partial fault announces the whole length and sends half of it, of an
// endpoint's body and of a fill alike.
TEST_F(TestCloud, PartialFaultCutsTheBodyInHalf) {
  struct Case {
    std::string target;
    uint64_t announced;
  } cases[] = {{"/updater/seed?_fault=partial", 18}, {"/updater/seed?_fill=1000001&_fault=partial", 1000001}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    uint64_t received = 0;
    Answer answer = exchange("GET", c.target, "", [&received](const char*, size_t count) { received += count; });
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(answer.headers["content-length"], std::to_string(c.announced));
    EXPECT_EQ(received, c.announced / 2);
  }
}

TEST_F(TestCloud, BadModifiersAreRefused) {
  struct RuleCase {
    std::string keys;
    bool accepted;
  } rules[] = {
      {R"("fill": "x")", false},   {R"("fill": -1)", false},     {R"("fill": 1.5)", false},
      {R"("fill": true)", false},  {R"("alter": "yes")", false}, {R"("alter": 1)", false},
      {R"("append": 5)", false},   {R"("append": null)", false}, {R"("fill": 0)", true},
      {R"("alter": false)", true}, {R"("append": "")", true},
  };
  for (const auto& r : rules) {
    ASSERT_TRUE(cloud->reset());
    EXPECT_EQ(cloud->add_rule(R"({"path": "/updater/seed", )" + r.keys + "}"), r.accepted) << r.keys;
    if (!r.accepted) {
      Answer answer = exchange("GET", "/updater/seed");
      EXPECT_EQ(answer.body, "seed:/updater/seed") << "a refused rule is not kept: " << r.keys;
    }
  }
  for (const std::string query : {"_fill=x", "_fill=-1", "_fill=", "_fill=1e3", "_alter=yes"}) {
    Answer answer = exchange("GET", "/updater/seed?" + query);
    EXPECT_EQ(answer.status, 400) << query;
    EXPECT_EQ(answer.body, "bad " + query.substr(0, query.find('='))) << query;
  }
}

// The fault ports, each asked for a page: what comes back in the first
// mebibyte, and whether the port closed the connection.
TEST_F(TestCloud, FaultPortsMisbehaveAsNamed) {
  constexpr size_t kMost = 1 << 20;
  const std::string status_line = "HTTP/1.1 200 OK\r\n";
  const std::string flood_line = "X-Flood: " + std::string(89, 'A') + "\r\n";
  struct Case {
    const char* label;
    int port;
    bool closes;
    std::function<void(const std::string&)> check;
  } cases[] = {
      {"drop", cloud->drop_port(), true, [](const std::string& got) { EXPECT_EQ(got, ""); }},
      // Held open past a second of waiting, without a byte.
      {"silent", cloud->silent_port(), false, [](const std::string& got) { EXPECT_EQ(got, ""); }},
      {"header lines", cloud->header_flood_port(), false,
       [&](const std::string& got) {
         ASSERT_EQ(got.size(), kMost);
         ASSERT_EQ(got.rfind(status_line, 0), 0u);
         for (size_t at = status_line.size(); at + flood_line.size() <= got.size(); at += flood_line.size()) {
           ASSERT_EQ(got.compare(at, flood_line.size(), flood_line), 0) << "at " << at;
         }
       }},
      {"one header line", cloud->long_header_port(), false,
       [&](const std::string& got) {
         ASSERT_EQ(got.size(), kMost);
         EXPECT_EQ(got.rfind(status_line + "X-Flood: AAAA", 0), 0u);
         EXPECT_EQ(got.find('\n', status_line.size()), std::string::npos);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    int fd = send_request(c.port, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", 1000);
    ASSERT_GE(fd, 0);
    std::string got;
    std::vector<char> buffer(64 * 1024);
    ssize_t n = 0;
    while (got.size() < kMost && (n = recv(fd, buffer.data(), std::min(buffer.size(), kMost - got.size()), 0)) > 0) {
      got.append(buffer.data(), static_cast<size_t>(n));
    }
    close(fd);
    // A closed connection reads 0, or a reset for the request it left
    // unread; one held open times out.
    if (got.size() < kMost) {
      EXPECT_EQ(n == 0 || (n < 0 && errno == ECONNRESET), c.closes) << std::strerror(errno);
    }
    c.check(got);
  }
}

}  // namespace
