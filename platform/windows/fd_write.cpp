#include "platform/fd_write.h"

#include <io.h>

#include <cerrno>

namespace platform {

bool write_all(int fd, std::string_view bytes) {
  // _write takes an unsigned int count and answers an int.
  constexpr size_t kChunk = 1u << 30;
  const char* data = bytes.data();
  size_t size = bytes.size();
  while (size > 0) {
    const unsigned int want = static_cast<unsigned int>(size < kChunk ? size : kChunk);
    const int n = ::_write(fd, data, want);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace platform
