// The configuration object behind CreateConfigClassInstance: the members of
// agent-config.json, read by key.
#pragma once
#include <nlohmann/json.hpp>

#include "agent/confstore/iconfig.h"

class ConfigStore final : public IConfig {
 public:
  char* GetStringA(const char* key) override;
  char16_t* GetString(const char* key) override;
  uint32_t GetDword(const char* key) override;
  char16_t* GetStringEx(const char* key) override;
  uint32_t GetDwordEx(const char* key) override;
  uint8_t* GetBinary(const char* key, uint32_t* length) override;
  void FreeBuffer(void* buffer) override;
  void FreeString(char16_t* text) override;
  void SetModuleHandle(void* module) override;
  int Load(int flags) override;
  int GetCertList(const char* key, X509*** list, uint32_t* count) override;
  void FreeCertList(X509** list, uint32_t count) override;
  char16_t* GetAgentVersion() override;

 private:
  // The member named key, or null.
  const nlohmann::json* find(const char* key) const;

  void* module_ = nullptr;
  nlohmann::json values_ = nlohmann::json::object();
};
