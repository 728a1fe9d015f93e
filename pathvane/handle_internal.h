// Declarations shared by the check library's own files.
#pragma once
#include "pathvane/pathvane.h"

// Frees (and wipes the credentials of) one proxy description; marks it "no proxy".
void _free_proxy_info(proxy_info* proxy);
