#include <cstdint>

#include "diagnosis/decide.h"

namespace {

struct CheckKeys {
  uint32_t bit;
  const char* keys;
};

const CheckKeys kKeys[] = {
    {0x1, "config/proxy/testurl"},
    {0x4, "config/velta/endpoint/mgmt, config/velta/install/token"},
    {0x100,
     "config/velta/endpoint/policy/affiliate, .../company, .../policy, .../agent, "
     "config/velta/policy/serial_number, config/agent/directory/base"},
    {0x10, "config/agent/submission/retro/upload_server, config/agent/submission/protocol"},
    {0x20, "config/agent/submission/http_upload_server, config/agent/submission/protocol"},
    {0x8, "config/agent/crashdump/url"},
    {0x400, "config/updater/server, config/updater/path"},
    {0x800, "config/velta/endpoint/event"},
    {0x1000, "config/agent/urlscanner/urlreputationserver"},
};

}  // namespace

const char* check_keys(uint32_t bit) {
  for (const auto& k : kKeys) {
    if (k.bit == bit) return k.keys;
  }
  return "its settings";
}
