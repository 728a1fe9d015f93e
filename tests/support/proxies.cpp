#include "tests/support/proxies.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/process.h"

namespace testsupport {
namespace {

bool accepts(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr = loopback_address(port);
  bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  close(fd);
  return ok;
}

std::string make_dir(const char* name) {
  std::string pattern = std::string("/tmp/pathvane-") + name + "-XXXXXX";
  return mkdtemp(pattern.data()) ? pattern : std::string();
}

}  // namespace

sockaddr_in loopback_address(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

int free_loopback_port() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr = loopback_address(0);
  socklen_t length = sizeof(addr);
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0) {
    port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

bool ProxyProcess::launch(const char* const* argv, std::string* error) {
  pid_ = fork();
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    execvp(argv[0], const_cast<char* const*>(argv));
    _exit(127);
  }
  if (pid_ < 0) {
    *error = "fork failed";
    return false;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!accepts(port_)) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      *error = std::string(argv[0]) + " exited before listening";
      return false;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      *error = std::string(argv[0]) + " did not listen on port " + std::to_string(port_);
      stop();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

void ProxyProcess::stop() {
  terminate_child(pid_);
  pid_ = -1;
  if (!dir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
    dir_.clear();
  }
}

bool Tinyproxy::start(const std::string& user, const std::string& password, std::string* error) {
  stop();
  dir_ = make_dir("tinyproxy");
  port_ = free_loopback_port();
  if (dir_.empty() || port_ <= 0) {
    *error = "no directory or port for tinyproxy";
    return false;
  }
  std::string config = dir_ + "/tinyproxy.conf";
  std::ofstream(config) << "Port " << port_ << "\n"
                        << "Listen 127.0.0.1\n"
                        << "Bind " << kOutgoingAddress << "\n"
                        << "Timeout 30\n"
                        << "LogFile \"" << dir_ << "/tinyproxy.log\"\n"
                        << "LogLevel Connect\n"
                        << "MaxClients 20\n"
                        << "Allow 127.0.0.1\n"
                        << "BasicAuth " << user << " " << password << "\n";
  const char* argv[] = {"tinyproxy", "-d", "-c", config.c_str(), nullptr};
  return launch(argv, error);
}

std::string ProxyProcess::file_text(const std::string& name) const {
  std::ifstream in(dir_ + "/" + name);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Tinyproxy::log() const { return file_text("tinyproxy.log"); }

bool Microsocks::start(const std::string& user, const std::string& password, std::string* error) {
  stop();
  port_ = free_loopback_port();
  if (port_ <= 0) {
    *error = "no port for microsocks";
    return false;
  }
  std::string port = std::to_string(port_);
  const char* argv[] = {"microsocks", "-i", "127.0.0.1",      "-p", port.c_str(),     "-u",
                        user.c_str(), "-P", password.c_str(), "-b", kOutgoingAddress, nullptr};
  return launch(argv, error);
}

}  // namespace testsupport
