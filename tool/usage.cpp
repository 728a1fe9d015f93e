#include <cstdio>

#include "tool/command_line.h"

namespace {

// __DATE__ is "Mmm dd yyyy": the year is its last four characters.
constexpr const char* kBuildYear = &__DATE__[7];

}  // namespace

void PrintUsage() {
  std::printf("Varnholt Orvix Pathvane\n");
  std::printf("Copyright (c) 2024-%s Varnholt. All rights reserved.\n\n", kBuildYear);
  std::printf("Performs a connectivity check against Orvix infrastructure\n\n");
  std::printf("Pathvane [/D] [/F[policynum]] [/H] [/I] [/J] [/T] [/P[proxy]]\n\n");
  std::printf("  /D          Performs a Crash Dump test\n");
  std::printf("  /F          Performs a fetch of a policy\n");
  std::printf("  policynum    Policy serial number (optional, must be greater than 0)\n");
  std::printf("  /H          Performs a HTTP Upload test\n");
  std::printf("  /U          Performs a Url Scanner Reputation Server connection test\n");
  std::printf("  /I          Verifies connectivity to the event intake server\n");
  std::printf("  /J          Performs Velta Registration\n");
  std::printf("  /T          Performs a connectivity test against a test url\n");
  std::printf("  /P          Perform tests with specified proxy. **\n");
  std::printf("  proxy        D  Discover Proxy (default)   P  From Policy.xml\n");
  std::printf("               -  Bypass Proxy\n");
  std::printf("  /V          Enable verbose mode\n");
  std::printf("\n");
  std::printf("  Examples:\n\n");
  std::printf("   Run with no arguments to perform all checks using proxy discovery\n");
  std::printf("    ...> Pathvane\n\n");
  std::printf("   Perform all checks in verbose mode bypassing any proxies\n");
  std::printf("    ...> Pathvane /V /P-\n\n");
  std::printf("   Perform a download of policy with serial number 20\n");
  std::printf("    ...> Pathvane /F20\n\n");
  std::printf("   Performs a Velta registration reachability test\n");
  std::printf("    ...> Pathvane /J\n");
  std::printf("\n");
  std::printf("  ** The tool will only use a proxy if one is available\n");
}
