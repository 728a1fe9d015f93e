// On Windows, the system's headers define as macros many names that the
// platform interface declares as its own constants (ERROR_SUCCESS, CP_UTF8,
// FILE_ATTRIBUTE_DIRECTORY...), with the same values. They are all
// included here, once, before the interface, and those macros removed, so
// that platform::ERROR_SUCCESS means the same in every file, whatever it
// included before. Unqualified uses inside namespace platform find the
// interface's constants.
#pragma once

#ifdef _WIN32
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// clang-format on

#undef CP_UTF8
#undef MB_ERR_INVALID_CHARS
#undef ERROR_SUCCESS
#undef ERROR_NOT_ENOUGH_MEMORY
#undef ERROR_GEN_FAILURE
#undef ERROR_BUFFER_OVERFLOW
#undef ERROR_NO_DATA
#undef ERROR_INSUFFICIENT_BUFFER
#undef ERROR_INVALID_PARAMETER
#undef ERROR_MORE_DATA
#undef ERROR_NO_UNICODE_TRANSLATION
#undef FILE_ATTRIBUTE_DIRECTORY
#undef FILE_ATTRIBUTE_REPARSE_POINT
#undef INVALID_FILE_ATTRIBUTES
#undef SM_SERVERR2
#undef CERT_NAME_SIMPLE_DISPLAY_TYPE
#undef CRYPT_STRING_BASE64
#undef IF_TYPE_OTHER
#undef IF_TYPE_ETHERNET_CSMACD
#undef IF_TYPE_PPP
#undef IF_TYPE_SOFTWARE_LOOPBACK
#undef MAX_ADAPTER_ADDRESS_LENGTH
#endif
