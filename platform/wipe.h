// Overwriting secrets in a way the compiler keeps.
#pragma once
#include <cstddef>

namespace platform {

void wipe(void* block, size_t bytes);

}  // namespace platform
