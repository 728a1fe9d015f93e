// Looks at what each block still holds when the process frees it, so that a
// test can tell whether a secret was wiped first. Linking it replaces free()
// for the whole program, so only the tests that watch freed blocks link it.
#pragma once
#include <string_view>

namespace testsupport {

// Counts freed blocks that still hold a secret, in UTF-8 or UTF-16 (an empty
// form is not looked for). Constant initialised: the loader frees blocks
// before any constructor has run. The tests that switch it on run
// single-threaded.
struct FreedSecretWatch {
  bool on = false;
  int holding = 0;
  std::string_view utf8;
  std::u16string_view utf16;

  bool held_by(const void* block) const;
};
extern constinit FreedSecretWatch freed_secret_watch;

// Gives up one unwiped copy of each form, for the watch to see.
void free_unwiped_copies(std::string_view utf8, std::u16string_view utf16);

// Switches the watch on for these forms with its count at 0, after giving up
// one unwiped copy of each given form: returns how many of those it saw.
int watch_freed_secret(std::string_view utf8, std::u16string_view utf16 = {});

}  // namespace testsupport
