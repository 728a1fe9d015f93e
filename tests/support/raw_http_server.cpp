#include "tests/support/raw_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace testsupport {

bool RawHttpServer::start(std::string* error) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(addr);
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd_, 8) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    *error = std::string("raw HTTP server: ") + std::strerror(errno);
    return false;
  }
  port_ = ntohs(addr.sin_port);
  thread_ = std::thread([this] { serve(); });
  return true;
}

void RawHttpServer::stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

void RawHttpServer::serve() {
  while (!stopping_) {
    pollfd listening{fd_, POLLIN, 0};
    if (poll(&listening, 1, 100) <= 0) continue;
    const int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    // The request's head, then the answer whatever it asked.
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
      pollfd readable{client, POLLIN, 0};
      if (poll(&readable, 1, 5000) <= 0) break;
      const ssize_t n = read(client, buffer, sizeof(buffer));
      if (n <= 0) break;
      request.append(buffer, static_cast<size_t>(n));
    }
    // MSG_NOSIGNAL: a client that went away must not end the test with SIGPIPE.
    for (size_t sent = 0; sent < answer_.size();) {
      const ssize_t n = send(client, answer_.data() + sent, answer_.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    shutdown(client, SHUT_WR);
    close(client);
  }
}

}  // namespace testsupport
