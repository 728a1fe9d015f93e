// The loopback comparison of the upload echo: the write callback fed the
// pattern in pieces from the input, some of them changed, cut, repeated or
// taken from elsewhere, with the calls libcurl could make (zero bytes, size
// times count, a product that overflows). After every call the state must say
// "matched" exactly when everything fed so far equals the pattern, "partial"
// while it is a proper prefix of it, and "mismatch" otherwise; an unusable
// context or an overflow is "invalid". Each piece lives in a buffer of its
// own size.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "pathvane/handle_internal.h"
#include "pathvane/upload.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

const uint8_t* pattern() { return reinterpret_cast<const uint8_t*>(loopback_pattern); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // What every upload sends: word i holds i, the last word 0.
  for (size_t i = 0; i + 1 < PATHVANE_LOOPBACK_WORDS; ++i) loopback_pattern[i] = static_cast<uint16_t>(i);
  loopback_pattern[PATHVANE_LOOPBACK_WORDS - 1] = 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Reader in(data, size);
  const uint8_t setup = in.byte();
  // The whole pattern as the uploads compare it, or a shorter one, so that
  // small inputs reach its end too.
  size_t expected_len = PATHVANE_LOOPBACK_SENT_BYTES;
  if (setup & 1) expected_len = 1 + in.u16() % 4096;
  loopback_ctx context{pattern(), expected_len, 0, LOOPBACK_PARTIAL};
  loopback_ctx* user = &context;
  bool unusable = false;  // the context itself: every call is refused
  switch (setup >> 1 & 7) {
    case 1:
      user = nullptr;
      unusable = true;
      break;
    case 2:
      context.expected = nullptr;
      unusable = true;
      break;
    case 3:
      context.expected_len = 0;
      unusable = true;
      break;
    default:
      break;
  }
  bool overflowed = false;  // by an earlier call: the comparison has ended

  std::string fed;    // every byte taken so far, in order
  size_t cursor = 0;  // where the next piece of the pattern starts
  while (!in.empty()) {
    const uint8_t op = in.byte();
    size_t length = in.u16() % 8192;
    if (op & 0x80) length = expected_len > cursor ? expected_len - cursor : 0;  // the rest
    std::string piece;
    size_t unit = 1;
    bool overflow = false;
    switch (op & 7) {
      case 0:
      case 1:
      case 2: {  // the pattern's next bytes, maybe with one changed
        const size_t end = cursor + length < PATHVANE_LOOPBACK_SENT_BYTES ? cursor + length
                                                                          : PATHVANE_LOOPBACK_SENT_BYTES;
        piece.assign(reinterpret_cast<const char*>(pattern()) + cursor, end - cursor);
        if ((op & 7) == 1 && !piece.empty()) {
          const size_t at = in.u16() % piece.size();
          piece[at] = static_cast<char>(piece[at] ^ (in.byte() | 1));
        }
        cursor = end;
        unit = 1 + in.below(8);
        piece.resize(piece.size() / unit * unit);
        break;
      }
      case 3:  // bytes of the input's own
        piece = in.bytes(length % 64);
        break;
      case 4:  // move to elsewhere in the pattern
        cursor = in.u16() % (PATHVANE_LOOPBACK_SENT_BYTES + 1);
        continue;
      case 5:  // nothing
        break;
      case 6:  // size * count past SIZE_MAX
        overflow = true;
        break;
      default:  // the end of what was fed, again
        if (!fed.empty()) piece = fed.substr(fed.size() - (length % fed.size()) - 1);
        break;
    }

    // libcurl hands over its own buffer, never a null one.
    std::vector<char> buffer(piece.begin(), piece.end());
    char none = 0;
    const size_t count = overflow ? 2 : piece.size() / unit;
    const size_t item = overflow ? SIZE_MAX / 2 + 1 + in.below(1000) : unit;
    const size_t bytes = overflow ? 0 : piece.size();
    const size_t returned = _loopback_write_fn(buffer.empty() ? &none : buffer.data(), item, count, user);

    if (unusable) {
      // A count other than the one offered ends the transfer.
      FUZZ_CHECK(returned == (bytes ? bytes - 1 : 0));
      if (user) FUZZ_CHECK(context.state == LOOPBACK_INVALID && context.received == 0);
      continue;
    }
    if (overflow || overflowed) {
      overflowed = true;
      FUZZ_CHECK(returned == bytes);
      FUZZ_CHECK(context.state == LOOPBACK_INVALID && context.received == fed.size());
      continue;
    }
    FUZZ_CHECK(returned == bytes);
    fed += piece;
    FUZZ_CHECK(context.received == fed.size());
    const bool prefix = fed.size() <= expected_len && std::memcmp(fed.data(), pattern(), fed.size()) == 0;
    const uint32_t state = !prefix                      ? LOOPBACK_MISMATCH
                           : fed.size() == expected_len ? LOOPBACK_MATCHED
                                                        : LOOPBACK_PARTIAL;
    FUZZ_CHECK(context.state == state);
  }
  return 0;
}
