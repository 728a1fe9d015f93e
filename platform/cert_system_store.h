// The Linux form of the "ROOT" system certificate store: the CA bundle that
// OpenSSL uses by default, one entry per certificate (its DER bytes).
#pragma once
#include "platform/system_names.h"
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct CERT_CONTEXT {
  std::vector<uint8_t> encoded;  // DER; empty for a block of the bundle that could not be read
  // The subject name's DER, found without parsing the certificate (the
  // Windows form's CERT_INFO.Subject); empty when the bytes are no certificate.
  std::vector<uint8_t> subject;
};

// The length of the certificate at the start of der (a bundle's trusted form
// carries trust settings after it), and where its subject name lies; false
// when der does not have a certificate's shape. Nothing is parsed.
bool CertLocateSubject(const uint8_t* der, size_t size, size_t* cert_length, size_t* subject_offset,
                       size_t* subject_length);

using HCERTSTORE = void*;

constexpr uint32_t CERT_NAME_SIMPLE_DISPLAY_TYPE = 4;
constexpr uint32_t CRYPT_STRING_BASE64 = 1;

// Only "ROOT" is known; null when the bundle cannot be read.
HCERTSTORE CertOpenSystemStoreW(void* provider, const char16_t* name);
// Windows walk: null starts, the previous context is given back, null ends.
const CERT_CONTEXT* CertEnumCertificatesInStore(HCERTSTORE store, const CERT_CONTEXT* previous);
// Subject common name, else the one-line subject. Returns characters written
// with the NUL; 1 (an empty text) when no name can be had.
uint32_t CertGetNameStringW(const CERT_CONTEXT* cert, uint32_t type, uint32_t flags, void* type_para,
                            char16_t* name, uint32_t chars);
// With a null out, *chars receives the Base64 length with the NUL.
int CryptBinaryToStringW(const uint8_t* data, uint32_t size, uint32_t flags, char16_t* out, uint32_t* chars);
int CertFreeCertificateContext(const CERT_CONTEXT* cert);
int CertCloseStore(HCERTSTORE store, uint32_t flags);

// Test seam: read ROOT from this PEM file instead of the system bundle
// (empty restores the system bundle).
void set_root_store_file(const std::string& path);

}  // namespace platform
