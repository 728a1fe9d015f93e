// The configuration object of libconfstore.so, as the tool calls it.
// Texts come back owned by the store: FreeString for wide ones, FreeBuffer
// for GetStringA and GetBinary.
#pragma once
#include <openssl/types.h>

#include <cstdint>

constexpr uint32_t CONFIG_NO_NUMBER = 0xFFFFFFFFu;

class IConfig {
 public:
  virtual char* GetStringA(const char* key) = 0;
  virtual char16_t* GetString(const char* key) = 0;
  virtual uint32_t GetDword(const char* key) = 0;
  virtual char16_t* GetStringEx(const char* key) = 0;
  virtual uint32_t GetDwordEx(const char* key) = 0;
  virtual uint8_t* GetBinary(const char* key, uint32_t* length) = 0;
  virtual void FreeBuffer(void* buffer) = 0;
  virtual void FreeString(char16_t* text) = 0;
  virtual void SetModuleHandle(void* module) = 0;
  virtual int Load(int flags) = 0;
  // 0 on success; the list holds one reference per certificate.
  virtual int GetCertList(const char* key, X509*** list, uint32_t* count) = 0;
  virtual void FreeCertList(X509** list, uint32_t count) = 0;
  virtual char16_t* GetAgentVersion() = 0;
  virtual ~IConfig() = default;
};

extern "C" IConfig* CreateConfigClassInstance();
using CreateConfigClassInstanceFn = IConfig* (*)();
