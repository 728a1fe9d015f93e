#include "platform/console.h"

namespace platform {

size_t columns_of(const std::string& text) {
  size_t columns = 0;
  for (unsigned char byte : text) columns += (byte & 0xC0) != 0x80;
  return columns;
}

}  // namespace platform
