#include <cstring>

#include "agent/kit/kit.h"
#include "shared_agent/util/config_read.h"
#include "shared_agent/util/config_singleton.h"
#include "shared_agent/util/config_text.h"
#include "shared_agent/util/user_agent.h"
#include "tool/pathvane_wrapper.h"

HRESULT PathvaneWrapper::LoadGuids(pathvane_settings* settings) {
  velta_client_settings& velta = settings->velta;
  std::u16string affiliate, business, agent;
  HRESULT hr = ReadConfigTextEx("config/agent/affiliate/uuid", affiliate);
  if (FAILED(hr)) {
    error("Failed to get affiliate guid for velta configuration.");
    return hr;
  }
  hr = ReadConfigTextEx("config/velta/business/uuid", business);
  if (FAILED(hr)) {
    error("Failed to get business guid for velta configuration.");
    return hr;
  }
  hr = ReadConfigText("config/agent/uuid", agent);
  if (FAILED(hr)) {
    error("Failed to get agent guid for velta configuration.");
    return hr;
  }
  IConfig* config = zel::CConfigSingleton::GetInstance();
  char16_t* stored_version = config ? config->GetAgentVersion() : nullptr;
  if (!stored_version) {
    error("Failed to get agent version for velta configuration.");
    return ZEL_E_CONFIG_MISSING;
  }
  std::u16string version = stored_version;
  config->FreeString(stored_version);

  std::memset(velta.agent_guid, 0, sizeof(velta.agent_guid));
  std::memset(velta.affiliate_guid, 0, sizeof(velta.affiliate_guid));
  std::memset(velta.business_guid, 0, sizeof(velta.business_guid));
  std::memset(velta.user_agent, 0, sizeof(velta.user_agent));
  if (FAILED(hr = TStringToBuffer(velta.agent_guid, sizeof(velta.agent_guid), agent))) return hr;
  if (FAILED(hr = TStringToBuffer(velta.affiliate_guid, sizeof(velta.affiliate_guid), affiliate))) return hr;
  if (FAILED(hr = TStringToBuffer(velta.business_guid, sizeof(velta.business_guid), business))) return hr;
  return WriteUserAgent(velta.user_agent, sizeof(velta.user_agent), version);
}
