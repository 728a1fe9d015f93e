#include "pathvane/xfer_table.h"

#include "platform/loader.h"

void* pathvane_curl_module = nullptr;

void dll_curl_unload() {
  if (!pathvane_curl_module) return;
  platform::FreeLibrary(pathvane_curl_module);
  pathvane_curl_module = nullptr;
}
