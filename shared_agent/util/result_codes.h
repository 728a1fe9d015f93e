// 32-bit result codes of the class-based modules: negative on failure.
#pragma once
#include <cstdint>

#ifdef _WIN32
// The system's HRESULT, S_OK, E_FAIL, FAILED and SUCCEEDED, and those of
// the codes below that it names.
#include "platform/system_names.h"
#else
using HRESULT = int32_t;

constexpr HRESULT S_OK = 0;
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
constexpr HRESULT E_HANDLE = static_cast<HRESULT>(0x80070006);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);

constexpr bool FAILED(HRESULT hr) { return hr < 0; }
constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
#endif

#ifndef E_INSUFFICIENT_BUFFER
constexpr HRESULT E_INSUFFICIENT_BUFFER = static_cast<HRESULT>(0x8007007A);
#endif
#ifndef E_NOT_FOUND
constexpr HRESULT E_NOT_FOUND = static_cast<HRESULT>(0x80070490);
#endif
constexpr HRESULT ZEL_E_CONFIG_MISSING = static_cast<HRESULT>(0xC1030003);
constexpr HRESULT ZEL_E_NULL_ARGUMENT = static_cast<HRESULT>(0xC1040001);
constexpr HRESULT ZEL_E_CONVERSION = static_cast<HRESULT>(0xC1040003);
constexpr HRESULT ZEL_E_PROXY_TYPE = static_cast<HRESULT>(0xC1040004);
