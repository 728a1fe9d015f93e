#include <openssl/x509.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "agent/kit/kit.h"
#include "shared_agent/util/cert_mgr_loader.h"
#include "shared_agent/util/config_read.h"
#include "shared_agent/util/config_singleton.h"
#include "shared_agent/util/host_identity.h"
#include "shared_agent/util/text_encoding.h"
#include "tool/pathvane_wrapper.h"
#include "tool/proxy_loader.h"
#include "velta_client/src/cert_store.h"
#include "velta_client/src/common/zel_log.h"
#include "platform/wipe.h"
#include "platform/openssl_init.h"

namespace {

constexpr int64_t kDebugLevel = 0x7FFFFFF000LL;
constexpr int64_t kReport = 0x80000000LL;

// The settings record is a temporary: once the handle has its copies (or the
// run stopped), the record's own proxy strings and CA reference go.
struct SettingsRecord {
  pathvane_settings* settings = static_cast<pathvane_settings*>(std::calloc(1, sizeof(pathvane_settings)));
  ~SettingsRecord() {
    if (!settings) return;
    release_proxy_strings(settings->proxy);
    X509_free(settings->velta.trust_cert);
    std::free(settings);
  }
};

}  // namespace

// The configuration object exists by now (the reputation server came from
// it), so this read adds no line of its own; LoadGuids reads it again.
void PathvaneWrapper::KeepAgentVersion() {
  IConfig* config = zel::CConfigSingleton::GetInstance();
  char16_t* stored = config ? config->GetAgentVersion() : nullptr;
  if (!stored) return;
  std::string version;
  if (SUCCEEDED(WideToUtf8(std::u16string(stored), version))) identity_.agent_version = version;
  config->FreeString(stored);
}

HRESULT PathvaneWrapper::Initialize(bool bypass, bool discover, bool verbose, const char* cmdline,
                                    uint32_t policy_serial) {
  SettingsRecord record;
  pathvane_settings* settings = record.settings;
  if (!settings) return E_OUTOFMEMORY;
  std::string token;

  trace_open(0);
  trace_set_verbose(verbose);
  setDebugLevel(kDebugLevel);
  zel_trace_mask = kDebugLevel;
  // Before the first OpenSSL call of the tool (the host's certificates, the
  // trust context); libkit, bound by trace_open, is the first library loaded.
  platform::openssl_start();

  settings->proxy.proxy_type = PATHVANE_NO_PROXY;
  diagnosis_.proxy_source = bypass ? ProxyChoice::kNone : discover ? ProxyChoice::kDiscovered : ProxyChoice::kStored;
  if (!bypass) {
    if (discover) {
      // Read quietly: under discovery a missing stored proxy is no error.
      std::u16string stored_server;
      diagnosis_.stored_proxy_set =
          SUCCEEDED(ReadConfigTextEx("config/proxy/server", stored_server)) && !stored_server.empty();
      LoadProxyConfigUsingDiscovery(settings);
    } else {
      LoadProxyConfigFromPolicy(settings);
    }
  }

  HRESULT hr = read_host_identity(&settings->os_info, &settings->host_info);
  if (FAILED(hr)) {
    error("Failed to load OS info");
    return hr;
  }
  identity_.host_read = true;
  identity_.os = settings->os_info;
  identity_.host = settings->host_info;

  const char* reputation_key = "config/agent/urlscanner/urlreputationserver";
  hr = GetConfigString(reputation_key, settings->url_reputation_url, sizeof(settings->url_reputation_url));
  if (FAILED(hr)) {
    error("Failed to get %s", reputation_key);
    error("Failed to load url scanner reputation server");
    return hr;
  }

  KeepAgentVersion();
  hr = LoadGuids(settings);
  if (FAILED(hr)) {
    error("Failed to load guids");
    return hr;
  }

  LoadEndpoints(settings);

  cert_store_init();
  if (IConfig* config = zel::CConfigSingleton::GetInstance(); config && SUCCEEDED(CertMgrLoader::Init(config))) {
    settings->velta.trust_callback = cert_add_from_keystore;
    settings->velta.trust_cert = CertMgrLoader::GetCaCertReference();
  }
  diagnosis_.trusted_subjects = cert_store_configured_subjects();
  if (const std::string est = cert_subject_line(settings->velta.trust_cert); !est.empty()) {
    diagnosis_.trusted_subjects.push_back(est);
  }

  if (policy_serial != 0) {
    settings->policy_serial = policy_serial;
  } else {
    IConfig* config = zel::CConfigSingleton::GetInstance();
    uint32_t serial = config ? config->GetDword("config/velta/policy/serial_number") : CONFIG_NO_NUMBER;
    if (serial == CONFIG_NO_NUMBER) {
      error("PathvaneWrapper::Initialize Failed to retrieve policy serial number");
    } else {
      settings->policy_serial = serial;
    }
  }

  LoadPolicyFileName(settings);

  std::u16string wide_token;
  if (FAILED(ReadConfigText("config/velta/install/token", wide_token))) {
    trace(kReport,
          "Registration without an installation token will fail if it's the first registration, however, "
          "continuing the attempt.");
  } else {
    hr = WideToUtf8(wide_token, token);
    platform::wipe(wide_token.data(), wide_token.size() * sizeof(char16_t));
    if (FAILED(hr)) {
      error("Conversion of token to std::string failed");
      return hr;
    }
  }

  int verify_host = 0, verify_peer = 0;
  LoadSslVerifySettings(&verify_host, &verify_peer);

  std::snprintf(settings->cmdline, sizeof(settings->cmdline), "%s", cmdline ? cmdline : "");

  handle_ = pathvane_init(settings, token.c_str(), verify_host, verify_peer, verbose ? 1 : 0);
  platform::wipe(token.data(), token.size());
  if (!handle_) return E_HANDLE;
  // The handle now owns the CA reference it copied.
  settings->velta.trust_cert = nullptr;
  return S_OK;
}
