#include <openssl/asn1.h>

#include <climits>

#include "platform/cert_system_store.h"

namespace platform {
namespace {

// One DER element at p (no further than end): its whole extent; false when malformed.
bool element(const unsigned char*& p, const unsigned char* end, int* tag, int* cls, const unsigned char** content,
             long* length) {
  const unsigned char* q = p;
  long len = 0;
  int flags = ASN1_get_object(&q, &len, tag, cls, end - p);
  if ((flags & 0x80) || (flags & 0x21) == 0x21 || len < 0 || len > end - q) return false;
  *content = q;
  *length = len;
  p = q + len;
  return true;
}

}  // namespace

bool CertLocateSubject(const uint8_t* der, size_t size, size_t* cert_length, size_t* subject_offset,
                       size_t* subject_length) {
  if (!der || size == 0 || size > static_cast<size_t>(LONG_MAX)) return false;
  const unsigned char* p = der;
  const unsigned char* end = der + size;
  int tag = 0, cls = 0;
  const unsigned char* content = nullptr;
  long length = 0;
  // Certificate ::= SEQUENCE { tbsCertificate SEQUENCE { [0] version OPTIONAL,
  //   serialNumber, signature, issuer, validity, subject, ... }, ... }
  if (!element(p, end, &tag, &cls, &content, &length) || tag != V_ASN1_SEQUENCE) return false;
  *cert_length = static_cast<size_t>(p - der);
  const unsigned char* cert_end = p;
  p = content;
  if (!element(p, cert_end, &tag, &cls, &content, &length) || tag != V_ASN1_SEQUENCE) return false;
  const unsigned char* tbs_end = p;
  p = content;
  const unsigned char* start = p;
  if (!element(p, tbs_end, &tag, &cls, &content, &length)) return false;
  if (cls == V_ASN1_CONTEXT_SPECIFIC && tag == 0) {
    start = p;
    if (!element(p, tbs_end, &tag, &cls, &content, &length)) return false;  // serial number
  }
  for (int skip = 0; skip < 3; ++skip) {  // signature, issuer, validity
    if (!element(p, tbs_end, &tag, &cls, &content, &length) || tag != V_ASN1_SEQUENCE) return false;
  }
  start = p;
  if (!element(p, tbs_end, &tag, &cls, &content, &length) || tag != V_ASN1_SEQUENCE) return false;
  *subject_offset = static_cast<size_t>(start - der);
  *subject_length = static_cast<size_t>(p - start);
  return true;
}

}  // namespace platform
