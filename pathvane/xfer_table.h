// Loading of the agent's libxferlib.so into the process-wide table of
// transfer functions.
#pragma once
#include "pathvane/pathvane.h"
#include "velta_client/src/common/xfer_functions.h"

// The loaded libxferlib.so, null while unloaded.
extern void* pathvane_curl_module;

// Loads libxferlib.so and fills the table: 0, or -1 when already loaded.
// A missing library or function ends the process.
int dll_curl_load_symbols();
// Unloads the library if it is loaded; the table keeps its entries.
void dll_curl_unload();
