// A file of one's own beside a file that is to be replaced whole.
#pragma once
#include <cstddef>

namespace platform {

// Creates "<final_name>.<8 random letters or digits>.tmp" in the folder
// dir_fd, 0600, with O_EXCL|O_NOFOLLOW, so nothing already there (a file, a
// link, a hard link) is ever opened; its name goes to name. Returns the
// descriptor, open for writing, or -1 with errno set (ENAMETOOLONG when the
// name does not fit name_size).
int create_temporary_at(int dir_fd, const char* final_name, char* name, size_t name_size);

}  // namespace platform
