#include <new>
#include <string>

#include "agent/kit/kit.h"
#include "shared_agent/util/config_read.h"
#include "shared_agent/util/config_singleton.h"
#include "shared_agent/util/config_text.h"
#include "shared_agent/util/text_encoding.h"
#include "tool/pathvane_wrapper.h"
#include "tool/template_expand.h"

namespace {

constexpr size_t kUrlFieldSize = 1024;

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

// The configuration key a placeholder's NAME stands for.
std::string key_of(const std::string& name) {
  if (name.starts_with("agent/") || name.starts_with("ui/")) return "config/" + name;
  return name;
}

// Replaces each "[%set:NAME%]" of a template, left to right, by the
// URL-encoded value of NAME's key (nothing when it has none). 0, or
// 0xC1030003 without a configuration object (out is then the template). A
// URL that cannot fit its field comes back cut just past the field's size, so
// that storing it fails without megabytes of log.
HRESULT ExpandConfigTemplate(std::u16string template_text, std::u16string& out) {
  out = template_text;
  IConfig* config = zel::CConfigSingleton::GetInstance();
  if (!config) return ZEL_E_CONFIG_MISSING;
  auto value_of = [config](std::u16string_view name) {
    std::u16string encoded;
    std::string narrow;
    if (FAILED(WideToUtf8(std::u16string(name), narrow))) return encoded;
    char16_t* value = config->GetString(key_of(narrow).c_str());
    if (FAILED(UrlEncodeW(value ? value : u"", encoded))) encoded.clear();
    config->FreeString(value);
    return encoded;
  };
  try {
    std::u16string expanded;
    ExpandPlaceholders(template_text, value_of, kUrlFieldSize, expanded);
    out = std::move(expanded);
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
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
