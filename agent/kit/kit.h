// libkit: the agent's logging and utility library, as the tool calls it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/sysinfo.h"

// Logging. A trace is emitted when its level shares a bit with the debug
// level; an error always is. Level bit 0x80000000 marks a run report line,
// which goes to standard output. Each message is one line: its text goes
// through platform::escape_line, so what it carries can neither end the line
// nor start another. Every line also goes to the trace
// log that trace_open opens (<tool's directory>/log/pathvane.log, or
// pathvane.<pid>.log while a run still going holds that one; each line
// behind a UTC time stamp); errors go to standard error with a prefix, and
// other traces only with trace_set_verbose or while there is no log.
// trace_close ends standard error with the log's path.
int trace_open(int target);
void trace_set_verbose(bool verbose);
// Test seam: the folder trace_open puts the log in; null or "" restores it.
void trace_set_log_directory(const char* directory);
// A status line on standard error that rewrites itself in place, only when
// standard error is a terminal; erased (null or "") before any other line.
bool trace_progress_wanted();
void trace_progress(const char* text);
// "[hint] " + text, on standard error and in the log, whatever the level.
void trace_hint(const char* fmt, ...);
// The error lines since trace_open (at most 200, each cut to 1 KB), and the
// open log's path ("" when there is none), for the results file.
std::vector<std::string> trace_error_lines();
std::string trace_log_path();
// While another run holds log/pathvane.log, a run writes pathvane.<pid>.log
// and keeps its own results document beside it under this name
// ("pathvane-results.<pid>.json"); "" when the run has the usual log.
std::string trace_own_results_name();
void setDebugLevel(int64_t level);
int64_t getDebugLevel();
void trace(int64_t level, const char* fmt, ...);
void trace(int64_t level, const char16_t* fmt, ...);
void error(const char* fmt, ...);
void error(const char16_t* fmt, ...);
void _log_trace(const char* text);
void _log_error(uint32_t code, const char* text, const char* extra);
int trace_close();

class IPasswordUtil;

class Util {
 public:
  // Fills the whole record; non-zero on success.
  static int GetOsVersionInfo(platform::OSVERSIONINFOEXW* info);
  // a * b; *overflow is set (never cleared) when the product does not fit.
  static size_t SafeMul(size_t a, size_t b, bool* overflow);
  static void* SafeCalloc(size_t bytes);
  static void FreeMem(void* block);
  // Allocating formatters (release with FreeMem); negative on failure.
  static int asprintf(char** out, const char* fmt, ...);
  static int aswprintf(char16_t** out, const char16_t* fmt, ...);
  // New UTF-16 copy of a UTF-8 text, or null.
  static char16_t* ConvertStringToWCHAR(const char* text);
  // Overwrite a NUL-terminated text in place.
  static void ClearString(char* text);
  static void ClearStringW(char16_t* text);
  static int RtlSecureZeroMemory(void* block, size_t bytes, size_t unused);
  static IPasswordUtil* CreatePClassInstance();
  static void ReleasePClassInstance(IPasswordUtil* instance);
};
