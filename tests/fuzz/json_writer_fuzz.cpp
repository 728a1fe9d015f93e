// The JSON writer driven by an operation sequence from the input, in the
// shapes its callers write (members of the root object, the "results" array
// of element objects). Each step also goes into an nlohmann::json document.
// A writer that ends with its text must hold exactly that document, as
// well-formed UTF-8 whatever bytes the values bring; one whose allocation
// failed (the n-th one, chosen by the input) must end with none.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_support.h"
#include "velta_client/src/json_writer.h"

namespace {

using Json = nlohmann::ordered_json;

size_t allocations = 0;
size_t fail_at = 0;  // 1-based; 0 never
bool allocation_failed = false;

void* failing_realloc(void* block, size_t size) {
  if (++allocations == fail_at) {
    allocation_failed = true;
    return nullptr;
  }
  return std::realloc(block, size);
}

// Names are written unescaped, so they come from a plain alphabet, as the
// callers' literal names do; one already used in the object gets a suffix.
std::string name_of(fuzz::Reader& in, std::set<std::string>& used) {
  static const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789_";
  std::string name;
  for (char c : in.bytes(in.below(12))) name.push_back(alphabet[static_cast<uint8_t>(c) % (sizeof(alphabet) - 1)]);
  const std::string base = name;
  for (int n = 2; !used.insert(name).second; ++n) name = base + "_" + std::to_string(n);
  return name;
}

// Any bytes up to a NUL. What a reader gets back: nlohmann's own U+FFFD
// substitution of the ill-formed parts, one for each maximal subpart.
std::string value_of(fuzz::Reader& in) {
  return fuzz::c_text(in.bytes(in.below(in.flag() ? 2000 : 24)));
}

std::string read_back(const std::string& value) {
  const std::string dumped = Json(value).dump(-1, ' ', false, Json::error_handler_t::replace);
  return Json::parse(dumped).get<std::string>();
}

struct Scope {
  Json* object;
  std::set<std::string> names;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in(data, size);
  allocations = 0;
  allocation_failed = false;
  fail_at = in.byte() % 16;
  void* (*const saved)(void*, size_t) = zel_json_realloc;
  zel_json_realloc = failing_realloc;

  Json expected = Json::object();
  std::set<std::string> root_names;
  Json* results = nullptr;
  Json* element = nullptr;
  std::set<std::string> element_names;
  bool results_open = false;

  json_buf w{};
  // The callers' closing of an element or of the array: raw text while the
  // buffer lives, then no comma before what follows.
  auto close = [&w](const char* text) {
    if (w.data) _json_append(&w, text);
    w.first = 0;
  };
  _json_begin(&w);
  while (!in.empty()) {
    Json& object = element ? *element : expected;
    std::set<std::string>& names = element ? element_names : root_names;
    const bool in_array = results_open && !element;
    switch (in.byte() % 7) {
      case 0:
        if (!in_array) {
          const std::string name = name_of(in, names);
          const std::string value = value_of(in);
          _json_add_string(&w, name.c_str(), value.c_str());
          object[name] = read_back(value);
        }
        break;
      case 1:
        if (!in_array) {
          const std::string name = name_of(in, names);
          const auto value = static_cast<int64_t>(in.u64());
          _json_add_int(&w, name.c_str(), value);
          object[name] = value;
        }
        break;
      case 2:
        if (!in_array) {
          const std::string name = name_of(in, names);
          _json_add_string(&w, name.c_str(), nullptr);
          object[name] = "";
        }
        break;
      case 3:
        // One "results" array, as the last member of the root object.
        if (!results && !element && !root_names.count("results")) {
          _json_begin_results(&w);
          root_names.insert("results");
          results = &(expected["results"] = Json::array());
          results_open = true;
        }
        break;
      case 4:
        if (in_array) {
          if (w.data) _json_append(&w, results->empty() ? "{" : ",{");
          w.first = 1;
          results->push_back(Json::object());
          element = &results->back();
          element_names.clear();
        }
        break;
      case 5:
        if (element) {
          close("}");
          element = nullptr;
        }
        break;
      case 6:
        if (in_array) {
          close("]");
          results_open = false;
        }
        break;
    }
    // Members after the array would not be where the callers put them.
    if (results && !results_open) break;
  }
  if (element) close("}");
  if (results_open) close("]");
  _json_end(&w);
  zel_json_realloc = saved;

  if (allocation_failed) {
    FUZZ_CHECK(w.data == nullptr && w.cap == 0 && w.len == 0);
    return 0;
  }
  FUZZ_CHECK(w.data != nullptr);
  FUZZ_CHECK(w.len < w.cap && std::strlen(w.data) == w.len);
  FUZZ_CHECK(fuzz::utf16_of_utf8(std::string_view(w.data, w.len)).has_value());
  const Json written = Json::parse(w.data, w.data + w.len, nullptr, /*allow_exceptions=*/false);
  if (written.is_discarded() || written != expected) {
    std::fprintf(stderr, "written:  %s\nexpected: %s\n", w.data, expected.dump().c_str());
  }
  FUZZ_CHECK(!written.is_discarded() && written == expected);
  std::free(w.data);
  return 0;
}
