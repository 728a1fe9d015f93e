#include "platform/loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstring>

#include "platform/codec.h"
#include "platform/sysinfo.h"

namespace platform {
namespace {

// Distinct address that stands for the built-in kernel32 module.
char kernel32_module;

std::string library_directory_override;
bool library_directory_exclusive = false;

std::string utf8_of(const char16_t* w) {
  std::string out;
  for (; w && *w; ++w) {
    char16_t c = *w;
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      // Library names are ASCII; anything else cannot name a file of ours.
      return {};
    }
  }
  return out;
}

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

std::string linux_library_name(const std::string& windows_name) {
  std::string name = windows_name;
  std::string low = lower(name);
  if (low.size() > 4 && low.compare(low.size() - 4, 4, ".dll") == 0) {
    return "lib" + low.substr(0, low.size() - 4) + ".so";
  }
  return name;
}

std::string executable_directory() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (n <= 0) return ".";
  path[n] = '\0';
  char* slash = std::strrchr(path, '/');
  if (!slash) return ".";
  if (slash == path) return "/";
  *slash = '\0';
  return path;
}

std::string module_path_of(const void* address) {
  Dl_info info{};
  if (!address || dladdr(address, &info) == 0 || !info.dli_fname) return {};
  return info.dli_fname;
}

void set_library_directory(const std::string& dir, bool exclusive) {
  library_directory_override = dir;
  library_directory_exclusive = !dir.empty() && exclusive;
}

Module LoadLibraryW(const char16_t* name) {
  std::string narrow = utf8_of(name);
  if (narrow.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (lower(narrow) == "kernel32.dll") return &kernel32_module;
  std::string file = linux_library_name(narrow);
  void* handle = nullptr;
  if (file.find('/') == std::string::npos) {
    std::string dir = library_directory_override.empty() ? executable_directory() : library_directory_override;
    handle = dlopen((dir + "/" + file).c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  if (!handle && !library_directory_exclusive) handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) SetLastError(126);  // ERROR_MOD_NOT_FOUND
  return handle;
}

void* GetProcAddress(Module module, const char* name) {
  if (!module || !name) return nullptr;
  if (module == &kernel32_module) {
    if (std::strcmp(name, "GetProductInfo") == 0) return reinterpret_cast<void*>(&GetProductInfo);
    return nullptr;
  }
  return dlsym(module, name);
}

bool FreeLibrary(Module module) {
  if (!module) return false;
  if (module == &kernel32_module) return true;
  return dlclose(module) == 0;
}

}  // namespace platform
