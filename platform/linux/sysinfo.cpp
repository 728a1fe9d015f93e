#include "platform/sysinfo.h"

#include <netdb.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>

#include "platform/codec.h"

namespace platform {
namespace {

constexpr uint32_t VER_PLATFORM_WIN32_NT = 2;
constexpr uint8_t VER_NT_WORKSTATION = 1;
constexpr uint16_t PROCESSOR_ARCHITECTURE_INTEL = 0;
constexpr uint16_t PROCESSOR_ARCHITECTURE_AMD64 = 9;
constexpr uint16_t PROCESSOR_ARCHITECTURE_ARM64 = 12;
constexpr uint16_t PROCESSOR_ARCHITECTURE_UNKNOWN = 0xFFFF;
constexpr uint32_t ERROR_NOT_FOUND = 1168;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::u16string widen(const std::string& text) {
  int units = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  if (units <= 1) return {};
  std::u16string out(static_cast<size_t>(units), u'\0');
  if (MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), units) != units) return {};
  out.resize(static_cast<size_t>(units - 1));
  return out;
}

bool system_computer_name(COMPUTER_NAME_FORMAT format, std::u16string& name) {
  char host[HOST_NAME_MAX + 1] = {};
  if (gethostname(host, sizeof(host) - 1) != 0 || host[0] == '\0') return false;
  std::string chosen = host;
  if (format == ComputerNameDnsFullyQualified) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* found = nullptr;
    // A host the resolver does not know is still named by its host name.
    if (getaddrinfo(host, nullptr, &hints, &found) == 0) {
      if (found && found->ai_canonname && found->ai_canonname[0] != '\0') chosen = found->ai_canonname;
      freeaddrinfo(found);
    }
  }
  name = widen(chosen);
  return !name.empty();
}

std::atomic<ComputerNameSource> computer_name_source{nullptr};

}  // namespace

void parse_kernel_release(const char* release, uint32_t& major, uint32_t& minor, uint32_t& build) {
  uint32_t* parts[] = {&major, &minor, &build};
  for (uint32_t* part : parts) *part = 0;
  if (!release) return;
  const char* at = release;
  for (uint32_t* part : parts) {
    if (!is_digit(*at)) return;
    uint64_t value = 0;
    // A number too large for the field saturates rather than wrapping.
    for (; is_digit(*at); ++at) {
      value = std::min<uint64_t>(value * 10 + static_cast<uint64_t>(*at - '0'), UINT32_MAX);
    }
    *part = static_cast<uint32_t>(value);
    if (*at != '.') return;
    ++at;
  }
}

uint16_t architecture_code(const char* machine) {
  if (!machine) return PROCESSOR_ARCHITECTURE_UNKNOWN;
  if (std::strcmp(machine, "x86_64") == 0) return PROCESSOR_ARCHITECTURE_AMD64;
  if (std::strcmp(machine, "aarch64") == 0) return PROCESSOR_ARCHITECTURE_ARM64;
  if (std::strlen(machine) == 4 && machine[0] == 'i' && machine[1] >= '3' && machine[1] <= '6' &&
      std::strcmp(machine + 2, "86") == 0) {
    return PROCESSOR_ARCHITECTURE_INTEL;
  }
  return PROCESSOR_ARCHITECTURE_UNKNOWN;
}

bool GetVersionInfo(OSVERSIONINFOEXW* info) {
  if (!info) return false;
  utsname name;
  if (uname(&name) != 0) return false;
  std::memset(info, 0, sizeof(*info));
  info->dwOSVersionInfoSize = sizeof(*info);
  parse_kernel_release(name.release, info->dwMajorVersion, info->dwMinorVersion, info->dwBuildNumber);
  info->dwPlatformId = VER_PLATFORM_WIN32_NT;
  info->wProductType = VER_NT_WORKSTATION;
  return true;
}

void GetNativeSystemInfo(SYSTEM_INFO* info) {
  if (!info) return;
  utsname name;
  info->wProcessorArchitecture =
      uname(&name) == 0 ? architecture_code(name.machine) : PROCESSOR_ARCHITECTURE_UNKNOWN;
}

int GetSystemMetrics(int /*index*/) { return 0; }

int GetProductInfo(uint32_t /*major*/, uint32_t /*minor*/, uint32_t /*sp_major*/, uint32_t /*sp_minor*/,
                   uint32_t* product_type) {
  if (!product_type) return 0;
  *product_type = 0;  // PRODUCT_UNDEFINED
  return 1;
}

int GetComputerNameExW(COMPUTER_NAME_FORMAT format, char16_t* buffer, uint32_t* size) {
  if (!size || (format != ComputerNameDnsHostname && format != ComputerNameDnsFullyQualified)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::u16string name;
  ComputerNameSource source = computer_name_source.load();
  if (!(source ? source(format, name) : system_computer_name(format, name))) {
    SetLastError(ERROR_NOT_FOUND);
    return 0;
  }
  // A name with a NUL in it ends there, as a C caller would read it.
  name.resize(std::char_traits<char16_t>::length(name.c_str()));
  if (name.size() + 1 > UINT32_MAX) {
    SetLastError(ERROR_NOT_FOUND);
    return 0;
  }
  uint32_t need = static_cast<uint32_t>(name.size() + 1);
  if (!buffer || *size < need) {
    *size = need;
    SetLastError(ERROR_MORE_DATA);
    return 0;
  }
  std::memcpy(buffer, name.c_str(), need * sizeof(char16_t));
  *size = need - 1;
  return 1;
}

void set_computer_name_source(ComputerNameSource source) { computer_name_source.store(source); }

}  // namespace platform
