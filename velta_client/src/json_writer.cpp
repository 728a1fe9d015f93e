#include "velta_client/src/json_writer.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include "platform/format.h"

void* (*zel_json_realloc)(void* block, size_t size) = std::realloc;

namespace {

constexpr size_t kStep = 1024;

void discard(json_buf* w) {
  std::free(w->data);
  w->data = nullptr;
  w->cap = 0;
  w->len = 0;
}

// snprintf at data + len; a piece that does not fit, or a format error, discards.
bool put(json_buf* w, const char* format, ...) PLATFORM_PRINTF(2, 3);
bool put(json_buf* w, const char* format, ...) {
  const size_t room = w->cap - w->len;
  va_list ap;
  va_start(ap, format);
  int n = std::vsnprintf(w->data + w->len, room, format, ap);
  va_end(ap);
  if (n < 0 || static_cast<size_t>(n) >= room) {
    discard(w);
    return false;
  }
  w->len += static_cast<size_t>(n);
  return true;
}

const char* comma(const json_buf* w) { return w->first ? "" : ","; }

// The well-formed UTF-8 sequences: the second byte's range by lead byte
// (which rules out overlong forms, surrogates and code points past
// U+10FFFF); later continuation bytes are always 80..BF.
struct Lead {
  unsigned char first, last;  // lead byte range
  size_t length;
  unsigned char low, high;  // second byte range
};
constexpr Lead kLeads[] = {
    {0xC2, 0xDF, 2, 0x80, 0xBF}, {0xE0, 0xE0, 3, 0xA0, 0xBF}, {0xE1, 0xEC, 3, 0x80, 0xBF},
    {0xED, 0xED, 3, 0x80, 0x9F}, {0xEE, 0xEF, 3, 0x80, 0xBF}, {0xF0, 0xF0, 4, 0x90, 0xBF},
    {0xF1, 0xF3, 4, 0x80, 0xBF}, {0xF4, 0xF4, 4, 0x80, 0x8F},
};

// At a byte of 0x80 or above: the length of the character starting there,
// or, negated, of the maximal subpart of one that is ill-formed (at least 1).
// The text's NUL ends any sequence.
long utf8_sequence(const unsigned char* p) {
  for (const Lead& lead : kLeads) {
    if (*p < lead.first || *p > lead.last) continue;
    if (p[1] < lead.low || p[1] > lead.high) return -1;
    for (size_t i = 2; i < lead.length; ++i) {
      if (p[i] < 0x80 || p[i] > 0xBF) return -static_cast<long>(i);
    }
    return static_cast<long>(lead.length);
  }
  return -1;
}

}  // namespace

char* _json_reserve(json_buf* w, size_t need) {
  if (w->data && w->cap - w->len >= need + 1 && need + 1 > need) return w->data;
  // Whole KiB above what is needed; a size that wraps cannot be had.
  const size_t wanted = w->cap + need + 1;
  const size_t size = (wanted / kStep) * kStep + kStep;
  char* data = (wanted <= w->cap || size < wanted) ? nullptr : static_cast<char*>(zel_json_realloc(w->data, size));
  if (!data) {
    discard(w);
    return nullptr;
  }
  if (!w->data) data[0] = '\0';
  w->data = data;
  w->cap = size;
  return data;
}

void _json_begin(json_buf* w) {
  w->data = nullptr;
  w->cap = 0;
  w->len = 0;
  w->first = 0;
  if (_json_reserve(w, 1)) put(w, "{");
  w->first = 1;
}

void _json_add_string(json_buf* w, const char* name, const char* value) {
  if (!w->data || !_json_reserve(w, std::strlen(name) + 10) || !put(w, "%s\"%s\":\"", comma(w), name)) {
    w->first = 0;
    return;
  }
  // Room for six bytes per step holds any escape, a byte of a character, or
  // the three of U+FFFD that stand for one ill-formed subpart.
  const unsigned char* p = reinterpret_cast<const unsigned char*>(value ? value : "");
  size_t raw = 0;  // bytes of a well-formed character still to copy
  bool ok = true;
  while (ok && *p) {
    ok = _json_reserve(w, 6) != nullptr;
    if (!ok) break;
    if (!raw && *p >= 0x80) {
      const long sequence = utf8_sequence(p);
      if (sequence < 0) {
        ok = put(w, "\xEF\xBF\xBD");
        p += -sequence;
        continue;
      }
      raw = static_cast<size_t>(sequence);
    }
    if (raw) --raw;
    if (*p < 0x20) {
      ok = put(w, "\\u%04x", static_cast<unsigned>(*p));
    } else if (*p == '"' || *p == '\\') {
      ok = put(w, "\\%c", static_cast<char>(*p));
    } else {
      ok = put(w, "%c", static_cast<char>(*p));
    }
    ++p;
  }
  if (!ok) {
    w->first = 0;
    return;
  }
  if (_json_reserve(w, 10)) put(w, "\"");
  w->first = 0;
}

void _json_add_int(json_buf* w, const char* name, int64_t value) {
  if (w->data && _json_reserve(w, std::strlen(name) + 30)) {
    put(w, "%s\"%s\":%lld", comma(w), name, static_cast<long long>(value));
  }
  w->first = 0;
}

void _json_begin_results(json_buf* w) {
  if (w->data && _json_reserve(w, 17)) put(w, "%s\"%s\":[", comma(w), "results");
  w->first = 1;
}

void _json_append(json_buf* w, const char* text) {
  if (!_json_reserve(w, std::strlen(text))) return;
  put(w, "%s", text);
}

void _json_end(json_buf* w) {
  if (w->data && _json_reserve(w, 1)) put(w, "}");
  w->first = 0;
}
