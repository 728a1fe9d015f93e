#include "agent/proxfind/winhttp_list.h"

#include <algorithm>
#include <string>

#include "agent/proxfind/proxy_answer.h"
#include "platform/ascii_case.h"

namespace {

bool is_separator(char c, std::string_view separators) { return separators.find(c) != std::string_view::npos; }

// Calls take(entry) for each non-empty entry of list.
template <typename Take>
void for_each_entry(std::string_view list, std::string_view separators, Take take) {
  size_t i = 0;
  while (i < list.size()) {
    while (i < list.size() && is_separator(list[i], separators)) ++i;
    size_t end = i;
    while (end < list.size() && !is_separator(list[end], separators)) ++end;
    if (end > i) take(list.substr(i, end - i));
    i = end;
  }
}

constexpr std::string_view kListSeparators = "; \t\r\n";
constexpr std::string_view kBypassSeparators = ";, \t\r\n";

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// '*' matches any run of characters, dots included, as in WinHTTP's bypass
// patterns.
bool matches_pattern(std::string_view pattern, std::string_view text) {
  size_t p = 0;
  size_t t = 0;
  size_t star = std::string_view::npos;
  size_t star_text = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      star_text = t;
    } else if (p < pattern.size() && lower(pattern[p]) == lower(text[t])) {
      ++p;
      ++t;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      t = ++star_text;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

struct UrlParts {
  std::string_view scheme;
  std::string_view host;
};

UrlParts url_parts(std::string_view url) {
  UrlParts parts{"http", {}};
  std::string_view rest = url;
  if (size_t sep = url.find("://"); sep != std::string_view::npos) {
    parts.scheme = url.substr(0, sep);
    rest = url.substr(sep + 3);
  }
  std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
  if (size_t at = authority.rfind('@'); at != std::string_view::npos) authority = authority.substr(at + 1);
  if (!authority.empty() && authority.front() == '[') {
    parts.host = authority.substr(0, authority.find(']') + 1);
  } else {
    parts.host = authority.substr(0, authority.find(':'));
  }
  return parts;
}

enum class Scope { kUrlScheme, kUnscoped, kSocks, kOther };

struct Entry {
  Scope scope;
  std::string_view value;
};

Entry entry_of(std::string_view text, std::string_view url_scheme) {
  // An '=' after "://" belongs to the address, not to a scope.
  size_t equals = text.find('=');
  size_t scheme_sep = text.find("://");
  if (equals == std::string_view::npos || (scheme_sep != std::string_view::npos && equals > scheme_sep)) {
    return {Scope::kUnscoped, text};
  }
  std::string_view scope = text.substr(0, equals);
  std::string_view value = text.substr(equals + 1);
  if (platform::equal_ignoring_ascii_case(scope, url_scheme)) return {Scope::kUrlScheme, value};
  if (platform::equal_ignoring_ascii_case(scope, "socks")) return {Scope::kSocks, value};
  return {Scope::kOther, value};
}

}  // namespace

bool winhttp_bypassed(std::string_view bypass_list, std::string_view host) {
  if (host.empty()) return false;
  bool bypassed = false;
  for_each_entry(bypass_list, kBypassSeparators, [&](std::string_view entry) {
    if (bypassed) return;
    if (platform::equal_ignoring_ascii_case(entry, "<local>")) {
      bypassed = host.find('.') == std::string_view::npos && host.front() != '[';
    } else {
      bypassed = matches_pattern(entry, host);
    }
  });
  return bypassed;
}

std::vector<DiscoveredProxy> winhttp_proxies_for(std::string_view proxy_list, std::string_view bypass_list,
                                                 std::string_view test_url) {
  std::vector<DiscoveredProxy> found;
  UrlParts url = url_parts(test_url);
  if (winhttp_bypassed(bypass_list, url.host)) return found;

  std::vector<Entry> entries;
  for_each_entry(proxy_list, kListSeparators,
                 [&](std::string_view text) { entries.push_back(entry_of(text, url.scheme)); });
  // Entries for the URL's own scheme win over unscoped ones, and those over
  // SOCKS, as in Internet settings where an unscoped entry means "all others".
  auto listed = [&](Scope scope) {
    return std::any_of(entries.begin(), entries.end(), [&](const Entry& entry) { return entry.scope == scope; });
  };
  Scope chosen = listed(Scope::kUrlScheme) ? Scope::kUrlScheme
                 : listed(Scope::kUnscoped) ? Scope::kUnscoped
                 : listed(Scope::kSocks)    ? Scope::kSocks
                                            : Scope::kOther;
  if (chosen == Scope::kOther) return found;

  for (const Entry& entry : entries) {
    if (entry.scope != chosen) continue;
    DiscoveredProxy record;
    bool parsed = false;
    if (chosen == Scope::kSocks && entry.value.find("://") == std::string_view::npos) {
      // Internet settings' SOCKS proxy is version 4 unless its address says otherwise.
      parsed = parse_proxy_answer("socks4://" + std::string(entry.value), record);
    } else {
      parsed = parse_proxy_answer(entry.value, record);
    }
    if (!parsed) continue;
    // WinHTTP's lists carry no credentials; an address that spells some
    // out does not make them the proxy's.
    wipe_text(record.user_name);
    wipe_text(record.password);
    record.auth_type = 0;
    record.source = PROXY_SOURCE_WINHTTP;
    record.rank = static_cast<uint32_t>(found.size());
    assign_wide(record.url, test_url);
    found.push_back(record);
  }
  return found;
}
