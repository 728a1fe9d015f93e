#include "tests/cloud/drop_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace testcloud {

int DropPort::start(int port, std::string* error) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(addr);
  if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(fd_, 16) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
    *error = std::string("drop port: ") + std::strerror(errno);
    return -1;
  }
  thread_ = std::thread([this] {
    while (!stopping_) {
      int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) {
        close(client);
      } else if (errno != EINTR) {
        break;
      }
    }
  });
  return ntohs(addr.sin_port);
}

void DropPort::stop() {
  if (fd_ < 0) return;
  stopping_ = true;
  shutdown(fd_, SHUT_RDWR);  // wakes the blocked accept
  if (thread_.joinable()) thread_.join();
  close(fd_);
  fd_ = -1;
}

}  // namespace testcloud
