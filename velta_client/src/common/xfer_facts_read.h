// After each perform: what libcurl knows of the finished transfer goes into
// the record xfer_facts_before made, and one "[timing]" trace line.
#pragma once
#include <curl/curl.h>

void xfer_facts_after(CURL* curl, CURLcode code);
