#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "agent/kit/kit.h"
#include "platform/format.h"

namespace {

constexpr int64_t kReportBit = 0x80000000LL;

std::atomic<int64_t> debug_level{0};
std::mutex output_lock;

void write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
}

// One message is one line, written with one write: a trailing line end of
// the text is dropped, the line end is ours.
void emit(FILE* stream, const char* prefix, std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  text.insert(0, prefix);
  text.push_back('\n');
  std::lock_guard<std::mutex> lock(output_lock);
  // Whatever printf left in the stream's buffer goes first.
  std::fflush(stream);
  write_all(fileno(stream), text.data(), text.size());
}

void emit_trace(int64_t level, const std::string& text) {
  if (level & kReportBit) {
    emit(stdout, "", text);
  } else {
    emit(stderr, "[trace] ", text);
  }
}

}  // namespace

// The console is the only target; every line is flushed as it is written,
// so there is nothing to set up.
int trace_open(int /*target*/) { return 0; }

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
  emit(stderr, "[error] ", ok ? text : std::string("bad error format: ") + (fmt ? fmt : "(null)"));
}

void error(const char16_t* fmt, ...) {
  std::string text;
  va_list ap;
  va_start(ap, fmt);
  bool ok = platform::vformat_wide_string(text, fmt, ap);
  va_end(ap);
  emit(stderr, "[error] ", ok ? text : std::string("bad error format"));
}

void _log_trace(const char* text) { emit(stderr, "[trace] ", text ? text : ""); }

void _log_error(uint32_t code, const char* text, const char* extra) {
  std::string line = text ? text : "";
  if (extra) line += std::string(" ") + extra;
  if (code) line += " (code " + std::to_string(code) + ")";
  emit(stderr, "[error] ", line);
}

int trace_close() {
  std::lock_guard<std::mutex> lock(output_lock);
  std::fflush(stdout);
  std::fflush(stderr);
  return 0;
}
