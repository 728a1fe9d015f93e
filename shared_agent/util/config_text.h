// UTF-16 configuration text into the program's UTF-8 fields.
#pragma once
#include <cstddef>
#include <string>

#include "shared_agent/util/result_codes.h"

// UTF-8 copy into buffer: 0, 0xC1040001 (no buffer or size 0), the
// conversion's code, or 0x8007007A when it does not fit (buffer untouched).
HRESULT TStringToBuffer(char* buffer, size_t size, const std::u16string& text);
// UTF-8 copy into a new string (release with free()): 0, 0xC1040001 (no out),
// the conversion's code, or 0x8007000E.
HRESULT TStringToAllocString(char** out, const std::u16string& text);
