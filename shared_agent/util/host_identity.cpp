#include "shared_agent/util/host_identity.h"


#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "agent/kit/kit.h"
#include "platform/adapters.h"
#include "platform/codec.h"
#include "platform/loader.h"
#include "platform/sysinfo.h"
#include "shared_agent/util/text_encoding.h"

namespace {

constexpr int64_t kDiagnosticLevel = 0x1000;
// The adapter list must fit this buffer; a longer list counts as a failed query.
constexpr uint32_t kWorkBufferBytes = 0x10000;
// A positive code: the caller goes on with no adapters.
constexpr HRESULT kNoWorkBuffer = 8;
// What the registration reports as os[product_type]; the management service
// has always been sent 1.
constexpr int32_t kProductType = 1;

using GetProductInfoFn = int (*)(uint32_t major, uint32_t minor, uint32_t sp_major, uint32_t sp_minor,
                                 uint32_t* product_type);

bool is_invalid_handle(platform::Module module) {
  return module == nullptr || module == reinterpret_cast<platform::Module>(~uintptr_t{0});
}

// Stores text in a fixed field only when it fits whole, terminator included.
template <size_t N>
bool store_text(char (&field)[N], const std::string& text) {
  if (text.size() >= N) return false;
  int written = std::snprintf(field, N, "%s", text.c_str());
  return written >= 0 && static_cast<size_t>(written) < N;
}

template <size_t N>
void store_wide(char (&field)[N], const std::u16string& text) {
  std::string utf8;
  if (FAILED(WideToUtf8(text, utf8))) return;
  store_text(field, utf8);
}

uint32_t product_info_type(const platform::OSVERSIONINFOEXW& version) {
  uint32_t result = 0;
  platform::Module kernel32 = platform::LoadLibraryW(u"kernel32.dll");
  if (is_invalid_handle(kernel32)) {
    error(u"failed to load kernel32?");
    return result;
  }
  auto get_product_info =
      reinterpret_cast<GetProductInfoFn>(platform::GetProcAddress(kernel32, "GetProductInfo"));
  if (!get_product_info) {
    trace(kDiagnosticLevel, u"failed to find GetProductInfo, xp-ish.");
  } else {
    uint32_t answer = 0;
    if (get_product_info(version.dwMajorVersion, version.dwMinorVersion, version.wServicePackMajor,
                         version.wServicePackMinor, &answer)) {
      result = answer;
    } else {
      trace(kDiagnosticLevel, u"failed to call GetProductInfo");
    }
  }
  platform::FreeLibrary(kernel32);
  return result;
}

HRESULT read_os_facts(os_info& os) {
  platform::OSVERSIONINFOEXW version{};
  if (Util::GetOsVersionInfo(&version) == 0) {
    error(u"failed to GetOsVersionInfo, aborting");
    error("failed to get OS Info");
    return ZEL_E_CONVERSION;
  }
  platform::SYSTEM_INFO system{};
  platform::GetNativeSystemInfo(&system);

  uint32_t server_r2 = 0;
  if (version.dwMajorVersion == 5 && version.dwMinorVersion == 2) {
    server_r2 = platform::GetSystemMetrics(platform::SM_SERVERR2) != 0 ? 1 : 0;
  }
  uint32_t product_info = product_info_type(version);

  os.product_type = kProductType;
  os.architecture = system.wProcessorArchitecture;
  os.build = version.dwBuildNumber;
  os.major = version.dwMajorVersion;
  os.minor = version.dwMinorVersion;
  os.platform_id = version.dwPlatformId;
  os.os_product_type = version.wProductType;
  os.product_info_type = product_info;
  os.service_pack_major = version.wServicePackMajor;
  os.service_pack_minor = version.wServicePackMinor;
  os.suite_mask = version.wSuiteMask;
  os.sm_server_r2 = server_r2;
  return S_OK;
}

void store_hostname(host_info& host) {
  std::u16string name;
  if (!zel::GetFQDomainName(name)) return;
  std::string utf8;
  if (FAILED(WideToUtf8(name, utf8)) || !store_text(host.hostname, utf8)) {
    error("error setting hostname");
    store_text(host.hostname, "nil");
  }
}

// Up adapters that are not the loopback, under their interface index; a
// later adapter with the same index replaces an earlier one.
void collect_adapters(const platform::IP_ADAPTER_ADDRESSES* first, zel::NicTable& table) {
  for (const auto* adapter = first; adapter; adapter = adapter->Next) {
    if (adapter->IfType == platform::IF_TYPE_SOFTWARE_LOOPBACK) continue;
    if (adapter->OperStatus != platform::IfOperStatusUp) continue;
    zel::NicEntry entry;
    if (adapter->AdapterName && FAILED(Utf8ToWide(adapter->AdapterName, entry.adapter_name))) {
      entry.adapter_name.clear();
    }
    if (adapter->FriendlyName) entry.friendly_name = adapter->FriendlyName;
    entry.up = true;
    entry.if_index = adapter->IfIndex;
    uint32_t length = std::min<uint32_t>(adapter->PhysicalAddressLength, sizeof(adapter->PhysicalAddress));
    if (length != 0) format_mac(adapter->PhysicalAddress, length, entry.mac);
    table[adapter->IfIndex] = std::move(entry);
  }
}

// The last address row of an interface wins.
void add_ipv4_addresses(const platform::AdapterSnapshot& snapshot, zel::NicTable& table) {
  uint32_t size = 0;
  if (platform::GetIpAddrTable(snapshot, nullptr, &size, false) != platform::ERROR_INSUFFICIENT_BUFFER) return;
  auto* addresses = static_cast<platform::MIB_IPADDRTABLE*>(std::malloc(size));
  if (!addresses) return;
  if (platform::GetIpAddrTable(snapshot, addresses, &size, false) == platform::ERROR_SUCCESS) {
    const platform::MIB_IPADDRROW* rows = addresses->table;
    for (uint32_t i = 0; i < addresses->dwNumEntries; ++i) {
      auto found = table.find(rows[i].dwIndex);
      if (found == table.end()) continue;
      const std::string text = platform::inet_ntoa(rows[i].dwAddr);
      if (text.empty()) continue;
      std::u16string wide;
      if (SUCCEEDED(Utf8ToWide(text, wide))) found->second.ipv4 = std::move(wide);
    }
  }
  std::free(addresses);
}

bool worth_reporting(const zel::NicEntry& entry) {
  if (entry.ipv4 == u"127.0.0.1") return false;
  if (entry.mac.empty()) return false;
  return !entry.ipv4.empty() || !entry.ipv6.empty();
}

void fill_nics(const zel::NicTable& table, host_info& host) {
  uint16_t count = 0;
  for (const auto& [index, entry] : table) {
    if (count == kMaxNics) break;
    nic_info& nic = host.nics[count];
    nic = nic_info{};
    store_wide(nic.adapter_name, entry.adapter_name);
    store_wide(nic.friendly_name, entry.friendly_name);
    store_wide(nic.mac, entry.mac);
    store_wide(nic.ip, entry.ipv4);
    store_wide(nic.ipv6, entry.ipv6);
    nic.is_up = entry.up ? 1 : 0;
    ++count;
  }
  host.nic_count = count;
}

}  // namespace

namespace zel {

bool GetComputerNameExW(uint32_t format, std::u16string& out) {
  out = u"UNKNOWN";
  auto name_format = static_cast<platform::COMPUTER_NAME_FORMAT>(format);
  uint32_t size = 0;
  if (platform::GetComputerNameExW(name_format, nullptr, &size)) {
    error("zel::GetComputerNameExW: Suspicious: GetComputerNameEx() returned TRUE with NULL buffer");
  } else if (platform::GetLastError() != platform::ERROR_MORE_DATA) {
    error("zel::GetComputerNameExW: GetComputerNameEx ( %u ) last error not ERROR_MORE_DATA", format);
    return false;
  }
  if (size == 0) {
    error("zel::GetComputerNameExW: Invalid buffer size for GetComputerNameEx( %u )", format);
    return false;
  }
  bool overflow = false;
  size_t bytes = Util::SafeMul(size, sizeof(char16_t), &overflow);
  if (overflow) {
    error("zel::GetComputerNameExW: Multiplication overflow");
    return false;
  }
  auto* buffer = static_cast<char16_t*>(Util::SafeCalloc(bytes));
  if (!buffer) {
    error("zel::GetComputerNameExW: Couldn't allocate memory for tszFqName");
    return false;
  }
  const uint32_t capacity = size;
  bool found = false;
  if (platform::GetComputerNameExW(name_format, buffer, &size)) {
    char16_t* end = std::find(buffer, buffer + capacity, u'\0');
    out.assign(buffer, end);
    found = true;
  } else {
    error("zel::GetComputerNameExW: GetComputerNameEx(%u, ...) failed", format);
  }
  Util::FreeMem(buffer);
  return found;
}

bool GetFQDomainName(std::u16string& out) {
  for (uint32_t format : {platform::ComputerNameDnsFullyQualified, platform::ComputerNameDnsHostname}) {
    if (GetComputerNameExW(format, out)) return true;
  }
  error("zel::GetFQDomainName: Could not determine computer name");
  return false;
}

HRESULT DumpNetworkInfo(NicTable& out, const platform::AdapterSnapshot* source) {
  trace(kDiagnosticLevel, "zel::DumpNetworkInfo: entering");
  void* work = std::malloc(kWorkBufferBytes);
  if (!work) {
    error("zel::DumpNetworkInfo not enough memory");
    return kNoWorkBuffer;
  }
  out.clear();

  platform::AdapterSnapshot system;
  if (!source) {
    system = platform::query_system_adapters();
    source = &system;
  }

  HRESULT hr = S_OK;
  uint32_t size = kWorkBufferBytes;
  if (platform::GetAdaptersAddresses(*source, work, &size) != platform::ERROR_SUCCESS) {
    hr = ZEL_E_CONVERSION;
  } else {
    NicTable adapters;
    collect_adapters(static_cast<const platform::IP_ADAPTER_ADDRESSES*>(work), adapters);
    add_ipv4_addresses(*source, adapters);
    for (const auto& [index, entry] : adapters) {
      if (worth_reporting(entry)) out.emplace(index, entry);
    }
  }

  std::free(work);
  trace(kDiagnosticLevel, "zel::DumpNetworkInfo: exit.");
  return hr;
}

}  // namespace zel

int format_mac(const uint8_t* bytes, uint32_t count, std::u16string& out) {
  out.clear();
  for (uint32_t i = 0; bytes && i < count; ++i) {
    char pair[3];
    std::snprintf(pair, sizeof(pair), "%02x", static_cast<unsigned>(bytes[i]));
    if (i != 0) out.push_back(u':');
    out.push_back(static_cast<char16_t>(pair[0]));
    out.push_back(static_cast<char16_t>(pair[1]));
  }
  return 0;
}

HRESULT read_host_identity(os_info* os, host_info* host, const platform::AdapterSnapshot* source) {
  if (!os || !host) return ZEL_E_NULL_ARGUMENT;
  HRESULT hr = read_os_facts(*os);
  if (FAILED(hr)) return hr;

  store_hostname(*host);

  zel::NicTable table;
  hr = zel::DumpNetworkInfo(table, source);
  if (SUCCEEDED(hr) && !table.empty()) fill_nics(table, *host);
  return S_OK;
}
