#include "velta_client/src/cert_store.h"

#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/cert_system_store.h"
#include "platform/codec.h"
#include "velta_client/src/common/zel_log.h"

namespace {

std::atomic<bool> cert_store_lock_ready{false};
std::mutex cert_store_lock;

// A ROOT certificate: its DER, and the object made from it when the first TLS
// connection needs it, so a run that makes none parses nothing.
struct RootCert {
  std::vector<uint8_t> der;  // the certificate and, in the trusted form, its trust settings
  size_t cert_length = 0;    // the certificate alone
  X509_NAME* subject = nullptr;
  X509* cert = nullptr;
  bool unreadable = false;
};

std::vector<RootCert>* root_list = nullptr;
size_t root_count = 0;

// The object of one ROOT certificate, made once; null when its bytes do not parse.
X509* root_cert(RootCert& root) {
  if (!root.cert && !root.unreadable) {
    const unsigned char* der = root.der.data();
    root.cert = d2i_X509_AUX(nullptr, &der, static_cast<long>(root.der.size()));
    if (!root.cert) {
      ERR_clear_error();
      root.unreadable = true;
      zel_error("cert_store_load(): Failed to convert certificate to X509 format");
    }
  }
  return root.cert;
}

// Equal to a ROOT certificate: the same encoding, so nothing is parsed to tell.
bool in_root(X509* cert) {
  unsigned char* der = nullptr;
  int length = i2d_X509(cert, &der);
  bool found = false;
  for (size_t r = 0; length > 0 && r < root_count && !found; ++r) {
    const RootCert& root = (*root_list)[r];
    found = root.cert_length == static_cast<size_t>(length) && std::memcmp(root.der.data(), der, root.cert_length) == 0;
  }
  OPENSSL_free(der);
  return found;
}
X509** config_list = nullptr;
size_t config_count = 0;

int _set_config_certs(X509** certs, size_t count) {
  if (!certs || count == 0) return 0;
  config_list = static_cast<X509**>(std::calloc(count, sizeof(X509*)));
  config_count = 0;
  if (!config_list) {
    zel_error("_set_config_certs(): calloc failed");
    return -1;
  }
  for (size_t i = 0; i < count; ++i) {
    if (!certs[i]) continue;
    if (in_root(certs[i])) continue;
    // A reference, not a re-encoded copy: the object was parsed once already.
    X509* copy = X509_up_ref(certs[i]) == 1 ? certs[i] : nullptr;
    if (!copy) {
      zel_error("_set_config_certsX509_dup failed (config trusted cert index: %lu)", static_cast<unsigned long>(i));
      continue;
    }
    char subject[512];
    if (!X509_NAME_oneline(X509_get_subject_name(copy), subject, sizeof(subject))) subject[0] = '\0';
    zel_trace(-1, "_set_config_certs(): Certificate for %s", subject);
    config_list[config_count++] = copy;
  }
  return 0;
}

// Walks ROOT into the root list; 0 when the walk ended normally.
int load_root(platform::HCERTSTORE store, size_t expected) {
  root_list = new (std::nothrow) std::vector<RootCert>();
  if (!root_list) {
    zel_error("cert_store_load(): calloc failed");
    return -1;
  }
  try {
    root_list->reserve(expected);
  } catch (const std::bad_alloc&) {
    zel_error("cert_store_load(): calloc failed");
    return -1;
  }
  size_t seen = 0;
  for (const platform::CERT_CONTEXT* context = platform::CertEnumCertificatesInStore(store, nullptr); context;
       context = platform::CertEnumCertificatesInStore(store, context)) {
    if (seen == expected) {
      zel_error("cert_store_load(): Unexpected certificate count mismatch, not all certificates from store were added");
      platform::CertFreeCertificateContext(context);
      return 0;
    }
    ++seen;
    char16_t name[256];
    if (platform::CertGetNameStringW(context, platform::CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name, 256) > 1) {
      zel_trace(-1, "cert_store_load(): Certificate for %ws", name);
    } else {
      zel_error("cert_store_load(): CertGetName failed.");
    }
    uint32_t chars = 0;
    if (!platform::CryptBinaryToStringW(context->encoded.data(), static_cast<uint32_t>(context->encoded.size()),
                                        platform::CRYPT_STRING_BASE64, nullptr, &chars)) {
      zel_error("cert_store_load(): Invalid certificate (CryptBinaryToString() %d)",
                static_cast<int>(platform::GetLastError()));
      continue;
    }
    // Bytes without a certificate's shape are refused now; the object itself
    // is made when a TLS connection first needs it.
    RootCert root;
    size_t subject_offset = 0, subject_length = 0;
    if (!platform::CertLocateSubject(context->encoded.data(), context->encoded.size(), &root.cert_length,
                                     &subject_offset, &subject_length)) {
      zel_error("cert_store_load(): Failed to convert certificate to X509 format");
      continue;
    }
    const unsigned char* subject_der = context->encoded.data() + subject_offset;
    root.subject = d2i_X509_NAME(nullptr, &subject_der, static_cast<long>(subject_length));
    if (!root.subject) {
      ERR_clear_error();
      zel_error("cert_store_load(): Failed to convert certificate to X509 format");
      continue;
    }
    root.der = context->encoded;
    root_list->push_back(std::move(root));
    ++root_count;
  }
  return 0;
}

// The ROOT set as a TLS context's store asks for it: the certificates that
// bear a subject, their objects made on first use and added to that store.
// A connection then parses only the few certificates its chain needs.
int lookup_by_subject(X509_LOOKUP* lookup, X509_LOOKUP_TYPE type, const X509_NAME* name, X509_OBJECT* ret) {
  if (type != X509_LU_X509 || !name || !ret) return 0;
  X509_STORE* store = X509_LOOKUP_get_store(lookup);
  std::lock_guard<std::mutex> lock(cert_store_lock);
  if (!root_list || !store) return 0;
  X509* found = nullptr;
  for (RootCert& root : *root_list) {
    if (!root.subject || X509_NAME_cmp(root.subject, name) != 0) continue;
    X509* cert = root_cert(root);
    if (!cert) continue;
    if (X509_STORE_add_cert(store, cert) != 1) ERR_clear_error();
    if (!found) found = cert;
  }
  // The caller takes its own reference to what it is given; the object lives
  // on in the store and the root list, so ret only borrows it.
  if (!found || !X509_OBJECT_set1_X509(ret, found)) return 0;
  X509_free(found);
  return 1;
}

X509_LOOKUP_METHOD* root_lookup_method() {
  static X509_LOOKUP_METHOD* method = [] {
    X509_LOOKUP_METHOD* m = X509_LOOKUP_meth_new("ROOT set");
    if (m && !X509_LOOKUP_meth_set_get_by_subject(m, lookup_by_subject)) {
      X509_LOOKUP_meth_free(m);
      m = nullptr;
    }
    return m;
  }();
  return method;
}

void free_root_list() {
  if (!root_list) return;
  for (RootCert& root : *root_list) {
    X509_free(root.cert);
    X509_NAME_free(root.subject);
  }
  delete root_list;
  root_list = nullptr;
  root_count = 0;
}

}  // namespace

void cert_store_init() { cert_store_lock_ready.store(true); }

int cert_store_load(X509** certs, size_t count) {
  std::lock_guard<std::mutex> lock(cert_store_lock);
  int result = -1;
  platform::HCERTSTORE store = nullptr;
  if (root_count != 0) {
    zel_error("cert_store_load(): Certificates already loaded, unload certificates first to free existing certificates");
  } else if (!(store = platform::CertOpenSystemStoreW(nullptr, u"ROOT"))) {
    zel_error("cert_store_load(): The %ws store could not be opened.", u"ROOT");
  } else {
    zel_trace(-1, "The %ws store has been opened.", u"ROOT");
    size_t expected = 0;
    for (auto* c = platform::CertEnumCertificatesInStore(store, nullptr); c;
         c = platform::CertEnumCertificatesInStore(store, c)) {
      ++expected;
    }
    if (expected == 0) {
      zel_error("cert_store_load(): no certificates were found in %ws store", u"ROOT");
    } else {
      result = load_root(store, expected);
    }
  }
  if (store) platform::CertCloseStore(store, 0);
  if (root_count == 0 && root_list) {
    free_root_list();
    return -1;
  }
  if (result == 0 && _set_config_certs(certs, count) != 0) {
    zel_error("cert_store_load: Failed to add trusted certs from config");
  }
  return result;
}

void cert_add_from_keystore(X509_STORE* store, X509* extra) {
  std::lock_guard<std::mutex> lock(cert_store_lock);
  if (!root_list || root_count == 0) {
    zel_trace(-1, "cert_add_from_keystore: Certificates have not been loaded from the Keychain");
    return;
  }
  if (!store) {
    zel_error("cert_add_from_keystore: Invalid argument - X509_STORE is NULL");
    return;
  }
  auto add = [store](X509* cert) {
    if (X509_STORE_add_cert(store, cert) != 1) ERR_clear_error();
  };
  X509_LOOKUP_METHOD* method = root_lookup_method();
  if (!method || !X509_STORE_add_lookup(store, method)) {
    // Without the lookup every ROOT certificate goes in at once.
    method = nullptr;
    ERR_clear_error();
    for (RootCert& root : *root_list) {
      if (X509* cert = root_cert(root)) add(cert);
    }
  }
  // A store asks its lookups only for a name it holds nothing of, so a
  // configured certificate would hide the ROOT ones that share its subject
  // (a renewed root, a valid copy of an expired one): those go in with it.
  auto add_with_namesakes = [&](X509* cert) {
    add(cert);
    if (!method) return;
    const X509_NAME* subject = X509_get_subject_name(cert);
    for (RootCert& root : *root_list) {
      if (!root.subject || X509_NAME_cmp(root.subject, subject) != 0) continue;
      if (X509* namesake = root_cert(root)) add(namesake);
    }
  };
  for (size_t i = 0; i < config_count; ++i) add_with_namesakes(config_list[i]);
  if (extra) add_with_namesakes(extra);
}

int cert_store_unload() {
  if (!cert_store_lock_ready.load()) return 0;
  std::lock_guard<std::mutex> lock(cert_store_lock);
  free_root_list();
  for (size_t i = 0; i < config_count; ++i) X509_free(config_list[i]);
  std::free(config_list);
  config_list = nullptr;
  config_count = 0;
  return 0;
}

bool cert_store_loaded() {
  if (!cert_store_lock_ready.load()) return false;
  std::lock_guard<std::mutex> lock(cert_store_lock);
  return root_list && root_count != 0;
}

std::string cert_subject_line(const X509* cert) {
  char subject[512];
  if (!cert || !X509_NAME_oneline(X509_get_subject_name(cert), subject, sizeof(subject))) return "";
  return subject;
}

std::vector<std::string> cert_store_configured_subjects() {
  if (!cert_store_lock_ready.load()) return {};
  std::lock_guard<std::mutex> lock(cert_store_lock);
  std::vector<std::string> subjects;
  for (size_t i = 0; i < config_count; ++i) subjects.push_back(cert_subject_line(config_list[i]));
  return subjects;
}
