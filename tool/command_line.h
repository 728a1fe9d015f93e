// The command line: usage text, check options, the joined command line.
#pragma once
#include <cstdint>

void PrintUsage();
// For an argument that begins with "/" and is neither /V nor /P: the check
// bit, or 0 for an unknown letter or a rejected argument (then *error is set).
uint32_t ParseCheckOption(const char* argument, uint32_t* serial, bool* error);
// argv[0] and every argument joined by single blanks into a new string
// (release with free). 0, or -1 when argv or out is null or memory runs out.
int JoinArguments(int argc, char** argv, char** out);

enum ProxyMode : int { kProxyDiscover = 0, kProxyFromPolicy = 1, kProxyBypass = 2 };

struct CommandLine {
  uint32_t mask = 0;
  ProxyMode proxy_mode = kProxyDiscover;
  bool verbose = false;
  uint32_t policy_serial = 0;
};

// Reads argv[1..]; false when the usage must be shown.
bool ParseCommandLine(int argc, char** argv, CommandLine& out);
