#include "platform/files.h"
#include "platform/codec.h"

#include "platform/windows/text.h"

#include <windows.h>
#include <ntsecapi.h>
#include <sddl.h>

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <cwctype>

namespace platform {
namespace {

// Full access for the owner and the Administrators, nothing inherited from
// the parent. A folder's entries inherit the same.
constexpr wchar_t kFolderSddl[] = L"D:P(A;OICI;FA;;;OW)(A;OICI;FA;;;BA)";
constexpr wchar_t kFileSddl[] = L"D:P(A;;FA;;;OW)(A;;FA;;;BA)";

// One byte far past any real end: a holder of it blocks other lockers but
// not readers or writers of the file's data.
constexpr DWORD kLockOffsetLow = 0;
constexpr DWORD kLockOffsetHigh = 0xFFFFFFFFu;

// Seconds from 1601-01-01 to 1970-01-01.
constexpr int64_t kEpochDifference = 11644473600LL;

HANDLE handle_of(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
intptr_t stored(HANDLE handle) { return reinterpret_cast<intptr_t>(handle); }
bool valid(intptr_t handle) { return handle_of(handle) != INVALID_HANDLE_VALUE && handle != 0; }

// Leaves the error code as it was, for a caller that looks at it next.
std::string last_error_text() {
  const DWORD code = ::GetLastError();
  std::string text = windows::system_message(code);
  ::SetLastError(code);
  return text;
}

bool is_missing(DWORD code) { return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND; }

// A path that is not UTF-8 fails like a name the system refuses.
bool wide_path(const std::string& path, std::wstring& wide) {
  if (path.empty() || !windows::wide_of(path, wide)) {
    ::SetLastError(path.empty() ? ERROR_INVALID_NAME : platform::ERROR_NO_UNICODE_TRANSLATION);
    return false;
  }
  return true;
}

// A self-relative security descriptor made from SDDL, freed with LocalFree.
class OwnerOnly {
 public:
  explicit OwnerOnly(const wchar_t* sddl) {
    ok_ = ::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor_, nullptr);
    attributes_.nLength = sizeof(attributes_);
    attributes_.lpSecurityDescriptor = descriptor_;
    attributes_.bInheritHandle = FALSE;
  }
  ~OwnerOnly() {
    if (descriptor_) ::LocalFree(descriptor_);
  }
  OwnerOnly(const OwnerOnly&) = delete;
  OwnerOnly& operator=(const OwnerOnly&) = delete;
  // Null when the descriptor could not be made: the caller must not go on
  // with the parent's permissions instead.
  SECURITY_ATTRIBUTES* attributes() { return ok_ ? &attributes_ : nullptr; }

 private:
  BOOL ok_ = FALSE;
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_{};
};

// CREATE_NEW: whatever is at the name is not ours. The error is the
// creation's own, not the descriptor's cleanup's.
HANDLE create_owner_only(const std::wstring& path) {
  DWORD code = 0;
  HANDLE handle = INVALID_HANDLE_VALUE;
  {
    OwnerOnly security(kFileSddl);
    if (!security.attributes()) return INVALID_HANDLE_VALUE;
    handle = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, security.attributes(), CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    code = ::GetLastError();
  }
  ::SetLastError(code);
  return handle;
}

bool lock_range(HANDLE handle) {
  OVERLAPPED where{};
  where.Offset = kLockOffsetLow;
  where.OffsetHigh = kLockOffsetHigh;
  return ::LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where) != 0;
}

void unlock_range(HANDLE handle) {
  OVERLAPPED where{};
  where.Offset = kLockOffsetLow;
  where.OffsetHigh = kLockOffsetHigh;
  ::UnlockFileEx(handle, 0, 1, 0, &where);
}

int64_t unix_seconds(const FILETIME& time) {
  const int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
  return ticks / 10000000LL - kEpochDifference;
}

// The folder's path as the system resolves it, so that two spellings of one
// folder share one lock.
std::wstring canonical_path(HANDLE folder, const std::string& path) {
  std::wstring out(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    const DWORD n = ::GetFinalPathNameByHandleW(folder, out.data(), static_cast<DWORD>(out.size()), 0);
    if (n == 0) break;
    if (n < out.size()) {
      out.resize(n);
      return out;
    }
    out.resize(n + 1);
  }
  std::wstring wide;
  if (!windows::wide_of(path, wide)) return {};
  const DWORD n = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return wide;
  out.assign(n, L'\0');
  const DWORD written = ::GetFullPathNameW(wide.c_str(), n, out.data(), nullptr);
  out.resize(written < n ? written : 0);
  return out.empty() ? wide : out;
}

uint64_t fnv1a(const std::wstring& text) {
  uint64_t hash = 14695981039346656037ULL;
  for (wchar_t c : text) {
    // Names are compared without case on Windows.
    const wchar_t folded = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    for (int shift = 0; shift < 16; shift += 8) {
      hash ^= static_cast<unsigned char>(static_cast<unsigned>(folded) >> shift);
      hash *= 1099511628211ULL;
    }
  }
  return hash;
}

}  // namespace

const char16_t kPathSeparator[] = u"\\";

std::string error_text(int error) { return std::strerror(error); }

long process_id() { return static_cast<long>(::GetCurrentProcessId()); }

// Windows has no file size signal.
void prepare_file_writes() {}

File::File(File&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (valid(handle_)) ::CloseHandle(handle_of(handle_));
    handle_ = other.handle_;
    other.handle_ = -1;
  }
  return *this;
}

File::~File() {
  if (valid(handle_)) ::CloseHandle(handle_of(handle_));
}

bool File::is_open() const { return valid(handle_); }

bool File::write_all(const std::string& bytes, std::string& why) {
  constexpr size_t kChunk = 1u << 30;
  size_t done = 0;
  while (done < bytes.size()) {
    const size_t left = bytes.size() - done;
    DWORD written = 0;
    if (!::WriteFile(handle_of(handle_), bytes.data() + done, static_cast<DWORD>(left < kChunk ? left : kChunk),
                     &written, nullptr)) {
      why = last_error_text();
      return false;
    }
    if (written == 0) {
      why = error_text(EIO);
      return false;
    }
    done += written;
  }
  return true;
}

bool File::sync(std::string& why) {
  if (::FlushFileBuffers(handle_of(handle_))) return true;
  why = last_error_text();
  return false;
}

bool File::close(std::string& why) {
  if (!valid(handle_)) return true;
  HANDLE handle = handle_of(handle_);
  handle_ = -1;
  if (::CloseHandle(handle)) return true;
  why = last_error_text();
  return false;
}

FILE* File::release_to_stream(const char* mode) {
  if (!valid(handle_) || !mode) {
    errno = EBADF;
    return nullptr;
  }
  int flags = std::strchr(mode, 't') ? _O_TEXT : _O_BINARY;
  if (std::strchr(mode, '+')) {
    flags |= _O_RDWR;
  } else if (mode[0] == 'r') {
    flags |= _O_RDONLY;
  } else {
    flags |= _O_WRONLY;
  }
  if (mode[0] == 'a') flags |= _O_APPEND;
  // A copy goes to the C library, so that a failure on the way leaves this
  // File holding its handle as before.
  HANDLE copy = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), handle_of(handle_), ::GetCurrentProcess(), &copy, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
    errno = EMFILE;
    return nullptr;
  }
  const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(copy), flags);
  if (fd < 0) {
    ::CloseHandle(copy);
    return nullptr;
  }
  FILE* stream = ::_fdopen(fd, mode);
  if (!stream) {
    ::_close(fd);
    return nullptr;
  }
  ::CloseHandle(handle_of(handle_));
  handle_ = -1;
  return stream;
}

bool File::lock(std::string& why) {
  if (lock_range(handle_of(handle_))) return true;
  why = last_error_text();
  return false;
}

Folder::~Folder() { close(); }

void Folder::close() {
  if (valid(lock_)) {
    // A mutex is its thread's: released here when the locking thread closes.
    ::ReleaseMutex(handle_of(lock_));
    ::CloseHandle(handle_of(lock_));
  }
  if (valid(handle_)) ::CloseHandle(handle_of(handle_));
  handle_ = -1;
  lock_ = -1;
}

bool Folder::is_open() const { return valid(handle_); }

bool Folder::open(const std::string& path, bool create, std::string& why) {
  close();
  std::wstring wide;
  if (!wide_path(path, wide)) {
    why = last_error_text();
    return false;
  }
  if (create) {
    OwnerOnly security(kFolderSddl);
    if (!security.attributes()) {
      why = last_error_text();
      return false;
    }
    if (!::CreateDirectoryW(wide.c_str(), security.attributes()) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
      why = last_error_text();
      return false;
    }
  }
  // No delete sharing: the folder cannot be renamed or removed while open.
  // The reparse point itself is opened, never what it leads to.
  HANDLE handle = ::CreateFileW(wide.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    why = ::GetLastError() == ERROR_DIRECTORY ? path + " is not a directory" : last_error_text();
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(handle, &info)) {
    why = last_error_text();
    ::CloseHandle(handle);
    return false;
  }
  if ((info.dwFileAttributes & platform::FILE_ATTRIBUTE_REPARSE_POINT) || !(info.dwFileAttributes & platform::FILE_ATTRIBUTE_DIRECTORY)) {
    why = path + " is not a directory";
    ::CloseHandle(handle);
    return false;
  }
  handle_ = stored(handle);
  path_ = path;
  return true;
}

std::string Folder::join(const std::string& name) const { return join_path(path_, name); }

EntryKind Folder::kind_of(const std::string& name, int64_t* modified_seconds) const {
  std::wstring wide;
  if (!wide_path(join(name), wide)) return EntryKind::kUnknown;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) {
    return is_missing(::GetLastError()) ? EntryKind::kMissing : EntryKind::kUnknown;
  }
  if (modified_seconds) *modified_seconds = unix_seconds(data.ftLastWriteTime);
  if (data.dwFileAttributes & platform::FILE_ATTRIBUTE_REPARSE_POINT) return EntryKind::kLink;
  if (data.dwFileAttributes & platform::FILE_ATTRIBUTE_DIRECTORY) return EntryKind::kFolder;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) return EntryKind::kDevice;
  return EntryKind::kRegular;
}

std::vector<std::string> Folder::names() const {
  std::vector<std::string> out;
  std::wstring pattern;
  if (!is_open() || !wide_path(join("*"), pattern)) return out;
  WIN32_FIND_DATAW entry{};
  HANDLE find = ::FindFirstFileW(pattern.c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE) return out;
  do {
    const std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") out.push_back(windows::utf8_of(name));
  } while (::FindNextFileW(find, &entry));
  ::FindClose(find);
  return out;
}

bool Folder::create_new(const std::string& name, File& file, std::string& why) {
  std::wstring wide;
  HANDLE handle = wide_path(join(name), wide) ? create_owner_only(wide) : INVALID_HANDLE_VALUE;
  if (handle == INVALID_HANDLE_VALUE) {
    why = last_error_text();
    return false;
  }
  file = File();
  file.handle_ = stored(handle);
  return true;
}

bool Folder::create_temporary(const std::string& final_name, File& file, std::string& temporary, std::string& why) {
  static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  // A name taken by someone else is passed over; so many in a row is no chance.
  for (int attempt = 0; attempt < 32; ++attempt) {
    unsigned char random[8];
    if (!::RtlGenRandom(random, sizeof(random))) {
      why = last_error_text();
      return false;
    }
    std::string name = final_name + ".";
    for (unsigned char byte : random) name.push_back(kLetters[byte % (sizeof(kLetters) - 1)]);
    name += ".tmp";
    std::string failure;
    if (create_new(name, file, failure)) {
      temporary = name;
      return true;
    }
    const DWORD code = ::GetLastError();
    if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) {
      why = failure;
      return false;
    }
  }
  why = windows::system_message(ERROR_FILE_EXISTS);
  return false;
}

bool Folder::replace(const std::string& from, const std::string& to, std::string& why) {
  std::wstring wide_from, wide_to;
  if (!wide_path(join(from), wide_from) || !wide_path(join(to), wide_to)) {
    why = last_error_text();
    return false;
  }
  if (::MoveFileExW(wide_from.c_str(), wide_to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return true;
  }
  why = last_error_text();
  return false;
}

bool Folder::remove(const std::string& name) {
  std::wstring wide;
  return wide_path(join(name), wide) && ::DeleteFileW(wide.c_str());
}

bool Folder::held_by_other(const std::string& name) const {
  std::wstring wide;
  if (!wide_path(join(name), wide)) return true;
  HANDLE handle = ::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return !is_missing(::GetLastError());
  const bool free = lock_range(handle);
  if (free) unlock_range(handle);
  ::CloseHandle(handle);
  return !free;
}

bool Folder::lock() {
  if (!is_open()) return false;
  if (valid(lock_)) return true;
  const std::wstring path = canonical_path(handle_of(handle_), path_);
  if (path.empty()) return false;
  wchar_t name[64];
  std::swprintf(name, sizeof(name) / sizeof(name[0]), L"Local\\pathvane-folder-%016llx",
                static_cast<unsigned long long>(fnv1a(path)));
  HANDLE mutex = ::CreateMutexW(nullptr, FALSE, name);
  if (!mutex) return false;
  // An abandoned mutex is ours now: its holder ended without closing.
  const DWORD waited = ::WaitForSingleObject(mutex, INFINITE);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    ::CloseHandle(mutex);
    return false;
  }
  lock_ = stored(mutex);
  return true;
}

uint32_t GetFileAttributesW(const char16_t* path) {
  if (!path) return platform::INVALID_FILE_ATTRIBUTES;
  return ::GetFileAttributesW(reinterpret_cast<const wchar_t*>(path));
}

bool CreateDirectoryW(const char16_t* path) {
  return path && ::CreateDirectoryW(reinterpret_cast<const wchar_t*>(path), nullptr);
}

}  // namespace platform
