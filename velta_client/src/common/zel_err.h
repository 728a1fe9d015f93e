// Result codes of the cloud client library, shared with the check library.
#pragma once
#include <cstdint>

using zel_err = int32_t;

enum : zel_err {
  ZEL_OK = 0,
  ZEL_ERR_FAILED = 1,  // no text of its own
  ZEL_ERR_NULL_ARG = 2,
  ZEL_ERR_INVALID_ARG = 3,
  ZEL_ERR_OPEN = 4,
  ZEL_ERR_CLOSE = 5,
  ZEL_ERR_CREATE = 6,
  ZEL_ERR_UNLINK = 7,
  ZEL_ERR_STAT = 8,
  ZEL_ERR_READ = 9,
  ZEL_ERR_SEEK = 10,
  ZEL_ERR_WRITE = 11,
  ZEL_ERR_DUP = 12,
  ZEL_ERR_ACCESS = 13,
  ZEL_ERR_TEMP_FILE = 14,
  ZEL_ERR_TEMP_DIR = 15,
  ZEL_ERR_MMAP = 16,
  ZEL_ERR_NO_MEM = 17,
  ZEL_ERR_THREAD = 18,
  ZEL_ERR_TIMEOUT = 19,
  ZEL_ERR_FINGERPRINT = 20,
  ZEL_ERR_QUERY = 21,
  ZEL_ERR_PARSE = 22,
  // 23 to 25 are unassigned.
  ZEL_ERR_SIGNATURE = 26,
  ZEL_ERR_POLICY = 27,
  ZEL_ERR_EXTERNAL = 28,
  ZEL_ERR_REGISTRATION = 29,
  ZEL_ERR_EVENT = 30,
  ZEL_ERR_LOCK = 31,
  ZEL_ERR_NETWORK = 32,
  ZEL_ERR_CONNECT = 33,
  ZEL_ERR_SEND = 34,
  ZEL_ERR_RECEIVE = 35,
  ZEL_ERR_DISCONNECTED = 36,
  ZEL_ERR_XMLLIB_INIT = 37,
  ZEL_ERR_XMLSEC_INIT = 38,
  ZEL_ERR_NODE_NOT_FOUND = 39,
  ZEL_ERR_NODE_EMPTY = 40,
  ZEL_ERR_NODE_TYPE = 41,
  ZEL_ERR_NOT_INITIALIZED = 42,
};

// Fixed English text of a code; never null, never to be freed.
const char* zel_strerror(zel_err code);
