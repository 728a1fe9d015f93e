#include "tests/cloud/endpoints.h"

namespace testcloud {

void add_plain_endpoints(Service& service) {
  service.add_endpoint("/health", [](const httplib::Request&, Reply& reply) {
    reply.status = 200;
    reply.body = "OK";
  });
  service.add_endpoint("/url-reputation", [](const httplib::Request&, Reply& reply) {
    reply.status = 400;
    reply.body = "no URL to rate";
  });
}

}  // namespace testcloud
