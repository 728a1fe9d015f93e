// Starts the test cloud (build/tests/test-cloud) as a child process and
// talks to its control API: rules for what it answers, and the record of
// what it received.
#pragma once
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace testsupport {

// One part of a multipart/form-data body.
struct CloudPart {
  std::string name;
  std::string filename;
  std::string content_type;
  std::string content;
};

// One request as the cloud received it.
struct CloudRequest {
  std::string scheme;  // "http" or "https"
  std::string method;
  std::string path;
  std::string target;                          // path with query
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;                            // empty for a multipart body: see parts
  std::vector<CloudPart> parts;                // multipart/form-data parts in order
  std::string peer_addr;                       // the connection's source address
};

class TestCloud {
 public:
  TestCloud() = default;
  TestCloud(const TestCloud&) = delete;
  TestCloud& operator=(const TestCloud&) = delete;
  ~TestCloud() { stop(); }

  // Starts the process and waits for its "ready" line; false with *error.
  // options are passed on (such as {"--server-cert", "expired"}).
  bool start(std::string* error, const std::vector<std::string>& options = {});
  void stop();

  int http_port() const { return http_port_; }
  int https_port() const { return https_port_; }
  int drop_port() const { return drop_port_; }
  // Ports that accept and then never answer, flood header lines, or send one
  // header line without end.
  int silent_port() const { return silent_port_; }
  int header_flood_port() const { return header_flood_port_; }
  int long_header_port() const { return long_header_port_; }
  // "http://127.0.0.1:<port>" + path, and the same for https.
  std::string http_url(const std::string& path) const;
  std::string https_url(const std::string& path) const;
  // The run's CA certificate (PEM file).
  std::string ca_cert_path() const { return dir_ + "/ca.pem"; }

  // Adds a rule (a JSON object, see tests/cloud/service.h); false when refused.
  bool add_rule(const std::string& rule_json);
  // Drops every rule and the request record.
  bool reset();
  // Requests received so far, oldest first; only those for path when given.
  std::vector<CloudRequest> requests(const std::string& path = "") const;

 private:
  // One control request over plain HTTP; the status, or -1.
  int control(const std::string& method, const std::string& target, const std::string& body,
              std::string* response) const;

  pid_t pid_ = -1;
  std::string dir_;
  int http_port_ = 0;
  int https_port_ = 0;
  int drop_port_ = 0;
  int silent_port_ = 0;
  int header_flood_port_ = 0;
  int long_header_port_ = 0;
};

}  // namespace testsupport
