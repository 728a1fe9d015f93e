// Files the tool writes as its user: folders opened without following a
// link, new files made exclusively and owner-only, and whole replacement
// by rename. On Linux a link is a symbolic link; on Windows any reparse
// point (a junction is what an ordinary user can plant).
#pragma once
#include "platform/system_names.h"
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace platform {

// The system's words for an error number of the C library (errno).
std::string error_text(int error);

// The running process's id.
long process_id();

// A write past the file size limit fails like any other instead of ending
// the process. Harmless where there is no such limit.
void prepare_file_writes();

// What is at a name, looked at without following a link.
enum class EntryKind { kMissing, kRegular, kFolder, kDevice, kLink, kOther, kUnknown };

class File {
 public:
  File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  ~File();

  bool is_open() const;
  // Every byte; false with why.
  bool write_all(const std::string& bytes, std::string& why);
  // Data on disk before a rename makes it visible.
  bool sync(std::string& why);
  bool close(std::string& why);
  // A stdio stream over the file, which then owns it (fclose closes it).
  FILE* release_to_stream(const char* mode);
  // This process's lock on the file, for as long as it stays open.
  bool lock(std::string& why);

 private:
  friend class Folder;
  intptr_t handle_ = -1;
};

class Folder {
 public:
  Folder() = default;
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  ~Folder();

  // Opens path as a folder; a link in its place is refused ("... is not a
  // directory"). With create, a missing folder is made first, owner only.
  bool open(const std::string& path, bool create, std::string& why);
  bool is_open() const;
  const std::string& path() const { return path_; }
  // path with name joined by the system's separator.
  std::string join(const std::string& name) const;

  EntryKind kind_of(const std::string& name, int64_t* modified_seconds = nullptr) const;
  std::vector<std::string> names() const;

  // A new file at name, owner only; whatever is at the name already makes it fail.
  bool create_new(const std::string& name, File& file, std::string& why);
  // A new file named "<final_name>.<random>.tmp"; its name in temporary.
  bool create_temporary(const std::string& final_name, File& file, std::string& temporary, std::string& why);
  // from takes to's place at once, whatever was at to (a file).
  bool replace(const std::string& from, const std::string& to, std::string& why);
  bool remove(const std::string& name);
  // Whether another process holds name's lock. A file that cannot be
  // looked at counts as held.
  bool held_by_other(const std::string& name) const;
  // Waits for the folder's lock, held until the folder is closed. False
  // where the file system has none; callers go on without it.
  bool lock();
  void close();

 private:
  intptr_t handle_ = -1;
  intptr_t lock_ = -1;
  std::string path_;
};

// Reads a whole regular file of at most max_bytes, checked again through the
// opened file so that a swap in between is seen; never blocks on a FIFO or
// reads a device. On kTooLarge, size holds the file's size. The buffers
// the bytes passed through are wiped (the file may hold secrets).
enum class ReadResult { kOk, kMissing, kNotRegular, kTooLarge, kChanged };
ReadResult read_regular_file(const std::string& path, uint64_t max_bytes, std::string& text, uint64_t& size);

// The Windows file queries the tool calls by name; paths are UTF-8 here.
constexpr uint32_t INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;
constexpr uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10u;
constexpr uint32_t FILE_ATTRIBUTE_REPARSE_POINT = 0x400u;
uint32_t GetFileAttributesW(const char16_t* path);
bool CreateDirectoryW(const char16_t* path);

// The separator between a folder and a name in the paths the tool makes.
extern const char16_t kPathSeparator[];
// folder and name joined by that separator.
std::string join_path(const std::string& folder, const std::string& name);

}  // namespace platform
