#include "tool/proxy_loader.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "agent/kit/kit.h"
#include "platform/loader.h"
#include "shared_agent/util/config_singleton.h"

namespace {

std::atomic<uint32_t> use_count{0};
// Guards the module, its entry points and the discovered record.
std::mutex proxy_lock;
platform::Module module = nullptr;
CreateProxyClassInstanceFn create_finder = nullptr;
ReleaseProxyClassInstanceFn release_finder = nullptr;
// What the last discovery found.
DiscoveredProxy discovered;

}  // namespace

uint32_t ProxyLoader::AddUse() {
  uint32_t count = ++use_count;
  if (count == 1) Init();
  return count;
}

uint32_t ProxyLoader::ReleaseUse() {
  uint32_t count = --use_count;
  if (count == 0) {
    std::lock_guard<std::mutex> lock(proxy_lock);
    create_finder = nullptr;
    release_finder = nullptr;
    if (module) platform::FreeLibrary(module);
    module = nullptr;
  }
  return count;
}

HRESULT ProxyLoader::Init() {
  std::lock_guard<std::mutex> lock(proxy_lock);
  if (create_finder && release_finder) return S_OK;
  if (!module) module = platform::LoadLibraryW(u"proxfind.dll");
  if (module) {
    create_finder =
        reinterpret_cast<CreateProxyClassInstanceFn>(platform::GetProcAddress(module, "CreateProxyClassInstance"));
    release_finder =
        reinterpret_cast<ReleaseProxyClassInstanceFn>(platform::GetProcAddress(module, "ReleaseProxyClassInstance"));
  }
  if (create_finder && release_finder) return S_OK;
  error("ProxyLoader::Init: unable to get proxy function load addresses");
  return E_NOINTERFACE;
}

HRESULT ProxyLoader::ProxyDiscover() {
  IConfig* config = zel::CConfigSingleton::GetInstance();
  if (!config) return E_FAIL;
  CreateProxyClassInstanceFn create;
  ReleaseProxyClassInstanceFn release;
  {
    std::lock_guard<std::mutex> lock(proxy_lock);
    create = create_finder;
    release = release_finder;
  }
  IProxyFinder* finder = create && release ? create() : nullptr;
  if (!finder) return E_FAIL;

  HRESULT result = S_OK;
  std::vector<DiscoveredProxy> list;
  {
    std::lock_guard<std::mutex> lock(proxy_lock);
    if (finder->Discover(config, nullptr, nullptr, 0, nullptr) && finder->GetProxies(&list) && !list.empty()) {
      // Only the first proxy is used.
      discovered = list.front();
    } else {
      discovered.clear();
    }
  }
  trace(0x4000, "ProxyLoader::ProxyDiscover : invoked. return: 0x%x", static_cast<uint32_t>(result));
  release(finder);
  return result;
}

void ProxyLoader::CopyDiscovered(DiscoveredProxy& out) {
  std::lock_guard<std::mutex> lock(proxy_lock);
  out = discovered;
}
