#include "tests/cloud/certs.h"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <utility>

namespace testcloud {
namespace {

constexpr long kDay = 24L * 3600;
constexpr long kValidSeconds = 7 * kDay;
constexpr const char* kCloudNames = "DNS:localhost,IP:127.0.0.1";

// The server certificate's names, validity (seconds from now) and issuer.
struct ServerShape {
  const char* cn;
  const char* names;
  long not_before;
  long not_after;
  bool own_issuer;
};

ServerShape shape_of(ServerCert kind) {
  switch (kind) {
    case ServerCert::expired:
      return {"localhost", kCloudNames, -30 * kDay, -kDay, false};
    case ServerCert::other_host:
      return {"other-host.example", "DNS:other-host.example", -3600, kValidSeconds, false};
    case ServerCert::self_signed:
      return {"localhost", kCloudNames, -3600, kValidSeconds, true};
    case ServerCert::valid:
      break;
  }
  return {"localhost", kCloudNames, -3600, kValidSeconds, false};
}

bool add_extension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (!ext) return false;
  bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

// A certificate for key, named cn, valid between the two offsets from now
// (in seconds), not yet signed.
X509* new_certificate(EVP_PKEY* key, const char* cn, long not_before, long not_after) {
  X509* cert = X509_new();
  if (!cert) return nullptr;
  unsigned char serial[16];
  BIGNUM* bn = nullptr;
  bool ok = X509_set_version(cert, 2) == 1 && RAND_bytes(serial, sizeof(serial)) == 1;
  if (ok) {
    serial[0] &= 0x7F;  // positive
    bn = BN_bin2bn(serial, sizeof(serial), nullptr);
    ok = bn && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert));
  }
  BN_free(bn);
  ok = ok && X509_gmtime_adj(X509_getm_notBefore(cert), not_before) &&
       X509_gmtime_adj(X509_getm_notAfter(cert), not_after) && X509_set_pubkey(cert, key) == 1;
  X509_NAME* name = X509_get_subject_name(cert);
  ok = ok &&
       X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                  reinterpret_cast<const unsigned char*>("Pathvane Test Cloud"), -1, -1, 0) &&
       X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn), -1, -1, 0);
  if (!ok) {
    X509_free(cert);
    return nullptr;
  }
  return cert;
}

bool write_pem(const std::string& path, X509* cert, EVP_PKEY* key) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return false;
  bool ok =
      cert ? PEM_write_X509(f, cert) == 1 : PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  return std::fclose(f) == 0 && ok;
}

}  // namespace

Certificates::~Certificates() {
  X509_free(ca);
  X509_free(server);
  EVP_PKEY_free(ca_key);
  EVP_PKEY_free(server_key);
}

bool parse_server_cert(const std::string& text, ServerCert* kind) {
  const std::pair<const char*, ServerCert> names[] = {{"valid", ServerCert::valid},
                                                      {"expired", ServerCert::expired},
                                                      {"other-host", ServerCert::other_host},
                                                      {"self-signed", ServerCert::self_signed}};
  for (const auto& [name, value] : names) {
    if (text == name) {
      *kind = value;
      return true;
    }
  }
  return false;
}

bool generate_certificates(Certificates& out, ServerCert kind, std::string* error) {
  // EC keys: generated in a millisecond, where RSA would slow every start.
  out.ca_key = EVP_EC_gen("P-256");
  out.server_key = EVP_EC_gen("P-256");
  if (!out.ca_key || !out.server_key) {
    *error = "key generation failed";
    return false;
  }
  const ServerShape shape = shape_of(kind);
  out.ca = new_certificate(out.ca_key, "Pathvane Test Cloud CA", -3600, kValidSeconds);
  out.server = new_certificate(out.server_key, shape.cn, shape.not_before, shape.not_after);
  if (!out.ca || !out.server) {
    *error = "certificate creation failed";
    return false;
  }
  bool ok = X509_set_issuer_name(out.ca, X509_get_subject_name(out.ca)) == 1 &&
            add_extension(out.ca, out.ca, NID_basic_constraints, "critical,CA:TRUE") &&
            add_extension(out.ca, out.ca, NID_key_usage, "critical,keyCertSign,cRLSign") &&
            add_extension(out.ca, out.ca, NID_subject_key_identifier, "hash") &&
            X509_sign(out.ca, out.ca_key, EVP_sha256()) > 0;
  X509* issuer = shape.own_issuer ? out.server : out.ca;
  EVP_PKEY* issuer_key = shape.own_issuer ? out.server_key : out.ca_key;
  ok = ok && X509_set_issuer_name(out.server, X509_get_subject_name(issuer)) == 1 &&
       add_extension(out.server, issuer, NID_basic_constraints, "critical,CA:FALSE") &&
       add_extension(out.server, issuer, NID_key_usage, "critical,digitalSignature") &&
       add_extension(out.server, issuer, NID_ext_key_usage, "serverAuth") &&
       add_extension(out.server, issuer, NID_subject_alt_name, shape.names) &&
       (shape.own_issuer || add_extension(out.server, issuer, NID_authority_key_identifier, "keyid")) &&
       X509_sign(out.server, issuer_key, EVP_sha256()) > 0;
  if (!ok) *error = "certificate signing failed";
  return ok;
}

bool write_certificates(const Certificates& certs, const std::string& dir, std::string* error) {
  if (!write_pem(dir + "/ca.pem", certs.ca, nullptr) || !write_pem(dir + "/server.pem", certs.server, nullptr) ||
      !write_pem(dir + "/server.key", nullptr, certs.server_key)) {
    *error = "cannot write the certificates into " + dir;
    return false;
  }
  return true;
}

}  // namespace testcloud
