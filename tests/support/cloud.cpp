#include "tests/support/cloud.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "tests/support/process.h"

namespace testsupport {
namespace {

std::string from_base64(const std::string& text) {
  std::string out(3 * (text.size() / 4) + 3, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                          reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (n < 0) return {};
  size_t size = static_cast<size_t>(n);
  // EVP_DecodeBlock counts the padding as zero bytes.
  if (!text.empty() && text.back() == '=') --size;
  if (text.size() > 1 && text[text.size() - 2] == '=') --size;
  out.resize(size);
  return out;
}

bool write_all(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

bool TestCloud::start(std::string* error, const std::vector<std::string>& options) {
  stop();
  char pattern[] = "/tmp/pathvane-cloud-XXXXXX";
  if (!mkdtemp(pattern)) {
    *error = "mkdtemp failed";
    return false;
  }
  dir_ = pattern;
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) {
    *error = "pipe failed";
    return false;
  }
  std::string program = std::string(PATHVANE_TEST_BIN_DIR) + "/test-cloud";
  pid_ = fork();
  if (pid_ == 0) {
    // The cloud must not outlive the test that started it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    dup2(out[1], 1);
    std::vector<const char*> argv = {program.c_str(), "--dir", dir_.c_str()};
    for (const std::string& option : options) argv.push_back(option.c_str());
    argv.push_back(nullptr);
    execv(program.c_str(), const_cast<char* const*>(argv.data()));
    _exit(127);
  }
  close(out[1]);
  if (pid_ < 0) {
    close(out[0]);
    *error = "fork failed";
    return false;
  }
  std::string text;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (text.find("ready\n") == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{out[0], POLLIN, 0};
    char buf[1024];
    ssize_t n = 0;
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0 ||
        (n = read(out[0], buf, sizeof(buf))) <= 0) {
      close(out[0]);
      *error = "test-cloud did not become ready; it printed: " + text;
      stop();
      return false;
    }
    text.append(buf, static_cast<size_t>(n));
  }
  close(out[0]);
  for (const std::string& line : split_lines(text)) {
    auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq);
    int value = std::atoi(line.c_str() + eq + 1);
    if (key == "CLOUD_HTTP_PORT") http_port_ = value;
    if (key == "CLOUD_HTTPS_PORT") https_port_ = value;
    if (key == "CLOUD_DROP_PORT") drop_port_ = value;
    if (key == "CLOUD_SILENT_PORT") silent_port_ = value;
    if (key == "CLOUD_HEADER_FLOOD_PORT") header_flood_port_ = value;
    if (key == "CLOUD_LONG_HEADER_PORT") long_header_port_ = value;
  }
  if (http_port_ <= 0 || https_port_ <= 0 || drop_port_ <= 0 || silent_port_ <= 0 || header_flood_port_ <= 0 ||
      long_header_port_ <= 0) {
    *error = "test-cloud printed no ports: " + text;
    stop();
    return false;
  }
  return true;
}

void TestCloud::stop() {
  terminate_child(pid_);
  pid_ = -1;
  if (!dir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    dir_.clear();
  }
  http_port_ = https_port_ = drop_port_ = silent_port_ = header_flood_port_ = long_header_port_ = 0;
}

std::string TestCloud::http_url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(http_port_) + path;
}

std::string TestCloud::https_url(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(https_port_) + path;
}

int TestCloud::control(const std::string& method, const std::string& target, const std::string& body,
                       std::string* response) const {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(http_port_));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                        "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                        "\r\n\r\n" + body;
  std::string reply;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 && write_all(fd, request)) {
    char buf[16384];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof(buf), 0)) > 0) reply.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  int status = -1;
  if (reply.rfind("HTTP/1.1 ", 0) == 0) status = std::atoi(reply.c_str() + 9);
  size_t head_end = reply.find("\r\n\r\n");
  if (response) *response = head_end == std::string::npos ? "" : reply.substr(head_end + 4);
  return status;
}

bool TestCloud::add_rule(const std::string& rule_json) {
  return control("POST", "/_cloud/rules", rule_json, nullptr) == 200;
}

bool TestCloud::reset() { return control("POST", "/_cloud/reset", "", nullptr) == 200; }

std::vector<CloudRequest> TestCloud::requests(const std::string& path) const {
  std::string body;
  std::string target = "/_cloud/requests";
  if (!path.empty()) target += "?path=" + path;
  std::vector<CloudRequest> out;
  if (control("GET", target, "", &body) != 200) return out;
  auto list = nlohmann::json::parse(body, nullptr, false);
  if (!list.is_array()) return out;
  for (const auto& entry : list) {
    CloudRequest r;
    r.scheme = entry.value("scheme", "");
    r.method = entry.value("method", "");
    r.path = entry.value("path", "");
    r.target = entry.value("target", "");
    r.peer_addr = entry.value("peer_addr", "");
    r.body = from_base64(entry.value("body_base64", ""));
    for (const auto& part : entry.value("parts", nlohmann::json::array())) {
      r.parts.push_back({part.value("name", ""), part.value("filename", ""), part.value("content_type", ""),
                         from_base64(part.value("content_base64", ""))});
    }
    if (entry.contains("headers")) {
      for (const auto& [name, value] : entry["headers"].items()) r.headers[name] = value.get<std::string>();
    }
    out.push_back(std::move(r));
  }
  return out;
}

}  // namespace testsupport
