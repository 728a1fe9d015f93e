#include "platform/cert_system_store.h"
#include "platform/codec.h"

#include <windows.h>
#include <wincrypt.h>

#include <deque>

namespace platform {
namespace {

// Our context first, so the pointer handed out leads back to the real one.
struct Context {
  CERT_CONTEXT ours;
  PCCERT_CONTEXT real = nullptr;  // a reference of our own, released by the caller's free or the close
};

struct Store {
  HCERTSTORE real = nullptr;
  // Every context given out stays valid until the store is closed, as the
  // callers expect from the other systems' form.
  std::deque<Context> contexts;
};

Context* context_of(const CERT_CONTEXT* cert) {
  return reinterpret_cast<Context*>(const_cast<CERT_CONTEXT*>(cert));
}

}  // namespace

// The system store is the one source on Windows; a test file is not read here.
void set_root_store_file(const std::string& /*path*/) {}

HCERTSTORE CertOpenSystemStoreW(void* /*provider*/, const char16_t* name) {
  if (!name) return nullptr;
  ::HCERTSTORE real = ::CertOpenSystemStoreW(0, reinterpret_cast<const wchar_t*>(name));
  if (!real) return nullptr;
  auto* store = new Store;
  store->real = real;
  return store;
}

const CERT_CONTEXT* CertEnumCertificatesInStore(HCERTSTORE handle, const CERT_CONTEXT* previous) {
  auto* store = static_cast<Store*>(handle);
  if (!store) return nullptr;
  PCCERT_CONTEXT after = nullptr;
  if (previous) {
    // A previous context the caller has already freed cannot lead further.
    const Context* prior = context_of(previous);
    if (!prior->real) return nullptr;
    // The walk consumes the reference it is given; ours stays with the context.
    after = ::CertDuplicateCertificateContext(prior->real);
  }
  PCCERT_CONTEXT next = ::CertEnumCertificatesInStore(store->real, after);
  if (!next) return nullptr;
  Context& context = store->contexts.emplace_back();
  context.real = next;
  context.ours.encoded.assign(next->pbCertEncoded, next->pbCertEncoded + next->cbCertEncoded);
  if (next->pCertInfo && next->pCertInfo->Subject.pbData) {
    const CERT_NAME_BLOB& subject = next->pCertInfo->Subject;
    context.ours.subject.assign(subject.pbData, subject.pbData + subject.cbData);
  }
  return &context.ours;
}

uint32_t CertGetNameStringW(const CERT_CONTEXT* cert, uint32_t type, uint32_t flags, void* type_para,
                            char16_t* name, uint32_t chars) {
  const Context* context = cert ? context_of(cert) : nullptr;
  if (!context || !context->real) {
    if (name && chars > 0) name[0] = u'\0';
    return 1;
  }
  return ::CertGetNameStringW(context->real, type, flags, type_para, reinterpret_cast<wchar_t*>(name), chars);
}

int CryptBinaryToStringW(const uint8_t* data, uint32_t size, uint32_t flags, char16_t* out, uint32_t* chars) {
  if (!chars) {
    ::SetLastError(platform::ERROR_INVALID_PARAMETER);
    return 0;
  }
  DWORD count = *chars;
  const BOOL ok = ::CryptBinaryToStringW(data, size, flags, reinterpret_cast<wchar_t*>(out), &count);
  *chars = count;
  return ok ? 1 : 0;
}

int CertFreeCertificateContext(const CERT_CONTEXT* cert) {
  if (!cert) return 1;
  Context* context = context_of(cert);
  if (context->real) ::CertFreeCertificateContext(context->real);
  context->real = nullptr;
  return 1;
}

int CertCloseStore(HCERTSTORE handle, uint32_t flags) {
  auto* store = static_cast<Store*>(handle);
  if (!store) return 1;
  for (Context& context : store->contexts) {
    if (context.real) ::CertFreeCertificateContext(context.real);
  }
  const BOOL ok = ::CertCloseStore(store->real, flags);
  delete store;
  return ok ? 1 : 0;
}

}  // namespace platform
