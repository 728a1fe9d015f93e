// The TLS material of one test cloud run: a CA of its own and a server
// certificate. The server certificate is normally for 127.0.0.1 and localhost
// and signed by the CA; the other kinds are the faults a client must refuse.
#pragma once
#include <openssl/types.h>

#include <string>

namespace testcloud {

enum class ServerCert {
  valid,
  expired,      // signed by the CA, for the right names, but past its end
  other_host,   // signed by the CA, valid, for other-host.example only
  self_signed,  // for the right names and valid, but signed by its own key
};

// "valid", "expired", "other-host" or "self-signed"; false for any other text.
bool parse_server_cert(const std::string& text, ServerCert* kind);

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
bool generate_certificates(Certificates& out, ServerCert kind, std::string* error);

// Writes ca.pem, server.pem and server.key into dir.
bool write_certificates(const Certificates& certs, const std::string& dir, std::string* error);

}  // namespace testcloud
