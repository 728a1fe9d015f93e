#include <cstdint>
#include <string>

#include "agent/confstore/config_store.h"
#include "agent/kit/kit.h"
#include "platform/files.h"
#include "platform/loader.h"
#include "platform/wipe.h"

namespace {

constexpr const char* kDataFile = "agent-config.json";
constexpr uint64_t kMaxDataFileBytes = 16 * 1024 * 1024;

// The data file lives beside the library itself, wherever that was loaded
// from (the agent directory).
std::string data_file_path() {
  const std::string library = platform::module_path_of(reinterpret_cast<const void*>(&CreateConfigClassInstance));
  if (library.empty()) return {};
  // The library's own separator, whichever the system uses.
  const size_t separator = library.find_last_of("/\\");
  return separator == std::string::npos ? std::string("./") + kDataFile : library.substr(0, separator + 1) + kDataFile;
}

}  // namespace

void ConfigStore::SetModuleHandle(void* module) { module_ = module; }

int ConfigStore::Load(int /*flags*/) {
  try {
    std::string path = data_file_path();
    if (path.empty()) return 0;
    std::string text;
    uint64_t size = 0;
    switch (platform::read_regular_file(path, kMaxDataFileBytes, text, size)) {
      case platform::ReadResult::kOk:
        break;
      case platform::ReadResult::kMissing:
        return 0;
      case platform::ReadResult::kNotRegular:
        error("ConfigStore::Load: %s is not a regular file", path.c_str());
        return 0;
      case platform::ReadResult::kTooLarge:
        error("ConfigStore::Load: %s is larger than 16 MiB (%llu bytes)", path.c_str(),
              static_cast<unsigned long long>(size));
        return 0;
      case platform::ReadResult::kChanged:
        error("ConfigStore::Load: %s changed while it was read", path.c_str());
        return 0;
    }
    nlohmann::json parsed = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    platform::wipe(text.data(), text.size());
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
