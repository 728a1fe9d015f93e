// The process's one configuration object, created by libconfstore.so.
#pragma once
#include "agent/confstore/iconfig.h"

namespace zel {

class CConfigSingleton {
 public:
  // The object, or null when libconfstore.so, its export or its data cannot
  // be had. A failure is not remembered: the next call tries again. Once an
  // object exists it stays, with the library, until the process ends.
  static IConfig* GetInstance();
};

}  // namespace zel
