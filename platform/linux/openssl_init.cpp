#include "platform/openssl_init.h"

namespace platform {

void openssl_start() {}

}  // namespace platform
