#include "velta_client/src/common/zel_err.h"

namespace {

constexpr const char* kUnknown = "Unknown error code";

// Indexed by code; null where a code has no text.
constexpr const char* kText[] = {
    nullptr,  // 0
    nullptr,  // 1
    "Null argument passed to function",
    "Invalid argument passed to function",
    "Can't open file or directory",
    "Can't close file",
    "Can't create new file",
    "Can't unlink file",
    "Can't get file status",
    "Can't read file",
    "Can't set file offset",
    "Can't write to file",
    "Can't duplicate file descriptor",
    "Can't access file",
    "Can't create temporary file",
    "Can't create temporary directory",
    "Can't map file into memory",
    "Can't allocate memory",
    "Can't create new thread",
    "Time limit reached",
    "Can't generate fingerprint",
    "Can't handle query",
    "Can't parse data",
    nullptr,  // 23
    nullptr,  // 24
    nullptr,  // 25
    "Digital signature or key error",
    "Policy error",
    "External library error",
    "Registration error",
    "Event error",
    "Locking error",
    "Generic network failure",
    "Can't connect to host",
    "Can't send data",
    "Can't receive data",
    "Disconnected",
    "xmllib failed to initialize",
    "xmlsec failed to initialize",
    "node was not found",
    "node was found, but was empty",
    "node was found and not empty, but couldn't be parsed in the correct type",
    "Not initialized",
};

static_assert(sizeof(kText) / sizeof(kText[0]) == ZEL_ERR_NOT_INITIALIZED + 1);

}  // namespace

const char* zel_strerror(zel_err code) {
  if (code < 0 || code > ZEL_ERR_NOT_INITIALIZED) return kUnknown;
  const char* text = kText[code];
  return text ? text : kUnknown;
}
