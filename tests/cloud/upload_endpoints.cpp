#include <string>

#include "tests/cloud/endpoints.h"

namespace testcloud {
namespace {

// The retro server's identifier; its answer is the file it was sent.
constexpr char kRetroIdentifier[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

// The checks every upload service makes, in the order a server makes them:
// method, credentials, then the body. False once reply holds the refusal.
bool accept_upload(const httplib::Request& request, Reply& reply) {
  if (request.method != "POST") {
    reply.status = 405;
    reply.body = "method not allowed";
    reply.headers.emplace("Allow", "POST");
    return false;
  }
  std::string user;
  std::string password;
  if (!basic_credentials(request, &user, &password)) {
    reply.status = 401;
    reply.body = "Basic credentials required";
    reply.headers.emplace("WWW-Authenticate", R"(Basic realm="upload")");
    return false;
  }
  if (!request.is_multipart_form_data() || !request.has_file("file")) {
    reply.status = 400;
    reply.body = "a multipart/form-data body with a file part is required";
    return false;
  }
  return true;
}

}  // namespace

void add_upload_endpoints(Service& service) {
  service.add_endpoint("/upload/4/*", [](const httplib::Request& request, Reply& reply) {
    std::string identifier = request.path.substr(std::string("/upload/4/").size());
    if (identifier.empty() || identifier.find('/') != std::string::npos) {
      reply.status = 404;
      reply.body = "no upload identifier";
      return;
    }
    if (!accept_upload(request, reply)) return;
    reply.status = 200;
    if (identifier == kRetroIdentifier) {
      reply.body = request.files.find("file")->second.content;
      reply.content_type = "application/octet-stream";
    }
  });
  service.add_endpoint("/crashdump", [](const httplib::Request& request, Reply& reply) {
    if (!accept_upload(request, reply)) return;
    reply.status = 200;
  });
}

}  // namespace testcloud
