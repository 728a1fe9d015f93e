#include "velta_client/src/common/xfer_progress.h"

#include <chrono>
#include <cstdio>

#include "agent/kit/kit.h"
#include "diagnosis/xfer_facts.h"
#include "velta_client/src/common/xfer_functions.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Progress {
  const char* name = nullptr;  // null: no check is running
  unsigned number = 0;
  unsigned total = 0;
  long timeout = 0;
  Clock::time_point start{};
  long drawn_second = -1;
  curl_off_t drawn_sent = -1;
  curl_off_t drawn_received = -1;
};
Progress progress;

int append_bytes(char* out, size_t size, const char* what, curl_off_t bytes) {
  if (bytes <= 0) return 0;
  const double b = static_cast<double>(bytes);
  if (bytes < 1024) return std::snprintf(out, size, ", %lld bytes %s", static_cast<long long>(bytes), what);
  if (bytes < 1024 * 1024) return std::snprintf(out, size, ", %.1f KB %s", b / 1024, what);
  return std::snprintf(out, size, ", %.1f MB %s", b / (1024 * 1024), what);
}

// Redrawn only when a figure on it changed: libcurl calls this many times a second.
int on_progress(void* data, curl_off_t /*download_total*/, curl_off_t received, curl_off_t /*upload_total*/,
                curl_off_t sent) {
  auto* p = static_cast<Progress*>(data);
  if (!p || !p->name) return 0;
  const long second =
      static_cast<long>(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - p->start).count());
  if (second == p->drawn_second && sent == p->drawn_sent && received == p->drawn_received) return 0;
  p->drawn_second = second;
  p->drawn_sent = sent;
  p->drawn_received = received;
  char line[256];
  xfer_progress_format(line, sizeof(line), p->name, p->number, p->total, second, p->timeout, sent, received);
  trace_progress(line);
  return 0;
}

}  // namespace

void xfer_progress_format(char* line, size_t size, const char* name, unsigned number, unsigned total,
                          long elapsed_seconds, long timeout_seconds, curl_off_t sent, curl_off_t received) {
  if (!line || size == 0) return;
  int used = timeout_seconds > 0
                 ? std::snprintf(line, size, "[%u/%u] %s: %ld s of %ld s", number, total, name ? name : "",
                                 elapsed_seconds, timeout_seconds)
                 : std::snprintf(line, size, "[%u/%u] %s: %ld s", number, total, name ? name : "", elapsed_seconds);
  if (used < 0 || static_cast<size_t>(used) >= size) return;
  used += append_bytes(line + used, size - used, "sent", sent);
  if (static_cast<size_t>(used) >= size) return;
  append_bytes(line + used, size - used, "received", received);
}

void xfer_progress_begin(const char* name, unsigned number, unsigned total) {
  progress = Progress{};
  if (!trace_progress_wanted()) return;
  progress.name = name ? name : "";
  progress.number = number;
  progress.total = total;
}

void xfer_progress_end() {
  if (progress.name) trace_progress(nullptr);
  progress = Progress{};
}

void xfer_progress_attach(CURL* curl) {
  if (!progress.name || !curl) return;
  progress.timeout = xfer_facts_timeout(curl);
  progress.start = Clock::now();
  progress.drawn_second = -1;
  // The shared handle keeps its options from one check to the next, so the
  // data is set again for every transfer.
  xfer_setopt(curl, CURLOPT_XFERINFOFUNCTION, on_progress);
  xfer_setopt(curl, CURLOPT_XFERINFODATA, static_cast<void*>(&progress));
  xfer_setopt(curl, CURLOPT_NOPROGRESS, 0L);
}
