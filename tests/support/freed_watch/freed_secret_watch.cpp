#include "tests/support/freed_watch/freed_secret_watch.h"

#include <malloc.h>
#include <string.h>

#include <cstdlib>
#include <cstring>

// Every block the process frees passes here on its way to the allocator
// (AddressSanitizer's when the build has it, else the C library's). Under
// AddressSanitizer operator delete does not come here, so only the blocks of
// the C allocator are looked at there.
extern "C" void __libc_free(void* block);
extern "C" void __interceptor_free(void* block) __attribute__((weak));

namespace testsupport {

constinit FreedSecretWatch freed_secret_watch;

bool FreedSecretWatch::held_by(const void* block) const {
  const size_t size = malloc_usable_size(const_cast<void*>(block));
  return (!utf8.empty() && memmem(block, size, utf8.data(), utf8.size())) ||
         (!utf16.empty() && memmem(block, size, utf16.data(), utf16.size() * sizeof(char16_t)));
}

__attribute__((noinline)) void free_unwiped_copies(std::string_view utf8, std::u16string_view utf16) {
  if (!utf8.empty()) {
    char* narrow = strndup(utf8.data(), utf8.size());
    std::free(narrow);
  }
  if (!utf16.empty()) {
    auto* wide = static_cast<char16_t*>(std::malloc(utf16.size() * sizeof(char16_t)));
    std::memcpy(wide, utf16.data(), utf16.size() * sizeof(char16_t));
    std::free(wide);
  }
}

int watch_freed_secret(std::string_view utf8, std::u16string_view utf16) {
  freed_secret_watch.utf8 = utf8;
  freed_secret_watch.utf16 = utf16;
  freed_secret_watch.holding = 0;
  freed_secret_watch.on = true;
  free_unwiped_copies(utf8, utf16);
  const int seen = freed_secret_watch.holding;
  freed_secret_watch.holding = 0;
  return seen;
}

}  // namespace testsupport

// Not instrumented: AddressSanitizer frees blocks while it sets itself up,
// before the memory its checks read exists.
extern "C" __attribute__((no_sanitize("address"))) void free(void* block) noexcept {
  using testsupport::freed_secret_watch;
  if (block && freed_secret_watch.on && freed_secret_watch.held_by(block)) ++freed_secret_watch.holding;
  if (__interceptor_free) {
    __interceptor_free(block);
  } else {
    __libc_free(block);
  }
}
