// test-cloud: serves the test cloud on 127.0.0.1 until SIGTERM or SIGINT.
//
//   test-cloud [--dir DIR] [--http-port N] [--https-port N] [--drop-port N]
//              [--server-cert valid|expired|other-host|self-signed]
//
// Ports default to free ones. DIR (default: a new /tmp/pathvane-cloud-*)
// receives ca.pem, server.pem, server.key and cloud.env. The HTTPS port shows
// the server certificate of the kind asked for (default: valid). Beside the
// drop port, three more fault ports listen on free ports: a silent one, one
// that floods header lines and one that sends one endless header line (see
// fault_port.h). Once the ports are listening, the cloud.env lines (shell
// assignments) are printed on standard output, followed by the line "ready".
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>

#include "tests/cloud/certs.h"
#include "tests/cloud/endpoints.h"
#include "tests/cloud/fault_port.h"

namespace {

struct Options {
  std::string dir;
  int http_port = 0;
  int https_port = 0;
  int drop_port = 0;
  testcloud::ServerCert server_cert = testcloud::ServerCert::valid;
};

// Tests run several tools side by side against one cloud, each answer held
// for seconds; httplib's default pool of eight would queue them.
constexpr size_t kWorkers = 32;

int fail(const std::string& message) {
  std::fprintf(stderr, "test-cloud: %s\n", message.c_str());
  return 1;
}

bool parse_port(const char* text, int& port) {
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (!*text || *end || value < 0 || value > 65535) return false;
  port = static_cast<int>(value);
  return true;
}

bool parse(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (arg == "--dir") {
      options.dir = value;
    } else if (arg == "--http-port") {
      if (!parse_port(value, options.http_port)) return false;
    } else if (arg == "--https-port") {
      if (!parse_port(value, options.https_port)) return false;
    } else if (arg == "--drop-port") {
      if (!parse_port(value, options.drop_port)) return false;
    } else if (arg == "--server-cert") {
      if (!testcloud::parse_server_cert(value, &options.server_cert)) return false;
    } else {
      return false;
    }
  }
  return true;
}

int bind_server(httplib::Server& server, int port) {
  if (port == 0) return server.bind_to_any_port("127.0.0.1");
  return server.bind_to_port("127.0.0.1", port) ? port : -1;
}

// Writes through a temporary name so that a reader never sees half a file.
bool write_file(const std::string& path, const std::string& text) {
  std::string temporary = path + ".tmp";
  FILE* f = std::fopen(temporary.c_str(), "w");
  if (!f) return false;
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = std::fclose(f) == 0 && ok;
  return ok && std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!parse(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: test-cloud [--dir DIR] [--http-port N] [--https-port N] [--drop-port N]\n"
                 "                  [--server-cert valid|expired|other-host|self-signed]\n");
    return 2;
  }
  // Signals are taken by sigwait below; the server threads inherit the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  if (options.dir.empty()) {
    char pattern[] = "/tmp/pathvane-cloud-XXXXXX";
    if (!mkdtemp(pattern)) return fail(std::string("mkdtemp: ") + std::strerror(errno));
    options.dir = pattern;
  } else if (mkdir(options.dir.c_str(), 0755) != 0 && errno != EEXIST) {
    return fail("cannot create " + options.dir + ": " + std::strerror(errno));
  }

  std::string error;
  testcloud::Certificates certs;
  if (!testcloud::generate_certificates(certs, options.server_cert, &error) ||
      !testcloud::write_certificates(certs, options.dir, &error)) {
    return fail(error);
  }

  testcloud::Service service;
  testcloud::add_all_endpoints(service);
  httplib::Server http;
  httplib::SSLServer https(certs.server, certs.server_key);
  if (!https.is_valid()) return fail("TLS server setup failed");
  service.attach(http, "http");
  service.attach(https, "https");
  http.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
  https.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
  // Without it every small answer waits for the client's delayed ACK.
  http.set_tcp_nodelay(true);
  https.set_tcp_nodelay(true);

  int http_port = bind_server(http, options.http_port);
  int https_port = bind_server(https, options.https_port);
  if (http_port <= 0 || https_port <= 0) return fail("cannot listen on the requested ports");
  testcloud::FaultPort drop(testcloud::Fault::drop);
  testcloud::FaultPort silent(testcloud::Fault::silent);
  testcloud::FaultPort header_flood(testcloud::Fault::header_lines);
  testcloud::FaultPort long_header(testcloud::Fault::header_line);
  int drop_port = drop.start(options.drop_port, &error);
  int silent_port = drop_port > 0 ? silent.start(0, &error) : -1;
  int header_flood_port = silent_port > 0 ? header_flood.start(0, &error) : -1;
  int long_header_port = header_flood_port > 0 ? long_header.start(0, &error) : -1;
  if (long_header_port <= 0) return fail(error);

  std::string http_url = "http://127.0.0.1:" + std::to_string(http_port);
  std::string https_url = "https://127.0.0.1:" + std::to_string(https_port);
  service.set_info({{"http_port", http_port},
                    {"https_port", https_port},
                    {"drop_port", drop_port},
                    {"silent_port", silent_port},
                    {"header_flood_port", header_flood_port},
                    {"long_header_port", long_header_port},
                    {"http_url", http_url},
                    {"https_url", https_url},
                    {"ca_cert", options.dir + "/ca.pem"},
                    {"dir", options.dir},
                    {"pid", static_cast<int>(getpid())}});

  std::thread http_thread([&] { http.listen_after_bind(); });
  std::thread https_thread([&] { https.listen_after_bind(); });

  const std::pair<const char*, std::string> assignments[] = {
      {"CLOUD_HTTP_PORT", std::to_string(http_port)},
      {"CLOUD_HTTPS_PORT", std::to_string(https_port)},
      {"CLOUD_DROP_PORT", std::to_string(drop_port)},
      {"CLOUD_SILENT_PORT", std::to_string(silent_port)},
      {"CLOUD_HEADER_FLOOD_PORT", std::to_string(header_flood_port)},
      {"CLOUD_LONG_HEADER_PORT", std::to_string(long_header_port)},
      {"CLOUD_HTTP_URL", http_url},
      {"CLOUD_HTTPS_URL", https_url},
      {"CLOUD_CA_CERT", options.dir + "/ca.pem"},
      {"CLOUD_DIR", options.dir},
      {"CLOUD_PID", std::to_string(getpid())},
  };
  std::string env;
  for (const auto& [name, value] : assignments) env += std::string(name) + "=" + value + "\n";
  if (!write_file(options.dir + "/cloud.env", env)) {
    std::fprintf(stderr, "test-cloud: cannot write %s/cloud.env\n", options.dir.c_str());
  }
  std::fputs(env.c_str(), stdout);
  std::fputs("ready\n", stdout);
  std::fflush(stdout);

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  http.stop();
  https.stop();
  drop.stop();
  silent.stop();
  header_flood.stop();
  long_header.stop();
  http_thread.join();
  https_thread.join();
  return 0;
}
