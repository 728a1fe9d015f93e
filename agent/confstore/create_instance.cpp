#include <new>

#include "agent/confstore/config_store.h"
#include "platform/openssl_init.h"

#ifdef _WIN32
#define CONFSTORE_EXPORT __declspec(dllexport)
#else
#define CONFSTORE_EXPORT
#endif

#pragma GCC visibility push(default)
extern "C" CONFSTORE_EXPORT IConfig* CreateConfigClassInstance() {
  platform::openssl_start();
  return new (std::nothrow) ConfigStore();
}
#pragma GCC visibility pop
