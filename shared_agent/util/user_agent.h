// The HTTP user agent every transfer sends: "Corvanta/" and the agent's version.
#pragma once
#include <cstddef>
#include <string>

#include "shared_agent/util/result_codes.h"

std::u16string UserAgentForVersion(const std::u16string& version);
// The user agent as UTF-8 in field (size bytes, NUL included), through
// TStringToBuffer: 0x8007007A when it does not fit.
HRESULT WriteUserAgent(char* field, size_t size, const std::u16string& version);
