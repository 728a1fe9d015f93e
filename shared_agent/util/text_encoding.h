// UTF-8 <-> UTF-16 conversions and the URL encoder for policy templates.
// Texts are taken up to their first NUL. On failure out is left unchanged.
#pragma once
#include <string>

#include "shared_agent/util/result_codes.h"

// 0, or 0x80070057 for text that is not valid UTF-8.
HRESULT Utf8ToWide(std::string in, std::u16string& out);
// 0; 0xC1040001 when the size query fails, 0xC1040003 when the conversion
// does. Unpaired surrogates become U+FFFD rather than failing.
HRESULT WideToUtf8(std::u16string in, std::string& out);
// Letters and digits stay; every other UTF-8 byte becomes %XX.
HRESULT UrlEncode(std::u16string in, std::string& out);
HRESULT UrlEncodeW(std::u16string in, std::u16string& out);
