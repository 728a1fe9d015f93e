#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netpacket/packet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/adapters.h"
#include "platform/codec.h"

namespace platform {
namespace {

std::u16string widen(const char* text) {
  // Interface names are bytes; a stray invalid one becomes U+FFFD rather
  // than losing the adapter.
  int units = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  if (units <= 1) return {};
  std::u16string out(static_cast<size_t>(units), u'\0');
  if (MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), units) != units) return {};
  out.resize(static_cast<size_t>(units - 1));
  return out;
}

uint32_t interface_type(unsigned int flags, unsigned short hatype) {
  if (flags & IFF_LOOPBACK) return IF_TYPE_SOFTWARE_LOOPBACK;
  switch (hatype) {
    case ARPHRD_ETHER:
      return IF_TYPE_ETHERNET_CSMACD;
    case ARPHRD_PPP:
      return IF_TYPE_PPP;
    default:
      return IF_TYPE_OTHER;
  }
}

AdapterRecord link_record(const ifaddrs& entry) {
  sockaddr_ll link;
  std::memcpy(&link, entry.ifa_addr, sizeof(link));
  AdapterRecord record;
  record.adapter_name = entry.ifa_name;
  record.friendly_name = widen(entry.ifa_name);
  record.if_index = static_cast<uint32_t>(link.sll_ifindex);
  record.flags = entry.ifa_flags;
  record.if_type = interface_type(entry.ifa_flags, link.sll_hatype);
  constexpr unsigned int kUp = IFF_UP | IFF_RUNNING;
  record.oper_status = (entry.ifa_flags & kUp) == kUp ? IfOperStatusUp : IfOperStatusDown;
  size_t length = std::min<size_t>(link.sll_halen, sizeof(link.sll_addr));
  record.physical_address.assign(link.sll_addr, link.sll_addr + length);
  return record;
}

// An address label such as "eth0:1" belongs to the interface "eth0".
uint32_t index_of_label(const char* label) {
  std::string name = label;
  size_t colon = name.find(':');
  if (colon != std::string::npos) name.resize(colon);
  return if_nametoindex(name.c_str());
}

}  // namespace

AdapterSnapshot query_system_adapters() {
  AdapterSnapshot snapshot;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    uint32_t code = errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : ERROR_GEN_FAILURE;
    snapshot.adapters_result = code;
    snapshot.ip_table_result = code;
    return snapshot;
  }
  for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr || !entry->ifa_name) continue;
    if (entry->ifa_addr->sa_family == AF_PACKET) {
      snapshot.adapters.push_back(link_record(*entry));
    } else if (entry->ifa_addr->sa_family == AF_INET) {
      IpAddrRow row;
      row.if_index = index_of_label(entry->ifa_name);
      if (row.if_index == 0) continue;
      sockaddr_in address;
      std::memcpy(&address, entry->ifa_addr, sizeof(address));
      row.addr = address.sin_addr.s_addr;
      if (entry->ifa_netmask) {
        sockaddr_in mask;
        std::memcpy(&mask, entry->ifa_netmask, sizeof(mask));
        row.mask = mask.sin_addr.s_addr;
      }
      snapshot.rows.push_back(row);
    }
  }
  freeifaddrs(list);
  return snapshot;
}

std::string inet_ntoa(uint32_t address) {
  in_addr in{};
  in.s_addr = address;
  char text[INET_ADDRSTRLEN] = {};
  return ::inet_ntop(AF_INET, &in, text, sizeof(text)) ? std::string(text) : std::string();
}

}  // namespace platform
