#include "platform/adapters.h"
#include "platform/codec.h"

// Winsock before <windows.h>, which would otherwise pull in the old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace platform {
namespace {

// The list can grow between the size query and the call; a few rounds settle it.
constexpr int kAttempts = 4;
constexpr ULONG kFirstGuess = 16 * 1024;
// GAA_FLAG_SKIP_UNICAST | _ANYCAST | _MULTICAST | _DNS_SERVER | GAA_FLAG_INCLUDE_PREFIX.
constexpr ULONG kAdapterFlags = 0x1F;

// The IFF_* values the Linux snapshot carries; Windows has no such flags,
// so the few a caller can test are made from the adapter's type and state.
constexpr uint32_t kIffUp = 0x1;
constexpr uint32_t kIffLoopback = 0x8;
constexpr uint32_t kIffRunning = 0x40;

struct FreeDeleter {
  void operator()(void* block) const { std::free(block); }
};
using Buffer = std::unique_ptr<unsigned char, FreeDeleter>;

AdapterRecord record_of(const ::IP_ADAPTER_ADDRESSES& adapter) {
  AdapterRecord record;
  if (adapter.AdapterName) record.adapter_name = adapter.AdapterName;
  if (adapter.FriendlyName) record.friendly_name = reinterpret_cast<const char16_t*>(adapter.FriendlyName);
  record.if_index = adapter.IfIndex;
  record.if_type = adapter.IfType;
  record.oper_status = adapter.OperStatus;
  if (adapter.OperStatus == ::IfOperStatusUp) record.flags |= kIffUp | kIffRunning;
  if (adapter.IfType == IF_TYPE_SOFTWARE_LOOPBACK) record.flags |= kIffLoopback;
  const size_t length = std::min<size_t>(adapter.PhysicalAddressLength, sizeof(adapter.PhysicalAddress));
  record.physical_address.assign(adapter.PhysicalAddress, adapter.PhysicalAddress + length);
  return record;
}

void read_adapters(AdapterSnapshot& snapshot) {
  ULONG size = kFirstGuess;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    Buffer buffer(static_cast<unsigned char*>(std::malloc(size)));
    if (!buffer) {
      snapshot.adapters_result = platform::ERROR_NOT_ENOUGH_MEMORY;
      return;
    }
    auto* list = reinterpret_cast<::IP_ADAPTER_ADDRESSES*>(buffer.get());
    const ULONG result = ::GetAdaptersAddresses(AF_UNSPEC, kAdapterFlags, nullptr, list, &size);
    if (result == platform::ERROR_BUFFER_OVERFLOW) continue;
    snapshot.adapters_result = result;
    if (result != platform::ERROR_SUCCESS) return;
    for (const ::IP_ADAPTER_ADDRESSES* adapter = list; adapter; adapter = adapter->Next) {
      snapshot.adapters.push_back(record_of(*adapter));
    }
    return;
  }
  snapshot.adapters_result = platform::ERROR_BUFFER_OVERFLOW;
}

void read_ip_table(AdapterSnapshot& snapshot) {
  ULONG size = 0;
  DWORD result = ::GetIpAddrTable(nullptr, &size, FALSE);
  for (int attempt = 0; attempt < kAttempts && result == platform::ERROR_INSUFFICIENT_BUFFER; ++attempt) {
    Buffer buffer(static_cast<unsigned char*>(std::malloc(size)));
    if (!buffer) {
      snapshot.ip_table_result = platform::ERROR_NOT_ENOUGH_MEMORY;
      return;
    }
    auto* table = reinterpret_cast<::MIB_IPADDRTABLE*>(buffer.get());
    result = ::GetIpAddrTable(table, &size, FALSE);
    if (result != platform::ERROR_SUCCESS) continue;
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
      IpAddrRow row;
      row.addr = table->table[i].dwAddr;
      row.mask = table->table[i].dwMask;
      row.if_index = table->table[i].dwIndex;
      snapshot.rows.push_back(row);
    }
  }
  snapshot.ip_table_result = result;
}

}  // namespace

AdapterSnapshot query_system_adapters() {
  AdapterSnapshot snapshot;
  read_adapters(snapshot);
  read_ip_table(snapshot);
  return snapshot;
}

std::string inet_ntoa(uint32_t address) {
  in_addr in{};
  in.s_addr = address;
  const char* text = ::inet_ntoa(in);
  if (!text && ::WSAGetLastError() == WSANOTINITIALISED) {
    // Started once for the process and never cleaned up: other code may use
    // Winsock after us.
    static std::once_flag started;
    std::call_once(started, [] {
      WSADATA data{};
      ::WSAStartup(MAKEWORD(2, 2), &data);
    });
    text = ::inet_ntoa(in);
  }
  // The text lives in a per-thread buffer of Winsock's: copied at once.
  return text ? std::string(text) : std::string();
}

}  // namespace platform
