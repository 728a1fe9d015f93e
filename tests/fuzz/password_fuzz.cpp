// The stored proxy password: libkit's password utility decoding stored bytes.
// Fuzzed bytes as a stored value must never decode (a forged GCM tag); a value
// the utility encoded itself must decode to its plain text, and no longer once
// one of its bytes is changed, it is cut short, the key differs or the output
// is too small. A failed decode leaves no clear text in the output and
// nothing is ever written past the room it was given.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "agent/kit/kit.h"
#include "agent/kit/password_constants.h"
#include "agent/kit/password_util.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace agent_password;

constexpr uint8_t kUnwritten = 0xA5;
constexpr size_t kGuard = 32;

IPasswordUtil* util = nullptr;

struct Decoded {
  int result;
  uint32_t length;
  std::string text;
};

// Decode into an output of room bytes followed by a guard.
Decoded decode(const uint8_t* key, uint32_t key_length, const std::string& stored, uint32_t room) {
  std::vector<uint8_t> out(room + kGuard, kUnwritten);
  uint32_t length = room;
  const int result = util->Decode(key, key_length, reinterpret_cast<const uint8_t*>(stored.data()),
                                  static_cast<uint32_t>(stored.size()), out.data(), &length);
  for (size_t i = room; i < out.size(); ++i) FUZZ_CHECK(out[i] == kUnwritten);
  if (result != 0) {
    for (size_t i = 0; i < room; ++i) FUZZ_CHECK(out[i] == 0 || out[i] == kUnwritten);
    return {result, length, {}};
  }
  FUZZ_CHECK(length <= room);
  return {result, length, std::string(reinterpret_cast<const char*>(out.data()), length)};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  util = Util::CreatePClassInstance();
  FUZZ_CHECK(util != nullptr);
  FUZZ_CHECK(util->Prepare(kSalt, kSaltLength, kKey, kKeyLength) == 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in(data, size);
  const uint8_t mode = in.byte();
  const uint32_t room = in.below(kMaxDecodedLength + 64);
  const uint32_t position = in.u16();
  const uint8_t change = in.byte();
  const std::string payload = in.rest();

  // Fuzzed bytes as the stored value.
  FUZZ_CHECK(decode(kKey, kKeyLength, payload, room).result != 0);

  // The payload as plain text, stored by the utility itself.
  std::string stored(kNonceLength + payload.size() + kTagLength, '\0');
  uint32_t stored_length = static_cast<uint32_t>(stored.size());
  uint32_t short_length = stored_length - 1;
  FUZZ_CHECK(util->Encode(kKey, kKeyLength, reinterpret_cast<const uint8_t*>(payload.data()),
                          static_cast<uint32_t>(payload.size()), reinterpret_cast<uint8_t*>(stored.data()),
                          &short_length) != 0);
  FUZZ_CHECK(util->Encode(kKey, kKeyLength, reinterpret_cast<const uint8_t*>(payload.data()),
                          static_cast<uint32_t>(payload.size()), reinterpret_cast<uint8_t*>(stored.data()),
                          &stored_length) == 0);
  FUZZ_CHECK(stored_length == stored.size());

  switch (mode % 4) {
    case 0: {  // as stored
      const Decoded d = decode(kKey, kKeyLength, stored, room);
      if (payload.size() <= room) {
        FUZZ_CHECK(d.result == 0 && d.length == payload.size() && d.text == payload);
      } else {
        FUZZ_CHECK(d.result != 0);
      }
      break;
    }
    case 1: {  // one byte changed
      const uint8_t flip = change ? change : 1;
      stored[position % stored.size()] = static_cast<char>(stored[position % stored.size()] ^ flip);
      FUZZ_CHECK(decode(kKey, kKeyLength, stored, room).result != 0);
      break;
    }
    case 2: {  // cut short
      stored.resize(position % stored.size());
      FUZZ_CHECK(decode(kKey, kKeyLength, stored, room).result != 0);
      break;
    }
    default: {  // another key, or the key at another length
      uint8_t key[kKeyLength + 1];
      std::memcpy(key, kKey, kKeyLength);
      key[kKeyLength] = change;
      uint32_t key_length = static_cast<uint32_t>(kKeyLength);
      if (change & 1) {
        key_length = position % (kKeyLength + 2);
        if (key_length == kKeyLength) key_length = kKeyLength + 1;
      } else {
        key[position % kKeyLength] ^= change | 1;
      }
      FUZZ_CHECK(decode(key, key_length, stored, room).result != 0);
      break;
    }
  }
  return 0;
}
