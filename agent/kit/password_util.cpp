#include "agent/kit/password_util.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <string.h>

#include <cstring>
#include <memory>
#include <new>

#include "agent/kit/kit.h"
#include "agent/kit/password_constants.h"
#include "platform/wipe.h"
#include "platform/openssl_init.h"

namespace {

using namespace agent_password;

constexpr size_t kDerivedLength = 32;  // AES-256
constexpr size_t kMaxKeyLength = 256;

struct CipherFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using Cipher = std::unique_ptr<EVP_CIPHER_CTX, CipherFree>;

class PasswordUtil final : public IPasswordUtil {
 public:
  int Encode(const uint8_t* key, uint32_t key_length, const uint8_t* plain, uint32_t plain_length,
             uint8_t* out, uint32_t* out_length) override {
    if (!prepared_for(key, key_length) || (!plain && plain_length) || !out || !out_length) return 1;
    uint64_t needed = uint64_t{kNonceLength} + plain_length + kTagLength;
    if (needed > *out_length || plain_length > INT32_MAX) return 1;
    uint8_t* nonce = out;
    uint8_t* body = out + kNonceLength;
    uint8_t* tag = body + plain_length;
    if (RAND_bytes(nonce, kNonceLength) != 1) return 1;
    Cipher ctx(EVP_CIPHER_CTX_new());
    int n = 0;
    int tail = 0;
    bool ok = ctx && EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
              EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kNonceLength, nullptr) == 1 &&
              EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, derived_, nonce) == 1 &&
              EVP_EncryptUpdate(ctx.get(), body, &n, plain, static_cast<int>(plain_length)) == 1 &&
              EVP_EncryptFinal_ex(ctx.get(), body + n, &tail) == 1 &&
              EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagLength, tag) == 1;
    if (!ok) {
      platform::wipe(out, *out_length);
      return 1;
    }
    *out_length = static_cast<uint32_t>(needed);
    return 0;
  }

  int Decode(const uint8_t* key, uint32_t key_length, const uint8_t* stored, uint32_t stored_length,
             uint8_t* out, uint32_t* out_length) override {
    if (!prepared_for(key, key_length) || !stored || !out || !out_length) return 1;
    if (stored_length < kNonceLength + kTagLength) return 1;
    uint32_t plain_length = stored_length - static_cast<uint32_t>(kNonceLength + kTagLength);
    if (plain_length > *out_length || plain_length > INT32_MAX) return 1;
    const uint8_t* nonce = stored;
    const uint8_t* body = stored + kNonceLength;
    // The tag is handed to OpenSSL through a non-const pointer.
    uint8_t tag[kTagLength];
    std::memcpy(tag, body + plain_length, kTagLength);
    Cipher ctx(EVP_CIPHER_CTX_new());
    int n = 0;
    int tail = 0;
    bool ok = ctx && EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
              EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kNonceLength, nullptr) == 1 &&
              EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, derived_, nonce) == 1 &&
              EVP_DecryptUpdate(ctx.get(), out, &n, body, static_cast<int>(plain_length)) == 1 &&
              EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagLength, tag) == 1 &&
              EVP_DecryptFinal_ex(ctx.get(), out + n, &tail) == 1;
    if (!ok) {
      // Unauthenticated plaintext may already sit in out.
      platform::wipe(out, plain_length);
      return 1;
    }
    *out_length = plain_length;
    return 0;
  }

  int Prepare(const uint8_t* salt, uint32_t salt_length, const uint8_t* key, uint32_t key_length) override {
    forget();
    if (!salt || !key || key_length == 0 || key_length > kMaxKeyLength) return 1;
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    unsigned int length = 0;
    bool ok = md && EVP_DigestInit_ex(md, EVP_sha256(), nullptr) == 1 &&
              EVP_DigestUpdate(md, salt, salt_length) == 1 && EVP_DigestUpdate(md, key, key_length) == 1 &&
              EVP_DigestFinal_ex(md, derived_, &length) == 1 && length == kDerivedLength;
    EVP_MD_CTX_free(md);
    if (!ok) {
      forget();
      return 1;
    }
    std::memcpy(key_, key, key_length);
    key_length_ = key_length;
    return 0;
  }

  ~PasswordUtil() override { forget(); }

 private:
  // Encode and Decode name the key they expect; it must be the prepared one.
  bool prepared_for(const uint8_t* key, uint32_t key_length) const {
    return key && key_length_ != 0 && key_length == key_length_ && std::memcmp(key, key_, key_length) == 0;
  }

  void forget() {
    platform::wipe(derived_, sizeof(derived_));
    platform::wipe(key_, sizeof(key_));
    key_length_ = 0;
  }

  uint8_t derived_[kDerivedLength] = {};
  uint8_t key_[kMaxKeyLength] = {};
  uint32_t key_length_ = 0;
};

}  // namespace

IPasswordUtil* Util::CreatePClassInstance() {
  platform::openssl_start();
  return new (std::nothrow) PasswordUtil();
}

void Util::ReleasePClassInstance(IPasswordUtil* instance) { delete instance; }
