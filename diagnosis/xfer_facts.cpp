#include "diagnosis/xfer_facts.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/format.h"
#include "platform/ascii_case.h"

namespace {

// The proxy options and time-out of the few handles a run uses at a time, as set.
struct HandleNotes {
  CURL* curl = nullptr;
  long timeout = 0;
  char proxy[256] = {};
  long port = 0;
  long type = CURLPROXY_HTTP;
  long auth = 0;
  bool credentials = false;
};
HandleNotes notes[4];
unsigned next_note = 0;

HandleNotes& notes_of(CURL* curl) {
  for (HandleNotes& n : notes) {
    if (n.curl == curl) return n;
  }
  HandleNotes& n = notes[next_note];
  next_note = (next_note + 1) % (sizeof(notes) / sizeof(notes[0]));
  n = HandleNotes{};
  n.curl = curl;
  return n;
}

xfer_facts check_facts[XFER_FACTS_MAX];
unsigned check_count = 0;
xfer_facts* in_flight = nullptr;  // the transfer being performed

// The in-flight transfer's handshakes: an https proxy's comes before the
// server's through its tunnel, each on its own connection. TLS 1.3 tickets
// start a "handshake" again on the same connection; that one is no new one.
std::chrono::steady_clock::time_point transfer_start;
const SSL* handshake_ssl = nullptr;
unsigned handshakes = 0;
bool handshake_done = false;

const char* proxy_scheme(long type) {
  switch (type) {
    case CURLPROXY_HTTPS:
      return "https";
    case CURLPROXY_SOCKS4:
      return "socks4";
    case CURLPROXY_SOCKS4A:
      return "socks4a";
    case CURLPROXY_SOCKS5:
      return "socks5";
    case CURLPROXY_SOCKS5_HOSTNAME:
      return "socks5h";
    default:
      return "http";
  }
}

void describe_proxy(const HandleNotes& n, char* out, size_t size) {
  if (!n.proxy[0]) {
    out[0] = '\0';
    return;
  }
  const bool has_scheme = std::strstr(n.proxy, "://") != nullptr;
  if (has_scheme) {
    platform::format(out, size, "%s", n.proxy);
  } else {
    platform::format(out, size, "%s://%s", proxy_scheme(n.type), n.proxy);
  }
  // The port option, unless the proxy text names one after its host.
  const char* host = has_scheme ? std::strstr(n.proxy, "://") + 3 : n.proxy;
  const char* bracket = std::strrchr(host, ']');
  const bool has_port = std::strchr(bracket ? bracket : host, ':') != nullptr;
  if (n.port > 0 && !has_port) {
    const size_t used = std::strlen(out);
    platform::format(out + used, size - used, ":%ld", n.port);
  }
}

void asn1_time_text(const ASN1_TIME* time, char* out, size_t size) {
  tm parts{};
  if (!time || ASN1_TIME_to_tm(time, &parts) != 1) {
    platform::format(out, size, "%s", "?");
    return;
  }
  platform::format(out, size, "%04d-%02d-%02d %02d:%02d:%02d UTC", parts.tm_year + 1900, parts.tm_mon + 1,
                   parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
}

void name_text(const X509_NAME* name, char* out, size_t size) {
  if (!name || !X509_NAME_oneline(name, out, static_cast<int>(size))) out[0] = '\0';
}

bool store_holds(X509_STORE_CTX* ctx, X509* cert) {
  STACK_OF(X509)* same_subject = X509_STORE_CTX_get1_certs(ctx, X509_get_subject_name(cert));
  bool held = false;
  for (int i = 0; same_subject && i < sk_X509_num(same_subject) && !held; ++i) {
    held = X509_cmp(sk_X509_value(same_subject, i), cert) == 0;
  }
  sk_X509_pop_free(same_subject, X509_free);
  return held;
}

// SHA-256 as upper-case hex pairs joined by ':'; "" when it cannot be had.
void fingerprint(X509* cert, char* out, size_t size) {
  out[0] = '\0';
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (X509_digest(cert, EVP_sha256(), digest, &length) != 1) return;
  size_t used = 0;
  for (unsigned int i = 0; i < length && used + 3 < size; ++i) {
    used += static_cast<size_t>(std::snprintf(out + used, size - used, i ? ":%02X" : "%02X", digest[i]));
  }
}

void describe_cert(X509_STORE_CTX* ctx, X509* cert, xfer_chain_cert& out) {
  name_text(X509_get_subject_name(cert), out.subject, sizeof(out.subject));
  name_text(X509_get_issuer_name(cert), out.issuer, sizeof(out.issuer));
  asn1_time_text(X509_get0_notBefore(cert), out.not_before, sizeof(out.not_before));
  asn1_time_text(X509_get0_notAfter(cert), out.not_after, sizeof(out.not_after));
  fingerprint(cert, out.sha256, sizeof(out.sha256));
  out.known = store_holds(ctx, cert) ? 1 : 0;
}

// Appends ", " + entry when it fits whole; false once one did not.
bool append_entry(char* out, size_t size, const char* kind, const char* value) {
  const size_t used = std::strlen(out);
  const size_t need = (used ? 2 : 0) + std::strlen(kind) + 1 + std::strlen(value);
  if (used + need + 1 > size) return false;
  platform::format(out + used, size - used, "%s%s:%s", used ? ", " : "", kind, value);
  return true;
}

void leaf_names_text(X509* cert, char* out, size_t size) {
  out[0] = '\0';
  auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
  for (int i = 0; names && i < sk_GENERAL_NAME_num(names); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
    char value[64] = {};
    const char* kind = nullptr;
    if (name->type == GEN_DNS) {
      kind = "DNS";
      const int length = ASN1_STRING_length(name->d.dNSName);
      platform::format(value, sizeof(value), "%.*s", length,
                       reinterpret_cast<const char*>(ASN1_STRING_get0_data(name->d.dNSName)));
    } else if (name->type == GEN_IPADD) {
      kind = "IP";
      const unsigned char* bytes = ASN1_STRING_get0_data(name->d.iPAddress);
      const int length = ASN1_STRING_length(name->d.iPAddress);
      if (length == 4) {
        platform::format(value, sizeof(value), "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
      } else if (length == 16) {
        size_t used = 0;
        for (int j = 0; j < 16; j += 2) {
          used += static_cast<size_t>(
              std::snprintf(value + used, sizeof(value) - used, j ? ":%x" : "%x", (bytes[j] << 8) | bytes[j + 1]));
        }
      }
    }
    if (kind && value[0] && !append_entry(out, size, kind, value)) break;
  }
  GENERAL_NAMES_free(names);
}

// The chain as the server sent it, taken once per handshake; then each
// verification error at the certificate it concerns. The verdict is
// OpenSSL's, returned unchanged.
int on_verify(int preverify_ok, X509_STORE_CTX* ctx) {
  xfer_facts* facts = in_flight;
  if (!facts || !ctx) return preverify_ok;
  if (facts->chain_count == 0) {
    STACK_OF(X509)* sent = X509_STORE_CTX_get0_untrusted(ctx);
    const int count = sent ? sk_X509_num(sent) : 0;
    facts->chain_count = static_cast<uint32_t>(count > 0 ? count : 0);
    for (int i = 0; i < count && static_cast<unsigned>(i) < XFER_CHAIN_MAX; ++i) {
      describe_cert(ctx, sk_X509_value(sent, i), facts->chain[i]);
    }
    if (count > 0) leaf_names_text(sk_X509_value(sent, 0), facts->leaf_names, sizeof(facts->leaf_names));
  }
  const int error = X509_STORE_CTX_get_error(ctx);
  if (!preverify_ok && error != X509_V_OK) {
    if (facts->verify_error == 0) {
      facts->verify_error = error;
      platform::format(facts->verify_error_text, sizeof(facts->verify_error_text), "%s",
                       X509_verify_cert_error_string(error));
    }
    X509* current = X509_STORE_CTX_get_current_cert(ctx);
    char current_print[96];
    if (current) fingerprint(current, current_print, sizeof(current_print));
    for (unsigned i = 0; current && current_print[0] && i < facts->chain_count && i < XFER_CHAIN_MAX; ++i) {
      xfer_chain_cert& entry = facts->chain[i];
      if (entry.verify_error == 0 && std::strcmp(current_print, entry.sha256) == 0) entry.verify_error = error;
    }
  }
  return preverify_ok;
}

int64_t since_start_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - transfer_start)
      .count();
}

// Past the client's hello: a state the client enters on reading the server.
bool server_answered_hello(const SSL* ssl) {
  const OSSL_HANDSHAKE_STATE state = SSL_get_state(ssl);
  return state != TLS_ST_BEFORE && state != TLS_ST_CW_CLNT_HELLO && state != TLS_ST_OK;
}

void on_tls_info(const SSL* ssl, int where, int ret) {
  xfer_facts* facts = in_flight;
  if (!facts) return;
  if ((where & SSL_CB_HANDSHAKE_START) && ssl != handshake_ssl) {
    handshake_ssl = ssl;
    ++handshakes;
    handshake_done = false;
    facts->tls_start_us = since_start_us();
    facts->tls_server_spoke = 0;
    facts->tls_server_not_tls = 0;
  }
  if (ssl != handshake_ssl) return;
  if ((where & SSL_CB_LOOP) && server_answered_hello(ssl)) facts->tls_server_spoke = 1;
  if ((where & SSL_CB_READ_ALERT) == SSL_CB_READ_ALERT) facts->tls_server_spoke = 1;
  if ((where & SSL_CB_EXIT) && ret <= 0) {
    // OpenSSL's verdict on the first bytes back when they were no TLS record.
    const unsigned long error = ERR_peek_last_error();
    if (ERR_GET_LIB(error) == ERR_LIB_SSL && ERR_GET_REASON(error) == SSL_R_WRONG_VERSION_NUMBER) {
      facts->tls_server_not_tls = 1;
    }
  }
  if (!(where & SSL_CB_HANDSHAKE_DONE)) return;
  handshake_done = true;
  facts->tls_server_spoke = 1;
  platform::format(facts->tls_version, sizeof(facts->tls_version), "%s", SSL_get_version(ssl));
  const char* cipher = SSL_get_cipher_name(ssl);
  platform::format(facts->tls_cipher, sizeof(facts->tls_cipher), "%s", cipher ? cipher : "");
}

void format_ms(char* out, size_t size, int64_t us) {
  if (us < 0) {
    platform::format(out, size, "%s", "-");
  } else {
    platform::format(out, size, "%lld", static_cast<long long>((us + 500) / 1000));
  }
}

}  // namespace

void xfer_facts_begin_check() {
  std::memset(check_facts, 0, sizeof(check_facts));
  check_count = 0;
  in_flight = nullptr;
}

unsigned xfer_facts_count() { return check_count; }

const xfer_facts* xfer_facts_at(unsigned index) { return index < check_count ? &check_facts[index] : nullptr; }

void xfer_facts_before(CURL* curl) {
  // Past the last place, the newest transfer takes it.
  if (check_count < XFER_FACTS_MAX) ++check_count;
  in_flight = &check_facts[check_count - 1];
  std::memset(in_flight, 0, sizeof(*in_flight));
  in_flight->tls_start_us = -1;
  transfer_start = std::chrono::steady_clock::now();
  handshake_ssl = nullptr;
  handshakes = 0;
  handshake_done = false;
  const HandleNotes& n = notes_of(curl);
  describe_proxy(n, in_flight->proxy, sizeof(in_flight->proxy));
  in_flight->proxy_auth_used = n.proxy[0] ? n.auth : 0;
  in_flight->proxy_has_credentials = n.proxy[0] && n.credentials ? 1 : 0;
}

xfer_facts* xfer_facts_take_in_flight() {
  xfer_facts* facts = in_flight;
  in_flight = nullptr;
  return facts;
}

uint32_t xfer_facts_tls_reached(const xfer_facts& facts, bool url_tls, bool answered) {
  if (!url_tls) return 0;
  // A reused connection makes no handshake: an answer over it is the proof.
  if (handshakes == 0) return answered ? XFER_REACHED_TLS : 0;
  const bool proxy_tls = platform::starts_with_ignoring_ascii_case(facts.proxy, "https://");
  return handshake_done && handshakes >= (proxy_tls ? 2u : 1u) ? XFER_REACHED_TLS : 0;
}

void xfer_facts_note_echo(uint64_t sent, uint64_t received, int64_t first_difference) {
  if (check_count == 0) return;
  xfer_facts& facts = check_facts[check_count - 1];
  facts.echo_compared = 1;
  facts.echo_sent = sent;
  facts.echo_received = received;
  facts.echo_first_difference = first_difference;
}

void xfer_facts_timing_line(const xfer_facts& f, char* line, size_t size) {
  char lookup[24], connect[24], tls[24], first[24], total[24];
  format_ms(lookup, sizeof(lookup), f.name_lookup_us);
  format_ms(connect, sizeof(connect), f.connect_us);
  format_ms(tls, sizeof(tls), f.tls_us);
  format_ms(first, sizeof(first), f.first_byte_us);
  format_ms(total, sizeof(total), f.total_us);
  platform::format(line, size,
                   "[timing] name lookup %s ms, connect %s ms, TLS %s ms, first byte %s ms, total %s ms; %s:%d; %s; "
                   "HTTP %s; %s",
                   lookup, connect, tls, first, total, f.remote_ip[0] ? f.remote_ip : "-", f.remote_port,
                   f.proxy[0] ? f.proxy : "direct", f.http_version[0] ? f.http_version : "-",
                   f.tls_version[0] ? f.tls_version : "no TLS");
}

void xfer_facts_watch_tls(void* ssl_ctx) {
  auto* ctx = static_cast<SSL_CTX*>(ssl_ctx);
  if (!ctx) return;
  SSL_CTX_set_info_callback(ctx, on_tls_info);
  SSL_CTX_set_verify(ctx, SSL_CTX_get_verify_mode(ctx), on_verify);
}

long xfer_facts_timeout(CURL* curl) {
  for (const HandleNotes& n : notes) {
    if (n.curl == curl) return n.timeout;
  }
  return 0;
}

void xfer_facts_note_long(CURL* curl, CURLoption option, long value) {
  switch (option) {
    case CURLOPT_TIMEOUT:
      notes_of(curl).timeout = value;
      break;
    case CURLOPT_PROXYPORT:
      notes_of(curl).port = value;
      break;
    case CURLOPT_PROXYTYPE:
      notes_of(curl).type = value;
      break;
    case CURLOPT_PROXYAUTH:
      notes_of(curl).auth = value;
      break;
    default:
      break;
  }
}

void xfer_facts_note_pointer(CURL* curl, CURLoption option, const void* value) {
  switch (option) {
    case CURLOPT_PROXY: {
      HandleNotes& n = notes_of(curl);
      platform::format(n.proxy, sizeof(n.proxy), "%s", value ? static_cast<const char*>(value) : "");
      break;
    }
    case CURLOPT_PROXYUSERNAME:
    case CURLOPT_PROXYUSERPWD:
      // Only whether there are any: the credentials themselves are never kept.
      notes_of(curl).credentials = value && *static_cast<const char*>(value);
      break;
    default:
      break;
  }
}
