#include <string>

#include "tests/cloud/endpoints.h"

namespace testcloud {
namespace {

bool allow(const httplib::Request& request, const std::string& method, Reply& reply) {
  // httplib routes HEAD through the GET handlers.
  if (request.method == method || (method == "GET" && request.method == "HEAD")) return true;
  reply.status = 405;
  reply.body = "method not allowed";
  reply.headers.emplace("Allow", method);
  return false;
}

void register_agent(const httplib::Request& request, Reply& reply) {
  if (!allow(request, "POST", reply)) return;
  reply.status = 200;
  reply.body = request.body;
  reply.content_type = "application/x-www-form-urlencoded";
}

// The digits after the last '-' of the last path segment, kept as text so
// that a number of any size comes back as it was sent; "" when there are none.
std::string policy_number(const std::string& path) {
  std::string segment = path.substr(path.rfind('/') + 1);
  size_t dash = segment.rfind('-');
  if (dash == std::string::npos || dash + 1 == segment.size()) return "";
  std::string digits = segment.substr(dash + 1);
  return digits.find_first_not_of("0123456789") == std::string::npos ? digits : "";
}

}  // namespace

void add_cloud_service_endpoints(Service& service) {
  service.add_endpoint("/agent/v1/register", register_agent);
  service.add_endpoint("/register", register_agent);
  service.add_endpoint("/policy/*", [](const httplib::Request& request, Reply& reply) {
    if (!allow(request, "GET", reply)) return;
    std::string number = policy_number(request.path);
    if (number.empty()) {
      reply.status = 404;
      reply.body = "no policy number";
      return;
    }
    reply.status = 200;
    reply.body = R"(<?xml version="1.0" encoding="UTF-8"?><policy serial=")" + number + R"("/>)";
    reply.content_type = "application/xml";
  });
  // Event intake: the form body is recorded; the answer is an empty 200.
  service.add_endpoint("/event/", [](const httplib::Request& request, Reply& reply) {
    if (!allow(request, "POST", reply)) return;
    reply.status = 200;
    reply.body.clear();
  });
  service.add_endpoint("/updater/*", [](const httplib::Request& request, Reply& reply) {
    if (!allow(request, "GET", reply)) return;
    reply.status = 200;
    reply.body = "seed:" + request.path;
  });
}

}  // namespace testcloud
