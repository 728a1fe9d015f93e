#include <algorithm>
#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/format.h"
#include "platform/files.h"
#include "velta_client/src/common/zel_log.h"
#include "velta_client/src/common/zel_transfer.h"
#include "velta_client/src/velta_client.h"

int (*zel_policy_file_close)(FILE* file) = std::fclose;

namespace {

constexpr const char* kFn = "zel_velta_fetch_policy";

// The C library's text for errno, at most 127 characters.
void error_text(int error, char (&text)[128]) {
  platform::format(text, sizeof(text), "%s", platform::error_text(error).c_str());
}

void set_text(const std::string& why, char (&text)[128]) { platform::format(text, sizeof(text), "%s", why.c_str()); }

// The slot's text for a failure on the policy file: "<before><path><after>",
// the path shortened from its start when the whole would not fit, so that the
// file's name and the reason are kept.
void name_file_failure(char* out, const char* before, const char* path, const char* after) {
  const size_t fixed = std::strlen(before) + std::strlen(after);
  const size_t path_len = std::strlen(path);
  if (fixed + path_len < CURL_ERROR_SIZE) {
    platform::format(out, CURL_ERROR_SIZE, "%s%s%s", before, path, after);
    return;
  }
  constexpr size_t kEllipsis = 3;
  const size_t room = CURL_ERROR_SIZE - 1 > fixed + kEllipsis ? CURL_ERROR_SIZE - 1 - fixed - kEllipsis : 0;
  const char* tail = path + path_len - std::min(room, path_len);
  // Never start inside a UTF-8 sequence.
  while (*tail && (static_cast<unsigned char>(*tail) & 0xC0) == 0x80) ++tail;
  platform::format(out, CURL_ERROR_SIZE, "%s...%s%s", before, tail, after);
}

// Where the download goes. Every step works through the opened folder, so
// a folder swapped for a link after the open changes nothing, and the
// policy's own name is only ever renamed over or removed, never opened.
struct PolicyTarget {
  platform::Folder folder;
  std::string name;       // the policy's name in the folder
  std::string temporary;  // the download's own file there
};

bool is_separator(char c) { return c == '/' || c == static_cast<char>(platform::kPathSeparator[0]); }

// Opens the folder of path (a link in its place is refused) and makes the
// download's file in it. Null with why set.
FILE* open_policy_file(const char* path, PolicyTarget& target, char (&why)[128]) {
  const char* separator = nullptr;
  for (const char* p = path; *p; ++p) {
    if (is_separator(*p)) separator = p;
  }
  target.name = separator ? separator + 1 : path;
  // "name" alone is in the working directory; "/name" in the root.
  const std::string folder =
      separator ? std::string(path, std::max<size_t>(static_cast<size_t>(separator - path), 1)) : std::string(".");
  if (target.name.empty()) {
    error_text(EISDIR, why);
    return nullptr;
  }
  std::string failure;
  if (!target.folder.open(folder, /*create=*/false, failure)) {
    // A link or a file in the folder's place reads as the system's own words.
    if (failure == folder + " is not a directory") {
      error_text(ENOTDIR, why);
    } else {
      set_text(failure, why);
    }
    return nullptr;
  }
  // The rename would fail on a folder only after the download; a device
  // configured as the path is never replaced.
  switch (target.folder.kind_of(target.name)) {
    case platform::EntryKind::kFolder:
      error_text(EISDIR, why);
      return nullptr;
    case platform::EntryKind::kDevice:
      platform::format(why, sizeof(why), "%s", "is a device");
      return nullptr;
    default:
      break;
  }
  platform::File file;
  if (!target.folder.create_temporary(target.name, file, target.temporary, failure)) {
    set_text(failure, why);
    return nullptr;
  }
  FILE* stream = file.release_to_stream("wb");
  if (!stream) {
    error_text(errno, why);
    file.close(failure);
    target.folder.remove(target.temporary);
    target.temporary.clear();
  }
  return stream;
}

// A failed download leaves neither its own file nor a policy at the name
// (whatever was there is removed, never written through; a device stays).
void discard_policy_file(PolicyTarget& target) {
  if (!target.temporary.empty()) target.folder.remove(target.temporary);
  const platform::EntryKind kind = target.folder.kind_of(target.name);
  if (kind != platform::EntryKind::kFolder && kind != platform::EntryKind::kDevice &&
      kind != platform::EntryKind::kMissing) {
    target.folder.remove(target.name);
  }
}

void close_folder(PolicyTarget& target) { target.folder.close(); }

int give_up(PolicyTarget& target, int result) {
  discard_policy_file(target);
  close_folder(target);
  return result;
}

// The error line and the slot's text for a policy file that could not be
// completed.
void report_write_failure(const char (&text)[128], const char* path, char* error_buffer) {
  zel_error("%s: Can't write to %s: %s", kFn, path, text);
  char after[130];
  platform::format(after, sizeof(after), ": %s", text);
  name_file_failure(error_buffer, "Can't write to ", path, after);
}

}  // namespace

int zel_velta_fetch_policy(const char* url, uint32_t serial, const char* path, const char* user_agent,
                           const proxy_info* proxy, uint32_t ssl_flags, const zel_trust_context* tls,
                           zel_transfer_status* status) {
  if (!url || !path || !user_agent) return ZEL_ERR_NULL_ARG;
  if (serial == 0) return ZEL_ERR_INVALID_ARG;
  char local_error[CURL_ERROR_SIZE] = {};
  char* error_buffer = status ? status->error_text : local_error;
  // A cut URL would fetch another policy: one too long is not requested at all.
  if (strnlen(url, ZEL_POLICY_URL_MAX + 1) > ZEL_POLICY_URL_MAX) {
    zel_error("%s: policy URL longer than %zu characters", kFn, ZEL_POLICY_URL_MAX);
    platform::format(error_buffer, CURL_ERROR_SIZE, "Policy URL longer than %zu characters", ZEL_POLICY_URL_MAX);
    return ZEL_ERR_INVALID_ARG;
  }
  // The base URL, "-" and up to 10 digits.
  char request_url[ZEL_POLICY_URL_MAX + 12];
  platform::format(request_url, sizeof(request_url), "%s-%u", url, serial);
  zel_trace(-1, "Fetching policy from %s", request_url);
  zel_trace(0x8000000, "%s: URL: %s", kFn, request_url);

  CURL* curl = pathvane_curl.curl_easy_init();
  if (!curl) {
    zel_error("%s: curl_easy_init failed", kFn);
    platform::format(error_buffer, CURL_ERROR_SIZE, "curl_easy_init failed");
    return ZEL_ERR_EXTERNAL;
  }
  if (zel_set_curl_opts(curl, user_agent, proxy, ssl_flags, tls, "+velta-policy") == -1 ||
      !zel_setopt(curl, CURLOPT_ERRORBUFFER, error_buffer, kFn, "CURLOPT_ERRORBUFFER") ||
      !zel_setopt(curl, CURLOPT_URL, request_url, kFn, "CURLOPT_URL") || !zel_setopt(curl, CURLOPT_TIMEOUT, 30L, kFn, "CURLOPT_TIMEOUT") ||
      !zel_setopt(curl, CURLOPT_WRITEFUNCTION, std::fwrite, kFn, "CURLOPT_WRITEFUNCTION")) {
    pathvane_curl.curl_easy_cleanup(curl);
    return ZEL_ERR_EXTERNAL;
  }

  PolicyTarget target;
  char why[128];
  FILE* file = open_policy_file(path, target, why);
  if (!file) {
    zel_error("%s: Can't open %s for writing: %s", kFn, path, why);
    char after[160];
    platform::format(after, sizeof(after), " for writing: %s", why);
    name_file_failure(error_buffer, "Can't open ", path, after);
    close_folder(target);
    pathvane_curl.curl_easy_cleanup(curl);
    return ZEL_ERR_OPEN;
  }
  if (!zel_setopt(curl, CURLOPT_WRITEDATA, file, kFn, "CURLOPT_WRITEDATA")) {
    pathvane_curl.curl_easy_cleanup(curl);
    zel_policy_file_close(file);
    return give_up(target, ZEL_ERR_EXTERNAL);
  }

  zel_install_curl_debug_callback(curl);
  CURLcode rc = zel_curl_perform(curl, proxy);
  if (status) status->curl_code = rc;
  if (rc != CURLE_OK) {
    zel_error("%s: Policy download failed for URL '%s': %d (%s) (%s)", kFn, request_url, static_cast<int>(rc),
              pathvane_curl.curl_easy_strerror(rc), error_buffer);
    // libcurl's words for a refused write do not say which file it was.
    if (rc == CURLE_WRITE_ERROR && std::ferror(file)) {
      char libcurl_text[CURL_ERROR_SIZE + 2];
      platform::format(libcurl_text, sizeof(libcurl_text), ": %s",
                       error_buffer[0] ? error_buffer : pathvane_curl.curl_easy_strerror(rc));
      name_file_failure(error_buffer, "Can't write to ", path, libcurl_text);
    }
    pathvane_curl.curl_easy_cleanup(curl);
    zel_policy_file_close(file);
    return give_up(target, ZEL_ERR_POLICY);
  }

  // A failed final write (a full disk) must not leave a cut policy reported as stored.
  const bool written = !std::ferror(file);
  if (zel_policy_file_close(file) != 0 || !written) {
    char text[128];
    error_text(errno, text);
    report_write_failure(text, path, error_buffer);
    pathvane_curl.curl_easy_cleanup(curl);
    return give_up(target, ZEL_ERR_WRITE);
  }

  long http = 0;
  rc = xfer_getinfo_long(curl, CURLINFO_RESPONSE_CODE, &http);
  if (rc != CURLE_OK) {
    zel_error("%s: curl_easy_getinfo(CURLINFO_RESPONSE_CODE) failed: %s", kFn, pathvane_curl.curl_easy_strerror(rc));
    pathvane_curl.curl_easy_cleanup(curl);
    return give_up(target, ZEL_ERR_EXTERNAL);
  }
  if (status) status->http_code = static_cast<int32_t>(http);
  pathvane_curl.curl_easy_cleanup(curl);
  if (http != 200) {
    zel_error("%s: Policy download failed for URL '%s' (HTTP code: %ld)", kFn, request_url, http);
    return give_up(target, ZEL_ERR_REGISTRATION);
  }
  // Whole: the policy appears at its name at once, in place of whatever was there.
  std::string failure;
  if (!target.folder.replace(target.temporary, target.name, failure)) {
    char text[128];
    set_text(failure, text);
    report_write_failure(text, path, error_buffer);
    return give_up(target, ZEL_ERR_WRITE);
  }
  close_folder(target);
  return ZEL_OK;
}
