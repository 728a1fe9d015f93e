#include <dlfcn.h>

#include <fstream>
#include <sstream>
#include <string>

#include "agent/confstore/config_store.h"

namespace {

constexpr const char* kDataFile = "agent-config.json";

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
    std::ifstream in(path, std::ios::binary);
    if (!in) return 0;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return 0;
    nlohmann::json parsed = nlohmann::json::parse(text.str(), nullptr, /*allow_exceptions=*/false);
    if (!parsed.is_object()) return 0;
    values_ = std::move(parsed);
    return 1;
  } catch (...) {
    return 0;
  }
}
