// Safe DLL search before the first lazily bound library loads: the
// system's search mode that skips the working directory, for good, and
// the default search order (no folder added by SetDllDirectoryW).
#include <windows.h>
// delayimp.h needs windows.h first.
#include <delayimp.h>

namespace {

constexpr DWORD kSafeSearchPermanent = 0x8001;  // BASE_SEARCH_PATH_ENABLE_SAFE_SEARCHMODE | BASE_SEARCH_PATH_PERMANENT

bool search_made_safe = false;

FARPROC WINAPI before_lazy_load(unsigned notification, PDelayLoadInfo /*info*/) {
  if (notification == dliStartProcessing && !search_made_safe) {
    search_made_safe = true;
    ::SetSearchPathMode(kSafeSearchPermanent);
    ::SetDllDirectoryW(nullptr);
  }
  return nullptr;
}

}  // namespace

// The delay-load helper of the runtime calls this hook before each lazy load.
PfnDliHook __pfnDliNotifyHook2 = before_lazy_load;
