#include <cstdio>
#include <cstdlib>
#include <string>

#include "agent/kit/kit.h"
#include "tool/command_line.h"
#include "tool/pathvane_wrapper.h"
#include "tool/results_file.h"
#include "velta_client/src/cert_store.h"

namespace {

const char* proxy_mode_word(ProxyMode mode) {
  return mode == kProxyDiscover ? "discover" : mode == kProxyFromPolicy ? "policy" : "none";
}

// Runs on every way out: the results file once the trace facility is open,
// then the handle, the certificate store, the trace output.
int finish(PathvaneWrapper& wrapper, HRESULT hr, ResultsRun* results = nullptr) {
  const int exit_code = hr < 0 ? 1 : 0;
  if (results) {
    results->exit_code = exit_code;
    results->identity = &wrapper.identity();
    results->checks = &wrapper.records();
    results->errors = trace_error_lines();
    results->log_path = trace_log_path();
    write_run_results(*results);
  }
  pathvane_free(&wrapper.handle());
  cert_store_unload();
  trace_close();
  return exit_code;
}

}  // namespace

int main(int argc, char** argv) {
  ResultsRun results;
  results.started = results_time_now();
  PathvaneWrapper wrapper;
  HRESULT hr = E_FAIL;
  CommandLine options;
  if (!ParseCommandLine(argc, argv, options)) {
    PrintUsage();
    return finish(wrapper, hr);
  }
  char* joined = nullptr;
  if (JoinArguments(argc, argv, &joined) != 0) {
    std::printf("Internal error processing command line arguments\n");
    return finish(wrapper, hr);
  }
  results.proxy_mode = proxy_mode_word(options.proxy_mode);
  results.command_line = joined;
  hr = wrapper.Initialize(options.proxy_mode == kProxyBypass, options.proxy_mode == kProxyDiscover,
                          options.verbose, joined, options.policy_serial);
  std::free(joined);
  if (hr >= 0) hr = wrapper.RunChecks(options.mask);
  return finish(wrapper, hr, &results);
}
