// The interface first: its constants share names with the system's macros.
#include "platform/files.h"
#include "platform/codec.h"
#include "platform/wipe.h"
#include "platform/windows/text.h"

#include <windows.h>

#include <algorithm>
#include <string>

namespace platform {
ReadResult read_regular_file(const std::string& path, uint64_t max_bytes, std::string& text, uint64_t& size) {
  std::wstring wide;
  if (!windows::wide_of(path, wide) || wide.empty()) return ReadResult::kMissing;
  // Opened first and judged through the handle: there is no window for a swap.
  HANDLE file = ::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ReadResult::kMissing
                                                                          : ReadResult::kNotRegular;
  }
  struct Closer {
    HANDLE handle;
    ~Closer() { ::CloseHandle(handle); }
  } closer{file};
  if (::GetFileType(file) != FILE_TYPE_DISK) return ReadResult::kNotRegular;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file, &info) || (info.dwFileAttributes & platform::FILE_ATTRIBUTE_DIRECTORY)) {
    return ReadResult::kNotRegular;
  }
  size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  if (size > max_bytes) return ReadResult::kTooLarge;
  std::string bytes(static_cast<size_t>(size), '\0');
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
    if (!::ReadFile(file, bytes.data() + done, want, &got, nullptr) || got == 0) break;
    done += got;
  }
  // A file that grew or shrank while it was read is refused.
  char extra = 0;
  DWORD got = 0;
  const bool grew = done == bytes.size() && ::ReadFile(file, &extra, 1, &got, nullptr) && got != 0;
  wipe(&extra, 1);
  if (done != bytes.size() || grew) {
    wipe(bytes.data(), bytes.size());
    return ReadResult::kChanged;
  }
  text = std::move(bytes);
  return ReadResult::kOk;
}

}  // namespace platform
