#include "platform/loader.h"

#include "platform/windows/text.h"

#include <windows.h>

#include <mutex>
#include <string>

namespace platform {
namespace {

std::mutex directory_mutex;
std::wstring library_directory_override;
bool library_directory_exclusive = false;

// GetModuleFileNameW truncates silently; grow until the whole path fits.
std::wstring module_file_name(HMODULE module) {
  std::wstring path(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 8; ++attempt) {
    const DWORD n = ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
  return {};
}

bool is_bare_name(const std::wstring& name) { return name.find_first_of(L"\\/:") == std::wstring::npos; }

}  // namespace

std::string linux_library_name(const std::string& windows_name) { return windows_name; }

std::string executable_directory() {
  const std::wstring path = module_file_name(nullptr);
  const size_t slash = path.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return ".";
  // A drive's root keeps its separator: "C:" alone means the current directory there.
  if (slash == 2 && path[1] == L':') return windows::utf8_of(path.substr(0, 3));
  return windows::utf8_of(path.substr(0, slash));
}

std::string module_path_of(const void* address) {
  HMODULE module = nullptr;
  if (!address || !::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                            GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                        static_cast<LPCWSTR>(address), &module)) {
    return {};
  }
  return windows::utf8_of(module_file_name(module));
}

void set_library_directory(const std::string& dir, bool exclusive) {
  std::wstring wide;
  if (!windows::wide_of(dir, wide)) wide.clear();
  std::lock_guard<std::mutex> hold(directory_mutex);
  library_directory_override = wide;
  library_directory_exclusive = !wide.empty() && exclusive;
}

Module LoadLibraryW(const char16_t* name) {
  if (!name || !*name) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::wstring wide(reinterpret_cast<const wchar_t*>(name));
  std::wstring dir;
  bool exclusive = false;
  {
    std::lock_guard<std::mutex> hold(directory_mutex);
    dir = library_directory_override;
    exclusive = library_directory_exclusive;
  }
  HMODULE module = nullptr;
  if (!dir.empty() && is_bare_name(wide)) {
    // The altered search path makes the library's own dependencies come
    // from its folder too, as they would beside the executable.
    module = ::LoadLibraryExW((dir + L"\\" + wide).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module && exclusive) return nullptr;
  }
  if (!module) module = ::LoadLibraryW(wide.c_str());
  return module;
}

void* GetProcAddress(Module module, const char* name) {
  if (!module || !name) return nullptr;
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(module), name));
}

bool FreeLibrary(Module module) { return module && ::FreeLibrary(static_cast<HMODULE>(module)); }

}  // namespace platform
