#include "tests/support/fake_curl.h"

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace testsupport {

CURL* const kFakeCurl = reinterpret_cast<CURL*>(0x1000);

FakeCurl fake_curl;

namespace {

bool is_text_option(CURLoption option) {
  switch (option) {
    case CURLOPT_URL:
    case CURLOPT_USERAGENT:
    case CURLOPT_PROXY:
    case CURLOPT_NOPROXY:
    case CURLOPT_PROXYUSERNAME:
    case CURLOPT_PROXYPASSWORD:
      return true;
    default:
      return std::find(fake_curl.text_options.begin(), fake_curl.text_options.end(), option) !=
             fake_curl.text_options.end();
  }
}

CURLcode fake_setopt(CURL*, CURLoption option, ...) {
  FakeCurl& fake = fake_curl;
  va_list ap;
  va_start(ap, option);
  CurlCall call{option, ""};
  if (option < CURLOPTTYPE_OBJECTPOINT) {
    call.value = std::to_string(va_arg(ap, long));
  } else if (option < CURLOPTTYPE_OFF_T) {
    void* p = va_arg(ap, void*);
    if (is_text_option(option)) {
      call.value = p ? static_cast<const char*>(p) : "(null)";
    } else {
      call.value = p ? "ptr" : "null";
    }
    switch (option) {
      case CURLOPT_SSL_CTX_FUNCTION:
        fake.ssl_ctx_function = p;
        break;
      case CURLOPT_SSL_CTX_DATA:
        fake.ssl_ctx_data = p;
        break;
      case CURLOPT_DEBUGFUNCTION:
        fake.debug_function = p;
        break;
      case CURLOPT_ERRORBUFFER:
        fake.error_buffer = static_cast<char*>(p);
        break;
      case CURLOPT_WRITEFUNCTION:
        fake.write = reinterpret_cast<CurlWriteFn>(p);
        break;
      case CURLOPT_WRITEDATA:
        fake.write_data = p;
        break;
      case CURLOPT_POSTFIELDS:
      case CURLOPT_COPYPOSTFIELDS:
        fake.posted = call.value;
        break;
      default:
        break;
    }
  } else {
    call.value = std::to_string(va_arg(ap, curl_off_t));
  }
  va_end(ap);
  fake.calls.push_back(call);
  return static_cast<int>(option) == fake.fail_option ? CURLE_UNKNOWN_OPTION : CURLE_OK;
}

CURL* fake_init() {
  ++fake_curl.inits;
  return kFakeCurl;
}

void fake_cleanup(CURL*) { ++fake_curl.cleanups; }

// libcurl's escaping: everything but letters, digits and "-._~" as %XX.
// Written straight into the returned block, so that no other block ever
// holds the escaped text (the freed-block watch looks for it).
char* fake_escape(CURL*, const char* text, int length) {
  ++fake_curl.escapes;
  const size_t n = length > 0 ? static_cast<size_t>(length) : std::strlen(text);
  char* out = static_cast<char*>(std::malloc(3 * n + 1));
  if (!out) return nullptr;
  size_t at = 0;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
        c == '_' || c == '~') {
      out[at++] = static_cast<char>(c);
    } else {
      static const char kHex[] = "0123456789ABCDEF";
      out[at++] = '%';
      out[at++] = kHex[c >> 4];
      out[at++] = kHex[c & 0xF];
    }
  }
  out[at] = '\0';
  return out;
}

void fake_free(void* block) { std::free(block); }

// Feeds the scripted answer to the installed write callback, as libcurl does
// (size 1, nmemb the chunk), and stops like libcurl when a chunk is refused.
// Like libcurl, every transfer rewrites the error buffer.
CURLcode fake_perform(CURL*) {
  FakeCurl& fake = fake_curl;
  ++fake.performs;
  fake.calls_at_perform = fake.calls.size();
  if (fake.ssl_ctx_data) fake.tls_at_perform = *static_cast<zel_trust_context*>(fake.ssl_ctx_data);
  if (fake.error_buffer) std::strcpy(fake.error_buffer, fake.perform_error_text);
  if (fake.perform_code != CURLE_OK) return fake.perform_code;
  std::string body = fake.answer ? fake.answer(fake.posted) : "";
  for (size_t at = 0; at < body.size(); at += fake.chunk) {
    const size_t n = std::min(fake.chunk, body.size() - at);
    const size_t taken = fake.write(body.data() + at, 1, n, fake.write_data);
    fake.offered.push_back(n);
    fake.taken.push_back(taken);
    if (fake.held) fake.most_held = std::max(fake.most_held, fake.held(fake.write_data));
    if (taken != n) return CURLE_WRITE_ERROR;
  }
  return CURLE_OK;
}

CURLcode fake_getinfo(CURL*, CURLINFO info, ...) {
  va_list ap;
  va_start(ap, info);
  if (info == CURLINFO_RESPONSE_CODE) *va_arg(ap, long*) = fake_curl.status;
  va_end(ap);
  return fake_curl.getinfo_code;
}

}  // namespace

void PrintTo(const CurlCall& c, std::ostream* os) {
  *os << "{" << static_cast<int>(c.option) << ", \"" << c.value << "\"}";
}

std::vector<CURLoption> FakeCurl::options() const {
  std::vector<CURLoption> out;
  for (const auto& c : calls) out.push_back(c.option);
  return out;
}

std::string FakeCurl::value_of(CURLoption option) const {
  std::string value = "(unset)";
  int seen = 0;
  for (const auto& c : calls) {
    if (c.option == option) {
      value = c.value;
      ++seen;
    }
  }
  return seen > 1 ? "(set twice)" : value;
}

FakeCurlTable::FakeCurlTable(std::initializer_list<CURLoption> text_options, const char* (*strerror)(CURLcode))
    : saved_(pathvane_curl) {
  fake_curl = FakeCurl{};
  fake_curl.text_options = text_options;
  pathvane_curl.curl_easy_setopt = fake_setopt;
  pathvane_curl.curl_easy_strerror = strerror;
  pathvane_curl.curl_easy_init = fake_init;
  pathvane_curl.curl_easy_cleanup = fake_cleanup;
  pathvane_curl.curl_easy_escape = fake_escape;
  pathvane_curl.curl_free = fake_free;
  pathvane_curl.curl_easy_perform = fake_perform;
  pathvane_curl.curl_easy_getinfo = fake_getinfo;
}

FakeCurlTable::~FakeCurlTable() { pathvane_curl = saved_; }

}  // namespace testsupport
