#include "platform/openssl_init.h"

#include <openssl/crypto.h>

namespace platform {

void openssl_start() { OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr); }

}  // namespace platform
