#include "platform/codec.h"

// After the interface: its constants share names with <windows.h> macros.
#include <windows.h>

namespace platform {

int MultiByteToWideChar(uint32_t code_page, uint32_t flags, const char* in, int in_len, char16_t* out,
                        int out_len) {
  return ::MultiByteToWideChar(code_page, flags, in, in_len, reinterpret_cast<wchar_t*>(out), out_len);
}

int WideCharToMultiByte(uint32_t code_page, uint32_t flags, const char16_t* in, int in_len, char* out,
                        int out_len) {
  return ::WideCharToMultiByte(code_page, flags, reinterpret_cast<const wchar_t*>(in), in_len, out, out_len,
                               nullptr, nullptr);
}

uint32_t GetLastError() { return ::GetLastError(); }
void SetLastError(uint32_t code) { ::SetLastError(code); }

}  // namespace platform
