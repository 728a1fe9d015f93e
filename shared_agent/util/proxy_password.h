// The proxy password stored in the agent's configuration
// ("config/proxy/password"), decoded by libkit's password utility.
#pragma once
#include <cstdint>
#include <string>

class IPasswordUtil;

namespace zel {

// true with the password in out; false (out untouched) when there is no
// configuration, no stored value, or it does not decode to a password.
// The caller wipes out when done with it.
bool GetProxyPassword(std::u16string& out);

namespace detail {

struct PasswordUtilFactory {
  IPasswordUtil* (*create)();
  void (*release)(IPasswordUtil*);
};

// GetProxyPassword over a given utility and the caller's working and output
// buffers, which hold only zero bytes when it returns.
bool GetProxyPasswordWith(const PasswordUtilFactory& factory, uint8_t (&work)[256], uint8_t (&output)[1024],
                          std::u16string& out);

}  // namespace detail
}  // namespace zel
