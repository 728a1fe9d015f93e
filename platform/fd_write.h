// Writing a whole buffer to a descriptor.
#pragma once
#include <cstddef>
#include <string_view>

namespace platform {

// Every byte, past short writes and signals; false with errno set (EIO for
// a write that took nothing).
bool write_all(int fd, std::string_view bytes);

}  // namespace platform
