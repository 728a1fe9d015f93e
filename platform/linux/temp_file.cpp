#include "platform/temp_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace platform {

int create_temporary_at(int dir_fd, const char* final_name, char* name, size_t name_size) {
  static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  // A name taken by someone else is passed over; so many in a row is no chance.
  for (int attempt = 0; attempt < 32; ++attempt) {
    unsigned char random[8];
    if (getrandom(random, sizeof(random), 0) != static_cast<ssize_t>(sizeof(random))) return -1;
    char suffix[sizeof(random) + 1];
    for (size_t i = 0; i < sizeof(random); ++i) suffix[i] = kLetters[random[i] % (sizeof(kLetters) - 1)];
    suffix[sizeof(random)] = '\0';
    const int length = std::snprintf(name, name_size, "%s.%s.tmp", final_name, suffix);
    if (length < 0 || static_cast<size_t>(length) >= name_size) {
      errno = ENAMETOOLONG;
      return -1;
    }
    const int fd = ::openat(dir_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return -1;
    // The umask may have taken the owner's write bit.
    if (::fchmod(fd, 0600) != 0) {
      const int saved = errno;
      ::close(fd);
      ::unlinkat(dir_fd, name, 0);
      errno = saved;
      return -1;
    }
    return fd;
  }
  errno = EEXIST;
  return -1;
}

}  // namespace platform
