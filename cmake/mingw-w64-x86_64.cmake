# Cross-compiles for 64-bit Windows with Debian's mingw-w64 packages.
# The posix flavour of the compilers is used because it provides std::thread
# and std::mutex; the win32 flavour does not.
#
# Libraries, headers and CMake package configs are only looked up under
# CMAKE_FIND_ROOT_PATH, never on the build machine, so nothing from the host's
# /usr/lib or /usr/include can slip into a Windows binary. Callers add their
# own roots with -DCMAKE_FIND_ROOT_PATH=... or -DPATHVANE_WIN_DEPS=<prefix>
# (OPENSSL_ROOT_DIR counts as one too, else FindOpenSSL could not use it);
# scripts/windows.sh builds OpenSSL and libcurl into such a prefix and copies
# nlohmann_json's (header-only) headers and package config there too, which is
# why the package mode can stay ONLY.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${_mingw}-windres)

# The toolchain file is read again for every try_compile: keep the list free of
# repeats, and the caller's entries first.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${_mingw})
foreach(_root IN ITEMS "${PATHVANE_WIN_DEPS}" "${OPENSSL_ROOT_DIR}")
  if(_root)
    list(APPEND CMAKE_FIND_ROOT_PATH "${_root}")
  endif()
endforeach()
list(REMOVE_DUPLICATES CMAKE_FIND_ROOT_PATH)
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PATHVANE_WIN_DEPS)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
unset(_mingw)
unset(_root)
