// The TLS material of one test cloud run: a CA of its own and a server
// certificate for 127.0.0.1 and localhost signed by it.
#pragma once
#include <openssl/types.h>

#include <string>

namespace testcloud {

struct Certificates {
  X509* ca = nullptr;
  EVP_PKEY* ca_key = nullptr;
  X509* server = nullptr;
  EVP_PKEY* server_key = nullptr;

  Certificates() = default;
  Certificates(const Certificates&) = delete;
  Certificates& operator=(const Certificates&) = delete;
  ~Certificates();
};

// Generates both certificates; false with *error set on failure.
bool generate_certificates(Certificates& out, std::string* error);

// Writes ca.pem, server.pem and server.key into dir.
bool write_certificates(const Certificates& certs, const std::string& dir, std::string* error);

}  // namespace testcloud
