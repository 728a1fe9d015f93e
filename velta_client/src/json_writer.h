// A minimal writer of compact JSON into one growable heap buffer. It never
// fails loudly: a failed allocation or a piece that does not fit discards
// the whole buffer, and the caller finds data absent at the end.
#pragma once
#include <cstddef>
#include <cstdint>

struct json_buf {
  char* data;  // NUL-terminated after each step; absent before the start and after a failure
  size_t cap;
  size_t len;
  uint8_t first;  // 1 when the next member needs no comma before it
};

// How the writer allocates; a test seam for a failed allocation.
extern void* (*zel_json_realloc)(void* block, size_t size);

// Room for need more characters and a NUL: data, or null after discarding.
char* _json_reserve(json_buf* w, size_t need);
void _json_begin(json_buf* w);
// A string member; an absent value is written as "". Quote, backslash and
// control bytes are escaped; what is not well-formed UTF-8 becomes U+FFFD,
// one for each maximal ill-formed subpart, so the text stays JSON.
void _json_add_string(json_buf* w, const char* name, const char* value);
void _json_add_int(json_buf* w, const char* name, int64_t value);
// "results":[ with the comma rule.
void _json_begin_results(json_buf* w);
// Raw text; on an absent buffer it starts a new one.
void _json_append(json_buf* w, const char* text);
void _json_end(json_buf* w);
