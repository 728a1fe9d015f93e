// OpenSSL's own start, called before a module's first other OpenSSL call.
#pragma once

namespace platform {

// On Windows, OpenSSL's built-in configuration folder is a path on the
// current drive that an ordinary user may create; libcrypto would read an
// openssl.cnf planted there on its first use. There it starts without a
// configuration file. On Linux the system's configuration is the admin's
// and is kept.
void openssl_start();

}  // namespace platform
