#include <cstdio>
#include <cstring>

#include "agent/kit/kit.h"
#include "shared_agent/util/config_read.h"
#include "shared_agent/util/config_singleton.h"
#include "tool/default_urls.h"
#include "tool/pathvane_wrapper.h"

namespace {

template <size_t N>
void copy_default(char (&field)[N], const char* url) {
  std::snprintf(field, N, "%s", url);
}

}  // namespace

HRESULT PathvaneWrapper::LoadEndpoints(pathvane_settings* settings) {
  settings->health_url[0] = '\0';
  settings->velta.mgmt_url[0] = '\0';
  settings->event_url[0] = '\0';
  if (FAILED(GetConfigString("config/velta/endpoint/mgmt", settings->velta.mgmt_url, sizeof(settings->velta.mgmt_url)))) {
    copy_default(settings->velta.mgmt_url, kDefaultManagementUrl);
    error("Failed to get management endpoint.");
  }
  if (FAILED(GetConfigString("config/velta/endpoint/event", settings->event_url, sizeof(settings->event_url)))) {
    copy_default(settings->event_url, kDefaultEventUrl);
    error("Failed to get event endpoint.");
  }
  // The health URL field is larger than what is read into it.
  if (FAILED(GetConfigString("config/proxy/testurl", settings->health_url, 1024))) {
    copy_default(settings->health_url, kDefaultHealthUrl);
    error("Failed to get proxy test URL");
  }
  if (FAILED(LoadSubmissionServers(settings))) error("Failed to load retro submission server");
  if (FAILED(LoadUpdaterUrl(settings))) error("Failed to load updater URL");
  if (FAILED(LoadPolicyUrls(settings))) error("Failed to get policy URLs");
  return S_OK;
}

HRESULT PathvaneWrapper::LoadSubmissionServers(pathvane_settings* settings) {
  HRESULT hr = GetConfigString("config/agent/submission/retro/upload_server", settings->retro_server,
                               sizeof(settings->retro_server));
  if (FAILED(hr)) {
    error("Failed to get retro submission server");
    return hr;
  }
  hr = GetConfigString("config/agent/submission/http_upload_server", settings->submit_server,
                       sizeof(settings->submit_server));
  if (FAILED(hr)) {
    error("Failed to get submit submission server");
    return hr;
  }
  hr = GetConfigString("config/agent/submission/protocol", settings->submit_protocol, sizeof(settings->submit_protocol));
  if (FAILED(hr)) {
    error("Failed to get submission protocol");
    return hr;
  }
  IConfig* config = zel::CConfigSingleton::GetInstance();
  uint32_t max_size = config ? config->GetDwordEx("config/agent/submission/http_max_size") : CONFIG_NO_NUMBER;
  if (max_size == CONFIG_NO_NUMBER) {
    error("Failed to get max file size");
  } else {
    settings->max_upload_size = max_size;
  }
  if (FAILED(GetConfigString("config/agent/crashdump/url", settings->crash_dump_url, sizeof(settings->crash_dump_url)))) {
    error("Failed to get crash dump URL");
  }
  // The agent writes "localhost" when crash-dump upload is switched off.
  if (std::strcmp(settings->crash_dump_url, "localhost") == 0) settings->crash_dump_url[0] = '\0';
  return S_OK;
}

HRESULT PathvaneWrapper::LoadUpdaterUrl(pathvane_settings* settings) {
  settings->updater_url[0] = '\0';
  char server[1024];
  if (FAILED(GetConfigString("config/updater/server", server, sizeof(server))) || server[0] == '\0') return S_OK;
  char path[1024];
  HRESULT hr = GetConfigString("config/updater/path", path, sizeof(path));
  if (FAILED(hr)) {
    error("no update path present");
    return hr;
  }
  // A URL longer than the field is cut, as the agent's own reader does.
  if (std::snprintf(settings->updater_url, sizeof(settings->updater_url), "http://%s%s", server, path) < 0) {
    settings->updater_url[0] = '\0';
  }
  return S_OK;
}
