// The command line: the input split at NUL bytes is argv[1..]. Judged by the
// options as the usage documents them, and the joined line by its parts.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_support.h"
#include "tool/command_line.h"

namespace {

struct Expected {
  bool usage = false;
  CommandLine line;
};

// Serial numbers run from 1 to 0x0FFFFFFF, decimal digits only.
bool serial_of(const std::string& digits, uint32_t& serial) {
  if (digits.empty()) return false;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
  }
  size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos || digits.size() - first > 9) return false;
  unsigned long value = std::stoul(digits.substr(first));
  if (value > 0x0FFFFFFF) return false;
  serial = static_cast<uint32_t>(value);
  return true;
}

Expected expected_of(const std::vector<std::string>& args) {
  Expected e;
  for (const std::string& arg : args) {
    auto letter = [&](size_t i) { return static_cast<char>(std::tolower(static_cast<unsigned char>(arg[i]))); };
    if (arg.size() < 2 || arg[0] != '/') return {true, {}};
    const char l = letter(1);
    if (l == 'v' && arg.size() == 2) {
      e.line.verbose = true;
    } else if (l == 'p' && arg.size() == 3 && (letter(2) == '-' || letter(2) == 'd' || letter(2) == 'p')) {
      e.line.proxy_mode = letter(2) == '-' ? kProxyBypass : letter(2) == 'd' ? kProxyDiscover : kProxyFromPolicy;
    } else if (l == 'f') {
      if (arg.size() > 2 && !serial_of(arg.substr(2), e.line.policy_serial)) return {true, {}};
      e.line.mask |= 0x100;
    } else if (arg.size() == 2 && std::string("tcjdhiu").find(l) != std::string::npos) {
      const uint32_t bits[] = {0x1, 0x2, 0x4, 0x8, 0x20, 0x800, 0x1000};
      e.line.mask |= bits[std::string("tcjdhiu").find(l)];
    } else {
      return {true, {}};
    }
  }
  if (e.line.mask == 0) e.line.mask = 0xFFF;
  return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args;
  if (size > 0) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    for (;;) {
      size_t nul = input.find('\0', start);
      args.push_back(input.substr(start, nul == std::string::npos ? std::string::npos : nul - start));
      if (nul == std::string::npos) break;
      start = nul + 1;
    }
  }
  std::string program = "pathvane";
  std::vector<char*> argv{program.data()};
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(argv.size() - 1);

  CommandLine line;
  line.mask = 0xDEAD;
  const bool ok = ParseCommandLine(argc, argv.data(), line);
  const Expected expected = expected_of(args);
  FUZZ_CHECK(ok == !expected.usage);
  if (ok) {
    FUZZ_CHECK(line.mask == expected.line.mask);
    FUZZ_CHECK(line.proxy_mode == expected.line.proxy_mode);
    FUZZ_CHECK(line.verbose == expected.line.verbose);
    FUZZ_CHECK(line.policy_serial == expected.line.policy_serial);
  }

  // Each argument alone, also without the optional out parameters.
  for (const std::string& arg : args) {
    uint32_t serial = 0;
    bool error = false;
    const uint32_t bit = ParseCheckOption(arg.c_str(), &serial, &error);
    FUZZ_CHECK(!(error && bit != 0));
    FUZZ_CHECK(serial <= 0x0FFFFFFF);
    FUZZ_CHECK(ParseCheckOption(arg.c_str(), nullptr, nullptr) == bit);
  }

  char* joined = nullptr;
  FUZZ_CHECK(JoinArguments(argc, argv.data(), &joined) == 0);
  std::string expected_join = program;
  for (const std::string& arg : args) expected_join += " " + arg;
  FUZZ_CHECK(joined != nullptr && expected_join == joined);
  std::free(joined);
  return 0;
}
