#include <new>

#include "agent/confstore/config_store.h"

#pragma GCC visibility push(default)
extern "C" IConfig* CreateConfigClassInstance() { return new (std::nothrow) ConfigStore(); }
#pragma GCC visibility pop
