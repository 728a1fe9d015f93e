// Certificates made for a test: self-signed CAs and PEM files.
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

}  // namespace testsupport
