#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <vector>

#include "agent/confstore/config_store.h"

namespace {

// Every certificate in one PEM text; false when it holds none.
bool read_pem(const std::string& text, std::vector<X509*>& certs) {
  BIO* bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
  if (!bio) return false;
  size_t before = certs.size();
  while (X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) certs.push_back(cert);
  BIO_free(bio);
  // The reader ends on "no start line"; that is no error of the caller's.
  ERR_clear_error();
  return certs.size() > before;
}

}  // namespace

int ConfigStore::GetCertList(const char* key, X509*** list, uint32_t* count) {
  if (!list || !count) return 1;
  *list = nullptr;
  *count = 0;
  std::vector<X509*> certs;
  try {
    const nlohmann::json* value = find(key);
    if (!value || !value->is_array()) return 1;
    // A bad entry is left out; the rest still comes back, with a non-zero
    // result to say that something was missing.
    int result = 0;
    for (const auto& entry : *value) {
      if (!entry.is_string() || !read_pem(entry.get_ref<const std::string&>(), certs)) result = 2;
    }
    if (!certs.empty()) {
      auto* out = static_cast<X509**>(std::calloc(certs.size(), sizeof(X509*)));
      if (!out) {
        for (X509* cert : certs) X509_free(cert);
        return 1;
      }
      for (size_t i = 0; i < certs.size(); ++i) out[i] = certs[i];
      *list = out;
      *count = static_cast<uint32_t>(certs.size());
    }
    return result;
  } catch (...) {
    for (X509* cert : certs) X509_free(cert);
    return 1;
  }
}

void ConfigStore::FreeCertList(X509** list, uint32_t count) {
  if (!list) return;
  for (uint32_t i = 0; i < count; ++i) X509_free(list[i]);
  std::free(list);
}
