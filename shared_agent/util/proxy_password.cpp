#include "shared_agent/util/proxy_password.h"

#include <cstring>

#include "agent/kit/kit.h"
#include "agent/kit/password_constants.h"
#include "agent/kit/password_util.h"
#include "shared_agent/util/config_singleton.h"

namespace zel {
namespace detail {

bool GetProxyPasswordWith(const PasswordUtilFactory& factory, uint8_t (&work)[256], uint8_t (&output)[1024],
                          std::u16string& out) {
  using namespace agent_password;
  static_assert(sizeof(work) == kSaltLength && sizeof(output) == kMaxDecodedLength + 1);

  IConfig* config = CConfigSingleton::GetInstance();
  if (!config) return false;
  uint32_t stored_length = 0;
  uint8_t* stored = config->GetBinary("config/proxy/password", &stored_length);
  if (!stored) return false;

  char16_t* password = nullptr;
  if (IPasswordUtil* util = factory.create()) {
    std::memcpy(work, kKey, kKeyLength);
    util->Prepare(kSalt, kSaltLength, work, kKeyLength);
    uint32_t length = kMaxDecodedLength;
    int decoded = util->Decode(work, kKeyLength, stored, stored_length, output, &length);
    factory.release(util);
    // A length past what Decode was allowed cannot be trusted, nor read.
    if (decoded == 0 && length <= kMaxDecodedLength) {
      output[length] = 0;
      if (length > kPrefixLength) {
        password = Util::ConvertStringToWCHAR(reinterpret_cast<const char*>(output) + kPrefixLength);
      } else {
        trace(0x1000, "zel::GetProxyPassword error: incorrect password specified %d, %d", static_cast<int>(length),
              static_cast<int>(kPrefixLength));
      }
    }
    // Decode may have written into output even when it failed.
    Util::RtlSecureZeroMemory(output, sizeof(output), 1);
    Util::RtlSecureZeroMemory(work, sizeof(work), 1);
  }

  config->FreeBuffer(stored);
  if (!password) return false;
  out = password;
  Util::ClearStringW(password);
  Util::FreeMem(password);
  return true;
}

}  // namespace detail

bool GetProxyPassword(std::u16string& out) {
  uint8_t work[256];
  uint8_t output[1024];
  return detail::GetProxyPasswordWith({&Util::CreatePClassInstance, &Util::ReleasePClassInstance}, work, output,
                                      out);
}

}  // namespace zel
