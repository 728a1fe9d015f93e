#include "agent/kit/log_folder.h"

#include <algorithm>
#include <cstdint>
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
constexpr int64_t kStaleTemporarySeconds = 3600;

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

// The run's own log: new, owner only, never reached through a link, and
// locked before any other run can look at it (they wait for the folder's lock).
bool create_locked(platform::Folder& folder, const char* name, platform::File& file, std::string& why) {
  if (!folder.create_new(name, file, why)) return false;
  if (!file.lock(why)) {
    std::string ignored;
    file.close(ignored);
    folder.remove(name);
    return false;
  }
  return true;
}

// Per-run logs and documents of runs that ended, but the newest ten, and
// temporaries of results documents that were never renamed.
void remove_ended_runs(platform::Folder& folder) {
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  std::map<long, int64_t> runs;  // pid: its newest file's time
  std::vector<std::string> stale;
  for (const std::string& name : folder.names()) {
    int64_t modified = 0;
    if (folder.kind_of(name, &modified) != platform::EntryKind::kRegular) continue;
    long pid = pid_in(name, kRunLogPrefix, kRunLogSuffix);
    if (!pid) pid = pid_in(name, kRunResultsPrefix, kRunResultsSuffix);
    if (pid) {
      runs[pid] = std::max(runs[pid], modified);
    } else if (name.starts_with(kRunResultsPrefix) && name.ends_with(kTemporarySuffix) &&
               now - modified > kStaleTemporarySeconds) {
      stale.push_back(name);
    }
  }
  for (const std::string& name : stale) folder.remove(name);

  std::vector<std::pair<int64_t, long>> ended;
  for (const auto& [pid, time] : runs) {
    if (pid != platform::process_id() && !folder.held_by_other(run_log_name(pid))) ended.emplace_back(time, pid);
  }
  if (ended.size() <= kKeptRunFiles) return;
  std::sort(ended.begin(), ended.end(), std::greater<>());
  for (size_t i = kKeptRunFiles; i < ended.size(); ++i) {
    folder.remove(run_log_name(ended[i].second));
    folder.remove(run_results_name(ended[i].second));
  }
}

// Which log this run takes; the previous run's kept when it is free.
bool open_in_folder(platform::Folder& folder, std::string& name, platform::File& file, std::string& why) {
  bool usual = true;
  switch (folder.kind_of(kLogName)) {
    case platform::EntryKind::kMissing:
      break;
    case platform::EntryKind::kRegular:
      // A log whose run is still going is never moved.
      usual = !folder.held_by_other(kLogName);
      if (usual && !folder.replace(kLogName, kPreviousLogName, why)) {
        why = std::string("cannot keep it as ") + kPreviousLogName + ": " + why;
        return false;
      }
      break;
    case platform::EntryKind::kUnknown:
      why = "cannot be looked at";
      return false;
    default:
      why = "not a regular file";
      return false;
  }
  if (!usual) {
    name = run_log_name(platform::process_id());
    // Left by an earlier process of the same pid, which has ended.
    folder.remove(name);
    return create_locked(folder, name.c_str(), file, why);
  }
  name = kLogName;
  if (!create_locked(folder, kLogName, file, why)) return false;
  remove_ended_runs(folder);
  return true;
}

}  // namespace

bool log_folder_open(const std::string& directory, platform::File& file, std::string& path, std::string& why) {
  platform::Folder folder;
  if (!folder.open(directory, /*create=*/true, why)) return false;
  // Runs starting together choose their logs one after the other. Without
  // the lock (a file system that has none) they still choose, only without
  // that order.
  folder.lock();
  std::string name;
  if (!open_in_folder(folder, name, file, why)) return false;
  path = folder.join(name);
  return true;
}

std::string log_folder_own_results_name(const std::string& log_path) {
  const size_t separator = log_path.find_last_of("/\\");
  const long pid =
      pid_in(log_path.substr(separator == std::string::npos ? 0 : separator + 1), kRunLogPrefix, kRunLogSuffix);
  return pid ? run_results_name(pid) : std::string();
}
