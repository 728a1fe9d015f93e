// Adds a DER certificate to the current user's ROOT store, as an admin
// trusting a CA on one machine would: the test's way to make a certificate
// trusted through the system store alone.
// usage: add_root_cert <file.der>
#include <windows.h>
// wincrypt.h needs windows.h first.
#include <wincrypt.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: add_root_cert <file.der>\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::vector<unsigned char> der((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (der.empty()) {
    std::fprintf(stderr, "add_root_cert: cannot read %s\n", argv[1]);
    return 1;
  }
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, L"ROOT");
  if (!store) {
    std::fprintf(stderr, "add_root_cert: cannot open the ROOT store (%lu)\n", GetLastError());
    return 1;
  }
  const BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                      static_cast<DWORD>(der.size()), CERT_STORE_ADD_REPLACE_EXISTING,
                                                      nullptr);
  const DWORD error = GetLastError();
  CertCloseStore(store, 0);
  if (!added) {
    std::fprintf(stderr, "add_root_cert: the store refused the certificate (%lu)\n", error);
    return 1;
  }
  return 0;
}
