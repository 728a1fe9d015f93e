// Certificates for the tests: self-signed CAs, chains, PEM files and trust callbacks.
#pragma once
#include <openssl/types.h>

#include <string>
#include <vector>

namespace testsupport {

// A new self-signed CA certificate with the given common name (caller frees).
X509* make_ca_cert(const std::string& common_name);
std::string to_pem(X509* cert);
// Writes the certificates as one PEM bundle.
void write_pem_file(const std::string& path, const std::vector<X509*>& certs);
// The first certificate of a PEM file; null when there is none (caller frees).
X509* read_certificate(const std::string& path);

// The trust callback the agent's settings carry: adds cert to the store.
void add_to_store(X509_STORE* store, X509* cert);

// A trust callback that only records its calls.
void record_trust(X509_STORE* store, X509* cert);
extern int trust_calls;
extern X509_STORE* trust_store_seen;
extern X509* trust_cert_seen;

// One certificate of a chain made for a real TLS server. The common name is
// taken byte for byte as a UTF8String, of any length.
struct CertSpec {
  std::string common_name;
  bool ca = true;
  long valid_from = -3600;            // seconds from now
  long valid_until = 3600L * 24 * 30;  // seconds from now
  std::string alt_names;              // subjectAltName, e.g. "IP:127.0.0.1"; none when empty
  // dNSName entries of the subjectAltName byte for byte, line ends and all
  // (the syntax of alt_names ends at a line end); used when alt_names is empty.
  std::vector<std::string> dns_names;
};

// A new P-256 key (caller frees).
EVP_PKEY* make_key();
// A certificate for key with a subject key identifier, signed by issuer_key
// under issuer's subject and key identifier; self-signed when issuer is null.
X509* make_cert(const CertSpec& spec, EVP_PKEY* key, X509* issuer = nullptr, EVP_PKEY* issuer_key = nullptr);
void write_key_file(const std::string& path, EVP_PKEY* key);

}  // namespace testsupport
