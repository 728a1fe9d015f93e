// The host's identity as the registration exchange reports it.
#pragma once
#include <cstdint>

struct os_info {
  int32_t product_type;
  uint32_t architecture;
  uint32_t build;
  uint32_t major;
  uint32_t minor;
  uint32_t platform_id;
  uint32_t os_product_type;
  uint32_t product_info_type;
  uint32_t service_pack_major;
  uint32_t service_pack_minor;
  uint32_t suite_mask;
  uint32_t sm_server_r2;
};

struct nic_info {
  char adapter_name[56];
  char friendly_name[56];
  char mac[19];
  char ip[22];
  char ipv6[65];
  uint8_t is_up;
};

constexpr int kMaxNics = 3;

struct host_info {
  char hostname[256];
  nic_info nics[kMaxNics];
  uint16_t nic_count;
};
