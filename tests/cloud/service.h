// What the test cloud answers, and what it remembers.
//
// Every request that is not a control request is recorded, then answered
// in three layers, each overriding the one before:
//   1. the endpoint's own answer (404 "no such endpoint" for unknown paths);
//   2. the newest rule set through the control API that matches the path;
//   3. query parameters _status, _body, _delay_ms and _fault on the request.
// The reply modifiers then reshape the body those layers left, in this order;
// each is a rule key or a query parameter (the parameter wins):
//   "fill": N      _fill=N     the body becomes N bytes of 'A'..'Z' repeated,
//                              streamed in 64 KiB pieces so any N fits
//   "alter": true  _alter=1    the last byte becomes another (none if empty);
//                              _alter=0 turns a rule's off
//   "append": T    _append=T   T is added after the body
//   "truncate": N  _truncate=N the body is cut to its first N bytes
// and these decide how it goes out, chunked instead of with a length:
//   "chunk": N     _chunk=N    in pieces of N bytes (N >= 1), each written on
//                              its own; a piece above 64 KiB takes several
//                              chunks
//   "chunk_delay_ms": N        the pause before every piece but the first
//                  _chunk_delay_ms=N  (default 0)
//   "endless": true _endless=1 the body, then 'A'..'Z' repeated without end
//                              (in 64 KiB pieces unless chunk says), until
//                              the client goes away; _endless=0 turns a
//                              rule's off
// The partial fault announces a length, so it takes neither chunk nor
// endless; 204 and 304 answers carry no body whatever the modifiers.
// A POST, PUT or PATCH whose body cannot be read (a multipart body that does
// not parse; a body without a length, once the client falls silent) is
// recorded and answered 400 "unreadable request body", past rules and
// endpoints.
//
// Control API, on either port:
//   GET    /_cloud/info              ports and file paths, as JSON
//   GET    /_cloud/requests[?path=P] the recorded requests, as a JSON array
//                                    of objects: scheme, method, path,
//                                    target, headers (names in lower case),
//                                    body_base64, body_size, peer_addr,
//                                    peer_port, seq; "parts" for a multipart
//                                    body, in the order sent, each with name,
//                                    filename, content_type, content_base64,
//                                    content_size; "basic_user" and
//                                    "basic_password" when an Authorization
//                                    header carries Basic credentials
//   DELETE /_cloud/requests          forget them
//   POST   /_cloud/rules             add a rule: {"path": P, "method": M,
//                                    "status": N, "body": T, "content_type": T,
//                                    "headers": {..}, "delay_ms": N,
//                                    "fault": "partial", "fill": N,
//                                    "alter": B, "append": T, "truncate": N,
//                                    "chunk": N, "chunk_delay_ms": N,
//                                    "endless": B, "times": N}
//   DELETE /_cloud/rules             drop every rule
//   POST   /_cloud/reset             both of the above
#pragma once
#include <httplib.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace testcloud {

struct Reply {
  int status = 200;
  std::string body;
  std::string content_type = "text/plain";
  std::multimap<std::string, std::string> headers;
  int delay_ms = 0;
  // "" none; "partial": the full length is announced, half the body is sent,
  // then the connection is closed.
  std::string fault;
  // The modifiers, applied to body when the reply is sent.
  std::optional<uint64_t> fill;
  bool alter = false;
  std::string append;
  std::optional<uint64_t> truncate;
  uint64_t chunk = 0;  // 0: one piece, with a length
  int chunk_delay_ms = 0;
  bool endless = false;
};

// An endpoint fills the reply for one request.
using Endpoint = std::function<void(const httplib::Request& request, Reply& reply)>;

class Service {
 public:
  // path is exact, or a prefix when it ends in '*'.
  void add_endpoint(const std::string& path, Endpoint endpoint);
  void set_info(nlohmann::json info) { info_ = std::move(info); }

  // Routes every method of server through this service.
  void attach(httplib::Server& server, const std::string& scheme);

 private:
  struct Rule {
    std::string path;
    std::string method;  // empty: any
    nlohmann::json overrides;
    int times = -1;  // -1: for ever
  };

  // parts: the multipart parts in the order sent, which request.files
  // (keyed by name) does not keep.
  void handle(const std::string& scheme, const httplib::Request& request, const httplib::MultipartFormDataItems& parts,
              httplib::Response& response);
  bool control(const httplib::Request& request, httplib::Response& response);
  void record(const std::string& scheme, const httplib::Request& request, const httplib::MultipartFormDataItems& parts);
  const Endpoint* find_endpoint(const std::string& path) const;
  nlohmann::json take_rule(const httplib::Request& request);

  std::map<std::string, Endpoint> endpoints_;
  nlohmann::json info_;
  std::mutex lock_;
  std::vector<Rule> rules_;
  nlohmann::json records_ = nlohmann::json::array();
  uint64_t sequence_ = 0;
};

// Applies a JSON object of reply fields (the rule form) onto reply.
bool apply_overrides(const nlohmann::json& overrides, Reply& reply, std::string* error);

// The user name and password of an "Authorization: Basic" header; false when
// there is none or it does not decode to "user:password".
bool basic_credentials(const httplib::Request& request, std::string* user, std::string* password);

}  // namespace testcloud
