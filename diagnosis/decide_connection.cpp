// Name lookups, TCP connections and the silences after them: which hop
// stayed quiet is read from the stages the transfer reached, never from
// libcurl's connect time, which stays 0 while a handshake or tunnel is
// unfinished.
#include "diagnosis/decide.h"
#include "diagnosis/evidence.h"

namespace {

void silence(const xfer_facts& t, const DiagnosisContext& context, Causes& out) {
  nlohmann::json e = transfer_evidence(t, context);
  const std::string scheme = scheme_of(t);
  if (!reached(t, XFER_REACHED_CONNECT)) {
    out.push_back({"tcp.dropped", peer_of(t), std::move(e)});
    return;
  }
  if (reached(t, XFER_REACHED_ANSWER)) {
    out.push_back({"cloud.answer_unfinished", target_of(t), std::move(e)});
    return;
  }
  const bool handshake_started = t.tls_start_us > 0;
  if (t.proxy[0]) {
    if (reached(t, XFER_REACHED_TUNNEL)) {
      if (reached(t, XFER_REACHED_TLS)) {
        out.push_back({"cloud.silent", target_of(t), std::move(e)});
      } else {
        e["tls_server_spoke"] = t.tls_server_spoke != 0;
        out.push_back({"proxy.tunnel_silent", proxy_host_port(t) + " " + std::to_string(t.connect_code), std::move(e)});
      }
      return;
    }
    if (scheme == "https") {
      // Asked to open a tunnel, the proxy never answered CONNECT.
      out.push_back({"proxy.silent", proxy_host_port(t) + " 0", std::move(e)});
      return;
    }
    // A plain request is carried by the proxy itself: which of the two is
    // silent cannot be told (nor can it when the scheme is not known).
    if (scheme.empty()) e["scheme_unknown"] = true;
    out.push_back({"proxy_or_cloud.silent", proxy_host_port(t) + " 0", std::move(e)});
    return;
  }
  if (reached(t, XFER_REACHED_TLS)) {
    out.push_back({"cloud.silent", address_of(t), std::move(e)});
    return;
  }
  if (handshake_started && !t.tls_server_spoke) {
    out.push_back({"tls.handshake_unanswered", address_of(t), std::move(e)});
    return;
  }
  if (handshake_started) {
    out.push_back({"tls.handshake_unfinished", address_of(t), std::move(e)});
    return;
  }
  out.push_back({"cloud.silent", address_of(t), std::move(e)});
}

}  // namespace

bool decide_connection(const xfer_facts& t, const DiagnosisContext& context, Causes& out) {
  switch (t.curl_code) {
    case CURLE_COULDNT_RESOLVE_PROXY: {
      nlohmann::json e = transfer_evidence(t, context);
      e["proxy_host"] = proxy_host(t);
      out.push_back({"dns.proxy_host", proxy_host(t), std::move(e)});
      return true;
    }
    case CURLE_COULDNT_RESOLVE_HOST:
      out.push_back({"dns.cloud_host", t.host, transfer_evidence(t, context)});
      return true;
    case CURLE_COULDNT_CONNECT:
      out.push_back({"tcp.refused", peer_of(t), transfer_evidence(t, context)});
      return true;
    case CURLE_OPERATION_TIMEDOUT:
      silence(t, context, out);
      return true;
    default:
      return false;
  }
}
