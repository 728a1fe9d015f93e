// The live status line of the running check on a terminal: its name and
// number, the seconds against its time-out, the bytes moved. Nothing is set
// on a handle when standard error is not a terminal.
#pragma once
#include <curl/curl.h>

// The runner's check: name (kept by pointer), its number among total.
void xfer_progress_begin(const char* name, unsigned number, unsigned total);
// The check ended: the line is erased and no transfer shows one.
void xfer_progress_end();
// Before each perform: the progress callback and its data for this transfer.
void xfer_progress_attach(CURL* curl);
// The line's text (exposed for its tests).
void xfer_progress_format(char* line, size_t size, const char* name, unsigned number, unsigned total,
                          long elapsed_seconds, long timeout_seconds, curl_off_t sent, curl_off_t received);
