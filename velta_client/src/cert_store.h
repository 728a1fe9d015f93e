// The trusted certificate set of every TLS connection: the ROOT store's
// certificates plus the configured ones that are not among them.
#pragma once
#include <openssl/types.h>

#include <cstddef>
#include <string>
#include <vector>

void cert_store_init();
// Loads ROOT, then the configured certificates (copied; the caller keeps its
// own). 0, or -1 when already loaded or ROOT gives nothing.
int cert_store_load(X509** certs, size_t count);
// The trust callback of every TLS context: adds the set and extra.
void cert_add_from_keystore(X509_STORE* store, X509* extra);
int cert_store_unload();
// True while the ROOT set is loaded, so that the trust callback adds the whole trusted set.
bool cert_store_loaded();
// The one-line subjects of the configured certificates the set holds
// beside ROOT (what a hint names of the trusted set; ROOT is too many).
std::vector<std::string> cert_store_configured_subjects();
// The one-line subject of a certificate ("/O=.../CN=..."); "" for none.
std::string cert_subject_line(const X509* cert);
