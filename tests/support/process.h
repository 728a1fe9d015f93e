// Runs a program as a child process and collects what it printed.
#pragma once
#include <map>
#include <string>
#include <vector>

namespace testsupport {

struct ProcessResult {
  int exit_code = -1;    // when it exited
  int term_signal = 0;   // when a signal ended it
  bool timed_out = false;
  long max_rss_kb = 0;  // the child's peak resident memory
  std::string out;
  std::string err;
};

// env: variables to set (an empty value unsets); the rest is inherited.
// input is written to the child's standard input, which is then closed.
ProcessResult run_process(const std::vector<std::string>& argv,
                          const std::map<std::string, std::string>& env = {},
                          const std::string& cwd = "", int timeout_seconds = 120,
                          const std::string& input = "");

// One program for run_processes, with what run_process takes.
struct ProcessSpec {
  std::vector<std::string> argv;
  std::map<std::string, std::string> env;
  std::string cwd;
  std::string input;
};

// Runs the programs side by side, each under the same time-out, and returns
// their results in the order given: runs that mostly wait take together as
// long as the slowest of them.
std::vector<ProcessResult> run_processes(const std::vector<ProcessSpec>& specs, int timeout_seconds = 120);

// Ends a child started by a test: SIGTERM, a grace period, then SIGKILL.
void terminate_child(int pid);

// Splits text into lines (without their line ends).
std::vector<std::string> split_lines(const std::string& text);

// The built agent directory (build/bin) and the source tree.
std::string bin_dir();
std::string source_dir();

}  // namespace testsupport
