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
//
// Control API, on either port:
//   GET    /_cloud/info              ports and file paths, as JSON
//   GET    /_cloud/requests[?path=P] the recorded requests, as a JSON array
//                                    (method, path, target, headers, body,
//                                    multipart parts, peer address)
//   DELETE /_cloud/requests          forget them
//   POST   /_cloud/rules             add a rule: {"path": P, "method": M,
//                                    "status": N, "body": T, "content_type": T,
//                                    "headers": {..}, "delay_ms": N,
//                                    "fault": "partial", "fill": N,
//                                    "alter": B, "append": T, "times": N}
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

  void handle(const std::string& scheme, const httplib::Request& request, httplib::Response& response);
  bool control(const httplib::Request& request, httplib::Response& response);
  void record(const std::string& scheme, const httplib::Request& request);
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

}  // namespace testcloud
