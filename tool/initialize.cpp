#include <cstring>
#include <memory>

#include "agent/kit/kit.h"
#include "shared_agent/util/host_identity.h"
#include "tool/pathvane_wrapper.h"
#include "velta_client/src/common/zel_log.h"

namespace {

constexpr int64_t kDebugLevel = 0x7FFFFFF000LL;

}  // namespace

HRESULT PathvaneWrapper::Initialize(bool /*bypass*/, bool /*discover*/, bool /*verbose*/,
                                    const char* /*cmdline*/, uint32_t /*policy_serial*/) {
  auto settings = std::make_unique<pathvane_settings>();
  std::memset(settings.get(), 0, sizeof(*settings));

  trace_open(0);
  setDebugLevel(kDebugLevel);
  zel_trace_mask = kDebugLevel;

  settings->proxy.proxy_type = PATHVANE_NO_PROXY;

  HRESULT hr = read_host_identity(settings.get());
  if (FAILED(hr)) {
    error("Failed to load OS info");
    return hr;
  }

  // The agent's configuration store is not readable by this build yet.
  error("PathvaneWrapper::Initialize: the agent configuration store is not available");
  return ZEL_E_CONFIG_MISSING;
}
