#include "tests/support/nginx.h"

#include <cstdlib>
#include <fstream>

namespace testsupport {

bool Nginx::start(const std::string& chain, const std::string& key, std::string* error) {
  stop();
  char pattern[] = "/tmp/pathvane-nginx-XXXXXX";
  if (!mkdtemp(pattern) || (port_ = free_loopback_port()) <= 0) {
    *error = "no folder or port for nginx";
    return false;
  }
  dir_ = pattern;
  std::ofstream(dir_ + "/nginx.conf")
      << "daemon off;\n"
      << "master_process off;\n"
      << "worker_processes 1;\n"
      << "pid " << dir_ << "/nginx.pid;\n"
      << "error_log " << dir_ << "/error.log;\n"
      << "events { worker_connections 64; }\n"
      << "http {\n"
      << "  access_log off;\n"
      << "  client_body_temp_path " << dir_ << "/body;\n"
      << "  proxy_temp_path " << dir_ << "/proxy;\n"
      << "  fastcgi_temp_path " << dir_ << "/fastcgi;\n"
      << "  uwsgi_temp_path " << dir_ << "/uwsgi;\n"
      << "  scgi_temp_path " << dir_ << "/scgi;\n"
      << "  server {\n"
      << "    listen 127.0.0.1:" << port_ << " ssl http2;\n"
      << "    ssl_certificate " << chain << ";\n"
      << "    ssl_certificate_key " << key << ";\n"
      << "    ssl_protocols TLSv1.2 TLSv1.3;\n"
      << "    location / { return 200 \"ok\\n\"; }\n"
      << "  }\n"
      << "}\n";
  const std::string config = dir_ + "/nginx.conf";
  const std::string early_log = dir_ + "/error.log";
  const char* argv[] = {"nginx", "-p", dir_.c_str(), "-e", early_log.c_str(), "-c", config.c_str(), nullptr};
  if (launch(argv, error)) return true;
  *error += "\n" + error_log();
  return false;
}

std::string Nginx::error_log() const { return file_text("error.log"); }

}  // namespace testsupport
