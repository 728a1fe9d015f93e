#include "tests/support/stand_ins.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tests/support/proxies.h"

namespace testsupport {
namespace {

// A bound, listening socket on a free loopback port; -1 with *error.
int listen_loopback_address(int backlog, int* port, std::string* error) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = loopback_address(0);
  socklen_t length = sizeof(addr);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd, backlog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    *error = std::string("stand-in listener: ") + std::strerror(errno);
    if (fd >= 0) close(fd);
    return -1;
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

bool send_all(int fd, const std::string& text) {
  size_t sent = 0;
  while (sent < text.size()) {
    ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      poll(&p, 1, 100);
      continue;
    }
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::string portal_answer() {
  const std::string page = StandIn::kPortalPage;
  return "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(page.size()) +
         "\r\n\r\n" + page;
}

}  // namespace

bool StandIn::start(std::string* error) {
  stop();
  stopping_ = false;
  fd_ = listen_loopback_address(16, &port_, error);
  if (fd_ < 0) return false;
  thread_ = std::thread([this] {
    while (!stopping_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (client < 0) continue;
      std::lock_guard<std::mutex> guard(lock_);
      connections_.emplace_back([this, client] { serve(client); });
    }
  });
  return true;
}

void StandIn::stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  std::vector<std::thread> connections;
  {
    std::lock_guard<std::mutex> guard(lock_);
    connections.swap(connections_);
  }
  for (auto& t : connections) t.join();
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

// Each request head gets the kind's answer; everything else the client sends
// is read and dropped. Ends when the client goes or the stand-in stops.
void StandIn::serve(int client) {
  std::string head;
  bool tunnel = false;
  char buffer[16384];
  while (!stopping_) {
    pollfd p{client, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    ssize_t n = recv(client, buffer, sizeof(buffer), 0);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
    if (n < 0 || tunnel) continue;
    head.append(buffer, static_cast<size_t>(n));
    if (head.find("\r\n\r\n") == std::string::npos) continue;
    const bool connect = head.rfind("CONNECT ", 0) == 0;
    head.clear();
    if (kind_ == Kind::tunnel_then_silent) {
      if (!connect || !send_all(client, "HTTP/1.1 200 Connection established\r\n\r\n")) break;
      tunnel = true;
    } else if (!send_all(client, portal_answer())) {
      break;
    }
  }
  close(client);
}

bool FullAcceptQueue::start(std::string* error) {
  stop();
  fd_ = listen_loopback_address(0, &port_, error);
  if (fd_ < 0) return false;
  // Linux queues one connection past a backlog of 0; a few more make sure.
  // A connection attempt that does not complete at once shows the queue full.
  for (int i = 0; i < 8; ++i) {
    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (client < 0) break;
    sockaddr_in addr = loopback_address(port_);
    connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    pollfd p{client, POLLOUT, 0};
    const bool done = poll(&p, 1, 200) == 1 && !(p.revents & (POLLERR | POLLHUP));
    fillers_.push_back(client);
    if (!done) return true;
  }
  *error = "the accept queue of port " + std::to_string(port_) + " did not fill";
  stop();
  return false;
}

void FullAcceptQueue::stop() {
  for (int fd : fillers_) close(fd);
  fillers_.clear();
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

}  // namespace testsupport
