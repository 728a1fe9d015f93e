// The Linux form of the Windows system facts the tool reads: OS version,
// native system information, product info, system metrics, computer name.
#pragma once
#include "platform/system_names.h"
#include <cstdint>
#include <string>

namespace platform {

struct OSVERSIONINFOEXW {
  uint32_t dwOSVersionInfoSize;
  uint32_t dwMajorVersion;
  uint32_t dwMinorVersion;
  uint32_t dwBuildNumber;
  uint32_t dwPlatformId;
  char16_t szCSDVersion[128];
  uint16_t wServicePackMajor;
  uint16_t wServicePackMinor;
  uint16_t wSuiteMask;
  uint8_t wProductType;
  uint8_t wReserved;
};

struct SYSTEM_INFO {
  uint16_t wProcessorArchitecture;
};

constexpr uint32_t ERROR_MORE_DATA = 234;
constexpr int SM_SERVERR2 = 89;

enum COMPUTER_NAME_FORMAT : uint32_t {
  ComputerNameNetBIOS = 0,
  ComputerNameDnsHostname = 1,
  ComputerNameDnsDomain = 2,
  ComputerNameDnsFullyQualified = 3,
};

// uname(): "6.1.0-18-amd64" gives 6, 1, build 0; platform id 2; no service pack.
bool GetVersionInfo(OSVERSIONINFOEXW* info);
// Parses a kernel release text into major, minor and build (missing parts 0).
void parse_kernel_release(const char* release, uint32_t& major, uint32_t& minor, uint32_t& build);
// Windows architecture code of a machine name (x86_64 9, aarch64 12, i386/i686 0).
uint16_t architecture_code(const char* machine);
void GetNativeSystemInfo(SYSTEM_INFO* info);
int GetSystemMetrics(int index);
// Succeeds with product type 0 (undefined).
int GetProductInfo(uint32_t major, uint32_t minor, uint32_t sp_major, uint32_t sp_minor,
                   uint32_t* product_type);

// Windows semantics: a null buffer or too small a size fails with
// ERROR_MORE_DATA and *size set to the need, terminator included; success sets
// *size to the length without the terminator. Fully qualified (3) is the host
// name's canonical name from the resolver, or the host name itself when the
// resolver has none; DNS host name (1) is gethostname. Other formats fail
// with ERROR_INVALID_PARAMETER.
int GetComputerNameExW(COMPUTER_NAME_FORMAT format, char16_t* buffer, uint32_t* size);

// Test seam: replaces where GetComputerNameExW takes names from (null restores
// the system). The function returns false when the name is not available.
using ComputerNameSource = bool (*)(COMPUTER_NAME_FORMAT format, std::u16string& name);
void set_computer_name_source(ComputerNameSource source);

}  // namespace platform
