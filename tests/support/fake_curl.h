// A recording libcurl behind the process-wide function table: every
// curl_easy_setopt is kept with its value as text, and a transfer plays a
// scripted answer to the write callback it was handed.
#pragma once
#include <curl/curl.h>

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <ostream>
#include <string>
#include <vector>

#include "velta_client/src/common/xfer_functions.h"
#include "velta_client/src/common/zel_records.h"

namespace testsupport {

// One recorded curl_easy_setopt: the option and its value as text (numbers in
// decimal, text options as they are, other pointers as "ptr"/"null").
struct CurlCall {
  CURLoption option;
  std::string value;
  bool operator==(const CurlCall&) const = default;
};

void PrintTo(const CurlCall& c, std::ostream* os);

using CurlWriteFn = size_t (*)(char*, size_t, size_t, void*);

// The handle the fake curl_easy_init hands out; the fake takes any handle.
extern CURL* const kFakeCurl;

struct FakeCurl {
  // Options besides the URL, user agent and proxy ones whose value is text.
  std::vector<CURLoption> text_options;

  std::vector<CurlCall> calls;
  int fail_option = -1;  // the option to refuse, as a number
  int inits = 0;
  int cleanups = 0;
  int escapes = 0;

  // What the options handed over.
  void* ssl_ctx_function = nullptr;
  void* ssl_ctx_data = nullptr;
  void* debug_function = nullptr;
  char* error_buffer = nullptr;
  CurlWriteFn write = nullptr;
  void* write_data = nullptr;
  std::string posted;

  // The scripted transfer: the answer (made from the posted body), the chunk
  // size it arrives in, libcurl's code, the text the error buffer gets and
  // the status.
  std::function<std::string(const std::string&)> answer;
  size_t chunk = 4096;
  CURLcode perform_code = CURLE_OK;
  const char* perform_error_text = "";
  long status = 200;
  CURLcode getinfo_code = CURLE_OK;
  // How much the collector at write_data holds; most_held follows it when set.
  std::function<size_t(void*)> held;

  // What the transfer saw.
  int performs = 0;
  size_t calls_at_perform = 0;
  zel_trust_context tls_at_perform{nullptr, nullptr};
  std::vector<size_t> offered;
  std::vector<size_t> taken;
  size_t most_held = 0;  // the collector's largest holding during the transfer

  // The options set, in order.
  std::vector<CURLoption> options() const;
  // The value of the one call that set option; "(unset)" when none did.
  std::string value_of(CURLoption option) const;
};

// What the fake table entries record into and answer from.
extern FakeCurl fake_curl;

// While it lives, pathvane_curl's setopt, init, cleanup, escape, free, perform
// and getinfo are the fake's, with fake_curl started afresh, and strerror is
// the given one; the table as it was comes back after.
class FakeCurlTable {
 public:
  FakeCurlTable(std::initializer_list<CURLoption> text_options, const char* (*strerror)(CURLcode));
  ~FakeCurlTable();
  FakeCurlTable(const FakeCurlTable&) = delete;
  FakeCurlTable& operator=(const FakeCurlTable&) = delete;

 private:
  curl_function_table saved_;
};

}  // namespace testsupport
