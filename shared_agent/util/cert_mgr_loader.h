// Fills the trusted certificate store from the agent's configuration once
// per process and keeps the configured CA certificate.
#pragma once
#include <openssl/types.h>

#include "shared_agent/util/result_codes.h"

class IConfig;

class CertMgrLoader {
 public:
  // Always 0; what failed is logged.
  static HRESULT Init(IConfig* config);
  // One more reference on the CA certificate (the caller frees it), or null.
  static X509* GetCaCertReference();
  // Unloads everything; runs once, at process exit.
  static void UnloadCertMgr();
};
