// The built tool against real software and stand-ins for what sits in a
// network's way: dropped packets, silent servers and proxies, a captive
// portal, squid (its own error answers, authentication, its CONNECT rule and
// TLS interception) and nginx presenting an incomplete chain. Each row names
// the cause the results file must give, with its key and the facts its hint
// names, and the claims no hint of that run may make. Runs that wait for a
// time-out go side by side.
#include <gtest/gtest.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/agent_dir.h"
#include "tests/support/cloud.h"
#include "tests/support/cloud_suite.h"
#include "tests/support/nginx.h"
#include "tests/support/process.h"
#include "tests/support/proxies.h"
#include "tests/support/squid.h"
#include "tests/support/stand_ins.h"
#include "tests/support/test_certs.h"

namespace {

using nlohmann::json;
using testsupport::AgentDir;
using testsupport::ProcessResult;
using testsupport::SquidSetup;
using Lines = std::vector<std::string>;

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string port_text(int port) { return "127.0.0.1:" + std::to_string(port); }

// Claims a hint may never make while a run's facts show otherwise.
const std::string kNoConnection = "no connection was made";
const std::string kDropped = "dropped";
const std::string kNoTunnel = "refused to open a tunnel";
const std::string kServerSide = "the fault is on the server's side";
const std::string kStoreCredentials = "Store a user name and password (config/proxy/username";

struct Row {
  std::string label;
  Lines args;                           // the checks, and the proxy choice
  std::function<void(json&)> change;    // of the base configuration
  std::map<std::string, std::string> env;
  std::string check;                    // whose cause is asserted
  std::string code;
  std::string key;                      // "" when the code has no fixed key
  Lines evidence;                       // each in the cause's evidence
  Lines hinted;                         // each in that run's hints
  Lines never;                          // none in any hint of the run
};

// The stored proxy of /PP.
std::function<void(json&)> through(const std::string& url, const std::string& server, int port,
                                   const std::string& user = "", const std::string& password = "") {
  return [=](json& c) {
    c["config/proxy/testurl"] = url;
    c["config/proxy/type"] = "http_proxy";
    c["config/proxy/server"] = server;
    c["config/proxy/port"] = port;
    c["config/proxy/authtype"] = 1;
    if (!user.empty()) {
      c["config/proxy/username"] = user;
      c["config/proxy/password"] = json{{"base64", testsupport::encode_password(password)}};
    }
  };
}

std::function<void(json&)> health_at(const std::string& url) {
  return [=](json& c) { c["config/proxy/testurl"] = url; };
}

class DiagnosisTable : public testsupport::CloudSuite {
 protected:
  json base_config(const AgentDir& dir) const {
    return json{
        {"version", "8.4.2.31122"},
        {"config/agent/uuid", "6f1c2b1e-8d1b-4b7e-9a55-0c8e3f6a9d21"},
        {"config/agent/affiliate/uuid", "11111111-2222-4333-8444-555555555555"},
        {"config/velta/business/uuid", "aaaaaaaa-bbbb-4ccc-8ddd-eeeeeeeeeeee"},
        {"config/agent/urlscanner/urlreputationserver", cloud->https_url("/url-reputation")},
        {"config/proxy/testurl", cloud->https_url("/health")},
        {"config/velta/endpoint/mgmt", cloud->http_url("/agent/v1/")},
        {"config/velta/endpoint/event", cloud->https_url("/event/")},
        {"config/agent/directory/base", dir.path()},
        {"config/velta/install/token", "install-token"},
        {"config/velta/policy/serial_number", 7},
        {"config/conn/varnholtssl/verifyhost", 1},
        {"config/conn/varnholtssl/verifypeer", 1},
        {"config/agent/cloud/trustedcerts/cert", json::array({testsupport::file_text(cloud->ca_cert_path())})},
    };
  }

  struct Ran {
    std::unique_ptr<AgentDir> dir;
    ProcessResult result;
    json results;  // the results file
  };

  // Runs every row side by side, each in an agent directory of its own, and
  // checks each against its results file and hints.
  std::vector<Ran> run_rows(const std::vector<Row>& rows) {
    std::vector<std::unique_ptr<AgentDir>> dirs;
    std::vector<testsupport::ProcessSpec> specs;
    for (const Row& row : rows) {
      dirs.push_back(std::make_unique<AgentDir>());
      AgentDir& dir = *dirs.back();
      json config = base_config(dir);
      if (row.change) row.change(config);
      dir.write_config(config);
      testsupport::ProcessSpec spec;
      spec.argv = {dir.copy_program("pathvane")};
      spec.argv.insert(spec.argv.end(), row.args.begin(), row.args.end());
      for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "no_proxy", "HTTP_PROXY", "HTTPS_PROXY",
                               "ALL_PROXY", "NO_PROXY"}) {
        spec.env.emplace(name, "");
      }
      for (const auto& [name, value] : row.env) spec.env[name] = value;
      spec.cwd = dir.path();
      specs.push_back(spec);
    }
    const std::vector<ProcessResult> results = testsupport::run_processes(specs, 120);
    std::vector<Ran> ran;
    for (size_t i = 0; i < rows.size(); ++i) {
      check_row(rows[i], results[i], *dirs[i]);
      json file = json::parse(testsupport::file_text(dirs[i]->file("log/pathvane-results.json")), nullptr, false);
      ran.push_back({std::move(dirs[i]), results[i], file});
    }
    return ran;
  }

  static void check_row(const Row& row, const ProcessResult& r, const AgentDir& dir) {
    SCOPED_TRACE(row.label);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    json results = json::parse(testsupport::file_text(dir.file("log/pathvane-results.json")), nullptr, false);
    ASSERT_TRUE(results.is_object()) << r.err;
    std::string hints;
    for (const auto& check : results["checks"]) {
      for (const auto& hint : check.value("hints", json::array())) hints += hint.get<std::string>() + "\n";
    }
    const json* found = nullptr;
    for (const auto& check : results["checks"]) {
      if (check.value("name", "") == row.check) found = &check;
    }
    ASSERT_NE(found, nullptr) << results.dump(1);
    const json& check = *found;
    const json causes = check.value("causes", json::array());
    EXPECT_FALSE(causes.empty()) << "no cause\n" << check.dump(1) << "\n" << r.err;
    if (!causes.empty()) {
      const json& cause = causes[0];
      EXPECT_EQ(cause.value("code", ""), row.code) << cause.dump(1) << "\n" << r.err;
      if (!row.key.empty()) {
        EXPECT_EQ(cause.value("key", ""), row.key) << cause.dump(1);
      }
      const std::string evidence = cause.value("evidence", json::object()).dump();
      for (const auto& part : row.evidence) EXPECT_TRUE(contains(evidence, part)) << part << "\n" << evidence;
    }
    // A '|' parts wordings of which one must be there.
    for (const auto& part : row.hinted) {
      bool any = false;
      for (size_t from = 0; from <= part.size() && !any;) {
        const size_t bar = std::min(part.find('|', from), part.size());
        any = contains(hints, part.substr(from, bar - from));
        from = bar + 1;
      }
      EXPECT_TRUE(any) << part << "\n" << hints;
    }

    // What the facts rule out, whatever the row.
    Lines never = row.never;
    bool address = false, proxy_answered = false, unavailable = false;
    for (const auto& c : results["checks"]) {
      for (const auto& t : c.value("transfers", json::array())) {
        address = address || t.value("remote_ip", json()).is_string();
        proxy_answered = proxy_answered || (t.value("proxy", json()).is_string() && t.value("connect_code", 0) > 0);
        unavailable = unavailable || t.value("connect_code", 0) == 503;
      }
    }
    if (address) never.insert(never.end(), {kNoConnection, kDropped});
    if (proxy_answered) never.push_back(kServerSide);
    if (unavailable) never.push_back(kNoTunnel);
    if (results.value("proxy_mode", "") == "discover") never.push_back(kStoreCredentials);
    for (const auto& claim : never) EXPECT_FALSE(contains(hints, claim)) << claim << "\n" << hints;
    // The results file and the printed hints agree.
    for (const auto& line : testsupport::split_lines(hints)) {
      EXPECT_TRUE(contains(r.err, "[hint] " + line)) << line << "\n" << r.err;
    }
  }
};

// Faults any machine can make: no software beyond the test cloud's.
TEST_F(DiagnosisTable, NetworkFaultsAndStandIns) {
  testsupport::FullAcceptQueue full;
  testsupport::StandIn tunnel(testsupport::StandIn::Kind::tunnel_then_silent);
  testsupport::StandIn portal(testsupport::StandIn::Kind::captive_portal);
  std::string error;
  ASSERT_TRUE(full.start(&error)) << error;
  ASSERT_TRUE(tunnel.start(&error)) << error;
  ASSERT_TRUE(portal.start(&error)) << error;
  const int refused = testsupport::free_loopback_port();
  const int silent = cloud->silent_port();
  const std::string health = cloud->https_url("/health");
  const std::string plain_health = cloud->http_url("/health");
  const std::vector<Row> rows = {
      // The SYN goes unanswered: libcurl gives up with code 28, no address.
      {"dropped", {"/T"}, health_at("http://" + port_text(full.port()) + "/health"), {}, "Health Test",
       "tcp.dropped", port_text(full.port()), {}, {}, {"accepted", "refused"}},
      {"refused port", {"/T"}, health_at("https://" + port_text(refused) + "/health"), {}, "Health Test",
       "tcp.refused", port_text(refused), {}, {}, {"silent"}},
      {"unresolvable cloud name", {"/T"}, health_at("https://pathvane-table.invalid/health"), {}, "Health Test",
       "dns.cloud_host", "pathvane-table.invalid", {}, {"pathvane-table.invalid"}, {}},
      {"unresolvable proxy name", {"/PP", "/T"}, through(health, "pathvane-proxy.invalid", 3128), {}, "Health Test",
       "dns.proxy_host", "pathvane-proxy.invalid", {}, {"pathvane-proxy.invalid"}, {}},
      {"silent TLS server", {"/T"}, health_at("https://" + port_text(silent) + "/health"), {}, "Health Test",
       "tls.handshake_unanswered", port_text(silent), {}, {}, {}},
      {"silent plain server", {"/T"}, health_at("http://" + port_text(silent) + "/health"), {}, "Health Test",
       "cloud.silent", port_text(silent), {}, {}, {}},
      {"silent proxy, https", {"/PP", "/T"}, through(health, "127.0.0.1", silent), {}, "Health Test",
       "proxy.silent", port_text(silent) + " 0", {}, {}, {"TLS"}},
      {"silent proxy, http", {"/PP", "/T"}, through(plain_health, "127.0.0.1", silent), {}, "Health Test",
       "proxy_or_cloud.silent", port_text(silent) + " 0", {}, {}, {}},
      {"tunnel opened, then silence", {"/PP", "/T"}, through(health, "127.0.0.1", tunnel.port()), {},
       "Health Test", "proxy.tunnel_silent", port_text(tunnel.port()) + " 200", {}, {}, {kNoTunnel}},
      {"captive portal, https", {"/PP", "/T"}, through(health, "127.0.0.1", portal.port()), {}, "Health Test",
       "tls.not_tunnelled", port_text(portal.port()) + " 200", {}, {}, {kNoTunnel}},
  };
  run_rows(rows);
}

// A portal answering plain HTTP itself: the echo shows it, and the check
// that passed may have been answered by the portal too, which one hint says.
TEST_F(DiagnosisTable, CaptivePortalOverPlainHttp) {
  testsupport::StandIn portal(testsupport::StandIn::Kind::captive_portal);
  std::string error;
  ASSERT_TRUE(portal.start(&error)) << error;
  const Row row{"captive portal, http", {"/PP", "/T", "/J"},
                [&](json& c) {
                  through(cloud->http_url("/health"), "127.0.0.1", portal.port())(c);
                  c["config/velta/endpoint/mgmt"] = cloud->http_url("/agent/v1/");
                },
                {}, "Velta Registration", "echo.altered", "", {}, {}, {}};
  const auto ran = run_rows({row});
  Lines answered_by_proxy;
  for (const auto& line : testsupport::split_lines(ran[0].result.err)) {
    if (line.rfind("[hint] ", 0) == 0 && contains(line, "answered by the proxy")) answered_by_proxy.push_back(line);
  }
  EXPECT_EQ(answered_by_proxy.size(), 1u) << ran[0].result.err;
}

class RealSoftware : public DiagnosisTable {
 protected:
  void SetUp() override {
    DiagnosisTable::SetUp();
    if (HasFatalFailure()) return;
    char pattern[] = "/tmp/pathvane-table-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    tmp_ = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    if (!tmp_.empty()) std::filesystem::remove_all(tmp_, ignored);
  }

  // A CA certificate and key as PEM files under the test's folder; its one-line subject.
  std::string make_ca(const std::string& name, EVP_PKEY** key_out, X509** cert_out) {
    EVP_PKEY* key = testsupport::make_key();
    testsupport::CertSpec spec;
    spec.common_name = name;
    X509* cert = testsupport::make_cert(spec, key);
    testsupport::write_pem_file(tmp_ + "/" + name + ".pem", {cert});
    testsupport::write_key_file(tmp_ + "/" + name + ".key", key);
    char subject[256];
    X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof(subject));
    *key_out = key;
    *cert_out = cert;
    return subject;
  }

  std::string tmp_;
};

TEST_F(RealSoftware, SquidAndNginx) {
  // A chain root -> intermediate -> leaf; nginx presents the leaf alone.
  EVP_PKEY* root_key = nullptr;
  X509* root = nullptr;
  make_ca("Pathvane Table Root", &root_key, &root);
  EVP_PKEY* middle_key = testsupport::make_key();
  testsupport::CertSpec middle_spec;
  middle_spec.common_name = "Pathvane Table Intermediate";
  X509* middle = testsupport::make_cert(middle_spec, middle_key, root, root_key);
  EVP_PKEY* leaf_key = testsupport::make_key();
  X509* leaf = testsupport::make_cert({"localhost", false, -3600, 3600L * 24 * 30, "IP:127.0.0.1,DNS:localhost", {}},
                                      leaf_key, middle, middle_key);
  testsupport::write_pem_file(tmp_ + "/leaf-only.pem", {leaf});
  testsupport::write_key_file(tmp_ + "/leaf.key", leaf_key);
  char middle_subject[256];
  X509_NAME_oneline(X509_get_subject_name(middle), middle_subject, sizeof(middle_subject));
  const std::string root_pem = testsupport::to_pem(root);
  for (X509* c : {root, middle, leaf}) X509_free(c);
  for (EVP_PKEY* k : {root_key, middle_key, leaf_key}) EVP_PKEY_free(k);

  testsupport::Squid plain, basic, ntlm, ssl_ports;
  testsupport::Nginx nginx;
  std::string error;
  ASSERT_TRUE(plain.start({}, &error)) << error;
  SquidSetup basic_setup;
  basic_setup.auth = SquidSetup::Auth::basic;
  basic_setup.user = "pvuser";
  basic_setup.password = "pv-secret";
  ASSERT_TRUE(basic.start(basic_setup, &error)) << error;
  SquidSetup ntlm_setup;
  ntlm_setup.auth = SquidSetup::Auth::ntlm;
  ASSERT_TRUE(ntlm.start(ntlm_setup, &error)) << error;
  SquidSetup ports_setup;
  ports_setup.ssl_ports_only = true;
  ASSERT_TRUE(ssl_ports.start(ports_setup, &error)) << error;
  ASSERT_TRUE(nginx.start(tmp_ + "/leaf-only.pem", tmp_ + "/leaf.key", &error)) << error;
  ASSERT_TRUE(cloud->add_rule(R"({"path": "/failing", "status": 503})"));

  const int refused = testsupport::free_loopback_port();
  const std::string health = cloud->https_url("/health");
  const std::string refused_https = "https://" + port_text(refused) + "/health";
  const std::string squid_connect_fail = "X-Squid-Error: ERR_CONNECT_FAIL 111";
  const std::vector<Row> rows = {
      {"squid: CONNECT to a refused port", {"/PP", "/T"}, through(refused_https, "127.0.0.1", plain.port()), {},
       "Health Test", "proxy.connect_failed", port_text(plain.port()) + " 503", {squid_connect_fail},
       {squid_connect_fail}, {}},
      {"squid: CONNECT to a name it cannot resolve", {"/PP", "/T"},
       through("https://pathvane-table.invalid/health", "127.0.0.1", plain.port()), {}, "Health Test",
       "proxy.connect_failed", port_text(plain.port()) + " 500", {"ERR_CANNOT_FORWARD"}, {"ERR_CANNOT_FORWARD"},
       {"(directly, no proxy)"}},
      {"squid: CONNECT only to 443", {"/PP", "/T"}, through(health, "127.0.0.1", ssl_ports.port()), {},
       "Health Test", "proxy.connect_denied", port_text(ssl_ports.port()) + " 403", {"ERR_ACCESS_DENIED"},
       {"ERR_ACCESS_DENIED"}, {}},
      {"squid: Basic, wrong password", {"/PP", "/T"},
       through(health, "127.0.0.1", basic.port(), "pvuser", "wrong"), {}, "Health Test", "proxy.auth_refused",
       port_text(basic.port()) + " 407", {}, {}, {}},
      // Discovery reads https_proxy; nothing stored would be used here.
      {"squid: Basic, no credentials, discovered", {"/PD", "/T"}, health_at(health),
       {{"https_proxy", "http://" + port_text(basic.port())}}, "Health Test", "proxy.auth_missing",
       port_text(basic.port()) + " 407", {}, {"https_proxy|discover"}, {}},
      {"squid: NTLM offered, Basic stored", {"/PP", "/T"},
       through(health, "127.0.0.1", ntlm.port(), "pvuser", "pv-secret"), {}, "Health Test", "proxy.auth_method",
       port_text(ntlm.port()) + " 407", {"\"auth_offered\":8", "\"auth_used\":1"}, {"NTLM"}, {}},
      {"squid: plain answer of its own", {"/PP", "/T"},
       through("http://" + port_text(refused) + "/health", "127.0.0.1", plain.port()), {}, "Health Test",
       "proxy.error_answer", port_text(plain.port()) + " 503", {squid_connect_fail}, {squid_connect_fail},
       {"the service at 127.0.0.1 failed"}},
      {"squid: the cloud's own 503 carried", {"/PP", "/T"},
       through(cloud->http_url("/failing"), "127.0.0.1", plain.port()), {}, "Health Test", "cloud.server_error",
       "", {"pathvane-squid (squid/5.7)"}, {"http://" + port_text(plain.port())}, {}},
      {"nginx: leaf without its intermediate", {"/T"},
       [&](json& c) {
         c["config/proxy/testurl"] = "https://" + port_text(nginx.port()) + "/health";
         c["config/agent/cloud/trustedcerts/cert"] = json::array({root_pem});
       },
       // The intermediate is no CA the trusted set should hold: the server must send it.
       {}, "Health Test", "tls.missing_intermediate", middle_subject, {}, {middle_subject},
       {"ends in the CA \"" + std::string(middle_subject)}},
  };
  run_rows(rows);
}

// Interception: every HTTPS check fails on the inspection CA; the first
// check's hint explains it, each later check's is one line naming the first.
TEST_F(RealSoftware, SquidInterceptingTls) {
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  const std::string inspection = make_ca("Pathvane Inspection CA", &key, &cert);
  X509_free(cert);
  EVP_PKEY_free(key);
  testsupport::Squid bump;
  SquidSetup setup;
  setup.bump_ca_cert = tmp_ + "/Pathvane Inspection CA.pem";
  setup.bump_ca_key = tmp_ + "/Pathvane Inspection CA.key";
  std::string error;
  ASSERT_TRUE(bump.start(setup, &error)) << error;
  const Row first{"squid: TLS interception", {"/PP", "/T", "/I"},
                  through(cloud->https_url("/health"), "127.0.0.1", bump.port()), {}, "Health Test",
                  "tls.untrusted_ca", inspection, {}, {"Pathvane Inspection CA"}, {}};
  Row later = first;
  later.check = "Event Intake";
  const auto ran = run_rows({first});
  check_row(later, ran[0].result, *ran[0].dir);
  for (const auto& check : ran[0].results["checks"]) {
    EXPECT_EQ(check.value("verdict", ""), "error") << check.dump(1);
    if (check.value("name", "") != "Event Intake") continue;
    const json hints = check.value("hints", json::array());
    ASSERT_EQ(hints.size(), 1u) << hints.dump(1);
    EXPECT_TRUE(contains(hints[0].get<std::string>(), "Health Test")) << hints.dump(1);
  }
}

}  // namespace
