#include "platform/sysinfo.h"
#include "platform/codec.h"

#include <windows.h>

#include <atomic>
#include <cstring>

namespace platform {
namespace {

std::atomic<ComputerNameSource> computer_name_source{nullptr};

// GetVersionExW lies about the version to programs without a manifest
// (8.1 and later report 6.2); ntdll's RtlGetVersion does not.
bool real_version(::OSVERSIONINFOEXW& info) {
  std::memset(&info, 0, sizeof(info));
  info.dwOSVersionInfoSize = sizeof(info);
  using RtlGetVersionFn = LONG(WINAPI*)(::OSVERSIONINFOEXW*);
  if (HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll")) {
    auto get_version = reinterpret_cast<RtlGetVersionFn>(
        reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlGetVersion")));
    if (get_version && get_version(&info) == 0) return true;
  }
  std::memset(&info, 0, sizeof(info));
  info.dwOSVersionInfoSize = sizeof(info);
  return ::GetVersionExW(reinterpret_cast<::OSVERSIONINFOW*>(&info)) != 0;
}

int name_from_source(ComputerNameSource source, COMPUTER_NAME_FORMAT format, char16_t* buffer, uint32_t* size) {
  std::u16string name;
  if (!source(format, name)) {
    ::SetLastError(ERROR_NOT_FOUND);
    return 0;
  }
  // A name with a NUL in it ends there, as a C caller would read it.
  name.resize(std::char_traits<char16_t>::length(name.c_str()));
  if (name.size() + 1 > UINT32_MAX) {
    ::SetLastError(ERROR_NOT_FOUND);
    return 0;
  }
  const uint32_t need = static_cast<uint32_t>(name.size() + 1);
  if (!buffer || *size < need) {
    *size = need;
    ::SetLastError(platform::ERROR_MORE_DATA);
    return 0;
  }
  std::memcpy(buffer, name.c_str(), need * sizeof(char16_t));
  *size = need - 1;
  return 1;
}

}  // namespace

bool GetVersionInfo(OSVERSIONINFOEXW* info) {
  if (!info) return false;
  ::OSVERSIONINFOEXW real{};
  if (!real_version(real)) return false;
  std::memset(info, 0, sizeof(*info));
  info->dwOSVersionInfoSize = sizeof(*info);
  info->dwMajorVersion = real.dwMajorVersion;
  info->dwMinorVersion = real.dwMinorVersion;
  info->dwBuildNumber = real.dwBuildNumber;
  info->dwPlatformId = real.dwPlatformId;
  static_assert(sizeof(info->szCSDVersion) == sizeof(real.szCSDVersion));
  std::memcpy(info->szCSDVersion, real.szCSDVersion, sizeof(info->szCSDVersion));
  info->szCSDVersion[127] = u'\0';
  info->wServicePackMajor = real.wServicePackMajor;
  info->wServicePackMinor = real.wServicePackMinor;
  info->wSuiteMask = real.wSuiteMask;
  info->wProductType = real.wProductType;
  info->wReserved = real.wReserved;
  return true;
}

void GetNativeSystemInfo(SYSTEM_INFO* info) {
  if (!info) return;
  ::SYSTEM_INFO real{};
  ::GetNativeSystemInfo(&real);
  info->wProcessorArchitecture = real.wProcessorArchitecture;
}

int GetSystemMetrics(int index) { return ::GetSystemMetrics(index); }

int GetProductInfo(uint32_t major, uint32_t minor, uint32_t sp_major, uint32_t sp_minor, uint32_t* product_type) {
  if (!product_type) return 0;
  DWORD type = 0;
  const BOOL ok = ::GetProductInfo(major, minor, sp_major, sp_minor, &type);
  *product_type = type;
  return ok ? 1 : 0;
}

int GetComputerNameExW(COMPUTER_NAME_FORMAT format, char16_t* buffer, uint32_t* size) {
  if (!size) {
    ::SetLastError(platform::ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (ComputerNameSource source = computer_name_source.load()) {
    if (format != ComputerNameDnsHostname && format != ComputerNameDnsFullyQualified) {
      ::SetLastError(platform::ERROR_INVALID_PARAMETER);
      return 0;
    }
    return name_from_source(source, format, buffer, size);
  }
  DWORD chars = *size;
  const BOOL ok = ::GetComputerNameExW(static_cast<::COMPUTER_NAME_FORMAT>(format),
                                       reinterpret_cast<wchar_t*>(buffer), &chars);
  *size = chars;
  return ok ? 1 : 0;
}

void set_computer_name_source(ComputerNameSource source) { computer_name_source.store(source); }

}  // namespace platform
