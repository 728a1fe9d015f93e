#include <cstdio>
#include <cstdlib>

#include "agent/kit/kit.h"
#include "tool/command_line.h"
#include "tool/pathvane_wrapper.h"
#include "velta_client/src/cert_store.h"

namespace {

// Runs on every way out: the handle, the certificate store, the trace output.
int finish(PathvaneWrapper& wrapper, HRESULT hr) {
  pathvane_free(&wrapper.handle());
  cert_store_unload();
  trace_close();
  return hr < 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
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
  hr = wrapper.Initialize(options.proxy_mode == kProxyBypass, options.proxy_mode == kProxyDiscover,
                          options.verbose, joined, options.policy_serial);
  std::free(joined);
  if (hr >= 0) hr = wrapper.RunChecks(options.mask);
  return finish(wrapper, hr);
}
