#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "tool/command_line.h"

namespace {

constexpr unsigned long long kMaxSerial = 0x0FFFFFFF;

uint32_t parse_serial(const char* argument, uint32_t* serial, bool* error) {
  const char* digits = argument + 2;
  if (*digits == '\0') return 0x100;
  if (!std::isdigit(static_cast<unsigned char>(*digits))) {
    *error = true;
    return 0;
  }
  // 64-bit conversion: 4294967297 must stay out of range, not wrap to 1.
  char* end = nullptr;
  errno = 0;
  unsigned long long value = std::strtoull(digits, &end, 10);
  if (errno != 0 && value == 0) {
    std::printf("[error] Invalid serial number\n");
    *error = true;
    return 0;
  }
  if (end == digits || *end != '\0') {
    std::printf("[error] serial number must be numeric\n");
    *error = true;
    return 0;
  }
  if (errno == ERANGE || value == 0 || value > kMaxSerial) {
    *error = true;
    return 0;
  }
  if (serial) *serial = static_cast<uint32_t>(value);
  return 0x100;
}

}  // namespace

uint32_t ParseCheckOption(const char* argument, uint32_t* serial, bool* error) {
  bool ignored = false;
  if (!error) error = &ignored;
  *error = false;
  if (!argument || argument[0] == '\0' || argument[1] == '\0') {
    *error = true;
    return 0;
  }
  char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(argument[1])));
  uint32_t bit = 0;
  switch (letter) {
    case 't': bit = 0x1; break;
    case 'c': bit = 0x2; break;
    case 'j': bit = 0x4; break;
    case 'd': bit = 0x8; break;
    case 'h': bit = 0x20; break;
    case 'i': bit = 0x800; break;
    case 'u': bit = 0x1000; break;
    case 'f': return parse_serial(argument, serial, error);
    default: return 0;
  }
  if (argument[2] != '\0') {
    *error = true;
    return 0;
  }
  return bit;
}
