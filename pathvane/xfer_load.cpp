#if defined(__SANITIZE_ADDRESS__)
#include <dlfcn.h>
#endif

#include <cstdlib>

#include "pathvane/xfer_table.h"
#include "platform/loader.h"
#include "velta_client/src/common/zel_log.h"

namespace {

template <typename F>
bool resolve(void* module, const char* name, F& entry) {
  void* symbol = platform::GetProcAddress(module, name);
  if (!symbol) {
    zel_error("dll_curl_load_symbols(): failed to find function %s", name);
    return false;
  }
  entry = reinterpret_cast<F>(symbol);
  return true;
}

// LeakSanitizer's exit scan crashes on the stale thread-local slots that
// unloading libcurl's dependencies leaves behind; sanitizer builds keep the
// library mapped after FreeLibrary. Ordinary builds unload it.
void keep_mapped_under_sanitizer([[maybe_unused]] void* symbol) {
#if defined(__SANITIZE_ADDRESS__)
  Dl_info info;
  if (symbol && dladdr(symbol, &info) && info.dli_fname) {
    if (void* again = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE)) dlclose(again);
  }
#endif
}

}  // namespace

int dll_curl_load_symbols() {
  if (pathvane_curl_module) return -1;
  void* module = platform::LoadLibraryW(u"xferlib.dll");
  if (!module) {
    zel_error("dll_curl_load_symbols(): failed to load curl library");
    std::abort();
  }
  pathvane_curl_module = module;
  curl_function_table& t = pathvane_curl;
  // Table order; the first missing function ends the process.
  bool ok = resolve(module, "curl_easy_cleanup", t.curl_easy_cleanup) &&
            resolve(module, "curl_easy_init", t.curl_easy_init) &&
            resolve(module, "curl_easy_perform", t.curl_easy_perform) &&
            resolve(module, "curl_easy_send", t.curl_easy_send) &&
            resolve(module, "curl_easy_setopt", t.curl_easy_setopt) &&
            resolve(module, "curl_easy_strerror", t.curl_easy_strerror) &&
            resolve(module, "curl_easy_escape", t.curl_easy_escape) &&
            resolve(module, "curl_easy_unescape", t.curl_easy_unescape) &&
            resolve(module, "curl_escape", t.curl_escape) && resolve(module, "curl_unescape", t.curl_unescape) &&
            resolve(module, "curl_formadd", t.curl_formadd) && resolve(module, "curl_formfree", t.curl_formfree) &&
            resolve(module, "curl_free", t.curl_free) && resolve(module, "curl_slist_append", t.curl_slist_append) &&
            resolve(module, "curl_slist_free_all", t.curl_slist_free_all) &&
            resolve(module, "curl_easy_getinfo", t.curl_easy_getinfo);
  if (!ok) std::abort();
  // Only the transfer facts use it; a library without it gives no Date.
  t.curl_easy_header = reinterpret_cast<decltype(t.curl_easy_header)>(platform::GetProcAddress(module, "curl_easy_header"));
  keep_mapped_under_sanitizer(reinterpret_cast<void*>(t.curl_easy_init));
  return 0;
}
