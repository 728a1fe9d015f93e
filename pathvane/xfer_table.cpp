#include "pathvane/xfer_table.h"

#include "platform/loader.h"

curl_function_table pathvane_curl = {};
void* pathvane_curl_module = nullptr;
curl_debug_callback curl_debug_function = nullptr;

void dll_curl_unload() {
  if (!pathvane_curl_module) return;
  platform::FreeLibrary(pathvane_curl_module);
  pathvane_curl_module = nullptr;
}
