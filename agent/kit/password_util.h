// The password utility of libkit (Util::CreatePClassInstance), which turns
// the agent's stored proxy password into clear text and back.
// AES-256-GCM; the key is SHA-256 over the 256-byte salt followed by the
// 26-byte key. A stored value is nonce (12), ciphertext, tag (16).
#pragma once
#include <cstdint>

class IPasswordUtil {
 public:
  // Encrypts plain[0, plain_length) with the prepared key into out, which
  // holds *out_length bytes; *out_length becomes the stored length.
  // 0 on success.
  virtual int Encode(const uint8_t* key, uint32_t key_length, const uint8_t* plain,
                     uint32_t plain_length, uint8_t* out, uint32_t* out_length) = 0;
  // Decrypts a stored value into out. *out_length is the most it may write
  // on entry and the decoded length on return. Fails (non-zero) on a wrong
  // tag, a value too short for nonce and tag, a key other than the prepared
  // one, or a plaintext longer than *out_length; out then holds no clear text.
  virtual int Decode(const uint8_t* key, uint32_t key_length, const uint8_t* stored,
                     uint32_t stored_length, uint8_t* out, uint32_t* out_length) = 0;
  // Derives the key from salt and key; Encode and Decode need it first.
  // 0 on success.
  virtual int Prepare(const uint8_t* salt, uint32_t salt_length, const uint8_t* key,
                      uint32_t key_length) = 0;

 protected:
  // Released through Util::ReleasePClassInstance, which wipes the key.
  virtual ~IPasswordUtil() = default;
  friend class Util;
};
