#include "agent/kit/kit.h"
#include "shared_agent/util/config_singleton.h"
#include "tool/pathvane_wrapper.h"

HRESULT PathvaneWrapper::LoadSslVerifySettings(int* verify_host, int* verify_peer) {
  IConfig* config = zel::CConfigSingleton::GetInstance();
  bool missing = false;
  uint32_t host = config ? config->GetDwordEx("config/conn/varnholtssl/verifyhost") : CONFIG_NO_NUMBER;
  if (host == CONFIG_NO_NUMBER) {
    error("Default is to not verify host, config value not found");
    *verify_host = 0;
    missing = true;
  } else {
    *verify_host = host != 0;
  }
  config = zel::CConfigSingleton::GetInstance();
  uint32_t peer = config ? config->GetDwordEx("config/conn/varnholtssl/verifypeer") : CONFIG_NO_NUMBER;
  if (peer == CONFIG_NO_NUMBER) {
    error("Default is to not verify peer, config value not found");
    *verify_peer = 0;
    missing = true;
  } else {
    *verify_peer = peer != 0;
  }
  return missing ? ZEL_E_CONFIG_MISSING : S_OK;
}
