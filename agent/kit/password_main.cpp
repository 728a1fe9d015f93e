// kit-password: encodes a proxy password for agent-config.json.
// Reads the password from standard input up to its first line end and prints
// the base64 text of its stored value, for {"config/proxy/password":
// {"base64": "..."}}.
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <string.h>

#include <cstdio>
#include <cstring>

#include "agent/kit/kit.h"
#include "agent/kit/password_constants.h"
#include "agent/kit/password_util.h"
#include "platform/console.h"
#include "platform/wipe.h"
#include "platform/openssl_init.h"

namespace {

using namespace agent_password;

constexpr size_t kMaxPassword = kMaxDecodedLength - kPrefixLength;
constexpr size_t kMaxStored = kNonceLength + kMaxDecodedLength + kTagLength;

void usage(FILE* to) {
  std::fputs(
      "usage: kit-password < password-file\n"
      "Reads a proxy password from standard input (up to the first line end)\n"
      "and prints the base64 text to store as\n"
      "  \"config/proxy/password\": { \"base64\": \"<text>\" }\n"
      "in agent-config.json.\n",
      to);
}

// A random GUID text (version 4), the prefix the decoder skips.
bool make_prefix(char (&text)[kPrefixLength + 1]) {
  unsigned char b[16];
  if (RAND_bytes(b, sizeof(b)) != 1) return false;
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
  int n = std::snprintf(text, sizeof(text),
                        "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                        b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
                        b[15]);
  return n == static_cast<int>(kPrefixLength);
}

// Reads up to the first line end into buf; -1 when it does not fit, -2 at
// end of input before anything was read.
long read_line(unsigned char* buf, size_t size) {
  size_t length = 0;
  bool any = false;
  int c;
  while ((c = std::fgetc(stdin)) != EOF) {
    any = true;
    if (c == '\n') break;
    if (length == size) return -1;
    buf[length++] = static_cast<unsigned char>(c);
  }
  if (!any) return -2;
  if (length > 0 && buf[length - 1] == '\r') --length;
  return static_cast<long>(length);
}

// Asks for the password on a terminal, with its echo off.
class PasswordPrompt {
 public:
  PasswordPrompt() {
    if (echo_off_.active()) std::fputs("Password: ", stderr);
  }
  ~PasswordPrompt() {
    if (echo_off_.active()) std::fputc('\n', stderr);
  }

 private:
  platform::InputEchoOff echo_off_;
};

}  // namespace

int main(int argc, char** argv) {
  platform::openssl_start();
  if (argc > 1) {
    bool help = std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0;
    usage(help ? stdout : stderr);
    return help ? 0 : 1;
  }

  // Prefix and password, as the decoder sees them; one spare byte so that an
  // over-long line is noticed rather than cut.
  unsigned char plain[kMaxDecodedLength + 1];
  char prefix[kPrefixLength + 1];
  if (!make_prefix(prefix)) {
    std::fputs("kit-password: no random data for the prefix\n", stderr);
    return 1;
  }
  std::memcpy(plain, prefix, kPrefixLength);
  // Unbuffered, so that no copy of the password stays in a stdio buffer.
  std::setvbuf(stdin, nullptr, _IONBF, 0);
  long length;
  {
    PasswordPrompt prompt;
    length = read_line(plain + kPrefixLength, kMaxPassword + 1);
  }
  int status = 1;
  if (length == -2 || length == 0) {
    std::fputs("kit-password: no password on standard input\n", stderr);
  } else if (length < 0 || static_cast<size_t>(length) > kMaxPassword) {
    std::fprintf(stderr, "kit-password: the password is longer than %zu bytes\n", kMaxPassword);
  } else {
    unsigned char stored[kMaxStored];
    uint32_t stored_length = sizeof(stored);
    IPasswordUtil* util = Util::CreatePClassInstance();
    unsigned char key[kSaltLength] = {};
    std::memcpy(key, kKey, kKeyLength);
    if (util && util->Prepare(kSalt, kSaltLength, key, kKeyLength) == 0 &&
        util->Encode(key, kKeyLength, plain, static_cast<uint32_t>(kPrefixLength + length), stored,
                     &stored_length) == 0) {
      char text[4 * ((kMaxStored + 2) / 3) + 1];
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text), stored, static_cast<int>(stored_length));
      std::printf("%s\n", text);
      status = 0;
    } else {
      std::fputs("kit-password: encoding failed\n", stderr);
    }
    Util::ReleasePClassInstance(util);
    platform::wipe(key, sizeof(key));
  }
  platform::wipe(plain, sizeof(plain));
  return status;
}
