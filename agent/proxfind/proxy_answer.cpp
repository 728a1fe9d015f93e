#include "agent/proxfind/proxy_answer.h"

#include <cctype>
#include <cstdint>
#include <string>

#include "platform/codec.h"
#include "platform/wipe.h"
#include "platform/ascii_case.h"

namespace {

struct Scheme {
  std::string_view scheme;
  std::u16string_view type_name;
  uint16_t default_port;
};

constexpr Scheme kSchemes[] = {
    {"http", u"http_proxy", 80},     {"https", u"https", 443},    {"socks4", u"socks4", 1080},
    {"socks4a", u"socks4a", 1080},   {"socks5", u"socks5", 1080}, {"socks", u"socks5", 1080},
    {"socks5h", u"socks5_hostname", 1080},
};

const Scheme* scheme_named(std::string_view name) {
  for (const auto& s : kSchemes) {
    if (platform::equal_ignoring_ascii_case(s.scheme, name)) return &s;
  }
  return nullptr;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent-decoding of the user information; a "%" without two hex digits
// stays as it is. Written in place: no temporary holds the password.
void percent_decode(std::string_view text, std::string& out) {
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    int high = -1;
    int low = -1;
    if (text[i] == '%' && i + 2 < text.size() && (high = hex_value(text[i + 1])) >= 0 &&
        (low = hex_value(text[i + 2])) >= 0) {
      out.push_back(static_cast<char>(high * 16 + low));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
}

bool parse_port(std::string_view text, uint16_t& port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value < 1 || value > 65535) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

void wipe(std::string& text) {
  platform::wipe(text.data(), text.size());
  text.clear();
}

}  // namespace

void assign_wide(std::u16string& out, std::string_view text) {
  using platform::CP_UTF8;
  using platform::MultiByteToWideChar;
  wipe_text(out);
  if (text.empty() || text.size() > INT32_MAX) return;
  int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (units <= 0) return;
  out.resize(static_cast<size_t>(units));
  if (MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), units) != units) {
    wipe_text(out);
  }
}

bool parse_proxy_answer(std::string_view answer, DiscoveredProxy& record) {
  std::string_view scheme_name = "http";
  std::string_view rest = answer;
  if (size_t sep = answer.find("://"); sep != std::string_view::npos) {
    scheme_name = answer.substr(0, sep);
    rest = answer.substr(sep + 3);
  }
  const Scheme* scheme = scheme_named(scheme_name);
  if (!scheme) return false;  // "direct" included

  std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
  std::string_view user_info;
  bool has_user_info = false;
  if (size_t at = authority.rfind('@'); at != std::string_view::npos) {
    user_info = authority.substr(0, at);
    authority = authority.substr(at + 1);
    has_user_info = true;
  }

  std::string_view host = authority;
  std::string_view port_text;
  if (!authority.empty() && authority.front() == '[') {
    size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    host = authority.substr(0, close + 1);
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return false;
      port_text = after.substr(1);
    }
  } else if (size_t colon = authority.rfind(':'); colon != std::string_view::npos) {
    host = authority.substr(0, colon);
    port_text = authority.substr(colon + 1);
  }
  if (host.empty()) return false;
  uint16_t port = scheme->default_port;
  if (!port_text.empty() && !parse_port(port_text, port)) return false;

  std::string user;
  std::string password;
  if (has_user_info) {
    size_t colon = user_info.find(':');
    percent_decode(user_info.substr(0, colon), user);
    if (colon != std::string_view::npos) percent_decode(user_info.substr(colon + 1), password);
  }

  record.clear();
  record.port = port;
  record.type_name = scheme->type_name;
  assign_wide(record.server, host);
  assign_wide(record.user_name, user);
  assign_wide(record.password, password);
  record.auth_type = user.empty() ? 0 : 1;
  wipe(user);
  wipe(password);
  return true;
}
