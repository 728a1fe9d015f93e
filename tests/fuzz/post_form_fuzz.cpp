// The registration form encoder: a sequence of fields from the input, written
// once into a large buffer and once into a buffer of fuzzed capacity. The
// large one must decode (split at "&" and "=", unescaped by libcurl) to the
// fields as given, up to a name the encoder refuses; the small one must hold
// a prefix of it that ends where a piece ends, stop only where the next piece
// would not fit with its NUL, and leave the bytes past its capacity alone.
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "pathvane/xfer_table.h"
#include "platform/loader.h"
#include "tests/fuzz/fuzz_support.h"
#include "velta_client/src/post_form.h"

namespace {

CURL* curl = nullptr;

struct Field {
  enum Kind { kText, kNumber, kNameOnly } kind;
  std::string name;  // before formatting
  bool indexed;      // formatted as "%s[%u]" with index
  unsigned index;
  std::string text;
  uint64_t number;

  std::string formatted_name() const { return indexed ? name + "[" + std::to_string(index) + "]" : name; }
  std::string value() const { return kind == kText ? text : kind == kNumber ? std::to_string(number) : ""; }
};

std::vector<Field> fields_of(fuzz::Reader& in) {
  std::vector<Field> fields;
  while (!in.empty() && fields.size() < 32) {
    Field f{};
    const uint8_t head = in.byte();
    f.kind = static_cast<Field::Kind>(head % 3);
    f.indexed = head & 4;
    f.index = in.byte();
    // Names of 100 characters or more (formatted) are refused.
    f.name = fuzz::c_text(in.bytes(in.below(head & 8 ? 110 : 24)));
    if (f.kind == Field::kText) f.text = fuzz::c_text(in.bytes(in.below(head & 16 ? 256 : 32)));
    if (f.kind == Field::kNumber) f.number = in.u64();
    fields.push_back(f);
  }
  return fields;
}

// Formats are literals, as at the encoder's callers.
void write(zel_post& post, const Field& f) {
  switch (f.kind) {
    case Field::kText:
      if (f.indexed) {
        _zel_post_str(&post, f.text.c_str(), "%s[%u]", f.name.c_str(), f.index);
      } else {
        _zel_post_str(&post, f.text.c_str(), "%s", f.name.c_str());
      }
      break;
    case Field::kNumber:
      if (f.indexed) {
        _zel_post_uint(&post, f.number, "%s[%u]", f.name.c_str(), f.index);
      } else {
        _zel_post_uint(&post, f.number, "%s", f.name.c_str());
      }
      break;
    case Field::kNameOnly:
      if (f.indexed) {
        _zel_post_name(&post, "%s[%u]", f.name.c_str(), f.index);
      } else {
        _zel_post_name(&post, "%s", f.name.c_str());
      }
      break;
  }
}

std::string unescape(const std::string& text) {
  int length = 0;
  char* raw = pathvane_curl.curl_easy_unescape(curl, text.c_str(), static_cast<int>(text.size()), &length);
  FUZZ_CHECK(raw != nullptr);
  std::string out(raw, static_cast<size_t>(length));
  pathvane_curl.curl_free(raw);
  return out;
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t at = text.find(separator, start);
    parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  platform::set_library_directory(PATHVANE_BIN_DIR, true);
  FUZZ_CHECK(dll_curl_load_symbols() == 0);
  platform::set_library_directory("");
  curl = pathvane_curl.curl_easy_init();
  FUZZ_CHECK(curl != nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in(data, size);
  const size_t capacity = in.below(600);
  const std::vector<Field> fields = fields_of(in);

  // Unbounded: every field is written up to the first refused name.
  std::vector<char> large(1 << 16, '\0');
  zel_post full{curl, large.data(), large.size(), 0, 0};
  std::set<size_t> boundaries = {0};
  size_t written = 0;
  for (const Field& f : fields) {
    const size_t before = full.len;
    write(full, f);
    if (full.error) {
      FUZZ_CHECK(f.formatted_name().size() >= 100);
      FUZZ_CHECK(full.len == before);
      break;
    }
    FUZZ_CHECK(f.formatted_name().size() < 100);
    // The end of the name piece ("&name=") is a boundary too.
    boundaries.insert(std::string(large.data(), full.len).find('=', before) + 1);
    boundaries.insert(full.len);
    ++written;
  }
  const std::string text(large.data(), full.len);
  FUZZ_CHECK(std::strlen(large.data()) == full.len);
  if (written > 0) {
    const std::vector<std::string> pairs = split(text, '&');
    FUZZ_CHECK(pairs.size() == written);
    for (size_t i = 0; i < written; ++i) {
      const std::vector<std::string> parts = split(pairs[i], '=');
      FUZZ_CHECK(parts.size() == 2);
      FUZZ_CHECK(unescape(parts[0]) == fields[i].formatted_name());
      FUZZ_CHECK(unescape(parts[1]) == fields[i].value());
    }
  } else {
    FUZZ_CHECK(text.empty());
  }

  // Bounded: a prefix of the same text.
  constexpr size_t kGuard = 16;
  std::vector<char> small(capacity + kGuard, '#');
  if (capacity > 0) small[0] = '\0';
  zel_post post{curl, small.data(), capacity, 0, 0};
  for (const Field& f : fields) write(post, f);
  for (size_t i = capacity; i < small.size(); ++i) FUZZ_CHECK(small[i] == '#');
  FUZZ_CHECK(post.len == 0 || post.len < capacity);
  if (capacity > 0) FUZZ_CHECK(std::strlen(small.data()) == post.len);
  const std::string cut(small.data(), post.len);
  FUZZ_CHECK(text.compare(0, cut.size(), cut) == 0);
  FUZZ_CHECK(boundaries.count(post.len) == 1);
  if (text.size() < capacity || text.empty()) {
    FUZZ_CHECK(cut == text && post.error == full.error);
  } else {
    // Stopped where the next piece would not have fit with its NUL.
    FUZZ_CHECK(post.error == 1);
    const auto next = boundaries.upper_bound(post.len);
    FUZZ_CHECK(next != boundaries.end() && *next >= capacity);
  }
  return 0;
}
