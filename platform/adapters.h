// The Linux form of GetAdaptersAddresses and GetIpAddrTable.
//
// The system's adapters are read once into a snapshot of plain records
// (getifaddrs: the link entry of an interface gives its hardware address,
// flags and index, each IPv4 entry an address row). The two query functions
// answer from a snapshot with the Windows calling conventions, so the scan
// over them runs the same on the system's list and on a made-up one.
#pragma once
#include "platform/system_names.h"
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

constexpr uint32_t ERROR_SUCCESS = 0;
constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr uint32_t ERROR_GEN_FAILURE = 31;
constexpr uint32_t ERROR_BUFFER_OVERFLOW = 111;
constexpr uint32_t ERROR_NO_DATA = 232;

constexpr uint32_t IF_TYPE_OTHER = 1;
constexpr uint32_t IF_TYPE_ETHERNET_CSMACD = 6;
constexpr uint32_t IF_TYPE_PPP = 23;
constexpr uint32_t IF_TYPE_SOFTWARE_LOOPBACK = 24;

constexpr uint32_t IfOperStatusUp = 1;
constexpr uint32_t IfOperStatusDown = 2;

constexpr uint32_t MAX_ADAPTER_ADDRESS_LENGTH = 8;

// One network interface as the adapter query reports it.
struct AdapterRecord {
  std::string adapter_name;        // AdapterName: narrow
  std::u16string friendly_name;    // FriendlyName: wide
  uint32_t if_index = 0;
  uint32_t if_type = IF_TYPE_OTHER;
  uint32_t oper_status = IfOperStatusDown;
  uint32_t flags = 0;              // the interface's IFF_* flags
  std::vector<uint8_t> physical_address;  // the first MAX_ADAPTER_ADDRESS_LENGTH bytes are reported
};

// One IPv4 address of an interface.
struct IpAddrRow {
  uint32_t addr = 0;  // network byte order, as in_addr.s_addr
  uint32_t mask = 0;  // network byte order
  uint32_t if_index = 0;
};

struct AdapterSnapshot {
  uint32_t adapters_result = ERROR_SUCCESS;  // what GetAdaptersAddresses answers besides the layout
  std::vector<AdapterRecord> adapters;
  uint32_t ip_table_result = ERROR_SUCCESS;  // what GetIpAddrTable answers besides the size
  std::vector<IpAddrRow> rows;
};

// Reads this machine's interfaces.
AdapterSnapshot query_system_adapters();

// The caller's view of one adapter in the buffer GetAdaptersAddresses fills.
struct IP_ADAPTER_ADDRESSES {
  IP_ADAPTER_ADDRESSES* Next;
  uint32_t IfIndex;
  uint32_t IfType;
  uint32_t OperStatus;
  char* AdapterName;
  char16_t* FriendlyName;
  uint8_t PhysicalAddress[MAX_ADAPTER_ADDRESS_LENGTH];
  uint32_t PhysicalAddressLength;
};

// Bytes the adapter list takes in GetAdaptersAddresses' buffer.
size_t adapter_list_bytes(const std::vector<AdapterRecord>& adapters);

// Lays the snapshot's adapters out in buffer as a linked list starting at
// the buffer's first byte. Returns the snapshot's own failure when it has
// one, ERROR_NO_DATA for an empty list, ERROR_BUFFER_OVERFLOW with *size set
// to the need when the list does not fit, else ERROR_SUCCESS. The buffer
// must be aligned as malloc aligns. No address lists are laid out, so the
// Windows family and skip flags have nothing to select.
uint32_t GetAdaptersAddresses(const AdapterSnapshot& snapshot, void* buffer, uint32_t* size);

struct MIB_IPADDRROW {
  uint32_t dwAddr;
  uint32_t dwIndex;
  uint32_t dwMask;
  uint32_t dwBCastAddr;
  uint32_t dwReasmSize;
  uint16_t unused1;
  uint16_t wType;
};

// dwNumEntries rows follow the count; reach them through the table pointer.
struct MIB_IPADDRTABLE {
  uint32_t dwNumEntries;
  MIB_IPADDRROW table[1];
};

// A null table or too small a size answers ERROR_INSUFFICIENT_BUFFER (122)
// with *size set to the need. Rows keep the snapshot's order unless order
// asks for ascending addresses.
uint32_t GetIpAddrTable(const AdapterSnapshot& snapshot, MIB_IPADDRTABLE* table, uint32_t* size,
                        bool order);

// inet_ntoa: an address in network byte order as dotted decimal.
std::string inet_ntoa(uint32_t address);

}  // namespace platform
