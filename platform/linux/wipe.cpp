#include "platform/wipe.h"

#include <string.h>

namespace platform {

void wipe(void* block, size_t bytes) {
  if (block && bytes) explicit_bzero(block, bytes);
}

}  // namespace platform
