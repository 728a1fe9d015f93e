// Certificate verification: which certificate of the presented chain the
// error concerns, and what the chain's shape shows (a leaf sent alone whose
// issuer is not self-signed is a missing intermediate first).
#include <openssl/x509_vfy.h>

#include <cstring>

#include "diagnosis/decide.h"
#include "diagnosis/evidence.h"
#include "platform/ascii_case.h"

namespace {

unsigned kept(const xfer_facts& t) { return t.chain_count < XFER_CHAIN_MAX ? t.chain_count : XFER_CHAIN_MAX; }

std::string field(const char* value, size_t size) { return std::string(value, strnlen(value, size)); }
#define FIELD(f) field(f, sizeof(f))

nlohmann::json cert_json(const xfer_chain_cert& c, unsigned depth, unsigned count) {
  return {{"subject", FIELD(c.subject)},
          {"issuer", FIELD(c.issuer)},
          {"not_before", FIELD(c.not_before)},
          {"not_after", FIELD(c.not_after)},
          {"depth", depth},
          {"role", depth == 0 ? "leaf" : depth + 1 == count && std::strcmp(c.subject, c.issuer) == 0 ? "root"
                                                                                                     : "intermediate"}};
}

// A certificate name matches the host: equal, or a "*." wildcard over one label.
bool name_matches(const std::string& name, const char* host) {
  if (platform::equal_ignoring_ascii_case(name, host)) return true;
  if (name.rfind("*.", 0) != 0) return false;
  const char* dot = std::strchr(host, '.');
  return dot && platform::equal_ignoring_ascii_case(std::string_view(name).substr(1), dot);
}

bool leaf_holds(const xfer_facts& t) {
  const std::string names = FIELD(t.leaf_names);
  size_t at = 0;
  while (at < names.size()) {
    size_t end = names.find(", ", at);
    if (end == std::string::npos) end = names.size();
    const std::string entry = names.substr(at, end - at);
    const size_t colon = entry.find(':');
    if (colon != std::string::npos && name_matches(entry.substr(colon + 1), t.host)) return true;
    at = end + 2;
  }
  return false;
}

nlohmann::json tls_evidence(const xfer_facts& t, const DiagnosisContext& context) {
  nlohmann::json e = transfer_evidence(t, context);
  e["verify_error"] = t.verify_error;
  if (t.verify_error_text[0]) e["verify_error_text"] = FIELD(t.verify_error_text);
  e["chain_count"] = t.chain_count;
  return e;
}

}  // namespace

bool decide_tls(const xfer_facts& t, const DiagnosisContext& context, Causes& out) {
  const int error = t.verify_error;
  if (t.curl_code != CURLE_PEER_FAILED_VERIFICATION && error == 0) return false;
  const unsigned count = kept(t);
  switch (error) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE: {
      if (count == 0) break;
      const xfer_chain_cert& last = t.chain[count - 1];
      const bool self_signed = std::strcmp(last.subject, last.issuer) == 0;
      nlohmann::json e = tls_evidence(t, context);
      e["trusted"] = context.trusted_subjects;
      if (t.chain_count == 1 && !self_signed) {
        // The server sent its leaf alone: the issuer it names is an
        // intermediate the server should have sent.
        e["leaf"] = FIELD(t.chain[0].subject);
        e["issuer"] = FIELD(t.chain[0].issuer);
        out.push_back({"tls.missing_intermediate", FIELD(t.chain[0].issuer), std::move(e)});
        return true;
      }
      const std::string ca = self_signed ? FIELD(last.subject) : FIELD(last.issuer);
      e["ca"] = ca;
      e["ca_sent"] = self_signed;
      out.push_back({"tls.untrusted_ca", ca, std::move(e)});
      return true;
    }
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID: {
      // The certificate the error concerns; the leaf when no depth says.
      unsigned depth = 0;
      for (unsigned i = 0; i < count; ++i) {
        if (t.chain[i].verify_error == error) {
          depth = i;
          break;
        }
      }
      if (count == 0) break;
      nlohmann::json e = tls_evidence(t, context);
      e["certificate"] = cert_json(t.chain[depth], depth, count);
      e["local_clock"] = context.now;
      out.push_back({error == X509_V_ERR_CERT_HAS_EXPIRED ? "tls.expired" : "tls.not_yet_valid",
                     FIELD(t.chain[depth].subject), std::move(e)});
      return true;
    }
    default:
      break;
  }
  if ((error == 0 || error == X509_V_ERR_HOSTNAME_MISMATCH) && t.curl_code == CURLE_PEER_FAILED_VERIFICATION &&
      t.host[0] && count > 0 && !leaf_holds(t)) {
    nlohmann::json e = tls_evidence(t, context);
    e["leaf"] = FIELD(t.chain[0].subject);
    e["leaf_names"] = FIELD(t.leaf_names);
    out.push_back({"tls.name_mismatch", t.host, std::move(e)});
    return true;
  }
  out.push_back({"tls.verify_failed", target_of(t), tls_evidence(t, context)});
  return true;
}
