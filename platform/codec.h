// The Linux form of MultiByteToWideChar / WideCharToMultiByte for CP_UTF8.
// Wide text is UTF-16 in char16_t, as on Windows.
#pragma once
#include "platform/system_names.h"
#include <cstdint>

namespace platform {

constexpr uint32_t CP_UTF8 = 65001;
constexpr uint32_t MB_ERR_INVALID_CHARS = 0x8;
constexpr uint32_t ERROR_NO_UNICODE_TRANSLATION = 1113;
constexpr uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
constexpr uint32_t ERROR_INVALID_PARAMETER = 87;

// in_len -1 means up to and including the terminating NUL. out_len 0 asks for
// the size. Returns the number of units written (or needed), 0 on failure with
// the reason in GetLastError(). With MB_ERR_INVALID_CHARS an ill-formed input
// fails; without it each bad sequence becomes U+FFFD.
int MultiByteToWideChar(uint32_t code_page, uint32_t flags, const char* in, int in_len,
                        char16_t* out, int out_len);
// Unpaired surrogates become U+FFFD (flags 0 never fail on them).
int WideCharToMultiByte(uint32_t code_page, uint32_t flags, const char16_t* in, int in_len,
                        char* out, int out_len);

uint32_t GetLastError();
void SetLastError(uint32_t code);

}  // namespace platform
