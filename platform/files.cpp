#include "platform/files.h"

namespace platform {

std::string join_path(const std::string& folder, const std::string& name) {
  return folder + static_cast<char>(kPathSeparator[0]) + name;
}

}  // namespace platform
