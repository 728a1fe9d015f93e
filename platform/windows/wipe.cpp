#include "platform/wipe.h"

#include <windows.h>

namespace platform {

void wipe(void* block, size_t bytes) {
  if (block && bytes) ::SecureZeroMemory(block, bytes);
}

}  // namespace platform
