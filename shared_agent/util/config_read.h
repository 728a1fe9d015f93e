// Typed reads of the agent's configuration (keys such as "config/proxy/port").
// Numbers have no wrapper: GetDwordEx on CConfigSingleton::GetInstance(),
// 0xFFFFFFFF meaning no value.
#pragma once
#include <cstddef>
#include <string>

#include "shared_agent/util/result_codes.h"

// The text value through GetString (ReadConfigText) or GetStringEx
// (ReadConfigTextEx): 0, or 0xC1030003 without an object or a value.
// Silent; out is untouched on failure.
HRESULT ReadConfigText(const char* key, std::u16string& out);
HRESULT ReadConfigTextEx(const char* key, std::u16string& out);

// The text value as UTF-8 in buffer (size bytes, NUL included). On any
// failure past the read the buffer is all zero.
HRESULT GetConfigString(const char* key, char* buffer, size_t size);
// The text value as a new UTF-8 string; release it with free().
HRESULT GetConfigStringAlloc(const char* key, char** out);
