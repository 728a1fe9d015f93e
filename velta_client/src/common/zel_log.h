// Logging of the plain-function libraries: gated, formatted, then handed to
// libkit's _log_trace/_log_error.
#pragma once
#include <cstdint>

extern "C" {

// Category gate: a level with none of these bits is dropped at once.
#define ZEL_TRACE_CATEGORIES 0x4000007

// ANDed with libkit's debug level; settings loading narrows it.
extern int64_t zel_trace_mask;

void zel_trace(int32_t level, const char* fmt, ...);
void zel_error(const char* fmt, ...);
}
