#include <dlfcn.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
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
    std::ifstream in(path, std::ios::binary);
    if (!in) return 0;
    // The bytes are read once and parsed where they lie; a file that grew
    // since the check is refused, not read further.
    std::string text(static_cast<size_t>(st.st_size), '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    if (static_cast<size_t>(in.gcount()) != text.size()) return 0;
    if (in.peek() != std::ifstream::traits_type::eof()) {
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
