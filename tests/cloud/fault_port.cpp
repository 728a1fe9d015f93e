#include "tests/cloud/fault_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace testcloud {
namespace {

constexpr size_t kPiece = 64 * 1024;

// What a flood sends after its status line, piece after piece.
std::string flood_piece(Fault fault) {
  if (fault == Fault::header_line) return std::string(kPiece, 'A');
  std::string line = "X-Flood: " + std::string(89, 'A') + "\r\n";  // 100 bytes
  std::string piece;
  while (piece.size() + line.size() <= kPiece) piece += line;
  return piece;
}

}  // namespace

int FaultPort::start(int port, std::string* error) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(addr);
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd_, 64) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    *error = std::string("fault port: ") + std::strerror(errno);
    return -1;
  }
  thread_ = std::thread([this] {
    while (!stopping_) {
      int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (client >= 0) {
        if (fault_ == Fault::drop) {
          close(client);
          continue;
        }
        std::lock_guard<std::mutex> guard(lock_);
        connections_.emplace_back([this, client] { serve(client); });
      } else if (errno != EINTR && errno != ECONNABORTED) {
        break;
      }
    }
  });
  return ntohs(addr.sin_port);
}

// Reads whatever the client sends and throws it away, so that a client
// sending a body is never held up by a full socket; a flood writes whenever
// the socket takes more. Ends when the client goes or the port stops.
void FaultPort::serve(int client) {
  const bool flood = fault_ == Fault::header_lines || fault_ == Fault::header_line;
  const std::string piece = flood ? flood_piece(fault_) : "";
  std::string pending;  // what is still to go of the current piece
  bool requested = false;
  char buffer[16384];
  while (!stopping_) {
    pollfd p{client, static_cast<short>(POLLIN | (flood && requested ? POLLOUT : 0)), 0};
    if (poll(&p, 1, 100) < 0 && errno != EINTR) break;
    if (p.revents & (POLLERR | POLLNVAL)) break;
    if (p.revents & (POLLIN | POLLHUP)) {
      ssize_t n = recv(client, buffer, sizeof(buffer), 0);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
      if (n > 0 && !requested) {
        requested = true;
        pending = fault_ == Fault::header_line ? "HTTP/1.1 200 OK\r\nX-Flood: " : "HTTP/1.1 200 OK\r\n";
      }
    }
    if (p.revents & POLLOUT) {
      if (pending.empty()) pending = piece;
      ssize_t n = send(client, pending.data(), pending.size(), MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN && errno != EINTR) break;
      if (n > 0) pending.erase(0, static_cast<size_t>(n));
    }
  }
  close(client);
}

void FaultPort::stop() {
  if (fd_ < 0) return;
  stopping_ = true;
  shutdown(fd_, SHUT_RDWR);  // wakes the blocked accept
  if (thread_.joinable()) thread_.join();
  close(fd_);
  fd_ = -1;
  std::lock_guard<std::mutex> guard(lock_);
  for (auto& connection : connections_) connection.join();
  connections_.clear();
}

}  // namespace testcloud
