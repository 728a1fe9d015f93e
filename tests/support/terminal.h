// Runs a program with standard error on a pseudo-terminal, as an admin's
// console has it, and standard output on a pipe.
#pragma once
#include <string>
#include <vector>

namespace testsupport {

struct TerminalRun {
  std::string out;
  std::string terminal;  // every byte standard error wrote, untranslated (raw mode)
  int exit_code = -1;
};

// Runs argv in cwd and waits for it (a failure of the test after 60 s of silence).
TerminalRun run_on_terminal(const std::vector<std::string>& argv, const std::string& cwd);

}  // namespace testsupport
