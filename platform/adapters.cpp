#include "platform/adapters.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>

#include "platform/codec.h"

namespace platform {
namespace {

// An address's bytes as stored, first byte most significant.
uint32_t host_order(uint32_t network) {
  unsigned char bytes[4];
  std::memcpy(bytes, &network, sizeof(bytes));
  return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
         static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}


constexpr size_t align_up(size_t n, size_t alignment) { return (n + alignment - 1) / alignment * alignment; }

// One adapter's block: its record, then its narrow name, then its wide name.
size_t block_bytes(const AdapterRecord& record) {
  size_t n = sizeof(IP_ADAPTER_ADDRESSES) + record.adapter_name.size() + 1;
  n = align_up(n, alignof(char16_t)) + (record.friendly_name.size() + 1) * sizeof(char16_t);
  return align_up(n, alignof(IP_ADAPTER_ADDRESSES));
}

size_t ip_table_bytes(size_t rows) {
  return std::max(sizeof(MIB_IPADDRTABLE), offsetof(MIB_IPADDRTABLE, table) + rows * sizeof(MIB_IPADDRROW));
}

}  // namespace

size_t adapter_list_bytes(const std::vector<AdapterRecord>& adapters) {
  size_t total = 0;
  for (const auto& record : adapters) total += block_bytes(record);
  return total;
}

uint32_t GetAdaptersAddresses(const AdapterSnapshot& snapshot, void* buffer, uint32_t* size) {
  if (!size) return ERROR_INVALID_PARAMETER;
  if (snapshot.adapters_result != ERROR_SUCCESS) return snapshot.adapters_result;
  if (snapshot.adapters.empty()) return ERROR_NO_DATA;
  size_t need = adapter_list_bytes(snapshot.adapters);
  if (!buffer || need > *size) {
    *size = static_cast<uint32_t>(std::min<size_t>(need, std::numeric_limits<uint32_t>::max()));
    return ERROR_BUFFER_OVERFLOW;
  }
  auto* base = static_cast<unsigned char*>(buffer);
  size_t offset = 0;
  IP_ADAPTER_ADDRESSES* previous = nullptr;
  for (const auto& record : snapshot.adapters) {
    auto* adapter = new (base + offset) IP_ADAPTER_ADDRESSES{};
    unsigned char* text = base + offset + sizeof(IP_ADAPTER_ADDRESSES);
    adapter->AdapterName = reinterpret_cast<char*>(text);
    std::memcpy(text, record.adapter_name.c_str(), record.adapter_name.size() + 1);
    size_t wide_at = align_up(offset + sizeof(IP_ADAPTER_ADDRESSES) + record.adapter_name.size() + 1,
                              alignof(char16_t));
    adapter->FriendlyName = reinterpret_cast<char16_t*>(base + wide_at);
    std::memcpy(base + wide_at, record.friendly_name.c_str(),
                (record.friendly_name.size() + 1) * sizeof(char16_t));
    adapter->IfIndex = record.if_index;
    adapter->IfType = record.if_type;
    adapter->OperStatus = record.oper_status;
    size_t length = std::min<size_t>(record.physical_address.size(), MAX_ADAPTER_ADDRESS_LENGTH);
    std::copy_n(record.physical_address.begin(), length, adapter->PhysicalAddress);
    adapter->PhysicalAddressLength = static_cast<uint32_t>(length);
    if (previous) previous->Next = adapter;
    previous = adapter;
    offset += block_bytes(record);
  }
  return ERROR_SUCCESS;
}

uint32_t GetIpAddrTable(const AdapterSnapshot& snapshot, MIB_IPADDRTABLE* table, uint32_t* size,
                        bool order) {
  if (!size) return ERROR_INVALID_PARAMETER;
  if (snapshot.ip_table_result != ERROR_SUCCESS) return snapshot.ip_table_result;
  size_t need = ip_table_bytes(snapshot.rows.size());
  if (!table || need > *size) {
    *size = static_cast<uint32_t>(std::min<size_t>(need, std::numeric_limits<uint32_t>::max()));
    return ERROR_INSUFFICIENT_BUFFER;
  }
  table->dwNumEntries = static_cast<uint32_t>(snapshot.rows.size());
  MIB_IPADDRROW* rows = table->table;
  for (size_t i = 0; i < snapshot.rows.size(); ++i) {
    const IpAddrRow& source = snapshot.rows[i];
    MIB_IPADDRROW row{};
    row.dwAddr = source.addr;
    row.dwIndex = source.if_index;
    row.dwMask = source.mask;
    row.dwBCastAddr = (source.addr & source.mask) | ~source.mask;
    row.dwReasmSize = 0xFFFF;
    row.wType = 1;  // MIB_IPADDR_PRIMARY
    std::memcpy(&rows[i], &row, sizeof(row));
  }
  if (order) {
    std::sort(rows, rows + table->dwNumEntries, [](const MIB_IPADDRROW& a, const MIB_IPADDRROW& b) {
      return host_order(a.dwAddr) < host_order(b.dwAddr);
    });
  }
  return ERROR_SUCCESS;
}

}  // namespace platform
