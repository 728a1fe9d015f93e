// The host's identity: OS facts, computer name, network adapters.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "shared_agent/util/host_records.h"
#include "shared_agent/util/result_codes.h"

namespace platform {
struct AdapterSnapshot;
}

namespace zel {

// One adapter as the scan keeps it.
struct NicEntry {
  std::u16string adapter_name;
  std::u16string friendly_name;
  std::u16string ipv4;
  std::u16string ipv6;
  std::u16string mac;
  uint32_t if_index = 0;
  bool up = false;
};

using NicTable = std::map<uint32_t, NicEntry>;

// Scans the adapters (the system's, or a made-up snapshot) into out:
// 0; 0xC1040003 when the adapter query fails; 8 without a work buffer.
HRESULT DumpNetworkInfo(NicTable& out, const platform::AdapterSnapshot* source = nullptr);
bool GetFQDomainName(std::u16string& out);
bool GetComputerNameExW(uint32_t format, std::u16string& out);

}  // namespace zel

int format_mac(const uint8_t* bytes, uint32_t count, std::u16string& out);

// Fills os and host: 0, or 0xC1040003 when the OS version cannot be read.
// The snapshot, when given, replaces the system's adapter list.
HRESULT read_host_identity(os_info* os, host_info* host, const platform::AdapterSnapshot* source = nullptr);
