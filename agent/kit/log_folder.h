// The trace log's folder: which log a run writes, the previous run's log,
// and the files runs beside each other leave there.
#pragma once
#include <string>

#include "platform/files.h"

// Opens the run's log in directory (made owner-only when missing) and locks
// it while file stays open: "pathvane.log", or "pathvane.<pid>.log"
// while a run still going holds "pathvane.log". The run that takes
// "pathvane.log" keeps the previous one as "pathvane.log.1" and removes the
// per-run files of runs that ended, but the newest ten. Returns the
// file and its path, or false with why.
bool log_folder_open(const std::string& directory, platform::File& file, std::string& path, std::string& why);

// "pathvane-results.<pid>.json" for a run writing a per-run log; "" else.
std::string log_folder_own_results_name(const std::string& log_path);
