#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tool/command_line.h"

int JoinArguments(int argc, char** argv, char** out) {
  if (!argv || !out || argc < 1) return -1;
  size_t size = 0;
  for (int i = 0; i < argc; ++i) size += (argv[i] ? std::strlen(argv[i]) : 0) + 1;
  char* joined = static_cast<char*>(std::calloc(size, 1));
  if (!joined) return -1;
  size_t used = 0;
  for (int i = 0; i < argc; ++i) {
    const char* arg = argv[i] ? argv[i] : "";
    int n = std::snprintf(joined + used, size - used, i == 0 ? "%s" : " %s", arg);
    if (n < 0 || static_cast<size_t>(n) >= size - used) break;
    used += static_cast<size_t>(n);
  }
  joined[size - 1] = '\0';
  *out = joined;
  return 0;
}
