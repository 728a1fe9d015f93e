#include "shared_agent/util/cert_mgr_loader.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstring>
#include <mutex>

#include "agent/confstore/iconfig.h"
#include "agent/kit/kit.h"
#include "velta_client/src/cert_store.h"

namespace {

constexpr const char* kTrustedCertsKey = "config/agent/cloud/trustedcerts/cert";
constexpr const char* kCaCertKey = "config/agent/cloud/est/cert";
constexpr HRESULT E_UNEXPECTED_VALUE = static_cast<HRESULT>(0x8000FFFF);

std::mutex loader_lock;
bool loaded = false;
X509* ca_cert = nullptr;

HRESULT _pem_to_x509(IConfig* config) {
  char* pem = config->GetStringA(kCaCertKey);
  HRESULT hr = S_OK;
  if (!pem || !*pem) {
    hr = E_UNEXPECTED_VALUE;
  } else if (BIO* bio = BIO_new_mem_buf(pem, static_cast<int>(std::strlen(pem))); !bio) {
    error("_pem_to_x509: Failed to allocate memory (%s)", pem);
    hr = E_FAIL;
  } else {
    ca_cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    if (!ca_cert) {
      ERR_clear_error();
      error("_pem_to_x509: Failed to convert pem to x509 (%s)", pem);
      hr = E_FAIL;
    }
    BIO_free(bio);
  }
  if (pem) config->FreeBuffer(pem);
  return hr;
}

// Runs the unload when the process ends, as the agent's loader does.
struct UnloadAtExit {
  ~UnloadAtExit() { CertMgrLoader::UnloadCertMgr(); }
} unload_at_exit;

}  // namespace

HRESULT CertMgrLoader::Init(IConfig* config) {
  std::lock_guard<std::mutex> lock(loader_lock);
  if (loaded || !config) return S_OK;
  X509** certs = nullptr;
  uint32_t count = 0;
  if (config->GetCertList(kTrustedCertsKey, &certs, &count) != 0) {
    error("CertMgrLoader::Init: failed to load trusted certs from config");
  }
  if (cert_store_load(certs, count) == 0) {
    trace(0x1000, "CertMgrLoader::Init certs loaded from certificate manager");
    if (_pem_to_x509(config) != S_OK) {
      error("CertMgrLoader::Init failed to load CA certificate from %s", kCaCertKey);
    }
    loaded = true;
  } else {
    error("CertMgrLoader::Init: failed to load trusted root cA certificates");
  }
  config->FreeCertList(certs, count);
  return S_OK;
}

X509* CertMgrLoader::GetCaCertReference() {
  std::lock_guard<std::mutex> lock(loader_lock);
  if (!ca_cert) return nullptr;
  X509_up_ref(ca_cert);
  return ca_cert;
}

void CertMgrLoader::UnloadCertMgr() {
  std::lock_guard<std::mutex> lock(loader_lock);
  cert_store_unload();
  trace(0x1000, "CertMgrLoader::UnloadCertMgr certs unloaded from certificate manager");
  // A run that never loaded OpenSSL (the usage text) does not load it to free nothing.
  if (ca_cert) X509_free(ca_cert);
  ca_cert = nullptr;
  loaded = false;
}
