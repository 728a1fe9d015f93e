#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "agent/kit/kit.h"
#include "agent/kit/log_folder.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/line_escape.h"
#include "platform/loader.h"

namespace {

constexpr int64_t kReportBit = 0x80000000LL;
constexpr const char* kLogName = "pathvane.log";

enum class Kind { kReport, kTrace, kError, kHint };

// The run's error lines, kept for the results file; bounded.
constexpr size_t kKeptErrorLines = 200;
constexpr size_t kKeptErrorBytes = 1024;

std::atomic<int64_t> debug_level{0};
std::mutex output_lock;

// Where the lines go; guarded by output_lock.
struct Output {
  platform::File log;  // the run's trace log; not open when there is none
  std::string log_path;
  std::string log_directory;  // test seam; empty: "log" beside the executable
  bool verbose = false;       // traces on standard error as well as in the log
  size_t progress_columns = 0;  // of the progress text on standard error, 0 when none
  std::vector<std::string> errors;  // since trace_open
};
Output out;

bool stderr_is_terminal() {
  static const bool terminal = platform::stream_is_terminal(platform::Stream::kErr);
  return terminal;
}

// The lock is held by the callers of everything below.
void erase_progress() {
  if (!out.progress_columns) return;
  platform::write_stream(platform::Stream::kErr, platform::progress_erase(out.progress_columns));
  out.progress_columns = 0;
}

void close_log() {
  std::string ignored;
  out.log.close(ignored);
}

void log_unwritable(const std::string& path, const char* verb, const std::string& why) {
  std::fflush(stderr);
  platform::write_stream(platform::Stream::kErr,
                         "[error] " +
                             platform::escape_line("The trace log " + path + " " + verb + ": " + why +
                                                   "; traces go to standard error") +
                             "\n");
}

// A failed write ends the log: from this line on, traces go to standard error.
void write_log(const std::string& line) {
  if (!out.log.is_open()) return;
  std::string why;
  if (out.log.write_all(platform::with_line_ends(platform::utc_timestamp() + " " + line), why)) return;
  close_log();
  log_unwritable(out.log_path, "could not be written", why);
  out.log_path.clear();
}

// One message is one line, written with one write: a trailing line end of
// the text is dropped, the line end is ours, and whatever else the text
// carries is escaped so it can neither end the line nor forge another.
void emit(Kind kind, std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  const char* prefix = kind == Kind::kTrace   ? "[trace] "
                       : kind == Kind::kError ? "[error] "
                       : kind == Kind::kHint  ? "[hint] "
                                              : "";
  std::string line = prefix + platform::escape_line(text) + "\n";
  std::lock_guard<std::mutex> lock(output_lock);
  erase_progress();
  if (kind == Kind::kReport) {
    // Whatever printf left in the stream's buffer goes first.
    std::fflush(stdout);
    platform::write_stream(platform::Stream::kOut, line);
  }
  write_log(line);
  if (kind == Kind::kError && out.errors.size() < kKeptErrorLines) {
    out.errors.push_back(text.size() > kKeptErrorBytes ? text.substr(0, kKeptErrorBytes) : text);
  }
  if (kind == Kind::kError || kind == Kind::kHint || (kind == Kind::kTrace && (out.verbose || !out.log.is_open()))) {
    std::fflush(stderr);
    platform::write_stream(platform::Stream::kErr, line);
  }
}

void emit_trace(int64_t level, const std::string& text) { emit(level & kReportBit ? Kind::kReport : Kind::kTrace, text); }

}  // namespace

int trace_open(int /*target*/) {
  // A log write past the file size limit fails like any other instead of
  // ending the run.
  platform::prepare_file_writes();
  std::lock_guard<std::mutex> lock(output_lock);
  close_log();
  out.verbose = false;
  out.errors.clear();
  std::string directory = out.log_directory;
  if (directory.empty()) {
    const std::string tool_directory = platform::executable_directory();
    directory = platform::join_path(tool_directory.empty() ? std::string(".") : tool_directory, "log");
  }
  std::string path, why;
  if (!log_folder_open(directory, out.log, path, why)) {
    out.log_path.clear();
    log_unwritable(platform::join_path(directory, kLogName), "cannot be written", why);
    return -1;
  }
  out.log_path = path;
  return 0;
}

void trace_set_verbose(bool verbose) {
  std::lock_guard<std::mutex> lock(output_lock);
  out.verbose = verbose;
}

void trace_set_log_directory(const char* directory) {
  std::lock_guard<std::mutex> lock(output_lock);
  out.log_directory = directory ? directory : "";
}

bool trace_progress_wanted() { return stderr_is_terminal(); }

void trace_progress(const char* text) {
  if (!stderr_is_terminal()) return;
  std::lock_guard<std::mutex> lock(output_lock);
  if (!text || !*text) {
    erase_progress();
    return;
  }
  const std::string shown = platform::escape_line(text);
  platform::write_stream(platform::Stream::kErr, platform::progress_draw(shown, out.progress_columns));
  out.progress_columns = std::max(platform::columns_of(shown), out.progress_columns);
}

void trace_hint(const char* fmt, ...) {
  std::string text;
  va_list ap;
  va_start(ap, fmt);
  bool ok = platform::vformat_string(text, fmt, ap);
  va_end(ap);
  if (ok) emit(Kind::kHint, text);
}

std::vector<std::string> trace_error_lines() {
  std::lock_guard<std::mutex> lock(output_lock);
  return out.errors;
}

std::string trace_log_path() {
  std::lock_guard<std::mutex> lock(output_lock);
  return out.log.is_open() ? out.log_path : std::string();
}

std::string trace_own_results_name() {
  std::lock_guard<std::mutex> lock(output_lock);
  return out.log.is_open() ? log_folder_own_results_name(out.log_path) : std::string();
}

void setDebugLevel(int64_t level) { debug_level.store(level); }

int64_t getDebugLevel() { return debug_level.load(); }

void trace(int64_t level, const char* fmt, ...) {
  if ((level & getDebugLevel()) == 0) return;
  std::string text;
  va_list ap;
  va_start(ap, fmt);
  bool ok = platform::vformat_string(text, fmt, ap);
  va_end(ap);
  if (ok) emit_trace(level, text);
}

void trace(int64_t level, const char16_t* fmt, ...) {
  if ((level & getDebugLevel()) == 0) return;
  std::string text;
  va_list ap;
  va_start(ap, fmt);
  bool ok = platform::vformat_wide_string(text, fmt, ap);
  va_end(ap);
  if (ok) emit_trace(level, text);
}

void error(const char* fmt, ...) {
  std::string text;
  va_list ap;
  va_start(ap, fmt);
  bool ok = platform::vformat_string(text, fmt, ap);
  va_end(ap);
  emit(Kind::kError, ok ? text : std::string("bad error format: ") + (fmt ? fmt : "(null)"));
}

void error(const char16_t* fmt, ...) {
  std::string text;
  va_list ap;
  va_start(ap, fmt);
  bool ok = platform::vformat_wide_string(text, fmt, ap);
  va_end(ap);
  emit(Kind::kError, ok ? text : std::string("bad error format"));
}

void _log_trace(const char* text) { emit(Kind::kTrace, text ? text : ""); }

void _log_error(uint32_t code, const char* text, const char* extra) {
  std::string line = text ? text : "";
  if (extra) line += std::string(" ") + extra;
  if (code) line += " (code " + std::to_string(code) + ")";
  emit(Kind::kError, line);
}

int trace_close() {
  std::lock_guard<std::mutex> lock(output_lock);
  erase_progress();
  std::fflush(stdout);
  std::fflush(stderr);
  // The log stays open: what the process traces while it exits (the
  // certificate loader's unload) belongs in it, not after the closing line.
  if (out.log.is_open()) {
    platform::write_stream(platform::Stream::kErr, platform::escape_line("Full trace: " + out.log_path) + "\n");
    out.verbose = false;
  }
  return 0;
}
