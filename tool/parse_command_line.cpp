#include <cctype>
#include <cstring>

#include "tool/command_line.h"

bool ParseCommandLine(int argc, char** argv, CommandLine& out) {
  out = CommandLine{};
  if (argc < 2) {
    out.mask = 0xFFF;
    return true;
  }
  if (!argv) return false;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (!arg || arg[0] != '/' || arg[1] == '\0' || arg[1] == '?') return false;
    char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(arg[1])));
    if (letter == 'v') {
      if (arg[2] != '\0') return false;
      out.verbose = true;
      continue;
    }
    if (letter == 'p') {
      // A proxy choice holds for every option that follows it.
      if (std::strlen(arg) != 3) return false;
      switch (std::tolower(static_cast<unsigned char>(arg[2]))) {
        case '-': out.proxy_mode = kProxyBypass; break;
        case 'd': out.proxy_mode = kProxyDiscover; break;
        case 'p': out.proxy_mode = kProxyFromPolicy; break;
        default: return false;
      }
      continue;
    }
    bool error = false;
    uint32_t bit = ParseCheckOption(arg, &out.policy_serial, &error);
    if (error || bit == 0) return false;
    out.mask |= bit;
  }
  if (out.mask == 0) out.mask = 0xFFF;
  return true;
}
