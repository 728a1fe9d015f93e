#include "tests/support/squid.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/process.h"

namespace testsupport {
namespace {

constexpr const char* kHelpers = "/usr/lib/squid";

// squid started as root runs as this user, which must write its folder.
const char* effective_user() { return geteuid() == 0 ? "nobody" : nullptr; }

bool hand_over(const std::string& path) {
  const char* user = effective_user();
  if (!user) return true;
  const passwd* account = getpwnam(user);
  if (!account) return false;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(path, ignored)) {
    if (chown(entry.path().c_str(), account->pw_uid, account->pw_gid) != 0) return false;
  }
  return chown(path.c_str(), account->pw_uid, account->pw_gid) == 0;
}

}  // namespace

bool Squid::start(const SquidSetup& setup, std::string* error) {
  stop();
  char pattern[] = "/tmp/pathvane-squid-XXXXXX";
  if (!mkdtemp(pattern) || (port_ = free_loopback_port()) <= 0) {
    *error = "no folder or port for squid";
    return false;
  }
  dir_ = pattern;
  std::ostringstream conf;
  const bool bump = !setup.bump_ca_cert.empty();
  conf << "http_port 127.0.0.1:" << port_;
  if (bump) {
    // Copies squid's user may read.
    std::error_code failed;
    std::filesystem::copy_file(setup.bump_ca_cert, dir_ + "/bump-ca.pem", failed);
    if (!failed) std::filesystem::copy_file(setup.bump_ca_key, dir_ + "/bump-ca.key", failed);
    if (failed) {
      *error = "cannot copy the interception CA: " + failed.message();
      return false;
    }
    conf << " ssl-bump generate-host-certificates=on dynamic_cert_mem_cache_size=4MB tls-cert=" << dir_
         << "/bump-ca.pem tls-key=" << dir_ << "/bump-ca.key";
  }
  conf << "\n"
       << "visible_hostname pathvane-squid\n"
       << "pid_filename " << dir_ << "/squid.pid\n"
       << "cache_log " << dir_ << "/cache.log\n"
       << "access_log stdio:" << dir_ << "/access.log\n"
       << "cache_store_log none\n"
       << "coredump_dir " << dir_ << "\n"
       << "cache deny all\n"
       << "shutdown_lifetime 0 seconds\n"
       // Names are looked up on loopback only: a name the tests make up
       // never leaves the machine, and fails within the time-out.
       << "dns_nameservers 127.0.0.1\n"
       << "dns_timeout 3 seconds\n"
       << "connect_timeout 5 seconds\n";
  if (effective_user()) conf << "cache_effective_user " << effective_user() << "\n";
  if (bump) {
    const std::string db = dir_ + "/ssl_db";
    const auto init = run_process({std::string(kHelpers) + "/security_file_certgen", "-c", "-s", db, "-M", "4MB"});
    if (init.exit_code != 0) {
      *error = "security_file_certgen -c: " + init.err;
      return false;
    }
    conf << "sslcrtd_program " << kHelpers << "/security_file_certgen -s " << db << " -M 4MB\n"
         << "sslcrtd_children 2 startup=1 idle=1\n"
         // The test's servers carry the test cloud's certificates, not the
         // system's: the interception trusts them all, as such proxies do.
         << "tls_outgoing_options flags=DONT_VERIFY_PEER\n"
         << "acl step1 at_step SslBump1\n"
         << "ssl_bump peek step1\n"
         << "ssl_bump bump all\n";
  }
  if (setup.auth == SquidSetup::Auth::basic) {
    const auto hash = run_process({"/usr/bin/openssl", "passwd", "-apr1", setup.password});
    if (hash.exit_code != 0) {
      *error = "openssl passwd: " + hash.err;
      return false;
    }
    std::ofstream(dir_ + "/htpasswd") << setup.user << ":" << hash.out;
    conf << "auth_param basic program " << kHelpers << "/basic_ncsa_auth " << dir_ << "/htpasswd\n"
         << "auth_param basic children 2 startup=1 idle=1\n"
         << "auth_param basic realm pathvane-squid\n";
  } else if (setup.auth == SquidSetup::Auth::ntlm) {
    conf << "auth_param ntlm program " << kHelpers << "/ntlm_fake_auth\n"
         << "auth_param ntlm children 2 startup=1 idle=1\n";
  }
  if (setup.ssl_ports_only) {
    conf << "acl SSL_ports port 443\n"
         << "http_access deny CONNECT !SSL_ports\n";
  }
  if (setup.auth != SquidSetup::Auth::none) {
    conf << "acl signed_in proxy_auth REQUIRED\n"
         << "http_access deny !signed_in\n";
  }
  conf << "http_access allow localhost\n"
       << "http_access deny all\n";
  std::ofstream(dir_ + "/squid.conf") << conf.str();
  if (!hand_over(dir_)) {
    *error = "cannot hand " + dir_ + " to squid's user";
    return false;
  }
  const std::string config = dir_ + "/squid.conf";
  const char* argv[] = {"squid", "-N", "-f", config.c_str(), nullptr};
  if (launch(argv, error)) return true;
  *error += "\n" + cache_log();
  return false;
}

std::string Squid::cache_log() const { return file_text("cache.log"); }

}  // namespace testsupport
