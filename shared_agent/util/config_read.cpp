#include "shared_agent/util/config_read.h"

#include <cstring>

#include "agent/kit/kit.h"
#include "shared_agent/util/config_singleton.h"
#include "shared_agent/util/config_text.h"

namespace {

HRESULT read_text(const char* key, std::u16string& out, char16_t* (IConfig::*get)(const char*)) {
  IConfig* config = zel::CConfigSingleton::GetInstance();
  if (!config) return ZEL_E_CONFIG_MISSING;
  char16_t* value = (config->*get)(key);
  if (!value) return ZEL_E_CONFIG_MISSING;
  out.assign(value);
  config->FreeString(value);
  return S_OK;
}

}  // namespace

HRESULT ReadConfigText(const char* key, std::u16string& out) { return read_text(key, out, &IConfig::GetString); }

HRESULT ReadConfigTextEx(const char* key, std::u16string& out) {
  return read_text(key, out, &IConfig::GetStringEx);
}

HRESULT GetConfigString(const char* key, char* buffer, size_t size) {
  if (!key || !buffer) return E_FAIL;
  std::u16string value;
  HRESULT hr = ReadConfigTextEx(key, value);
  if (FAILED(hr)) {
    error("Failed to get config %s.", key);
    return hr;
  }
  std::memset(buffer, 0, size);
  if (size <= value.size()) {
    error("Insufficient buffer size to hold config %s", key);
    return E_INSUFFICIENT_BUFFER;
  }
  hr = TStringToBuffer(buffer, size, value);
  if (FAILED(hr)) {
    error("Conversion of config tstring to string failed for config %s", key);
    return hr;
  }
  return S_OK;
}

HRESULT GetConfigStringAlloc(const char* key, char** out) {
  if (!key || !out) return E_FAIL;
  std::u16string value;
  HRESULT hr = ReadConfigTextEx(key, value);
  if (FAILED(hr)) {
    error("Failed to get config %s.", key);
    return hr;
  }
  hr = TStringToAllocString(out, value);
  if (FAILED(hr)) {
    error("Failed to convert config tstring to string");
    return hr;
  }
  return S_OK;
}

