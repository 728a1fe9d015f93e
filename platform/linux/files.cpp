#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

#include "platform/codec.h"
#include "platform/fd_write.h"
#include "platform/wipe.h"

namespace platform {
namespace {

int fd_of(intptr_t handle) { return static_cast<int>(handle); }

std::string last_error_text() { return error_text(errno); }

std::string utf8_of(const char16_t* path) {
  std::string out;
  if (!path) return out;
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, path, -1, nullptr, 0);
  if (bytes <= 1) return out;
  out.resize(static_cast<size_t>(bytes));
  if (WideCharToMultiByte(CP_UTF8, 0, path, -1, out.data(), bytes) != bytes) return {};
  out.resize(static_cast<size_t>(bytes - 1));
  return out;
}

}  // namespace

const char16_t kPathSeparator[] = u"/";

std::string error_text(int error) { return std::strerror(error); }

long process_id() { return static_cast<long>(::getpid()); }

void prepare_file_writes() { std::signal(SIGXFSZ, SIG_IGN); }

File::File(File&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (handle_ >= 0) ::close(fd_of(handle_));
    handle_ = other.handle_;
    other.handle_ = -1;
  }
  return *this;
}

File::~File() {
  if (handle_ >= 0) ::close(fd_of(handle_));
}

bool File::is_open() const { return handle_ >= 0; }

bool File::write_all(const std::string& bytes, std::string& why) {
  if (platform::write_all(fd_of(handle_), bytes)) return true;
  why = last_error_text();
  return false;
}

bool File::sync(std::string& why) {
  if (::fsync(fd_of(handle_)) == 0) return true;
  why = last_error_text();
  return false;
}

bool File::close(std::string& why) {
  if (handle_ < 0) return true;
  const int fd = fd_of(handle_);
  handle_ = -1;
  if (::close(fd) == 0) return true;
  why = last_error_text();
  return false;
}

FILE* File::release_to_stream(const char* mode) {
  FILE* stream = ::fdopen(fd_of(handle_), mode);
  if (stream) handle_ = -1;
  return stream;
}

bool File::lock(std::string& why) {
  if (::flock(fd_of(handle_), LOCK_EX | LOCK_NB) == 0) return true;
  why = last_error_text();
  return false;
}

Folder::~Folder() { close(); }

void Folder::close() {
  if (handle_ >= 0) ::close(fd_of(handle_));
  handle_ = -1;
  lock_ = -1;
}

bool Folder::is_open() const { return handle_ >= 0; }

bool Folder::open(const std::string& path, bool create, std::string& why) {
  close();
  if (create && ::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    why = last_error_text();
    return false;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    why = errno == ENOTDIR || errno == ELOOP ? path + " is not a directory" : last_error_text();
    return false;
  }
  handle_ = fd;
  path_ = path;
  return true;
}

std::string Folder::join(const std::string& name) const { return join_path(path_, name); }

EntryKind Folder::kind_of(const std::string& name, int64_t* modified_seconds) const {
  struct stat st {};
  if (::fstatat(fd_of(handle_), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? EntryKind::kMissing : EntryKind::kUnknown;
  }
  if (modified_seconds) *modified_seconds = static_cast<int64_t>(st.st_mtime);
  if (S_ISREG(st.st_mode)) return EntryKind::kRegular;
  if (S_ISDIR(st.st_mode)) return EntryKind::kFolder;
  if (S_ISLNK(st.st_mode)) return EntryKind::kLink;
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return EntryKind::kDevice;
  return EntryKind::kOther;
}

std::vector<std::string> Folder::names() const {
  std::vector<std::string> out;
  const int list_fd = ::dup(fd_of(handle_));
  DIR* dir = list_fd >= 0 ? ::fdopendir(list_fd) : nullptr;
  if (!dir) {
    if (list_fd >= 0) ::close(list_fd);
    return out;
  }
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") out.push_back(name);
  }
  ::closedir(dir);
  return out;
}

bool Folder::create_new(const std::string& name, File& file, std::string& why) {
  // O_EXCL: whatever is at the name is not ours.
  const int fd = ::openat(fd_of(handle_), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_APPEND | O_CLOEXEC,
                          0600);
  if (fd < 0) {
    why = last_error_text();
    return false;
  }
  // The umask may have taken the owner's write bit.
  if (::fchmod(fd, 0600) != 0) {
    why = last_error_text();
    ::close(fd);
    ::unlinkat(fd_of(handle_), name.c_str(), 0);
    return false;
  }
  file = File();
  file.handle_ = fd;
  return true;
}

bool Folder::create_temporary(const std::string& final_name, File& file, std::string& temporary, std::string& why) {
  static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  // A name taken by someone else is passed over; so many in a row is no chance.
  for (int attempt = 0; attempt < 32; ++attempt) {
    unsigned char random[8];
    if (::getrandom(random, sizeof(random), 0) != static_cast<ssize_t>(sizeof(random))) {
      why = last_error_text();
      return false;
    }
    std::string name = final_name + ".";
    for (unsigned char byte : random) name.push_back(kLetters[byte % (sizeof(kLetters) - 1)]);
    name += ".tmp";
    if (name.size() > NAME_MAX) {
      why = error_text(ENAMETOOLONG);
      return false;
    }
    std::string failure;
    if (create_new(name, file, failure)) {
      temporary = name;
      return true;
    }
    if (errno != EEXIST) {
      why = failure;
      return false;
    }
  }
  why = error_text(EEXIST);
  return false;
}

bool Folder::replace(const std::string& from, const std::string& to, std::string& why) {
  if (::renameat(fd_of(handle_), from.c_str(), fd_of(handle_), to.c_str()) == 0) return true;
  why = last_error_text();
  return false;
}

bool Folder::remove(const std::string& name) { return ::unlinkat(fd_of(handle_), name.c_str(), 0) == 0; }

bool Folder::held_by_other(const std::string& name) const {
  const int fd = ::openat(fd_of(handle_), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno != ENOENT;
  const bool busy = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
  ::close(fd);
  return busy;
}

bool Folder::lock() {
  int result;
  while ((result = ::flock(fd_of(handle_), LOCK_EX)) != 0 && errno == EINTR) {
  }
  // The lock goes with the folder's descriptor.
  if (result == 0) lock_ = handle_;
  return result == 0;
}

ReadResult read_regular_file(const std::string& path, uint64_t max_bytes, std::string& text, uint64_t& size) {
  // Checked before the open: a FIFO would block it, a device never end.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return ReadResult::kMissing;
  if (!S_ISREG(st.st_mode)) return ReadResult::kNotRegular;
  size = static_cast<uint64_t>(st.st_size);
  if (size > max_bytes) return ReadResult::kTooLarge;
  // The file is checked again through the descriptor: it may have been
  // replaced since the check above.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return ReadResult::kMissing;
  struct stat opened {};
  if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || static_cast<uint64_t>(opened.st_size) > max_bytes) {
    ::close(fd);
    return ReadResult::kChanged;
  }
  // read(2) into one buffer of ours, so that no stream buffer keeps a copy.
  std::string bytes(static_cast<size_t>(opened.st_size), '\0');
  size_t done = 0;
  bool whole = true;
  while (done < bytes.size()) {
    const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      whole = false;
      break;
    }
    done += static_cast<size_t>(n);
  }
  // A file that grew since the check is refused, not read further.
  char extra = 0;
  const bool grew = whole && ::read(fd, &extra, 1) != 0;
  wipe(&extra, 1);
  ::close(fd);
  if (!whole || grew) {
    wipe(bytes.data(), bytes.size());
    return ReadResult::kChanged;
  }
  text = std::move(bytes);
  return ReadResult::kOk;
}

uint32_t GetFileAttributesW(const char16_t* path) {
  struct stat st {};
  const std::string narrow = utf8_of(path);
  if (narrow.empty() || ::lstat(narrow.c_str(), &st) != 0) return INVALID_FILE_ATTRIBUTES;
  if (S_ISLNK(st.st_mode)) return FILE_ATTRIBUTE_REPARSE_POINT;
  return S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : 0x80u;  // FILE_ATTRIBUTE_NORMAL
}

bool CreateDirectoryW(const char16_t* path) {
  const std::string narrow = utf8_of(path);
  return !narrow.empty() && ::mkdir(narrow.c_str(), 0755) == 0;
}

}  // namespace platform
