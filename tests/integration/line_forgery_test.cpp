// Text from the other end of a connection (a certificate's names, a
// server's headers) reaches the report, the errors, the hints and the traces
// through libcurl and the transfer facts. Whatever bytes it holds, each line
// the tool writes stays one line: no line of its own making, no terminal
// escape, every log line stamped. Real servers: openssl s_server with
// certificates made here, and a raw server for headers no HTTP library sends.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_support.h"
#include "tests/support/agent_dir.h"
#include "tests/support/process.h"
#include "tests/support/raw_http_server.h"
#include "tests/support/report.h"
#include "tests/support/terminal.h"
#include "tests/support/test_certs.h"
#include "tests/support/tls_server.h"

namespace {

using nlohmann::json;
using testsupport::AgentDir;
using testsupport::split_lines;
using Lines = std::vector<std::string>;
using testsupport::kErrorVerdict;
using testsupport::kPassVerdict;

// Moves the cursor up and clears the line, then starts the lines a reader
// would take for the verdict and the closing line.
const std::string kForgedLines =
    "\x1B[1A\x1B[2K\r\n========> [pass] Connectivity check completed with no issues\nFull trace: /tmp/evil";
// The same as the tool writes it.
const std::string kForgedLinesShown =
    "\\x1B[1A\\x1B[2K\\r\\n========> [pass] Connectivity check completed with no issues\\nFull trace: /tmp/evil";
// A C1 control (CSI) and a right-to-left override; with an ill-formed
// sequence after them where the text is not a certificate's name (OpenSSL
// refuses to parse such a name).
const std::string kHiddenCharacters = " \xC2\x9B\xE2\x80\xAE";
const std::string kHiddenCharactersShown = " \\u009B\\u202E";
const std::string kHidden = kHiddenCharacters + "\xC3(";
const std::string kHiddenShown = kHiddenCharactersShown + "\\xC3(";

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What in text a terminal or a reader would not show as written: bytes that
// are not UTF-8, control characters but TAB and LF, C1 and bidirectional
// controls; "" when there is none.
std::string hidden_in(const std::string& text) {
  const auto units = fuzz::utf16_of_utf8(text);
  if (!units) return "bytes that are not UTF-8";
  for (char16_t u : *units) {
    const bool control = (u < 0x20 && u != '\t' && u != '\n') || (u >= 0x7F && u <= 0x9F);
    const bool bidi = (u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069);
    if (control || bidi) {
      char name[16];
      std::snprintf(name, sizeof(name), "U+%04X", static_cast<unsigned>(u));
      return name;
    }
  }
  return "";
}

struct Forgery {
  const char* what;
  // A TLS server presenting a leaf with these names (common_name set), or
  // the raw server sending answer.
  std::string common_name;
  std::vector<std::string> dns_names;
  int verify;  // verifyhost and verifypeer
  std::string answer;
  bool through_proxy;  // the raw server is the configured proxy (/PP)
  Lines args;
  // The health check's verdict and how the summary counts it.
  std::string verdict;
  Lines summary;
  // The outside text as it must be shown: in the report, on standard error
  // (and in the log).
  std::string in_report;
  std::string on_error;
};

class LineForgery : public ::testing::Test {
 protected:
  void SetUp() override { tool_ = dir_.copy_program("pathvane"); }
  void TearDown() override {
    X509_free(ca_);
    EVP_PKEY_free(ca_key_);
  }

  // A TLS server whose leaf carries the case's names, signed by a CA the
  // settings trust; the settings aim the health check at it.
  std::unique_ptr<testsupport::TlsServer> tls_server(const Forgery& c, json& config) {
    if (!ca_) {
      ca_key_ = testsupport::make_key();
      testsupport::CertSpec spec;
      spec.common_name = "Line Forgery Test CA";
      ca_ = testsupport::make_cert(spec, ca_key_);
    }
    testsupport::CertSpec spec;
    spec.common_name = c.common_name;
    spec.ca = false;
    spec.dns_names = c.dns_names;
    EVP_PKEY* key = testsupport::make_key();
    X509* leaf = testsupport::make_cert(spec, key, ca_, ca_key_);
    testsupport::write_pem_file(dir_.file("leaf.pem"), {leaf});
    testsupport::write_key_file(dir_.file("leaf.key"), key);
    X509_free(leaf);
    EVP_PKEY_free(key);
    auto server = std::make_unique<testsupport::TlsServer>();
    std::string error;
    if (!server->start(dir_.file("leaf.pem"), dir_.file("leaf.key"), "", &error)) {
      ADD_FAILURE() << error;
      return nullptr;
    }
    config["config/proxy/testurl"] = "https://127.0.0.1:" + std::to_string(server->port()) + "/health";
    config["config/agent/cloud/trustedcerts/cert"] = json::array({testsupport::to_pem(ca_)});
    config["config/conn/varnholtssl/verifyhost"] = c.verify;
    config["config/conn/varnholtssl/verifypeer"] = c.verify;
    return server;
  }

  json base_config() const {
    json config = testsupport::agent_identity();
    config["config/agent/urlscanner/urlreputationserver"] = "https://127.0.0.1:9/url-reputation";
    config["config/agent/directory/base"] = dir_.path();
    config["config/velta/install/token"] = "forgery-token";
    return config;
  }

  // Runs the health check against the case's server, standard error on a
  // terminal, and judges every byte the tool wrote.
  void run_case(const Forgery& c) {
    const std::regex stamp(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z .*)");
    // The progress line's drawings and its erase, the only escapes the tool writes.
    const std::regex progress("\r[^\r\n\x1b]*\x1b\\[K");
    const bool verbose = std::find(c.args.begin(), c.args.end(), "/V") != c.args.end();
    json config = base_config();
    std::unique_ptr<testsupport::TlsServer> tls;
    std::unique_ptr<testsupport::RawHttpServer> raw;
    Lines args = {tool_, "/T"};
    if (!c.common_name.empty()) {
      tls = tls_server(c, config);
      ASSERT_TRUE(tls);
      args.push_back("/P-");
    } else {
      raw = std::make_unique<testsupport::RawHttpServer>(c.answer);
      std::string error;
      ASSERT_TRUE(raw->start(&error)) << error;
      const std::string port = std::to_string(raw->port());
      if (c.through_proxy) {
        config["config/proxy/testurl"] = "http://127.0.0.1:9/health";
        config["config/proxy/type"] = "http_proxy";
        config["config/proxy/server"] = "127.0.0.1";
        config["config/proxy/port"] = raw->port();
        config["config/proxy/authtype"] = 0;
      } else {
        config["config/proxy/testurl"] = "http://127.0.0.1:" + port + "/health";
        args.push_back("/P-");
      }
    }
    args.insert(args.end(), c.args.begin(), c.args.end());
    dir_.write_config(config);
    std::error_code ignored;
    std::filesystem::remove_all(dir_.path() + "/log", ignored);

    const testsupport::TerminalRun r = testsupport::run_on_terminal(args, dir_.path());
    ASSERT_EQ(r.exit_code, 0) << r.terminal;
    const std::string log = read_file(log_path());

    // Standard output: the report's lines and no other.
    EXPECT_EQ(hidden_in(r.out), "") << r.out;
    const Lines out = split_lines(r.out);
    const Lines block = testsupport::block_in(r.out, "Health Test");
    ASSERT_EQ(block.size(), 7u) << r.out;
    EXPECT_EQ(block[2], c.verdict);
    Lines expected = block;
    expected.insert(expected.end(), c.summary.begin(), c.summary.end());
    EXPECT_EQ(out, expected) << r.out;
    if (!c.in_report.empty()) {
      EXPECT_EQ(block[4], "====> Curl err   :\t\t" + c.in_report) << r.out;
    }

    // Standard error on the terminal: errors, hints (and traces with /V),
    // then where the log is, last and once.
    const std::string err = std::regex_replace(r.terminal, progress, "");
    EXPECT_EQ(hidden_in(err), "") << r.terminal;
    const Lines err_lines = split_lines(err);
    ASSERT_FALSE(err_lines.empty());
    EXPECT_EQ(err_lines.back(), "Full trace: " + log_path()) << err;
    for (size_t i = 0; i + 1 < err_lines.size(); ++i) {
      const std::string& line = err_lines[i];
      const bool ours = line.rfind("[error] ", 0) == 0 || line.rfind("[hint] ", 0) == 0 ||
                        (verbose && line.rfind("[trace] ", 0) == 0);
      EXPECT_TRUE(ours) << "a line the tool did not write: " << line;
    }
    if (!c.on_error.empty()) {
      EXPECT_TRUE(contains(err, c.on_error)) << err;
    }

    // The log: every line stamped; the report's lines as on standard output.
    EXPECT_EQ(hidden_in(log), "") << log;
    Lines report_in_log;
    for (const auto& line : split_lines(log)) {
      ASSERT_TRUE(std::regex_match(line, stamp)) << "an unstamped line: " << line;
      const std::string text = line.substr(25);
      if (text.rfind("[trace] ", 0) != 0 && text.rfind("[error] ", 0) != 0 && text.rfind("[hint] ", 0) != 0) {
        report_in_log.push_back(text);
      }
    }
    EXPECT_EQ(report_in_log, out);
    if (!c.in_report.empty()) {
      EXPECT_TRUE(contains(log, c.in_report)) << log;
    }
    if (!c.on_error.empty()) {
      EXPECT_TRUE(contains(log, c.on_error)) << log;
    }
    // With /V, libcurl's own line about the certificate is traced, escaped.
    if (verbose && !c.common_name.empty()) {
      EXPECT_TRUE(contains(log, "[trace] _curl_debug:  subject: CN=" + kForgedLinesShown)) << log;
    }
  }

  std::string log_path() const { return dir_.path() + "/log/pathvane.log"; }

  AgentDir dir_;
  std::string tool_;
  X509* ca_ = nullptr;
  EVP_PKEY* ca_key_ = nullptr;
};

TEST_F(LineForgery, OutsideTextNeverMakesOrBreaksALine) {
  const std::string ok_body = "Content-Length: 2\r\nConnection: close\r\n\r\nok";
  const Forgery cases[] = {
      {"common name in libcurl's host name mismatch", kForgedLines + kHiddenCharacters, {}, 1, "", false, {},
       kErrorVerdict, testsupport::report_summary(0, 0, 1, 1),
       "SSL: certificate subject name '" + kForgedLinesShown + kHiddenCharactersShown +
           "' does not match target host name '127.0.0.1'",
       ""},
      {"DNS name with CR LF in the misnamed-certificate hint", "localhost",
       {"evil.example\r\nFull trace: /tmp/evil\r\n\xC3("}, 1, "", false, {}, kErrorVerdict,
       testsupport::report_summary(0, 0, 1, 1), "",
       "it holds DNS:evil.example\\r\\nFull trace: /tmp/evil\\r\\n\\xC3("},
      {"common name in libcurl's subject line, verification off, /V", kForgedLines + " \xC2\x9B", {}, 0, "", false,
       {"/V"}, kPassVerdict, testsupport::report_summary(1, 0, 0, 1), "", "subject: CN=" + kForgedLinesShown},
      {"Date header in the clock hint", "", {}, 0,
       "HTTP/1.1 200 OK\r\nDate: Sun, 06 Nov 1994 08:49:37 GMT\x1B[1A\x7F" + kHidden + "\r\n" + ok_body, false, {},
       kPassVerdict, testsupport::report_summary(1, 0, 0, 1), "",
       "(\"Sun, 06 Nov 1994 08:49:37 GMT\\x1B[1A\\x7F" + kHiddenShown},
      {"Server and challenge headers in the proxy hint", "", {}, 0,
       "HTTP/1.1 401 Unauthorized\r\nServer: evil\x1B[2K\xC2\x85\r\nWWW-Authenticate: Basic realm=\"\x1B]0;x\x07\"" +
           kHidden + "\r\nProxy-Authenticate: Basic realm=\"\xE2\x81\xA6\xFF\"\r\n" + ok_body,
       true, {"/PP"}, kErrorVerdict, testsupport::report_summary(0, 1, 0, 1), "",
       "; Server: evil\\x1B[2K\\u0085; WWW-Authenticate: Basic realm=\"\\x1B]0;x\\x07\"" + kHiddenShown +
           "; Proxy-Authenticate: Basic realm=\"\\u2066\\xFF\""},
      {"Location header in the redirect hint", "", {}, 0,
       "HTTP/1.1 302 Found\r\nLocation: http://127.0.0.1/x" + kHidden + "\r\n" + ok_body, false, {}, kPassVerdict,
       testsupport::report_summary(0, 1, 0, 1), "", "sends the request to http://127.0.0.1/x" + kHiddenShown},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    run_case(c);
  }
}

}  // namespace
