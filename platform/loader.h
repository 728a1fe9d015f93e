// The Linux form of LoadLibraryW / GetProcAddress / FreeLibrary.
// A bare Windows name maps to its Linux file (confstore.dll -> libconfstore.so)
// and is looked for first in the running executable's directory, then by the
// dynamic loader's default search. "kernel32.dll" is built in.
#pragma once
#include <string>

namespace platform {

using Module = void*;

Module LoadLibraryW(const char16_t* name);
void* GetProcAddress(Module module, const char* name);
bool FreeLibrary(Module module);

// The Linux file name for a Windows library name ("xferlib.dll" -> "libxferlib.so").
std::string linux_library_name(const std::string& windows_name);
// Directory of the running executable, without a trailing slash.
std::string executable_directory();
// Path of the module (executable or library) that holds address; "" when unknown.
std::string module_path_of(const void* address);

// Test seam: look in dir instead of the executable's directory; with
// exclusive, skip the default search too (as a lone agent directory would).
// An empty dir restores the normal search.
void set_library_directory(const std::string& dir, bool exclusive = false);

}  // namespace platform
