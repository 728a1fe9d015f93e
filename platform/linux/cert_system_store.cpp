#include "platform/cert_system_store.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <climits>
#include <cstring>
#include <memory>

#include "platform/codec.h"

namespace platform {
namespace {

std::string root_file_override;

// A bundle larger than any real one is not read further.
constexpr size_t kMaxEntries = 100000;

struct Store {
  std::vector<CERT_CONTEXT> certs;
};

std::u16string wide_of(const std::string& text) {
  int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  if (n <= 0) return {};
  std::u16string out(static_cast<size_t>(n), u'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), n);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

// The subject's common name, else its one-line form.
std::string display_name(X509_NAME* subject) {
  int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
  if (index >= 0) {
    ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
    unsigned char* utf8 = nullptr;
    int n = ASN1_STRING_to_UTF8(&utf8, data);
    if (n >= 0) {
      std::string name(reinterpret_cast<char*>(utf8), static_cast<size_t>(n));
      OPENSSL_free(utf8);
      return name;
    }
  }
  char line[512];
  return X509_NAME_oneline(subject, line, sizeof(line)) ? std::string(line) : std::string();
}

// The next PEM block of the bundle as DER, with its subject located. False at the end.
bool read_block(BIO* bio, Store& store) {
  char* name = nullptr;
  char* header = nullptr;
  unsigned char* data = nullptr;
  long length = 0;
  if (PEM_read_bio(bio, &name, &header, &data, &length) != 1) {
    const unsigned long reason = ERR_GET_REASON(ERR_peek_last_error());
    ERR_clear_error();
    if (reason == PEM_R_NO_START_LINE) return false;
    // A block that cannot be read stays in the walk, empty, to be reported and skipped.
    store.certs.emplace_back();
    return !BIO_eof(bio);
  }
  if (std::strcmp(name, PEM_STRING_X509) == 0 || std::strcmp(name, PEM_STRING_X509_TRUSTED) == 0 ||
      std::strcmp(name, PEM_STRING_X509_OLD) == 0) {
    CERT_CONTEXT context;
    context.encoded.assign(data, data + length);
    size_t cert_length = 0, offset = 0, size = 0;
    if (CertLocateSubject(data, static_cast<size_t>(length), &cert_length, &offset, &size)) {
      context.subject.assign(data + offset, data + offset + size);
    }
    store.certs.push_back(std::move(context));
  }
  OPENSSL_free(name);
  OPENSSL_free(header);
  OPENSSL_free(data);
  return true;
}
}  // namespace

void set_root_store_file(const std::string& path) { root_file_override = path; }

HCERTSTORE CertOpenSystemStoreW(void* /*provider*/, const char16_t* name) {
  if (!name || std::u16string(name) != u"ROOT") return nullptr;
  std::string path = root_file_override.empty() ? X509_get_default_cert_file() : root_file_override;
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_file(path.c_str(), "r"), BIO_free);
  if (!bio) {
    ERR_clear_error();
    return nullptr;
  }
  auto store = std::make_unique<Store>();
  while (store->certs.size() < kMaxEntries && read_block(bio.get(), *store)) {
  }
  ERR_clear_error();
  return store.release();
}

const CERT_CONTEXT* CertEnumCertificatesInStore(HCERTSTORE handle, const CERT_CONTEXT* previous) {
  auto* store = static_cast<Store*>(handle);
  if (!store) return nullptr;
  size_t next = previous ? static_cast<size_t>(previous - store->certs.data()) + 1 : 0;
  return next < store->certs.size() ? &store->certs[next] : nullptr;
}

uint32_t CertGetNameStringW(const CERT_CONTEXT* cert, uint32_t type, uint32_t /*flags*/, void* /*type_para*/,
                            char16_t* name, uint32_t chars) {
  std::u16string text;
  if (cert && type == CERT_NAME_SIMPLE_DISPLAY_TYPE && !cert->subject.empty()) {
    // Only the name is decoded, not the whole certificate.
    const unsigned char* p = cert->subject.data();
    X509_NAME* subject = d2i_X509_NAME(nullptr, &p, static_cast<long>(cert->subject.size()));
    if (subject) {
      text = wide_of(display_name(subject));
      X509_NAME_free(subject);
    } else {
      ERR_clear_error();
    }
  }
  if (!name || chars == 0) return static_cast<uint32_t>(text.size() + 1);
  size_t n = text.size() < chars ? text.size() : chars - 1;
  std::memcpy(name, text.data(), n * sizeof(char16_t));
  name[n] = u'\0';
  return static_cast<uint32_t>(n + 1);
}

int CryptBinaryToStringW(const uint8_t* data, uint32_t size, uint32_t flags, char16_t* out, uint32_t* chars) {
  if (!data || size == 0 || !chars || flags != CRYPT_STRING_BASE64) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // 64 characters a line, each line ended with CR LF, as the Windows form gives.
  uint32_t base64 = (size + 2) / 3 * 4;
  uint32_t lines = (base64 + 63) / 64;
  uint32_t need = base64 + lines * 2 + 1;
  if (!out) {
    *chars = need;
    return 1;
  }
  if (*chars < need) {
    SetLastError(234);  // ERROR_MORE_DATA
    return 0;
  }
  std::string text(base64 + 1, '\0');
  EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), data, static_cast<int>(size));
  uint32_t pos = 0;
  for (uint32_t i = 0; i < base64; i += 64) {
    for (uint32_t k = i; k < base64 && k < i + 64; ++k) out[pos++] = static_cast<char16_t>(text[k]);
    out[pos++] = u'\r';
    out[pos++] = u'\n';
  }
  out[pos] = u'\0';
  *chars = pos;
  return 1;
}

int CertFreeCertificateContext(const CERT_CONTEXT* /*cert*/) { return 1; }

int CertCloseStore(HCERTSTORE handle, uint32_t /*flags*/) {
  delete static_cast<Store*>(handle);
  return 1;
}

}  // namespace platform
