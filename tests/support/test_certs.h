// Certificates for the tests: self-signed CAs, PEM files and trust callbacks.
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

}  // namespace testsupport
