#include "tests/support/test_certs.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

X509* make_ca_cert(const std::string& common_name) {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  static long serial = 1;
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600L * 24 * 30);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(common_name.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509_set_pubkey(cert, key);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_basic_constraints, "critical,CA:TRUE");
  X509_add_ext(cert, ext, -1);
  X509_EXTENSION_free(ext);
  X509_sign(cert, key, EVP_sha256());
  EVP_PKEY_free(key);
  return cert;
}

std::string to_pem(X509* cert) {
  BIO* bio = BIO_new(BIO_s_mem());
  PEM_write_bio_X509(bio, cert);
  char* data = nullptr;
  long n = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<size_t>(n));
  BIO_free(bio);
  return pem;
}

void write_pem_file(const std::string& path, const std::vector<X509*>& certs) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (X509* cert : certs) out << to_pem(cert);
}

X509* read_certificate(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) return nullptr;
  X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  return cert;
}

void add_to_store(X509_STORE* store, X509* cert) {
  if (cert) X509_STORE_add_cert(store, cert);
}

int trust_calls = 0;
X509_STORE* trust_store_seen = nullptr;
X509* trust_cert_seen = nullptr;

void record_trust(X509_STORE* store, X509* cert) {
  ++trust_calls;
  trust_store_seen = store;
  trust_cert_seen = cert;
}

EVP_PKEY* make_key() { return EVP_EC_gen("P-256"); }

X509* make_cert(const CertSpec& spec, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuer_key) {
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  static long serial = 1000;
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
  X509_gmtime_adj(X509_getm_notBefore(cert), spec.valid_from);
  X509_gmtime_adj(X509_getm_notAfter(cert), spec.valid_until);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_NID(name, NID_commonName, V_ASN1_UTF8STRING,
                             reinterpret_cast<const unsigned char*>(spec.common_name.data()),
                             static_cast<int>(spec.common_name.size()), -1, 0);
  X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : name);
  X509_set_pubkey(cert, key);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer ? issuer : cert, cert, nullptr, nullptr, 0);
  std::vector<std::pair<int, std::string>> extensions = {
      {NID_basic_constraints, spec.ca ? "critical,CA:TRUE" : "critical,CA:FALSE"},
      {NID_key_usage, spec.ca ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature"},
      {NID_subject_key_identifier, "hash"}};
  // Real chains name their issuer's key, which is what tells two roots of one name apart.
  if (issuer) extensions.emplace_back(NID_authority_key_identifier, "keyid:always");
  if (!spec.alt_names.empty()) extensions.emplace_back(NID_subject_alt_name, spec.alt_names);
  for (const auto& [nid, value] : extensions) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
  }
  if (spec.alt_names.empty() && !spec.dns_names.empty()) {
    GENERAL_NAMES* names = sk_GENERAL_NAME_new_null();
    for (const auto& dns : spec.dns_names) {
      ASN1_IA5STRING* text = ASN1_IA5STRING_new();
      ASN1_STRING_set(text, dns.data(), static_cast<int>(dns.size()));
      GENERAL_NAME* entry = GENERAL_NAME_new();
      GENERAL_NAME_set0_value(entry, GEN_DNS, text);
      sk_GENERAL_NAME_push(names, entry);
    }
    X509_add1_ext_i2d(cert, NID_subject_alt_name, names, 0, X509V3_ADD_DEFAULT);
    GENERAL_NAMES_free(names);
  }
  X509_sign(cert, issuer ? issuer_key : key, EVP_sha256());
  return cert;
}

void write_key_file(const std::string& path, EVP_PKEY* key) {
  BIO* bio = BIO_new_file(path.c_str(), "w");
  if (!bio) return;
  PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
  BIO_free(bio);
}

}  // namespace testsupport
