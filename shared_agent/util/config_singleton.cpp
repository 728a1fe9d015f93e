#include "shared_agent/util/config_singleton.h"

#include <mutex>

#include "agent/kit/kit.h"
#include "platform/loader.h"

namespace zel {
namespace {

std::mutex singleton_lock;
IConfig* instance = nullptr;

}  // namespace

IConfig* CConfigSingleton::GetInstance() {
  std::lock_guard<std::mutex> lock(singleton_lock);
  if (instance) return instance;

  platform::Module module = platform::LoadLibraryW(u"confstore.dll");
  if (!module) {
    error("zel::CConfigSingleton::GetInstance: Could not load confstore.dll");
    return nullptr;
  }
  auto create = reinterpret_cast<CreateConfigClassInstanceFn>(
      platform::GetProcAddress(module, "CreateConfigClassInstance"));
  if (!create) {
    error("zel::CConfigSingleton::GetInstance: Could not find CreateConfigClassInstance in confstore.dll");
  } else if (IConfig* config = create(); !config) {
    error("zel::CConfigSingleton::GetInstance: Could not create Config");
  } else {
    config->SetModuleHandle(module);
    if (config->Load(0) == 0) {
      error("zel::CConfigSingleton::GetInstance: failed to load config");
      delete config;
    } else {
      instance = config;
      trace(0x1000, "zel::CConfigSingleton::GetInstance : config: 0x%p", static_cast<void*>(instance));
    }
  }
  if (!instance) platform::FreeLibrary(module);
  return instance;
}

}  // namespace zel
