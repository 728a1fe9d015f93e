#include <dlfcn.h>
#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "agent/confstore/config_store.h"
#include "agent/kit/kit.h"

namespace {

constexpr const char* kDataFile = "agent-config.json";
constexpr off_t kMaxDataFileBytes = 16 * 1024 * 1024;

// The data file lives beside the library itself, wherever that was loaded
// from (the agent directory).
std::string data_file_path() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&CreateConfigClassInstance), &info) == 0 || !info.dli_fname) return {};
  std::string library = info.dli_fname;
  size_t slash = library.rfind('/');
  std::string dir = slash == std::string::npos ? "." : library.substr(0, slash);
  return dir + "/" + kDataFile;
}

struct OpenFile {
  int fd;
  ~OpenFile() {
    if (fd >= 0) close(fd);
  }
};

// Reads exactly size bytes; false on an error or an early end.
bool read_all(int fd, char* out, size_t size) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = read(fd, out + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

void ConfigStore::SetModuleHandle(void* module) { module_ = module; }

int ConfigStore::Load(int /*flags*/) {
  try {
    std::string path = data_file_path();
    if (path.empty()) return 0;
    // Checked before the open: a FIFO would block it, a device never end.
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return 0;
    if (!S_ISREG(st.st_mode)) {
      error("ConfigStore::Load: %s is not a regular file", path.c_str());
      return 0;
    }
    if (st.st_size > kMaxDataFileBytes) {
      error("ConfigStore::Load: %s is larger than 16 MiB (%lld bytes)", path.c_str(),
            static_cast<long long>(st.st_size));
      return 0;
    }
    // Read with read(2) into one buffer of ours, so that no stream buffer
    // keeps a copy of the token or the stored password after it is freed.
    // The file is checked again through the descriptor: it may have been
    // replaced since the check above.
    OpenFile file{open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
    if (file.fd < 0) return 0;
    struct stat opened;
    if (fstat(file.fd, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_size > kMaxDataFileBytes) {
      error("ConfigStore::Load: %s changed while it was read", path.c_str());
      return 0;
    }
    std::string text(static_cast<size_t>(opened.st_size), '\0');
    bool whole = read_all(file.fd, text.data(), text.size());
    char extra = 0;
    // A file that grew since the check is refused, not read further.
    bool grew = whole && read(file.fd, &extra, 1) != 0;
    explicit_bzero(&extra, 1);
    if (!whole || grew) {
      explicit_bzero(text.data(), text.size());
      error("ConfigStore::Load: %s changed while it was read", path.c_str());
      return 0;
    }
    nlohmann::json parsed = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    explicit_bzero(text.data(), text.size());
    if (!parsed.is_object()) {
      error("ConfigStore::Load: %s is not a JSON object", path.c_str());
      return 0;
    }
    values_ = std::move(parsed);
    return 1;
  } catch (...) {
    return 0;
  }
}
