#include <string>

// g++ 12 with the sanitizers reports std::function inside <regex> as maybe
// uninitialized (a false positive of its own headers).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop

#include "agent/kit/kit.h"
#include "shared_agent/util/config_read.h"
#include "shared_agent/util/config_singleton.h"
#include "shared_agent/util/config_text.h"
#include "shared_agent/util/text_encoding.h"
#include "tool/pathvane_wrapper.h"

namespace {

constexpr size_t kUrlFieldSize = 1024;
// libstdc++'s regex matcher recurses once per character it scans; past a few
// thousand characters it runs out of stack. A template this long cannot make
// a 1023-byte URL in any real configuration.
constexpr size_t kMaxTemplateLength = 2048;

struct PolicyUrlRow {
  const char* template_key;
  char (pathvane_settings::*field)[kUrlFieldSize];
};

constexpr PolicyUrlRow kPolicyUrlRows[] = {
    {"config/velta/endpoint/policy/affiliate", &pathvane_settings::policy_affiliate_url},
    {"config/velta/endpoint/policy/company", &pathvane_settings::policy_company_url},
    {"config/velta/endpoint/policy/policy", &pathvane_settings::policy_policy_url},
    {"config/velta/endpoint/policy/agent", &pathvane_settings::policy_agent_url},
};

// libstdc++ has no regex over char16_t; wchar_t (UTF-32 here) keeps one
// element per character, so "." and the non-greedy group see what they
// would in a UTF-16 regex.
std::wstring utf32_of(const std::u16string& text) {
  std::wstring out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    out.push_back(static_cast<wchar_t>(c));
  }
  return out;
}

std::u16string utf16_of(const std::wstring& text) {
  std::u16string out;
  out.reserve(text.size());
  for (wchar_t wc : text) {
    auto c = static_cast<char32_t>(wc);
    if (c >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

// The configuration key a placeholder's NAME stands for.
std::string key_of(const std::string& name) {
  if (name.starts_with("agent/") || name.starts_with("ui/")) return "config/" + name;
  return name;
}

// Replaces each "[%set:NAME%]" of a template, left to right, by the
// URL-encoded value of NAME's key (nothing when it has none). 0;
// 0xC1030003 without a configuration object, 0x8007007A for a template past
// kMaxTemplateLength (out is then the template).
HRESULT ExpandConfigTemplate(std::u16string template_text, std::u16string& out) {
  out = template_text;
  IConfig* config = zel::CConfigSingleton::GetInstance();
  if (!config) return ZEL_E_CONFIG_MISSING;
  if (template_text.size() > kMaxTemplateLength) return E_INSUFFICIENT_BUFFER;
  try {
    const std::wregex placeholder(LR"(\[%set:(.*?)%\])", std::regex::ECMAScript);
    std::wstring working = utf32_of(template_text);
    std::wsmatch match;
    while (std::regex_search(working, match, placeholder)) {
      std::u16string expanded = utf16_of(match.prefix().str());
      std::string name;
      if (SUCCEEDED(WideToUtf8(utf16_of(match[1].str()), name))) {
        char16_t* value = config->GetString(key_of(name).c_str());
        std::u16string encoded;
        if (SUCCEEDED(UrlEncodeW(value ? value : u"", encoded))) expanded += encoded;
        config->FreeString(value);
      }
      expanded += utf16_of(match.suffix().str());
      out = expanded;
      working = utf32_of(out);
    }
    return S_OK;
  } catch (const std::exception&) {
    // A regex that gives up on its input: what was expanded so far stays.
    return E_FAIL;
  }
}

}  // namespace

HRESULT PathvaneWrapper::LoadPolicyUrls(pathvane_settings* settings) {
  if (!settings) return E_FAIL;
  for (const auto& row : kPolicyUrlRows) {
    std::u16string template_text;
    std::u16string url;
    HRESULT hr = ReadConfigTextEx(row.template_key, template_text);
    if (SUCCEEDED(hr)) hr = ExpandConfigTemplate(template_text, url);
    if (FAILED(hr)) {
      error(u"Failed to find/create the policy fetch path (%hs), template path (%s) from config. Bailing.",
            row.template_key, url.c_str());
      return hr;
    }
    hr = TStringToBuffer(settings->*row.field, kUrlFieldSize, url);
    if (FAILED(hr)) {
      error(u"Conversion of policy URL failed for path %s.", url.c_str());
      return hr;
    }
  }
  return S_OK;
}
