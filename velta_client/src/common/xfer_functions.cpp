#include "velta_client/src/common/xfer_functions.h"

curl_function_table pathvane_curl = {};
curl_debug_callback curl_debug_function = nullptr;
