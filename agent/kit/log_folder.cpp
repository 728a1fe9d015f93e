#include "agent/kit/log_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <vector>

namespace {

constexpr const char* kLogName = "pathvane.log";
constexpr const char* kPreviousLogName = "pathvane.log.1";
constexpr const char* kRunLogPrefix = "pathvane.";
constexpr const char* kRunLogSuffix = ".log";
constexpr const char* kRunResultsPrefix = "pathvane-results.";
constexpr const char* kRunResultsSuffix = ".json";
constexpr const char* kTemporarySuffix = ".tmp";
constexpr size_t kKeptRunFiles = 10;
// A results document is written in milliseconds; a temporary this old was left by a run that died.
constexpr time_t kStaleTemporarySeconds = 3600;

std::string run_log_name(long pid) { return kRunLogPrefix + std::to_string(pid) + kRunLogSuffix; }
std::string run_results_name(long pid) { return kRunResultsPrefix + std::to_string(pid) + kRunResultsSuffix; }

// The pid in prefix<digits>suffix, or 0.
long pid_in(const std::string& name, const char* prefix, const char* suffix) {
  const size_t before = std::strlen(prefix), after = std::strlen(suffix);
  if (name.size() <= before + after || name.compare(0, before, prefix) != 0 ||
      name.compare(name.size() - after, after, suffix) != 0) {
    return 0;
  }
  const std::string digits = name.substr(before, name.size() - before - after);
  if (digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) return 0;
  return std::stol(digits);
}

// Whether a run still going holds the file's lock. A file that cannot be
// looked at counts as held: it is left alone.
bool held(int dir_fd, const char* name) {
  const int fd = ::openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno != ENOENT;
  const bool busy = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
  ::close(fd);
  return busy;
}

// The run's own log: new, 0600, never reached through a link, and locked
// before any other run can look at it (they wait for the folder's lock).
int create_locked(int dir_fd, const char* name, std::string& why) {
  // O_EXCL: whatever is at the path is not ours.
  const int fd = ::openat(dir_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) {
    why = std::strerror(errno);
    return -1;
  }
  if (::fchmod(fd, 0600) != 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    why = std::strerror(errno);
    ::close(fd);
    ::unlinkat(dir_fd, name, 0);
    return -1;
  }
  return fd;
}

// Per-run logs and documents of runs that ended, but the newest ten, and
// temporaries of results documents that were never renamed.
void remove_ended_runs(int dir_fd) {
  const int list_fd = ::dup(dir_fd);
  DIR* dir = list_fd >= 0 ? ::fdopendir(list_fd) : nullptr;
  if (!dir) {
    if (list_fd >= 0) ::close(list_fd);
    return;
  }
  const time_t now = std::time(nullptr);
  std::map<long, time_t> runs;  // pid: its newest file's time
  std::vector<std::string> stale;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    struct stat st {};
    if (::fstatat(dir_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    long pid = pid_in(name, kRunLogPrefix, kRunLogSuffix);
    if (!pid) pid = pid_in(name, kRunResultsPrefix, kRunResultsSuffix);
    if (pid) {
      runs[pid] = std::max(runs[pid], st.st_mtime);
    } else if (name.starts_with(kRunResultsPrefix) && name.ends_with(kTemporarySuffix) &&
               now - st.st_mtime > kStaleTemporarySeconds) {
      stale.push_back(name);
    }
  }
  ::closedir(dir);
  for (const std::string& name : stale) ::unlinkat(dir_fd, name.c_str(), 0);

  std::vector<std::pair<time_t, long>> ended;
  for (const auto& [pid, time] : runs) {
    if (pid != ::getpid() && !held(dir_fd, run_log_name(pid).c_str())) ended.emplace_back(time, pid);
  }
  if (ended.size() <= kKeptRunFiles) return;
  std::sort(ended.begin(), ended.end(), std::greater<>());
  for (size_t i = kKeptRunFiles; i < ended.size(); ++i) {
    ::unlinkat(dir_fd, run_log_name(ended[i].second).c_str(), 0);
    ::unlinkat(dir_fd, run_results_name(ended[i].second).c_str(), 0);
  }
}

// Which log this run takes; the previous run's kept when it is free.
int open_in_folder(int dir_fd, std::string& name, std::string& why) {
  struct stat st {};
  bool usual = true;
  if (::fstatat(dir_fd, kLogName, &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISREG(st.st_mode)) {
      why = "not a regular file";
      return -1;
    }
    // A log whose run is still going is never moved.
    usual = !held(dir_fd, kLogName);
    if (usual && ::renameat(dir_fd, kLogName, dir_fd, kPreviousLogName) != 0) {
      why = std::string("cannot keep it as ") + kPreviousLogName + ": " + std::strerror(errno);
      return -1;
    }
  } else if (errno != ENOENT) {
    why = std::strerror(errno);
    return -1;
  }
  if (!usual) {
    name = run_log_name(::getpid());
    // Left by an earlier process of the same pid, which has ended.
    ::unlinkat(dir_fd, name.c_str(), 0);
    return create_locked(dir_fd, name.c_str(), why);
  }
  name = kLogName;
  const int fd = create_locked(dir_fd, kLogName, why);
  if (fd >= 0) remove_ended_runs(dir_fd);
  return fd;
}

}  // namespace

int log_folder_open(const std::string& directory, std::string& path, std::string& why) {
  if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) {
    why = std::strerror(errno);
    return -1;
  }
  const int dir_fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir_fd < 0) {
    why = errno == ENOTDIR || errno == ELOOP ? std::string(directory + " is not a directory") : std::strerror(errno);
    return -1;
  }
  // Runs starting together choose their logs one after the other; the
  // lock goes with the descriptor. Without it (a file system that has no
  // locks) they still choose, only without that order.
  while (::flock(dir_fd, LOCK_EX) != 0 && errno == EINTR) {
  }
  std::string name;
  const int fd = open_in_folder(dir_fd, name, why);
  ::close(dir_fd);
  if (fd >= 0) path = directory + "/" + name;
  return fd;
}

std::string log_folder_own_results_name(const std::string& log_path) {
  const size_t slash = log_path.rfind('/');
  const long pid = pid_in(log_path.substr(slash == std::string::npos ? 0 : slash + 1), kRunLogPrefix, kRunLogSuffix);
  return pid ? run_results_name(pid) : std::string();
}
