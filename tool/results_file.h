// The results file: one JSON document per run beside the trace log
// (log/pathvane-results.json) for scripts and fleet tools. docs/results.md
// describes its fields; "format" changes when one changes meaning.
#pragma once
#include <string>
#include <vector>

#include "diagnosis/check_record.h"
#include "tool/pathvane_wrapper.h"

constexpr int kResultsFormat = 1;
constexpr const char* kResultsFileName = "pathvane-results.json";
// Longest text taken from outside (names, headers, error texts), in bytes.
constexpr size_t kResultsTextMax = 1024;

struct ResultsRun {
  std::string started;  // UTC, "2026-12-11T01:02:03.456Z"
  const char* proxy_mode = "none";  // "discover", "policy" or "none"
  std::string command_line;
  int exit_code = 1;
  const PathvaneWrapper::RunIdentity* identity = nullptr;
  const std::vector<CheckRecord>* checks = nullptr;
  std::vector<std::string> errors;
  std::string log_path;  // "" when there was no log
};

// The current time in the form of ResultsRun::started.
std::string results_time_now();

// The document's text: valid UTF-8, each outside text cut to
// kResultsTextMax bytes.
std::string results_document(const ResultsRun& run);

// Writes text as directory/name through a temporary file of its own in the
// same folder (0600, never through a link) and a rename. False with why
// when it could not.
bool write_results_file(const std::string& directory, const std::string& text, std::string& why,
                        const char* name = kResultsFileName);

// The folder of the trace log (where it is, or where it would have gone).
std::string results_directory();

// Writes the run's file, and its own document too when it writes a per-run
// log; a failure is one error line and nothing else.
void write_run_results(const ResultsRun& run);
